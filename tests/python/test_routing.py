"""CircuitRouting as Python sees it: the class surface, argument binding and
conversion, the degenerate counts, gate codes, internal faults and the
promptness of calls that cannot or need not route."""

import copy
import inspect
import subprocess
import sys
import textwrap
import time

import pytest

from corvane import corvane_rs

import routing_helpers as rh

CircuitRouting = corvane_rs.CircuitRouting
MAX = 2147483647

ROUTE_NAMES = ["circuit", "runs", "coupling_map", "dists", "err_map", "metrics_names", "num_qubits"]
TRANSPILE_NAMES = [
    "circuit", "runs", "inner_its", "its", "shots", "layout", "coupling_map",
    "dists", "err_map", "metrics_names", "num_qubits", "max_seconds",
]

# A value of the wrong Python type for each argument.
WRONG_TYPE = {
    "circuit": 5,
    "runs": "x",
    "inner_its": 1.5,
    "its": None,
    "shots": "x",
    "layout": 7,
    "coupling_map": None,
    "dists": 2.5,
    "err_map": [((0, 1), 0.1)],
    "metrics_names": 3,
    "num_qubits": "8",
    "max_seconds": 1.0,
}


@pytest.fixture(scope="module")
def router():
    return CircuitRouting()


@pytest.fixture(scope="module")
def panic_cls(router):
    cls = rh.panic_exception_class(router)
    assert cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    return cls


def line_args(n=8, circuit=None):
    cmap = rh.line(n)
    if circuit is None:
        circuit = [(rh.CX, (0, n - 1)), (rh.CX, (2, 5)), (rh.SWAP, (1, 6))]
    return dict(
        circuit=circuit, runs=4, coupling_map=cmap, dists=rh.bfs_distances(cmap, n),
        err_map={}, metrics_names=["n_cnots"], num_qubits=n,
    )


def transpile_args(n=8, circuit=None):
    args = line_args(n, circuit)
    args.update(inner_its=2, its=1, shots=1, layout=[list(range(n))], max_seconds=10)
    return args


def positional(kwargs, names):
    return [kwargs[name] for name in names]


def identity_result(n):
    ident = list(range(n))
    return ([], (ident, ident, ident))


# --------------------------------------------------------------------------
# Class surface


def test_dists_max_value_on_class_and_instance(router):
    for value in (CircuitRouting.get_dists_max_value(), router.get_dists_max_value()):
        assert type(value) is int and value == MAX == 2**31 - 1
    with pytest.raises(TypeError):
        CircuitRouting.get_dists_max_value(1)


def test_text_signatures_and_module():
    # Before 3.10 the interpreter drops a class doc's signature when it makes
    # the type; the methods keep theirs on every version.
    if sys.version_info >= (3, 10):
        assert CircuitRouting.__text_signature__ == "()"
    assert CircuitRouting.get_dists_max_value.__text_signature__ == "()"
    assert CircuitRouting.route.__text_signature__ == "($self, " + ", ".join(ROUTE_NAMES) + ")"
    assert (CircuitRouting.transpile.__text_signature__
            == "($self, " + ", ".join(TRANSPILE_NAMES) + ")")
    assert list(inspect.signature(CircuitRouting().route).parameters) == ROUTE_NAMES
    assert list(inspect.signature(CircuitRouting().transpile).parameters) == TRANSPILE_NAMES
    assert CircuitRouting.__module__ == "builtins"
    assert CircuitRouting.__name__ == "CircuitRouting"


@pytest.mark.skipif(sys.version_info < (3, 10), reason="immutable types came with 3.10")
def test_class_attributes_cannot_be_replaced(router):
    for name, value in (("get_dists_max_value", staticmethod(lambda: 0)), ("route", None),
                        ("extra", 1)):
        with pytest.raises(TypeError):
            setattr(CircuitRouting, name, value)
    assert CircuitRouting.get_dists_max_value() == MAX
    assert not hasattr(CircuitRouting, "extra")


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError):
        CircuitRouting(1)
    with pytest.raises(TypeError):
        CircuitRouting(flag=True)
    assert isinstance(CircuitRouting(), CircuitRouting)


def test_self_must_be_a_circuit_routing(router):
    args = positional(line_args(), ROUTE_NAMES)
    with pytest.raises(TypeError):
        CircuitRouting.route(object(), *args)
    with pytest.raises(TypeError):
        CircuitRouting.transpile(5, *positional(transpile_args(), TRANSPILE_NAMES))


# --------------------------------------------------------------------------
# Binding comes before conversion


@pytest.mark.parametrize("method,names,make", [
    ("route", ROUTE_NAMES, line_args), ("transpile", TRANSPILE_NAMES, transpile_args)])
def test_binding_errors_come_before_any_conversion(router, method, names, make):
    fn = getattr(router, method)
    kwargs = make()
    kwargs["circuit"] = [(0, (0, 1, 2))]  # would be a ValueError once converted
    kwargs["runs"] = -1  # would be an OverflowError once converted

    missing = dict(kwargs)
    del missing["num_qubits"]
    with pytest.raises(TypeError) as info:
        fn(**missing)
    assert "num_qubits" in str(info.value) and not str(info.value).startswith("argument")

    with pytest.raises(TypeError) as info:
        fn(**kwargs, bogus=1)
    assert "bogus" in str(info.value)

    with pytest.raises(TypeError) as info:
        fn(*positional(kwargs, names), 99)
    assert not str(info.value).startswith("argument")

    with pytest.raises(TypeError) as info:
        fn(*positional(kwargs, names), circuit=[])
    assert "circuit" in str(info.value) and not str(info.value).startswith("argument")


@pytest.mark.parametrize("method,names,make", [
    ("route", ROUTE_NAMES, line_args), ("transpile", TRANSPILE_NAMES, transpile_args)])
def test_first_failing_argument_in_signature_order_wins(router, method, names, make):
    fn = getattr(router, method)
    for i, name in enumerate(names):
        kwargs = make()
        for later in names[i:]:
            kwargs[later] = WRONG_TYPE[later]
        # Keyword order must not matter: pass them reversed.
        reordered = {k: kwargs[k] for k in reversed(names)}
        with pytest.raises(TypeError) as info:
            fn(**reordered)
        assert str(info.value).startswith(f"argument '{name}': "), (name, str(info.value))


def test_first_failure_wins_across_error_classes(router):
    base = line_args()
    # A malformed circuit beats a negative count that follows it.
    args = dict(base, circuit=[(0, (0, 1), 2)], runs=-1)
    with pytest.raises(ValueError, match="^expected tuple of length "):
        router.route(**args)
    # A negative count beats a wrong type that follows it.
    args = dict(base, runs=-1, metrics_names="n_cnots")
    with pytest.raises(OverflowError):
        router.route(**args)
    # Both circuit and runs of the wrong type: circuit is named.
    args = dict(base, circuit="oops", runs="many")
    with pytest.raises(TypeError, match="^argument 'circuit': "):
        router.route(**args)


# --------------------------------------------------------------------------
# Conversion errors


def test_str_where_a_list_is_expected(router):
    args = line_args()
    with pytest.raises(TypeError) as info:
        router.route(**dict(args, metrics_names="n_cnots"))
    assert str(info.value) == "argument 'metrics_names': Can't extract `str` to `Vec`"

    dists = [list(row) for row in args["dists"]]
    dists[3] = "01234567"
    with pytest.raises(TypeError) as info:
        router.route(**dict(args, dists=dists))
    assert str(info.value) == "argument 'dists': Can't extract `str` to `Vec`"

    with pytest.raises(TypeError) as info:
        router.transpile(**dict(transpile_args(), layout=["01234567"]))
    assert str(info.value) == "argument 'layout': Can't extract `str` to `Vec`"

    for name in ("circuit", "coupling_map", "dists"):
        with pytest.raises(TypeError) as info:
            router.route(**dict(args, **{name: "abc"}))
        assert str(info.value) == f"argument '{name}': Can't extract `str` to `Vec`"


def test_wrong_inner_types_name_their_argument(router):
    args = line_args()
    cases = {
        "circuit": [(0, (0, "1"))],
        "coupling_map": [(0, 1.0)],
        "dists": [[0, 1.5]] + args["dists"][1:],
        "err_map": {(0, 1): "high"},
        "metrics_names": ["n_cnots", 7],
    }
    for name, bad in cases.items():
        with pytest.raises(TypeError) as info:
            router.route(**dict(args, **{name: bad}))
        assert str(info.value).startswith(f"argument '{name}': ")
    with pytest.raises(TypeError, match="^argument 'err_map': "):
        router.route(**dict(args, err_map={1: 0.5}))
    with pytest.raises(TypeError, match="^argument 'circuit': "):
        router.route(**dict(args, circuit=[[0, [0, 1]]]))
    layout = [[0, 1, 2, "x", 4, 5, 6, 7]]
    with pytest.raises(TypeError, match="^argument 'layout': "):
        router.transpile(**dict(transpile_args(), layout=layout))


@pytest.mark.parametrize("method,name,value", [
    ("route", "runs", -1),
    ("route", "num_qubits", -1),
    ("route", "circuit", [(-1, (0, 1))]),
    ("route", "circuit", [(0, (0, -3))]),
    ("route", "coupling_map", [(0, 1), (-1, 2)]),
    ("route", "err_map", {(0, -1): 0.1}),
    ("transpile", "runs", -1),
    ("transpile", "inner_its", -1),
    ("transpile", "its", -5),
    ("transpile", "shots", -1),
    ("transpile", "max_seconds", -1),
    ("transpile", "layout", [[0, 1, 2, 3, 4, 5, 6, -7]]),
])
def test_negative_where_unsigned_is_overflow_without_prefix(router, method, name, value):
    args = line_args() if method == "route" else transpile_args()
    args[name] = value
    with pytest.raises(OverflowError) as info:
        getattr(router, method)(**args)
    assert not str(info.value).startswith("argument")


def test_dists_must_fit_signed_32_bits(router):
    args = line_args()
    for bad in (2147483648, -2147483649, 2**40):
        dists = [list(row) for row in args["dists"]]
        dists[5][1] = bad
        with pytest.raises(OverflowError) as info:
            router.route(**dict(args, dists=dists))
        assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(OverflowError):
        dists = [list(row) for row in args["dists"]]
        dists[0][0] = 2**70
        router.route(**dict(args, dists=dists))
    # The extremes themselves are accepted (far entries, never needed).
    dists = [list(row) for row in args["dists"]]
    dists[0][7] = dists[7][0] = MAX
    res = router.route(**dict(args, circuit=[(0, (3, 4))], dists=dists))
    assert res[0] == [(0, (3, 4))]
    dists[0][1] = -2147483648  # coupled, so it may be called adjacent
    rh.assert_well_formed(router.route(**dict(args, circuit=[], dists=dists)), 8)


@pytest.mark.parametrize("name,bad", [
    ("circuit", [(0, (0, 1, 2))]),
    ("circuit", [(0, (0,))]),
    ("circuit", [(0, (0, 1), 5)]),
    ("circuit", [(0,)]),
    ("coupling_map", [(0, 1), (1, 2, 3)]),
    ("coupling_map", [(0,)]),
    ("err_map", {(0, 1, 2): 0.1}),
    ("err_map", {(0,): 0.1}),
])
def test_tuple_of_wrong_length_is_value_error(router, name, bad):
    for method, args in (("route", line_args()), ("transpile", transpile_args())):
        with pytest.raises(ValueError) as info:
            getattr(router, method)(**dict(args, **{name: bad}))
        assert str(info.value).startswith("expected tuple of length ")


def test_accepted_value_forms(router):
    args = line_args()
    n = args["num_qubits"]
    # Integer error rates, tuples as sequences, and keyword arguments in any
    # order all route.
    err_map = {e: 0 for e in args["coupling_map"]}
    err_map[(0, 1)] = 1
    forms = [
        dict(args, err_map=err_map),
        dict(args, circuit=tuple(args["circuit"]), coupling_map=tuple(args["coupling_map"]),
             dists=tuple(tuple(r) for r in args["dists"]), metrics_names=("n_cnots",)),
    ]
    for kw in forms:
        reordered = {k: kw[k] for k in sorted(kw, reverse=True)}
        gates, (perm, p2v, v2p) = rh.assert_well_formed(router.route(**reordered), n)
        rh.assert_implements(kw["circuit"], gates, list(range(n)), v2p, n)

    targs = transpile_args()
    targs["layout"] = (tuple(range(n)),)
    shuffled = dict(sorted(targs.items()))
    gates, (perm, p2v, v2p) = rh.assert_well_formed(router.transpile(**shuffled), n)
    rh.assert_implements(targs["circuit"], gates, rh.argsort(perm), v2p, n)


# --------------------------------------------------------------------------
# Degenerate counts and empty input


def test_zero_counts_and_empty_circuit_give_identity(router):
    args = line_args()
    n = args["num_qubits"]
    assert router.route(**dict(args, runs=0)) == identity_result(n)
    assert router.route(**dict(args, circuit=[])) == identity_result(n)
    targs = transpile_args()
    for change in (dict(runs=0), dict(shots=0, layout=[]), dict(shots=0), dict(its=0),
                   dict(inner_its=0), dict(circuit=[])):
        assert router.transpile(**dict(targs, **change)) == identity_result(n), change
    # A circuit that cancels to nothing routes to nothing.
    pair = [(rh.CX, (2, 3)), (rh.CX, (2, 3))]
    assert router.route(**dict(args, circuit=pair)) == identity_result(n)
    swaps = [(rh.SWAP, (4, 5)), (rh.SWAP, (5, 4))]
    assert router.route(**dict(args, circuit=swaps)) == identity_result(n)
    # No qubits at all.
    assert router.route([], 3, [], [], {}, ["n_cnots"], 0) == ([], ([], [], []))


def test_empty_and_mixed_case_metric_names(router):
    args = line_args()
    n = args["num_qubits"]
    for names in ([], ["N_CNOTS"], ["Noise", "LaYeRs"], ["CNOT_layers", "n_Gates", "NOISE"],
                  ["n_cnots", "n_cnots"]):
        gates, (perm, p2v, v2p) = rh.assert_well_formed(
            router.route(**dict(args, metrics_names=names)), n)
        assert gates
        rh.assert_implements(args["circuit"], gates, list(range(n)), v2p, n)
        targs = dict(transpile_args(), metrics_names=names)
        gates, (perm, p2v, v2p) = rh.assert_well_formed(router.transpile(**targs), n)
        rh.assert_implements(targs["circuit"], gates, rh.argsort(perm), v2p, n)


# --------------------------------------------------------------------------
# Gate codes


@pytest.mark.parametrize("code", [7, 8, 9])
def test_codes_seven_to_nine_are_internal_faults(router, panic_cls, code, fault_reports):
    circuits = [
        [(code, (0, 1))],
        # Also as the last of a long list of good gates.
        [(rh.CX, (i % 7, i % 7 + 1)) for i in range(50)] + [(code, (2, 3))],
    ]
    for circuit in circuits:
        with pytest.raises(panic_cls) as info:
            router.route(**line_args(circuit=circuit))
        assert str(info.value) == f"index out of bounds: the len is 7 but the index is {code}"
        fault_reports.readouterr()
        with pytest.raises(RuntimeError) as rinfo:
            router.transpile(**transpile_args(circuit=circuit))
        assert rinfo.value.args == ("Panic error",)
        # The exception hides the fault's message; the report keeps it.
        assert f"index out of bounds: the len is 7 but the index is {code}\n" in fault_reports.readouterr().err


def test_high_codes_come_back_unchanged(router):
    high = [10, 1000, 2**64 - 1]
    adjacent = [(c, (i, i + 1)) for i, c in enumerate(high)]
    # They share qubits in a chain, so their order is fixed.
    assert router.route(**line_args(circuit=adjacent)) == (adjacent, identity_result(8)[1])
    # Routed far apart they keep their code.
    far = [(10, (0, 7)), (1000, (1, 6)), (2**64 - 1, (2, 5))]
    for method, args in (("route", line_args(circuit=far)), ("transpile", transpile_args(circuit=far))):
        gates, _ = getattr(router, method)(**args)
        codes = [c for c, _ in gates if c != rh.SWAP]
        assert sorted(codes) == sorted(c for c, _ in far)
        rh.assert_on_edges(gates, args["coupling_map"])
    with pytest.raises(OverflowError):
        router.route(**line_args(circuit=[(2**64, (0, 1))]))


def test_gate_kinds_combine_on_adjacent_pairs(router):
    # Gates already adjacent are passed through, simplified where they meet
    # their own kind on the same pair.
    cases = [
        ([(rh.SYM_CX, (0, 1))], [(rh.SYM_CX, (0, 1))]),
        ([(rh.SYM_CX, (0, 1)), (rh.SYM_CX, (1, 0))], []),
        ([(rh.CX, (0, 1)), (rh.CX, (1, 0))], [(rh.CX, (0, 1)), (rh.CX, (1, 0))]),
        ([(rh.BLOCK3, (0, 1)), (rh.CX, (0, 1)), (10, (1, 0))], [(rh.BLOCK3, (0, 1))]),
        ([(rh.BLOCK2, (2, 3)), (rh.CX, (3, 2))], [(rh.BLOCK3, (3, 2))]),
        ([(rh.BLOCK2, (2, 3))], [(rh.BLOCK2, (2, 3))]),
        ([(rh.ONE_QUBIT, (4, 4)), (rh.WAIT_ALL, (5, 5))], None),
        ([(rh.CX, (0, 1)), (rh.ONE_QUBIT, (0, 0)), (rh.CX, (0, 1))],
         [(rh.CX, (0, 1)), (rh.ONE_QUBIT, (0, 0)), (rh.CX, (0, 1))]),
    ]
    for circuit, expected in cases:
        gates, layouts = router.route(**line_args(circuit=circuit))
        if expected is None:
            assert sorted(gates) == sorted(circuit)
        elif expected == []:
            assert (gates, layouts) == identity_result(8)
        else:
            assert gates == expected, circuit
            assert layouts == identity_result(8)[1]


# --------------------------------------------------------------------------
# Faults


def test_worker_faults_reach_route_as_thread_panicked(router, panic_cls, fault_reports):
    args = line_args()
    cases = [
        dict(metrics_names=["depth"]),
        dict(metrics_names=["n_cnots", "noise "]),
        dict(metrics_names=["depth"], circuit=[]),
        dict(circuit=[(rh.CX, (0, 1)), (rh.CX, (2, 11))]),
        dict(num_qubits=4),
        dict(coupling_map=args["coupling_map"] + [(3, 8)]),
        dict(dists=args["dists"][:5]),
        dict(dists=[row[:4] for row in args["dists"]]),
    ]
    for change in cases:
        with pytest.raises(panic_cls) as info:
            router.route(**dict(args, **change))
        assert str(info.value) == "Thread panicked: Any { .. }", change
        with pytest.raises(RuntimeError) as rinfo:
            router.transpile(**dict(transpile_args(), **change))
        assert rinfo.value.args == ("Panic error",), change


def test_fault_reports_go_to_stderr(router, panic_cls, capfd):
    capfd.readouterr()
    with pytest.raises(panic_cls):
        router.route(**line_args(circuit=[(8, (0, 1))]))
    err = capfd.readouterr().err
    assert "panicked at" in err
    assert "index out of bounds: the len is 7 but the index is 8" in err

    with pytest.raises(RuntimeError):
        router.transpile(**dict(transpile_args(), metrics_names=["depth"]))
    err = capfd.readouterr().err
    # The worker's own message is reported even though the exception hides it.
    assert "This should be impossible" in err

    # A lone worker's fault is reported as a worker's, then the pass's own.
    with pytest.raises(panic_cls):
        router.route(**dict(line_args(), runs=1, metrics_names=["depth"]))
    err = capfd.readouterr().err
    worker = err.index("thread '<unnamed>' panicked at")
    assert err.index("This should be impossible") > worker
    assert err.index("Thread panicked: Any { .. }") > worker


def test_distances_and_layouts_that_contradict_the_device(router, panic_cls, fault_reports):
    n = 6
    args = line_args(n, circuit=[(rh.CX, (0, 5)), (rh.CX, (1, 3))])
    good = args["dists"]
    off_map = [list(row) for row in good]
    off_map[4][1] = 1  # one pair called adjacent that no coupler joins
    off_end = [list(row) for row in good]
    off_end[0][2] = 1  # as many false neighbours as true ones in the row
    cases = [
        (off_end, "dists[0][2] is 1, "),
        ([[0] * n for _ in range(n)], "dists[0][2] is 0, "),
        ([[1] * n for _ in range(n)], "dists[0][2] is 1, "),
        (off_map, "dists[4][1] is 1, "),
        ([[-1 if p != r else 0 for r in range(n)] for p in range(n)], "dists[0][2] is -1, "),
    ]
    for dists, named in cases:
        with pytest.raises(panic_cls) as info:
            router.route(**dict(args, dists=dists))
        assert str(info.value).startswith(named) and "in neither direction" in str(info.value)
        with pytest.raises(RuntimeError) as rinfo:
            router.transpile(**dict(transpile_args(n, args["circuit"]), dists=dists))
        assert rinfo.value.args == ("Panic error",)
        assert named in fault_reports.readouterr().err
    # A coupler listed in one direction only couples the pair.
    one_way = dict(args, coupling_map=[(a, b) for a, b in args["coupling_map"] if a < b])
    gates, (_, _, v2p) = router.route(**one_way)
    rh.assert_implements(args["circuit"], gates, list(range(n)), v2p, n)
    # A gate on one qubit twice comes back as it went in.
    assert router.route(**dict(args, circuit=[(rh.CX, (2, 2))]))[0] == [(rh.CX, (2, 2))]

    targs = transpile_args(n, args["circuit"])
    for layout, named in (([0] * n, "layout[0] places caller qubits 0 and 1 on physical qubit 0"),
                          ([1, 1, 2, 3, 4, 5], "layout[1] places caller qubits 0 and 1 on "
                                               "physical qubit 1")):
        layouts = [list(range(n)), layout] if named.startswith("layout[1]") else [layout]
        with pytest.raises(RuntimeError):
            router.transpile(**dict(targs, layout=layouts, shots=len(layouts)))
        assert named in fault_reports.readouterr().err


def test_shots_beyond_layouts_and_short_layouts(router, fault_reports):
    n = 8
    for change in (dict(shots=3), dict(shots=1, layout=[]), dict(layout=[list(range(5))]),
                   dict(shots=2, layout=[list(range(n)), list(range(6))])):
        with pytest.raises(RuntimeError) as info:
            router.transpile(**dict(transpile_args(), **change))
        assert info.value.args == ("Panic error",), change
    # The time limit ends the search after the first pass, before the
    # missing layout is reached.
    targs = dict(transpile_args(), shots=3, max_seconds=0)
    gates, (perm, p2v, v2p) = router.transpile(**targs)
    rh.assert_implements(targs["circuit"], gates, rh.argsort(perm), v2p, n)


def test_faults_need_the_work_that_reaches_them(router, panic_cls, fault_reports):
    n = 8
    args = line_args()
    targs = transpile_args()
    # Metric names and qubits are only looked at by routing workers: with no
    # worker there is nothing to fail.
    quiet = [
        dict(runs=0, metrics_names=["depth"]),
        dict(runs=0, circuit=[(rh.CX, (0, 99))]),
        dict(runs=0, num_qubits=3),
    ]
    for change in quiet:
        assert router.route(**dict(args, **change)) == identity_result(change.get("num_qubits", n))
    for change in (dict(its=0, metrics_names=["depth"]), dict(inner_its=0, metrics_names=["x"]),
                   dict(shots=0, layout=[]), dict(runs=0, metrics_names=["x"])):
        assert router.transpile(**dict(targs, **change)) == identity_result(n), change
    # A shot's layout is applied before its iterations, even when they are
    # empty.
    with pytest.raises(RuntimeError):
        router.transpile(**dict(targs, inner_its=0, layout=[[0, 1]]))
    # Gate codes are converted before anything else.
    with pytest.raises(panic_cls):
        router.route(**dict(args, runs=0, circuit=[(8, (0, 1))]))
    with pytest.raises(RuntimeError):
        router.transpile(**dict(targs, shots=0, circuit=[(8, (0, 1))]))


def test_instance_is_reusable_after_faults(router, panic_cls, fault_reports):
    local = CircuitRouting()
    for _ in range(3):
        with pytest.raises(panic_cls):
            local.route(**line_args(circuit=[(9, (0, 1))]))
        with pytest.raises(RuntimeError):
            local.transpile(**dict(transpile_args(), shots=5))
        with pytest.raises(TypeError):
            local.route(**dict(line_args(), runs="x"))
        args = line_args()
        gates, (perm, p2v, v2p) = local.route(**args)
        rh.assert_implements(args["circuit"], gates, list(range(8)), v2p, 8)
        targs = transpile_args()
        gates, (perm, p2v, v2p) = local.transpile(**targs)
        rh.assert_implements(targs["circuit"], gates, rh.argsort(perm), v2p, 8)


def test_caller_values_are_not_modified(router):
    cmap, n, dists = rh.device("grid_5x5")
    rng = rh.fresh_rng(11)
    circuit = rh.random_circuit(n, 40, rng, swap_share=0.2, one_qubit_share=0.1)
    err_map = rh.error_map(cmap, rng)
    layout = [list(range(n)), rng.sample(range(n), n)]
    names = ["Noise", "n_cnots"]
    args = dict(circuit=circuit, runs=4, coupling_map=cmap, dists=dists, err_map=err_map,
                metrics_names=names, num_qubits=n)
    before = copy.deepcopy(args)
    router.route(**args)
    assert args == before
    targs = dict(args, inner_its=3, its=2, shots=2, layout=layout, max_seconds=10)
    tbefore = copy.deepcopy(targs)
    router.transpile(**targs)
    assert targs == tbefore


# --------------------------------------------------------------------------
# Promptness


def test_max_seconds_zero_stops_after_one_pass(router):
    targs = dict(transpile_args(), inner_its=10**9, its=10**9, shots=10**6,
                 layout=[list(range(8))] * 2)
    start = time.monotonic()
    gates, (perm, p2v, v2p) = router.transpile(**dict(targs, max_seconds=0))
    assert time.monotonic() - start < 5
    assert gates
    rh.assert_implements(targs["circuit"], gates, rh.argsort(perm), v2p, 8)


def test_unroutable_gates_end_promptly_with_nothing(router):
    # Two components: 0-1-2 and 4-5; qubit 3 has no coupler.
    cmap = rh.line(3) + [(4, 5), (5, 4)]
    n = 6
    dists = rh.bfs_distances(cmap, n)
    cases = [
        ([(rh.CX, (0, 5))], cmap, dists),
        ([(rh.CX, (1, 2)), (rh.CX, (0, 3))], cmap, dists),
        ([(rh.CX, (3, 3)), (rh.CX, (2, 4))], cmap, dists),
        # Coupled on paper, but the distances say the pair never meets.
        ([(rh.CX, (0, 1))], [(0, 1), (1, 0)], [[0, MAX], [MAX, 0]]),
    ]
    for circuit, cm, dm in cases:
        n = len(dm)
        start = time.monotonic()
        assert router.route(circuit, 8, cm, dm, {}, ["n_cnots"], n) == identity_result(n)
        res = router.transpile(circuit, 4, 2, 2, 2, [list(range(n))] * 2, cm, dm, {},
                               ["n_cnots"], n, 100)
        assert res == identity_result(n)
        assert time.monotonic() - start < 10, circuit


def test_iterations_without_passes_still_end_promptly():
    # Huge counts with a zero time limit: whether or not passes run, the
    # call must come back at once. Run apart so that a hang fails the test
    # instead of the session.
    code = textwrap.dedent("""
        from corvane import corvane_rs
        r = corvane_rs.CircuitRouting()
        big = 2**64 - 1
        cmap = [(0, 1), (1, 0), (1, 2), (2, 1)]
        dists = [[0, 1, 2], [1, 0, 1], [2, 1, 0]]
        ident = [0, 1, 2]
        for runs, inner_its in ((0, big), (1, 0), (4, 0)):
            res = r.transpile([(0, (0, 2))], runs, inner_its, big, 1, [ident], cmap, dists,
                              {}, ["n_cnots"], 3, 0)
            assert res == ([], (ident, ident, ident)), res
            print(f"runs={runs} inner_its={inner_its} returned", flush=True)
        print("done")
    """)
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=10)
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        pytest.fail("transpile with its=2**64-1 and max_seconds=0 did not return within 10 s; "
                    f"finished before the hang: {out.split()!r}")
    assert done.returncode == 0 and done.stdout.splitlines()[-1:] == ["done"], done.stderr[-2000:]

"""Whatever a caller passes, CircuitRouting answers with a well-formed result
or a Python exception of the documented kinds; it never takes the
interpreter down. Hand-picked bad inputs run in this process; generated
ones run in a child interpreter so that a crash shows as its exit status."""

import json
import math
import os
import random
import subprocess
import sys
import threading

import pytest

from corvane import corvane_rs

import routing_helpers as rh

HERE = os.path.dirname(os.path.abspath(__file__))
# Children run from the repository root, where the shared helpers import from.
REPO = os.path.dirname(os.path.dirname(HERE))
MAX = 2147483647


def is_panic(exc):
    cls = type(exc)
    return cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"


def classify(method, call, n):
    """Runs call(); returns the outcome's name or raises AssertionError when
    the outcome is not one the method may give."""
    try:
        result = call()
    except (TypeError, ValueError, OverflowError, MemoryError) as e:
        return type(e).__name__
    except RuntimeError as e:
        assert method == "transpile" and e.args == ("Panic error",), repr(e)
        return "RuntimeError"
    except BaseException as e:  # noqa: B902 - internal faults are BaseException
        assert method == "route" and is_panic(e), repr(e)
        return "PanicException"
    rh.assert_well_formed(result, n)
    return "ok"


@pytest.fixture(scope="module")
def router():
    return corvane_rs.CircuitRouting()


def base_args(n=6):
    cmap = rh.line(n)
    return dict(
        circuit=[(rh.CX, (0, n - 1)), (rh.SWAP, (1, 4)), (rh.ONE_QUBIT, (2, 2)), (rh.CX, (3, 0))],
        runs=3, inner_its=2, its=1, shots=1, layout=[list(range(n))], coupling_map=cmap,
        dists=rh.bfs_distances(cmap, n), err_map={(0, 1): 0.01}, metrics_names=["n_cnots"],
        num_qubits=n, max_seconds=5,
    )


ROUTE_KEYS = ["circuit", "runs", "coupling_map", "dists", "err_map", "metrics_names", "num_qubits"]


def call(router, method, args):
    if method == "route":
        return lambda: router.route(**{k: args[k] for k in ROUTE_KEYS})
    return lambda: router.transpile(**args)


D6 = rh.bfs_distances(rh.line(6), 6)

# (label, changes to the base arguments, outcome expected from route,
#  outcome expected from transpile); None leaves the outcome open.
HAND_PICKED = [
    ("qubit beyond num_qubits", dict(circuit=[(0, (0, 6))]), "PanicException", "RuntimeError"),
    ("huge qubit", dict(circuit=[(0, (0, 2**63))]), "PanicException", "RuntimeError"),
    ("qubit beyond 64 bits", dict(circuit=[(0, (0, 2**64))]), "OverflowError", "OverflowError"),
    ("ragged dists", dict(dists=[row[: 1 + i % 3] for i, row in enumerate(D6)]),
     "PanicException", "RuntimeError"),
    ("short dists", dict(dists=D6[:2]), "PanicException", "RuntimeError"),
    ("empty dists", dict(dists=[]), "PanicException", "RuntimeError"),
    ("empty dists rows", dict(dists=[[] for _ in range(6)]), "PanicException", "RuntimeError"),
    ("coupler end out of range", dict(coupling_map=rh.line(6) + [(5, 6)]),
     "PanicException", "RuntimeError"),
    ("coupler end far out", dict(coupling_map=[(0, 2**62)]), "PanicException", "RuntimeError"),
    ("no couplers", dict(coupling_map=[]), "PanicException", "RuntimeError"),
    ("no couplers, no adjacent pair", dict(coupling_map=[], dists=[[0 if p == r else MAX for r in range(6)]
                                                                     for p in range(6)]), "ok", "ok"),
    ("self-loop coupler", dict(coupling_map=rh.line(6) + [(2, 2)]), "ok", "ok"),
    ("empty everything", dict(circuit=[], coupling_map=[], dists=[], err_map={},
                              metrics_names=[], num_qubits=0, layout=[[]]), "ok", "ok"),
    ("num_qubits 0 with gates", dict(num_qubits=0), "PanicException", "RuntimeError"),
    ("num_qubits below circuit", dict(num_qubits=3), "PanicException", "RuntimeError"),
    # Distances are only read for pairs that routing can reach.
    ("num_qubits above device", dict(num_qubits=9, layout=[list(range(9))]), "ok", "ok"),
    # Refused before anything is allocated: the identity lists alone would not fit.
    ("num_qubits huge", dict(num_qubits=2**62), "MemoryError", "MemoryError"),
    ("num_qubits max", dict(num_qubits=2**64 - 1, circuit=[]), "MemoryError", "MemoryError"),
    ("num_qubits 2**40, nothing to route", dict(num_qubits=2**40, circuit=[], runs=0),
     "MemoryError", "MemoryError"),
    ("num_qubits too big", dict(num_qubits=2**64), "OverflowError", "OverflowError"),
    ("layout shorter than n", dict(layout=[[0, 1, 2]]), "ok", "RuntimeError"),
    ("layout entry beyond n", dict(layout=[[0, 1, 2, 3, 4, 60]]), "ok", "RuntimeError"),
    ("layout with repeats", dict(layout=[[0, 0, 1, 1, 2, 2]]), "ok", "RuntimeError"),
    ("layout longer than n", dict(layout=[list(range(6)) + [9, 9]]), "ok", None),
    ("shots beyond layouts", dict(shots=4), "ok", "RuntimeError"),
    ("no layouts", dict(layout=[]), "ok", "RuntimeError"),
    ("unknown metric", dict(metrics_names=["n_cnots", "fidelity"]), "PanicException",
     "RuntimeError"),
    ("empty metric name", dict(metrics_names=[""]), "PanicException", "RuntimeError"),
    ("non-ASCII metric", dict(metrics_names=["NOİSE", "ñ"]), "PanicException", "RuntimeError"),
    ("metric not a str", dict(metrics_names=[b"noise"]), "TypeError", "TypeError"),
    ("odd error rates", dict(err_map={(0, 1): math.nan, (1, 0): -3.0, (1, 2): math.inf,
                                      (2, 3): 1e300, (9, 9): 0.5}), "ok", "ok"),
    ("error rate not a number", dict(err_map={(0, 1): None}), "TypeError", "TypeError"),
    ("negative distances", dict(dists=[[-MAX - 1] * 6 for _ in range(6)]), "PanicException",
     "RuntimeError"),
    ("all distances unreachable", dict(dists=[[MAX] * 6 for _ in range(6)]), "ok", "ok"),
    ("code 7", dict(circuit=[(0, (0, 1)), (7, (0, 1))]), "PanicException", "RuntimeError"),
    ("wait-all and one-qubit with far q1", dict(circuit=[(6, (0, 5)), (5, (1, 4)), (0, (2, 3))]),
     "ok", "ok"),
    ("runs 16", dict(runs=16), "ok", "ok"),
    ("runs float", dict(runs=2.0), "TypeError", "TypeError"),
    ("runs too big", dict(runs=2**64), "OverflowError", "OverflowError"),
    ("max_seconds max", dict(max_seconds=2**64 - 1), "ok", "ok"),
    ("counts huge, no time", dict(inner_its=2**64 - 1, its=2**64 - 1, shots=2**64 - 1,
                                  max_seconds=0), "ok", "ok"),
    ("circuit of dicts", dict(circuit=[{"a": 1}]), "TypeError", "TypeError"),
    ("circuit a generator", dict(circuit=(g for g in [(0, (0, 1))])), "TypeError", "TypeError"),
    ("circuit a set", dict(circuit={(0, (0, 1))}), "TypeError", "TypeError"),
    ("bytes as circuit", dict(circuit=b"\x00\x01"), "TypeError", "TypeError"),
    ("dists None rows", dict(dists=[None] * 6), "TypeError", "TypeError"),
    ("err_map key list", dict(err_map={"01": 0.1}), "TypeError", "TypeError"),
    ("err_map key short", dict(err_map={(0,): 0.1}), "ValueError", "ValueError"),
    ("coupler of three", dict(coupling_map=[(0, 1, 2)]), "ValueError", "ValueError"),
]


@pytest.mark.parametrize("label,change,route_out,transpile_out", HAND_PICKED,
                         ids=[c[0] for c in HAND_PICKED])
def test_hand_picked_inputs(router, label, change, route_out, transpile_out, fault_reports):
    for method, want in (("route", route_out), ("transpile", transpile_out)):
        args = dict(base_args(), **change)
        n = args["num_qubits"]
        got = classify(method, call(router, method, args), n)
        if want is not None:
            assert got == want, (method, label)


def test_faults_leave_the_interpreter_and_instance_working(router, fault_reports):
    args = base_args()
    for change in (dict(num_qubits=2**62), dict(dists=[]), dict(circuit=[(8, (0, 1))])):
        for method in ("route", "transpile"):
            classify(method, call(router, method, dict(args, **change)), 0)
    gates, (perm, p2v, v2p) = router.route(**{k: args[k] for k in ROUTE_KEYS})
    rh.assert_implements(args["circuit"], gates, list(range(6)), v2p, 6)


def test_concurrent_calls_from_python_threads(router, fault_reports):
    # One instance shared by several Python threads, good and faulty calls
    # interleaved: every good call must still be right.
    cmap, n, dists = rh.device("grid_5x5")
    errors = []

    def work(seed):
        rng = random.Random(seed)
        try:
            for _ in range(6):
                circuit = rh.random_circuit(n, 30, rng, swap_share=0.2, one_qubit_share=0.1)
                gates, (perm, p2v, v2p) = router.route(circuit, 3, cmap, dists, {}, ["noise"], n)
                rh.assert_implements(circuit, gates, list(range(n)), v2p, n)
                gates, (perm, p2v, v2p) = router.transpile(
                    circuit, 2, 2, 1, 1, [rng.sample(range(n), n)], cmap, dists, {},
                    ["n_cnots"], n, 10)
                rh.assert_implements(circuit, gates, rh.argsort(perm), v2p, n)
                assert classify("route", call(router, "route", dict(
                    base_args(), circuit=[(9, (0, 1))])), 6) == "PanicException"
        except BaseException as e:  # noqa: B902 - report anything to the main thread
            errors.append(repr(e))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


class _EmptiesOnIndex:
    """An int-like whose conversion empties the list that holds it."""

    def __init__(self, victim):
        self.victim = victim

    def __index__(self):
        self.victim.clear()
        return 0


class _Pair(tuple):
    """A tuple that goes back to the allocator when dropped (no free list), so
    that a read after its release shows under AddressSanitizer."""


def test_list_item_held_while_it_converts(router):
    # The list holds the only reference to its item, and the item's first
    # field empties the list while the item is being converted.
    circuit = []
    circuit.append(_Pair((_EmptiesOnIndex(circuit), (0, 1))))
    dists = rh.bfs_distances(rh.line(3), 3)
    gates, _ = router.route(circuit, 1, rh.line(3), dists, {}, ["n_cnots"], 3)
    assert circuit == [] and gates == [(rh.CX, (0, 1))]


# --------------------------------------------------------------------------
# Inputs of a few bytes that describe huge work. Run in a child interpreter,
# so that a regression fails the test instead of hanging or killing the run.


def bounded_calls():
    router = corvane_rs.CircuitRouting()
    cmap, n = rh.line(6), 6
    dists = rh.bfs_distances(cmap, n)
    circuit = [(rh.CX, (0, 5)), (rh.CX, (2, 4)), (rh.CX, (1, 3))]

    # num_qubits far beyond the device: the idle qubits keep their places.
    big = 100_000
    gates, (perm, p2v, v2p) = router.route(circuit, 4, cmap, dists, {}, ["n_cnots"], big)
    assert p2v[n:] == list(range(n, big)) and v2p[n:] == list(range(n, big))
    rh.assert_implements(circuit, gates, list(range(n)), v2p[:n], n)
    print("num_qubits beyond the device", flush=True)

    # Distances that mislead the policy, with many runs and a huge num_qubits:
    # every run gives up after a stall bounded by the six-qubit device.
    misleading = [[0 if p == r else 10 - abs(p - r) for r in range(n)] for p in range(n)]
    misleading[2][3] = misleading[3][2] = 1
    misleading[0][5] = 1000
    for runs, qubits in ((200, n), (8, big)):
        gates, layout = router.route([(rh.CX, (1, 4))], runs, cmap, misleading, {},
                                     ["n_cnots"], qubits)
        assert gates == [] and layout == tuple([list(range(qubits))] * 3)
    print("misleading distances", flush=True)

    # Many runs share a bounded set of threads and still pick the best.
    gates, (perm, p2v, v2p) = router.route(circuit, 20_000, cmap, dists, {}, ["n_cnots"], n)
    rh.assert_implements(circuit, gates, list(range(n)), v2p, n)
    # Runs that need no step all give the same result: the first is taken.
    adjacent = [(rh.CX, (0, 1)), (rh.CX, (3, 4))]
    assert sorted(router.route(adjacent, 2**63, cmap, dists, {}, ["n_cnots"], n)[0]) == adjacent
    assert router.route([], 2**64 - 1, cmap, dists, {}, ["n_cnots"], n)[0] == []
    print("many runs", flush=True)

    # Rows that alias one list describe a matrix far larger than the object.
    row = list(range(1_000_000))
    aliased = [row] * 1_000_001
    complete = [(a, b) for a in range(4) for b in range(4) if a != b]  # agrees with any row
    gates, _ = router.route([(rh.CX, (0, 1))], 4, complete, aliased, {}, ["n_cnots"], 4)
    assert gates == [(rh.CX, (0, 1))]
    for call in (lambda: router.route([], 1, rh.line(4), aliased, {}, [], 1_000_000),
                 lambda: router.transpile([], 1, 1, 1, 2**40, [row] * 100_000, rh.line(4),
                                          aliased, {}, [], 1_000_000, 0),
                 lambda: router.route([], 0, [], [], {}, [], 2**31)):
        with pytest.raises(MemoryError, match=r"^argument '(dists|layout|num_qubits)': "):
            call()
    print("aliased rows and absurd sizes", flush=True)
    print("done")


def test_calls_are_bounded_by_the_work_they_describe():
    code = f"import sys; sys.path.insert(0, {HERE!r}); import test_routing_robustness as t; t.bounded_calls()"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600, cwd=REPO)
    assert done.returncode == 0 and done.stdout.splitlines()[-1:] == ["done"], (
        f"child exited with {done.returncode}\nstdout:\n{done.stdout[-3000:]}\n"
        f"stderr:\n{done.stderr[-3000:]}")


# --------------------------------------------------------------------------
# Generated inputs, run in a child interpreter


WRONG_VALUES = [None, "str", 1.5, {}, [], (), object(), -1, 2**64, [None], [[1, 2]], {1: 2}]


def _set_coupling_map(args, cmap):
    """Changes the couplers and, where they fit, the distances with them."""
    args["coupling_map"] = cmap
    dists = args["dists"]
    if isinstance(dists, list) and all(isinstance(row, list) for row in dists):
        size = len(dists)
        if all(isinstance(e, tuple) and len(e) == 2 and 0 <= min(e) and max(e) < size
               for e in cmap):
            args["dists"] = rh.bfs_distances(cmap, size)


def _mutate(rng, args):
    """Breaks one part of a valid argument set."""
    n = args["num_qubits"]
    if not isinstance(n, int) or not 0 < n < 100:
        n = 6
    kind = rng.randrange(16)
    # Structural changes only apply while the part is still a list.
    part = {1: "circuit", 2: "dists", 3: "dists", 4: "dists", 5: "coupling_map",
            6: "coupling_map", 10: "layout", 11: "layout", 12: "circuit"}.get(kind)
    if part is not None and not isinstance(args[part], list):
        return
    if part == "dists" and not all(isinstance(row, list) for row in args["dists"]):
        return
    if kind == 0:
        key = rng.choice(list(args))
        args[key] = rng.choice(WRONG_VALUES)
    elif kind == 1:
        i = rng.randrange(len(args["circuit"]) + 1)
        code = rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 77, 2**64 - 1, 2**64, -1])
        q0 = rng.choice([0, 1, n - 1, n, n + 5, 2**40, -1])
        q1 = rng.choice([0, 1, n - 1, n, 2**63])
        args["circuit"] = args["circuit"][:i] + [(code, (q0, q1))] + args["circuit"][i:]
    elif kind == 2:
        rows = args["dists"]
        if rows:
            r = rng.randrange(len(rows))
            rows = [list(row) for row in rows]
            rows[r] = rows[r][: rng.randrange(len(rows[r]) + 1)]
            args["dists"] = rows
    elif kind == 3:
        args["dists"] = args["dists"][: rng.randrange(len(args["dists"]) + 1)]
    elif kind == 4:
        rows = [list(row) for row in args["dists"]]
        if rows:
            r = rng.randrange(len(rows))
            if rows[r]:
                # Values that call a pair adjacent (a fault unless it is
                # coupled), or do not fit. (Distances that only overstate
                # can leave the router stepping until its cap.)
                rows[r][rng.randrange(len(rows[r]))] = rng.choice(
                    [-1, -MAX - 1, 0, MAX + 1, -MAX - 2])
            args["dists"] = rows
    elif kind == 5:
        cmap = list(args["coupling_map"])
        cmap.append((rng.choice([0, n - 1, n, 2**62]), rng.choice([0, 1, n])))
        rng.shuffle(cmap)
        _set_coupling_map(args, cmap)
    elif kind == 6:
        cmap = list(args["coupling_map"])
        del cmap[: rng.randrange(len(cmap) + 1)]
        _set_coupling_map(args, cmap)
    elif kind == 7:
        args["num_qubits"] = rng.choice([0, 1, n - 1, n + 1, n + 7, 2**62, 2**64 - 1, -1])
    elif kind == 8:
        args["metrics_names"] = rng.sample(
            ["noise", "LAYERS", "n_cnots", "N_Gates", "cnot_layers", "depth", "", "noise "],
            rng.randrange(4))
    elif kind == 9:
        args["err_map"] = {
            (rng.randrange(n + 2), rng.randrange(n + 2)): rng.choice(
                [0, 1, 0.5, -1.0, 2.0, float("nan"), float("inf"), 1e-300])
            for _ in range(rng.randrange(6))}
    elif kind == 10:
        lay = args["layout"]
        if lay and isinstance(lay[0], list):
            row = list(lay[0])
            choice = rng.randrange(3)
            if choice == 0:
                row = row[: rng.randrange(len(row) + 1)]
            elif choice == 1 and row:
                row[rng.randrange(len(row))] = rng.choice([0, n, n + 3, 2**62])
            else:
                row = row + [rng.randrange(n + 2)]
            args["layout"] = [row] + lay[1:]
    elif kind == 11:
        args["shots"] = rng.randrange(len(args["layout"]) + 3)
    elif kind == 12:
        gates = [g for g in args["circuit"][:2] if isinstance(g, tuple) and len(g) == 2]
        args["circuit"] = [(c, (pair[0], pair[1], pair[0])) if rng.random() < 0.5 else (c,)
                           for c, pair in gates] or [(0,)]
    elif kind == 13:
        # Huge counts, bounded by the time limit. (Iterations without passes
        # never look at the clock; that case has a test of its own.)
        args["runs"] = rng.choice([0, 1, 16])
        args["inner_its"] = rng.choice([1, 3, 2**64 - 1])
        args["its"] = rng.choice([0, 1, 2, 2**64 - 1])
        args["max_seconds"] = 0
    elif kind == 14:
        args["circuit"] = "str"
    else:
        args["err_map"] = {((0, 1)): "x"} if rng.random() < 0.5 else {(0, 1, 2): 0.1}


def _valid_args(rng):
    shape = rng.randrange(3)
    if shape == 0:
        cmap = rh.line(rng.randrange(2, 9))
    elif shape == 1:
        cmap = rh.grid(rng.randrange(1, 4), rng.randrange(2, 4))
    else:
        k = rng.randrange(3, 9)
        cmap = rh.line(k) + [(k - 1, 0), (0, k - 1)]
    n = rh.num_qubits(cmap)
    circuit = rh.random_circuit(n, rng.randrange(0, 20), rng, swap_share=0.2,
                                one_qubit_share=0.1)
    for i in range(len(circuit)):
        if rng.random() < 0.1:
            code = rng.choice([2, 3, 4, 6, 10, 2**64 - 1])
            circuit[i] = (code, circuit[i][1])
    return dict(
        circuit=circuit, runs=rng.randrange(0, 5), inner_its=rng.randrange(0, 4),
        its=rng.randrange(0, 3), shots=rng.randrange(0, 3),
        layout=[rng.sample(range(n), n) for _ in range(2)], coupling_map=cmap,
        dists=rh.bfs_distances(cmap, n), err_map=rh.error_map(cmap, rng),
        metrics_names=rng.sample(["noise", "layers", "n_cnots", "n_gates", "cnot_layers"],
                                 rng.randrange(3)),
        num_qubits=n, max_seconds=rng.choice([0, 5]),
    )


def fuzz(seed, count):
    """Makes count calls from seeded inputs; prints the outcome counts as
    JSON; exits non-zero on an outcome a caller must never see."""
    rng = random.Random(seed)
    router = corvane_rs.CircuitRouting()
    counts = {}
    for i in range(count):
        args = _valid_args(rng)
        for _ in range(rng.choice([0, 1, 1, 2, 3])):
            _mutate(rng, args)
        method = rng.choice(["route", "transpile"])
        n = args["num_qubits"] if isinstance(args["num_qubits"], int) else -1
        try:
            outcome = classify(method, call(router, method, args), n)
        except AssertionError as e:
            print(json.dumps({"call": i, "method": method, "args": repr(args)[:2000],
                              "error": str(e)}))
            sys.exit(3)
        key = f"{method}:{outcome}"
        counts[key] = counts.get(key, 0) + 1
    print(json.dumps(counts))


FUZZ_CALLS = 250


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_generated_inputs_never_crash(seed):
    code = f"import sys; sys.path.insert(0, {HERE!r}); import test_routing_robustness as t; t.fuzz({seed}, {FUZZ_CALLS})"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120, cwd=REPO)
    assert done.returncode == 0, (
        f"child exited with {done.returncode}\nstdout:\n{done.stdout[-3000:]}\n"
        f"stderr:\n{done.stderr[-3000:]}")
    counts = json.loads(done.stdout.strip().splitlines()[-1])
    assert sum(counts.values()) == FUZZ_CALLS
    # The inputs must reach both methods, succeed often and fail in several ways.
    kinds = {key.split(":")[1] for key in counts}
    assert counts.get("route:ok", 0) > 5 and counts.get("transpile:ok", 0) > 5, counts
    assert {"TypeError", "PanicException", "RuntimeError"} <= kinds, counts

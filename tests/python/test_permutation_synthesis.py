"""PermutationSynthesis as callers use it: the published models sort random
permutations with SWAPs on their coupling maps, and every documented failure
is raised as such."""

import random

import pytest

from corvane import corvane_rs

from synthesis_helpers import companion, is_panic, run_child

DATA = companion("permutation")
PATH = DATA["models_path"]
MODELS = {m["model_info"]["model_name"]: m for m in DATA["models"]}
SMALL = "permutation_sb3_8qL_v1"


def construct(models=None, path=PATH, **overrides):
    models = list(MODELS.values()) if models is None else models
    info = [dict(m["model_info"], **overrides) for m in models]
    cmap = {m["model_info"]["model_name"]: [tuple(e) for e in m["cmap"]] for m in models}
    perms = {m["model_info"]["model_name"]: m["valid_perms"] for m in models}
    return corvane_rs.PermutationSynthesis(info, cmap, perms, path)


@pytest.fixture(scope="module")
def synth():
    return construct()


def rebuilds(swaps, perm, edges):
    """The SWAPs use coupling-map edges only and, applied to the identity as
    cell exchanges, give back the permutation."""
    allowed = {tuple(e) for e in edges} | {tuple(reversed(e)) for e in edges}
    cells = list(range(len(perm)))
    for a, b in swaps:
        assert (a, b) in allowed, (a, b)
        cells[a], cells[b] = cells[b], cells[a]
    return cells == list(perm)


@pytest.mark.parametrize("name", list(MODELS))
def test_random_permutations_are_synthesized_on_the_coupling_map(synth, name):
    n = int(MODELS[name]["model_info"]["qubits"])
    rng = random.Random(n)
    for _ in range(3):
        perm = list(range(n))
        rng.shuffle(perm)
        swaps = synth.run(name, 10, perm)
        assert rebuilds(swaps, perm, MODELS[name]["cmap"])
    # The 8-qubit line sorts by adjacent transpositions: exactly the inversions.
    if name == SMALL:
        perm = [7, 6, 5, 4, 3, 2, 1, 0]
        assert len(synth.synthesize(name, perm)) == 28


def test_identity_and_failures(synth, fault_reports):
    assert synth.synthesize(SMALL, list(range(8))) == []
    assert synth.run(SMALL, 3, list(range(8)) + [99]) == []  # cells beyond num_qubits are not examined
    with pytest.raises(RuntimeError) as e:
        synth.synthesize("nope", [0])
    assert e.value.args == ("Model nope not found",)
    with pytest.raises(RuntimeError, match="^Model nope not found$"):
        synth.run("nope", 0, [])
    with pytest.raises(RuntimeError) as e:
        synth.run(SMALL, 0, [1, 0])
    assert e.value.args == ("No solution found in 0 permutation synthesis runs.",)
    with pytest.raises(BaseException) as e:
        synth.synthesize(SMALL, [0, 1, 2])  # shorter than the model while matching so far
    assert is_panic(e.value) and str(e.value) == "index out of bounds: the len is 3 but the index is 3"
    with pytest.raises(BaseException) as e:
        synth.synthesize(SMALL, [1, 0, 2, 3, 4, 5, 6, 7, 8])  # longer than the network's input
    assert is_panic(e.value) and str(e.value) == "Matrix slicing out of bounds." 
    # Repeated values cannot be sorted until an inversion turns them into a permutation.
    out = synth.run(SMALL, 5, [1, 1, 2, 3, 4, 5, 6, 7])
    assert isinstance(out, list)


def test_step_limit_zero_allows_one_step():
    synth = construct([MODELS[SMALL]], default_n_steps="0")
    assert synth.synthesize(SMALL, [1, 0, 2, 3, 4, 5, 6, 7]) in ([(0, 1)], [(1, 0)])
    with pytest.raises(RuntimeError) as e:
        synth.synthesize(SMALL, [7, 6, 5, 4, 3, 2, 1, 0])
    assert e.value.args == ("Solution not found in permutation synthesis",)


def test_run_reports_swaps_beyond_num_qubits():
    # A model that believes it has 2 qubits: SWAPs beyond qubit 1 fail the metrics.
    synth = construct([MODELS[SMALL]], qubits="2")
    code, out, err = run_child(f"""
        import json
        from corvane import corvane_rs
        m = json.load(open("models/permutation.json"))["models"][0]
        info = dict(m["model_info"], qubits="2")
        s = corvane_rs.PermutationSynthesis([info], {{info["model_name"]: [tuple(e) for e in m["cmap"]]}},
                                            {{info["model_name"]: m["valid_perms"]}}, "{PATH}")
        try:
            s.run(info["model_name"], 2, [2, 1, 0, 3, 4, 5, 6, 7])
        except RuntimeError as e:
            print("raised", e.args[0])
        """)
    assert code == 0, err
    lines = out.splitlines()
    assert lines[:2] == ['Something went wrong getting permutation metrics: "Invalid qubit 2"'] * 2
    assert lines[2] == "raised No solution found in 2 permutation synthesis runs."
    swaps = synth.synthesize(SMALL, [2, 1, 0, 3, 4, 5, 6, 7])
    assert any(2 in swap for swap in swaps)
    assert synth.synthesize(SMALL, [0, 1, 3, 2, 4, 5, 6, 7]) == []  # only cells 0 and 1 are examined


def test_descriptions_are_reported_and_skipped():
    m = MODELS[SMALL]
    code, out, err = run_child(f"""
        from corvane import corvane_rs
        import json, sys
        m = {m!r}
        name = "{SMALL}"
        cmap = {{name: [tuple(e) for e in m["cmap"]]}}
        perms = {{name: m["valid_perms"]}}
        full = m["model_info"]
        cases = [
            {{}},
            {{"model_name": name}},
            dict(full, qubits="12.0"),
            dict(full, qubits=""),
            dict(full, qubits="18446744073709551616"),
            {{k: v for k, v in full.items() if k != "coupling_map_hash"}},
            {{k: v for k, v in full.items() if k != "default_n_steps"}},
        ]
        for info in cases:
            s = corvane_rs.PermutationSynthesis([info], cmap, perms, "{PATH}")
            try:
                s.synthesize(name, [1, 0, 2, 3, 4, 5, 6, 7])
            except RuntimeError as e:
                print("->", e.args[0])
        corvane_rs.PermutationSynthesis([full], {{}}, perms, "{PATH}")
        corvane_rs.PermutationSynthesis([full], cmap, {{}}, "{PATH}")
        # A failing duplicate leaves the earlier record; a later good one replaces it.
        s = corvane_rs.PermutationSynthesis([full, dict(full, qubits="x")], cmap, perms, "{PATH}")
        print(len(s.synthesize(name, [1, 0, 2, 3, 4, 5, 6, 7])))
        s = corvane_rs.PermutationSynthesis([dict(full, qubits="+8"), dict(full, default_n_steps="0")], cmap, perms, "{PATH}")
        print(len(s.synthesize(name, [1, 0, 2, 3, 4, 5, 6, 7])))
        """)
    assert code == 0, err
    e = f"Error loading model infor for {SMALL}: "
    nf = f"-> Model {SMALL} not found"
    assert out.splitlines() == [
        "Error getting model_name", nf,
        e + "Mising num qubits", nf,
        e + "invalid digit found in string", nf,
        e + "cannot parse integer from empty string", nf,
        e + "number too large to fit in target type", nf,
        e + "Missing coupling map hash", nf,
        e + "Missing default_n_steps", nf,
        e + "Mising coupling map",
        e + "Mising valid perms",
        e + "invalid digit found in string", "1",
        "1",
    ]


def test_unknown_model_file_fails_the_constructor(fault_reports):
    m = MODELS[SMALL]
    cmap = {SMALL: [tuple(e) for e in m["cmap"]]}
    for path, name in [(PATH + "/", SMALL), (PATH, SMALL.upper()), ("/models/clifford-ai-models", SMALL)]:
        with pytest.raises(BaseException) as e:
            corvane_rs.PermutationSynthesis([{"model_name": name}], cmap, {}, path)
        assert is_panic(e.value) and str(e.value) == "called `Option::unwrap()` on a `None` value"


@pytest.mark.parametrize("args, kind, text", [
    (("x", "abc"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (("x", [0, -1]), OverflowError, None),
    ((3, [0]), TypeError, "argument 'model_id': "),
    (("x", 5), TypeError, "argument 'data': "),
])
def test_conversion_errors(synth, args, kind, text):
    with pytest.raises(kind) as e:
        synth.synthesize(*args)
    if text:
        assert str(e.value).startswith(text)


def test_malformed_constructor_arguments_are_refused(fault_reports):
    m = MODELS[SMALL]
    good = dict(model_info=[m["model_info"]], cmap={SMALL: [tuple(e) for e in m["cmap"]]},
                valid_perms={SMALL: m["valid_perms"]}, models_path=PATH)
    for key, bad, kind in [
        ("model_info", "x", TypeError), ("model_info", [{"a": 1}], TypeError),
        ("cmap", {SMALL: [[0, 1]]}, TypeError), ("cmap", {SMALL: [(0, 1, 2)]}, ValueError),
        ("cmap", [(0, 1)], TypeError), ("valid_perms", {SMALL: [[-1]]}, OverflowError),
        ("models_path", b"/x", TypeError),
    ]:
        with pytest.raises(kind):
            corvane_rs.PermutationSynthesis(**dict(good, **{key: bad}))
    with pytest.raises(TypeError):
        corvane_rs.PermutationSynthesis(**good, extra=1)
    # Companion data that does not fit the model: faults, never a crash.
    for valid_perms in ([], [[0]], [[5, 4, 3, 2, 1, 0, 7, 6]], [[0] * 100]):
        s = corvane_rs.PermutationSynthesis(**dict(good, valid_perms={SMALL: valid_perms}))
        try:
            s.run(SMALL, 3, [1, 0, 2, 3, 4, 5, 6, 7])
        except RuntimeError:
            pass
        except BaseException as e:  # noqa: B902
            assert is_panic(e), repr(e)
    s = corvane_rs.PermutationSynthesis(**dict(good, cmap={SMALL: [(0, 99)] * 7}))
    with pytest.raises(BaseException) as e:
        s.synthesize(SMALL, [1, 0, 2, 3, 4, 5, 6, 7])
    assert is_panic(e.value)

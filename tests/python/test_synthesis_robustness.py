"""Whatever a caller passes, the synthesis classes answer with a result or a
Python exception; a few bytes of companion data never ask for gigabytes.
Run in a child interpreter, so that a regression fails the test instead of
exhausting the machine."""

from synthesis_helpers import run_child

CHILD = """
    import json, os, resource
    from corvane import corvane_rs as M
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
    P = json.load(open("models/permutation.json"))
    C = json.load(open("models/clifford.json"))
    pm, cm = P["models"][0], C["models"][0]
    PS, CS = pm["model_info"]["model_name"], cm["model_info"]["model_name"]

    def perm(info=None, valid_perms=None):
        return M.PermutationSynthesis(info or [pm["model_info"]], {PS: [tuple(e) for e in pm["cmap"]]},
                                      {PS: valid_perms or pm["valid_perms"]}, P["models_path"])

    def cliff(act_gates=None, act_perms=None):
        return M.CliffordSynthesis([cm["model_info"]], {CS: act_gates or [tuple(g) for g in cm["act_gates"]]},
                                   {CS: cm["valid_perms"]}, {CS: act_perms or cm["act_perms"]},
                                   C["models_path"])

    # One object held a million times over describes terabytes.
    row = list(range(10**6))
    named = dict(pm["model_info"], note="x" * 10**7)
    for name, make in [
        ("valid_perms", lambda: perm(valid_perms=[row] * 10**6)),
        ("model_info", lambda: perm(info=[named] * 10**6)),
        ("act_gates", lambda: cliff(act_gates=[("h", row)] * 10**6)),
        ("act_perms", lambda: cliff(act_perms=[row] * 10**6)),
    ]:
        try:
            make()
        except MemoryError as e:
            print(name, str(e).startswith(f"argument '{name}': its contents would need more than "))

    # Aliasing that stays small is companion data like any other.
    swaps = perm(valid_perms=[pm["valid_perms"][0]] * 1000).synthesize(PS, [1, 0, 2, 3, 4, 5, 6, 7])
    print("aliased rows", swaps in ([(0, 1)], [(1, 0)]))
    print("clifford", cliff().synthesize(CS, [9, 0, 0, 0, 9, 0, 0, 0, 9]) == [])
"""


def test_companion_data_describing_gigabytes_is_refused():
    code, out, err = run_child(CHILD)
    assert code == 0, err[-3000:]
    assert out.splitlines() == [
        "valid_perms True", "model_info True", "act_gates True", "act_perms True",
        "aliased rows True", "clifford True"], out

"""A long call ends at Ctrl-C with the handler's exception, its worker
threads joined; running out of memory is a MemoryError; an exception raised
by Python code that a conversion runs is never lost. The long calls run in
child interpreters that the test interrupts."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from corvane import corvane_rs

from synthesis_helpers import REPO, run_child

SETUP = """
    import json, os, time
    from corvane import corvane_rs as M
    P = json.load(open("models/permutation.json"))
    C = json.load(open("models/clifford.json"))
    pm = next(m for m in P["models"] if m["model_info"]["model_name"] == "permutation_sb3_8qL_v1")
    cm = next(m for m in C["models"] if m["model_info"]["model_name"] == "mc_ft_3qL_v2")
    PS, CS = pm["model_info"]["model_name"], cm["model_info"]["model_name"]

    def perm(valid_perms=None):
        return M.PermutationSynthesis([pm["model_info"]], {PS: [tuple(e) for e in pm["cmap"]]},
                                      {PS: valid_perms or pm["valid_perms"]}, P["models_path"])

    def threads():
        return len(os.listdir("/proc/self/task"))

    LINE = [(0, 1), (1, 0), (1, 2), (2, 1), (2, 3), (3, 2)]
    DISTS = [[abs(a - b) for b in range(4)] for a in range(4)]
"""


def child_code(*parts):
    return "".join(textwrap.dedent(part) for part in parts)


# Each runs for ever unless interrupted: 2**62 attempts, routings or iterations.
LONG_CALLS = {
    "linear_function": "M.LinearFunctionSynthesis().run(0, 2**62, [1, 1, 0, 0, 1, 0, 0, 0, 1])",
    "permutation": "perm().run(PS, 2**62, [1, 0, 2, 3, 4, 5, 6, 7])",
    "clifford": """M.CliffordSynthesis([cm["model_info"]], {CS: [tuple(g) for g in cm["act_gates"]]},
                        {CS: cm["valid_perms"]}, {CS: cm["act_perms"]}, C["models_path"]
                        ).run(CS, 2**62, [6, 0, 0, 0, 9, 0, 0, 0, 9])""",
    # One attempt on an operator no gate sequence reaches, under a step limit
    # the caller made endless.
    "clifford_attempt": """M.CliffordSynthesis(
        [dict(cm["model_info"], default_n_steps=str(2**62))], {CS: [tuple(g) for g in cm["act_gates"]]},
        {CS: cm["valid_perms"]}, {CS: cm["act_perms"]}, C["models_path"]).synthesize(CS, [0] * 9)""",
    # A constructor decodes each description in turn.
    "constructor": """M.PermutationSynthesis([pm["model_info"]] * 10**5, {PS: [tuple(e) for e in pm["cmap"]]},
                                            {PS: pm["valid_perms"]}, P["models_path"])""",
    # Three CX on a 4-qubit line, two of them between distant qubits.
    "routing": """M.CircuitRouting().route(
        [(0, (0, 3)), (0, (1, 3)), (0, (0, 2))], 2**62, LINE, DISTS, {}, ["n_cnots"], 4)""",
    # Passes of no runs, each over at once: the search itself must poll.
    "layout_search": """M.CircuitRouting().transpile(
        [(0, (0, 3))], 0, 2, 2**62, 1, [[0, 1, 2, 3]], LINE, DISTS, {}, ["n_cnots"], 4, 2**62)""",
}


@pytest.mark.parametrize("call", list(LONG_CALLS))
def test_a_long_call_stops_at_sigint_with_keyboard_interrupt(call):
    code = child_code(SETUP, """
        before = threads()
        print("ready", flush=True)
        try:
            CALL
            print("returned")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic(), threads() - before)
    """).replace("CALL", LONG_CALLS[call])
    child = subprocess.Popen([sys.executable, "-c", code], cwd=REPO, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline() == "ready\n", child.communicate()[1][-3000:]
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert out.startswith("interrupted "), (out, err[-3000:])
    caught, extra_threads = float(out.split()[1]), int(out.split()[2])
    assert caught - sent < 1.0, caught - sent
    assert extra_threads == 0  # every worker thread was joined
    assert child.returncode == 0 and "panicked" not in err, err[-3000:]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves terabytes of address space, so no "
                           "address-space limit can be set, and its operator new aborts "
                           "rather than throw")
def test_memory_exhaustion_under_an_address_space_limit_is_memory_error():
    code, out, err = run_child(child_code("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    """, SETUP, """
        # A few MB of Python objects that describe 3.2 GB: refused by the
        # budget, which counts the limit, before anything is allocated.
        try:
            perm(valid_perms=[list(range(10**5))] * 4000)
        except MemoryError as e:
            print("refused", str(e).startswith("argument 'valid_perms': "))
        # The budget is read once: a limit lowered afterwards lets a call
        # through that then cannot allocate 40 MB.
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (16 << 20), 3 << 30))
        try:
            M.CircuitRouting().route([], 0, [], [], {}, [], 5 * 10**6)
        except MemoryError as e:
            print("out of memory", repr(e))
    """))
    assert code == 0, err[-3000:]
    assert out.splitlines() == ["refused True", "out of memory MemoryError()"], (out, err[-3000:])
    assert "panicked" not in err, err[-3000:]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="no address-space limit under AddressSanitizer (see above)")
def test_worker_threads_out_of_memory_never_end_the_process():
    # Fresh processes route with 8 runs at 0-23.5 MB of address space to
    # spare: workers that could not build the policy, touch their
    # thread-local storage or register its destructor ended the process.
    from concurrent.futures import ThreadPoolExecutor

    from bench import memory_headroom

    headrooms = [h / 2 for h in range(48)]
    with ThreadPoolExecutor(4) as pool:
        ends = list(pool.map(lambda h: memory_headroom.run_one("route8", h, 2000, 120), headrooms))
    allowed = {"result", "exception MemoryError", "exception PanicException (failed to spawn thread)"}
    assert set(ends) <= allowed, [(h, end) for h, end in zip(headrooms, ends) if end not in allowed]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
def test_an_exception_raised_by_len_during_conversion_propagates(exc):
    class Sized(list):
        def __len__(self):
            raise exc

    with pytest.raises(exc):
        corvane_rs.LinearFunctionSynthesis().synthesize(0, Sized([0., 1, 0, 1, 0, 0, 0, 0, 1]))

#!/usr/bin/env python3
"""How routing calls end when the process has almost no memory left.

For each headroom from --start to --stop MB in --step MB steps, a fresh
Python process imports the module, builds its input, reads the address
space it uses (VmSize), sets RLIMIT_AS to that plus the headroom and makes
one call. Every process must end with a result or a Python exception; the
table counts how they ended, per kind of call:
  route8     route, 8 runs (worker threads)
  route1     route, 1 run (on the calling thread)
  transpile  transpile, 4 runs, 2 passes
Any other end (a signal, std::terminate, glibc's fatal "cannot allocate
memory for thread-local data" with exit status 127) is listed with its
headroom. The exit status is 1 when any process ended otherwise.

    PYTHONPATH=build/<dir>/python python3 -m bench.memory_headroom [--repeat 3]

An address-space limit cannot be set under AddressSanitizer.
"""

import argparse
import collections
import os
import random
import resource
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

KINDS = ("route8", "route1", "transpile")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def child(kind, headroom_mb, gates):
    from corvane import corvane_rs
    from tools.devices import bfs_distances, grid

    n = 25
    cmap = grid(5, 5)
    dists = bfs_distances(cmap, n)
    rng = random.Random(7)
    circuit = [(0, tuple(rng.sample(range(n), 2))) for _ in range(gates)]
    router = corvane_rs.CircuitRouting()
    args = dict(circuit=circuit, coupling_map=cmap, dists=dists, err_map={},
                  metrics_names=["n_cnots"], num_qubits=n)
    if kind == "transpile":
        method = router.transpile
        args.update(runs=4, inner_its=2, its=1, shots=1, layout=[list(range(n))], max_seconds=60)
    else:
        method = router.route
        args.update(runs=8 if kind == "route8" else 1)
    with open("/proc/self/status") as f:
        vm_kb = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
    limit = vm_kb * 1024 + int(headroom_mb * (1 << 20))
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        method(**args)
        outcome = "result"
    except BaseException as e:  # noqa: B036 - every Python exception is an outcome here
        message = str(e).splitlines()[0][:22] if str(e) else ""
        outcome = f"exception {type(e).__name__}" + (f" ({message})" if message else "")
    # Written without allocating much: the limit still holds.
    os.write(1, (outcome + "\n").encode())


def classify(rc, out, err):
    if rc == 0 and out.strip():
        return out.strip().splitlines()[-1]
    if rc == 127 and "cannot allocate memory for thread-local data" in err:
        return "glibc: no memory for thread-local data (exit 127)"
    if "terminate called" in err:
        return f"std::terminate (exit {rc})"
    if "failed to register TLS destructor" in err:
        return f"glibc: failed to register TLS destructor (exit {rc})"
    if rc < 0:
        return f"signal {-rc}"
    return f"exit {rc}"


def run_one(kind, headroom, gates, timeout):
    cmd = [sys.executable, "-m", "bench.memory_headroom", "--child", kind, str(headroom),
           "--gates", str(gates)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        p for p in (os.environ.get("PYTHONPATH"), ROOT) if p))
    try:
        p = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, text=True,
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout"
    return classify(p.returncode, p.stdout, p.stderr)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kind", action="append", choices=KINDS,
                    help="call to make (repeatable; default: all)")
    ap.add_argument("--start", type=float, default=0.0, help="first headroom, MB")
    ap.add_argument("--stop", type=float, default=40.0, help="headroom limit (excluded), MB")
    ap.add_argument("--step", type=float, default=0.5, help="MB")
    ap.add_argument("--repeat", type=int, default=1, help="sweeps per kind")
    ap.add_argument("--gates", type=int, default=2000, help="CX gates of the circuit")
    ap.add_argument("--jobs", type=int, default=2, help="processes at once")
    ap.add_argument("--timeout", type=float, default=300, help="seconds per process")
    ap.add_argument("--child", nargs=2, metavar=("KIND", "MB"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child[0], float(args.child[1]), args.gates)
        return 0

    steps = round((args.stop - args.start) / args.step)
    headrooms = [args.start + i * args.step for i in range(steps)]
    bad = False
    for kind in args.kind or KINDS:
        for sweep in range(args.repeat):
            with ThreadPoolExecutor(args.jobs) as pool:
                ends = list(pool.map(lambda h: run_one(kind, h, args.gates, args.timeout),
                                     headrooms))
            counts = collections.Counter(ends)
            line = ", ".join(f"{count} {end}" for end, count in counts.most_common())
            print(f"{kind:9} sweep {sweep + 1}: {len(ends)} processes: {line}", flush=True)
            for h, end in zip(headrooms, ends):
                if not (end == "result" or end.startswith("exception ")):
                    bad = True
                    print(f"    {h:5.1f} MB: {end}", flush=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Benchmark of CliffordSynthesis on its 27 embedded models.

For uniformly random Clifford operators of each model (seeded; 500 per model,
200 for 8 and 9 qubits), it prints: the share solved by one `synthesize`
attempt and by `run(..., 16, ...)`, the mean gate count of run16 (and its CX
count) next to the leaf-decoupling rule run once on the same operators
(tools/clifford) and, for 3 qubits, the exact optimum; the mean gates of a
single attempt, the time per attempt and per step, the steps per attempt,
and the constructor's time. Every returned gate list is checked: the model's
gates only, and applied in order to the identity as row operations it gives
the operator back; a failed check ends the benchmark with exit status 1.
--quick (4 operators per model, run4) checks in seconds that all of this
still works; its numbers are too few to compare.

    PYTHONPATH=build/<dir>/python python3 -m bench.bench_clifford [--quick]
        [--count N] [--runs R] [--seed S] [--models NAME ...]

A step is one network evaluation with its view and gate. The time per step
is the time of the single attempts over their steps, counting a solved
attempt's gates and a failed attempt's default_n_steps + 1 (steps that apply
no gate are not reported by the module, so this is an upper bound).
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads would spin beside the timings
import numpy as np  # noqa: E402

from corvane import corvane_rs  # noqa: E402

from tools.clifford import blocks, companion, sampler, teacher  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parent.parent


def rebuilds(gates, codes, n, allowed):
    """The gates are the model's and, applied in order to the identity as row
    operations, give the operator back."""
    if any((name, q0, q1) not in allowed for name, (q0, q1) in gates):
        return False
    return np.array_equal(blocks.replay(n, gates), np.asarray(codes).reshape(n, n))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="4 operators per model, run of 4 attempts")
    ap.add_argument("--count", type=int, help="operators per model (default 500, 200 for n >= 8)")
    ap.add_argument("--runs", type=int, help="attempts of run (default 16)")
    ap.add_argument("--seed", type=int, default=1000)
    ap.add_argument("--models", nargs="*", help="only these models")
    args = ap.parse_args()
    runs = args.runs or (4 if args.quick else 16)

    doc = json.loads((REPO_ROOT / "models" / "clifford.json").read_text())
    t0 = time.perf_counter()
    synth = corvane_rs.CliffordSynthesis(**companion.synthesis_arguments(doc))
    build_ms = (time.perf_counter() - t0) * 1e3
    _, records = companion.load()
    print(f"constructor (27 models decoded): {build_ms:.0f} ms")
    print(f"{'model':16s} {'n':>2s} {'ops':>4s} {'single':>7s} {f'run{runs}':>7s} {f'gates{runs}':>8s} "
          f"{f'CX{runs}':>6s} {'rule':>7s} {'ratio':>6s} {'optimum':>8s} {'gates1':>7s} "
          f"{'ms/att':>7s} {'us/step':>8s} {'steps':>6s}")
    failed_check = False
    for record in records:
        if args.models and record.name not in args.models:
            continue
        n = record.n
        count = args.count or (4 if args.quick else 200 if n >= 8 else 500)
        rng = np.random.default_rng(args.seed + n)
        ops = sampler.random_cliffords(n, count, rng)
        flat = [o.reshape(-1).tolist() for o in ops]
        allowed = {(g, q[0], q[1] if g == "cx" else 0) for g, q in
                   doc["models"][[m["model_info"]["model_name"] for m in doc["models"]].index(record.name)]["act_gates"]}
        rule = teacher.baseline(record, ops)

        single_ok, single_gates, elapsed, steps = 0, [], 0.0, 0
        for codes in flat:
            t = time.perf_counter()
            try:
                gates = synth.synthesize(record.name, codes)
            except RuntimeError:
                elapsed += time.perf_counter() - t
                steps += record.default_n_steps + 1
                continue
            elapsed += time.perf_counter() - t
            single_ok += 1
            single_gates.append(len(gates))
            steps += len(gates)
            failed_check |= not rebuilds(gates, np.array(codes), n, allowed)

        best_ok, best_gates, best_cx, rule_solved = 0, [], [], []
        for i, codes in enumerate(flat):
            try:
                gates = synth.run(record.name, runs, codes)
            except RuntimeError:
                continue
            best_ok += 1
            best_gates.append(len(gates))
            best_cx.append(sum(1 for g, _ in gates if g == "cx"))
            rule_solved.append(rule[i])
            failed_check |= not rebuilds(gates, np.array(codes), n, allowed)

        per_step = elapsed / max(1, steps) * 1e6

        optimum = ""
        if n == 3:
            from tools.clifford import optimum as opt  # noqa: PLC0415 - only the 3-qubit group is small enough
            optimum = f"{opt.Optimum(record).distance(ops).mean():8.2f}"
        mean16 = np.mean(best_gates) if best_gates else float("nan")
        rule_mean = np.mean(rule_solved) if rule_solved else float("nan")
        per_attempt = elapsed / count * 1e3
        print(f"{record.name:16s} {n:2d} {count:4d} {100 * single_ok / count:6.1f}% "
              f"{100 * best_ok / count:6.1f}% {mean16:8.2f} {np.mean(best_cx) if best_cx else float('nan'):6.2f} "
              f"{rule_mean:7.2f} {mean16 / rule_mean:6.3f} {optimum:>8s} "
              f"{np.mean(single_gates) if single_gates else float('nan'):7.2f} {per_attempt:7.2f} {per_step:8.2f} "
              f"{steps / count:6.1f}",
              flush=True)
    if failed_check:
        print("a returned gate list did not rebuild its operator")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

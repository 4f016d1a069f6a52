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

    PYTHONPATH=build/<dir>/python python3 bench/bench_clifford.py [--quick]
        [--count N] [--seed S] [--models NAME ...]

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

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "tools" / "clifford"))
import companion  # noqa: E402
import sampler  # noqa: E402
import teacher  # noqa: E402

from corvane import corvane_rs  # noqa: E402


def arguments(doc):
    models = doc["models"]
    names = [m["model_info"]["model_name"] for m in models]
    return dict(
        model_info=[m["model_info"] for m in models],
        act_gates={n: [(g, q) for g, q in m["act_gates"]] for n, m in zip(names, models)},
        valid_perms={n: m["valid_perms"] for n, m in zip(names, models)},
        act_perms={n: m["act_perms"] for n, m in zip(names, models)},
        models_path=doc["models_path"])


def rebuilds(gates, codes, n, allowed):
    """Applies the gates in order to the identity as row operations."""
    m = np.zeros((2 * n, 2 * n), dtype=np.uint8)
    m[np.arange(2 * n), np.arange(2 * n)] = 1
    for name, (q0, q1) in gates:
        if (name, q0, q1) not in allowed:
            return False
        if name == "h":
            m[[2 * q0, 2 * q0 + 1]] = m[[2 * q0 + 1, 2 * q0]]
        elif name == "s":
            m[2 * q0 + 1] ^= m[2 * q0]
        else:
            m[2 * q0 + 1] ^= m[2 * q1 + 1]
            m[2 * q1] ^= m[2 * q0]
    c = codes.reshape(n, n).astype(np.int64)
    blocks = np.stack([(c >> 3) & 1, (c >> 2) & 1, (c >> 1) & 1, c & 1], axis=-1).reshape(n, n, 2, 2)
    return np.array_equal(m, blocks.transpose(0, 2, 1, 3).reshape(2 * n, 2 * n))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="20 operators per model")
    ap.add_argument("--count", type=int, help="operators per model (default 500, 200 for n >= 8)")
    ap.add_argument("--seed", type=int, default=1000)
    ap.add_argument("--models", nargs="*", help="only these models")
    args = ap.parse_args()

    doc = json.loads((REPO_ROOT / "models" / "clifford.json").read_text())
    t0 = time.perf_counter()
    synth = corvane_rs.CliffordSynthesis(**arguments(doc))
    build_ms = (time.perf_counter() - t0) * 1e3
    _, records = companion.load()
    print(f"constructor (27 models decoded): {build_ms:.0f} ms")
    print(f"{'model':16s} {'n':>2s} {'ops':>4s} {'single':>7s} {'run16':>7s} {'gates16':>8s} "
          f"{'CX16':>6s} {'rule':>7s} {'ratio':>6s} {'optimum':>8s} {'gates1':>7s} "
          f"{'ms/att':>7s} {'us/step':>8s} {'steps':>6s}")
    failed_check = False
    for record in records:
        if args.models and record.name not in args.models:
            continue
        n = record.n
        count = 20 if args.quick else args.count or (200 if n >= 8 else 500)
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
                gates = synth.run(record.name, 16, codes)
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
            import optimum as opt  # noqa: PLC0415 - only the 3-qubit group is small enough
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

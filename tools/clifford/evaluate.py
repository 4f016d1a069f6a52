#!/usr/bin/env python3
"""Measures Clifford models on their expanded model files.

    python3 -m tools.clifford.evaluate --dir DIR [--count N] [--runs 16] MODEL ...

For each model: uniformly random Cliffords (seed 1000 + n; N of them, by
default 500, or 200 for 8 and 9 qubits) through the simulated synthesis loop
with the network read from DIR/<model>.safetensors: one attempt each
("single") and the best of --runs attempts by the run key ("run16"). Prints
solved rates, mean gates (over solved instances) next to the one-sided
baseline on the same operators, the exact optimum for 3 qubits, the longest
solved attempt and the step limit. Every returned list is replayed and must
rebuild its operator. One JSON line per model goes to --json when given.
"""

import argparse
import json
import os
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from tools.clifford import blocks, companion, loop, sampler, teacher  # noqa: E402
from tools.clifford.net import Net  # noqa: E402


def default_count(n):
    return 200 if n >= 8 else 500


def evaluate(model, model_file, count=None, runs=16, seed=None):
    count = default_count(model.n) if count is None else count
    rng = np.random.default_rng(1000 + model.n if seed is None else seed)
    states = sampler.random_cliffords(model.n, count, rng)
    net = Net.from_file(model_file, model.n)
    policy = lambda views, envs: net.act(views)  # noqa: E731
    limit = model.default_n_steps
    t0 = time.time()
    single = loop.run_attempts(model, policy, states, limit, rng)
    solved16, best, att16 = loop.run_best(model, policy, states, runs, limit, rng)
    elapsed = time.time() - t0

    def check(gate_actions, state):
        gates = [model.gate_tuple(a) for a in gate_actions]
        if not np.array_equal(blocks.replay(model.n, gates), state):
            raise AssertionError(f"{model.name}: a returned list does not rebuild its input")

    for b in np.nonzero(single.solved)[0]:
        check(single.gate_actions(b), states[b])
    for i in np.nonzero(solved16)[0]:
        check(best[i], states[i])

    base = teacher.baseline(model, states)
    row = {
        "model": model.name, "n": model.n, "count": count, "runs": runs,
        "single_solved": float(single.solved.mean()),
        "single_gates": _mean([len(single.gate_actions(b)) for b in np.nonzero(single.solved)[0]]),
        "run_solved": float(solved16.mean()),
        "run_gates": _mean([len(best[i]) for i in np.nonzero(solved16)[0]]),
        "run_cx": _mean([int((model.kind[best[i]] == blocks.CX).sum()) for i in np.nonzero(solved16)[0]]),
        "baseline_gates": float(base.mean()),
        "baseline_solved_gates": float(base[solved16].mean()) if solved16.any() else float("nan"),
        "max_steps": int(max(single.steps[single.solved].max(initial=0),
                             att16.steps[att16.solved].max(initial=0))),
        "step_limit": limit,
        "seconds": elapsed,
    }
    row["ratio"] = row["run_gates"] / row["baseline_solved_gates"]
    if model.n == 3:
        from tools.clifford import optimum
        row["optimum_gates"] = float(optimum.Optimum(model).distance(states).mean())
    return row


def _mean(values):
    return float(np.mean(values)) if len(values) else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("models", nargs="+")
    ap.add_argument("--dir", required=True, help="directory of expanded model files")
    ap.add_argument("--count", type=int)
    ap.add_argument("--runs", type=int, default=16)
    ap.add_argument("--json", help="append one JSON line per model to this file")
    args = ap.parse_args()
    for name in args.models:
        model = companion.model(name)
        row = evaluate(model, Path(args.dir) / f"{name}.safetensors", args.count, args.runs)
        extra = f" optimum {row['optimum_gates']:.2f}" if "optimum_gates" in row else ""
        print(f"{name}: single {100 * row['single_solved']:.1f}% {row['single_gates']:.1f} gates | "
              f"run{args.runs} {100 * row['run_solved']:.1f}% {row['run_gates']:.1f} gates "
              f"({row['run_cx']:.1f} CX) | baseline {row['baseline_gates']:.1f} | "
              f"ratio {row['ratio']:.3f}{extra} | max steps {row['max_steps']}/{row['step_limit']} "
              f"| {row['seconds']:.0f}s", flush=True)
        if args.json:
            with open(args.json, "a") as f:
                f.write(json.dumps(row) + "\n")


if __name__ == "__main__":
    main()

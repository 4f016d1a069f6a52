#!/usr/bin/env python3
"""Linear-function synthesis benchmark: LinearFunctionSynthesis on every model.

For each model, seeded uniformly random invertible matrices (1,000 for
n <= 6, 300 above; --quick: 10 and 4) are synthesized with single
`synthesize` attempts and with `run` of 16 attempts. Every returned sequence
is checked: each pair is an edge of the model's tree and the pairs, applied
as row operations, turn the input into the identity; a failed check ends the
benchmark with exit status 1. Printed per model, on the same matrices:
solved share, mean CX of one attempt and of run(16), the tree-elimination
reference (tools/linear_function_reference.py) and their ratios, the exact
optimum (n <= 5), the most steps an attempt took, the time per attempt and
per step; then the ratios over the models of 5 or more qubits, and the time
to construct the object (all 29 networks decoded).

    PYTHONPATH=build/<dir>/python python3 -m bench.bench_linear_function [--quick]
    python3 -m bench.bench_linear_function --numpy [--quick]

--numpy runs the same measurements on a float32 numpy model of the synthesis
loop over freshly generated model files instead of the module; steps there
count no-op choices too (the module does not report them, so its steps are
the CX counts; the shipped networks never choose the no-op).
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from tools import linear_function_reference as ref
from tools.linear_function_reference import models
from tools import safetensors_file

RUNS = 16


class ModuleEngine:
    name = "module"

    def __init__(self):
        from corvane import corvane_rs
        self.cls = corvane_rs.LinearFunctionSynthesis
        times = []
        for _ in range(5):
            t0 = time.perf_counter()
            self.synth = self.cls()
            times.append(time.perf_counter() - t0)
        self.construct_seconds = min(times)

    def attempts(self, model_id, mats, runs):
        """(pairs per matrix, steps per matrix, solved flags, seconds per
        attempt) for single attempts, and the pairs of run(runs)."""
        single, best, solved, seconds = [], [], [], 0.0
        for m in mats:
            data = [float(v) for v in m.reshape(-1)]
            t0 = time.perf_counter()
            try:
                pairs = self.synth.synthesize(model_id, data)
                ok = True
            except RuntimeError:
                pairs, ok = [], False
            seconds += time.perf_counter() - t0
            single.append([tuple(p) for p in pairs])
            solved.append(ok)
            try:
                best.append([tuple(p) for p in self.synth.run(model_id, runs, data)])
            except RuntimeError:
                best.append(None)
        steps = np.array([len(p) for p in single])
        return single, steps, np.array(solved), seconds / len(mats), best


class NumpyEngine:
    name = "numpy model of the loop"

    def __init__(self, seed):
        self.dir = tempfile.TemporaryDirectory()
        self.generate_seconds = []
        for model_id in range(models.NUM_MODELS):
            t0 = time.perf_counter()
            models.write_model(self.dir.name, model_id)
            self.generate_seconds.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        self.loops = [
            ref.NumpyLoop(safetensors_file.read(Path(self.dir.name) / models.file_name(i)),
                          models.action_row(i))
            for i in range(models.NUM_MODELS)]
        self.construct_seconds = time.perf_counter() - t0
        self.rng = np.random.default_rng(seed)

    def attempts(self, model_id, mats, runs):
        loop = self.loops[model_id]
        t0 = time.perf_counter()
        single, steps, solved = loop.run(mats, self.rng)
        seconds = (time.perf_counter() - t0) / len(mats)
        tries = [loop.run(mats, self.rng) for _ in range(runs)]
        best = []
        for i in range(len(mats)):
            kept = [t[0][i] for t in tries if t[2][i]]
            best.append(min(kept, key=len) if kept else None)
        return single, steps, solved, seconds, best


def check(model_id, mat, pairs):
    """True when every pair is an edge of the model and the pairs reduce
    `mat` to the identity."""
    edges = set(models.edges(model_id))
    if any(p not in edges for p in pairs):
        return False
    return bool((ref.apply_pairs(mat, pairs) == np.eye(len(mat), dtype=np.uint8)).all())


def bench_model(engine, model_id, count, seed):
    n = models.qubits(model_id)
    mats = ref.sample_invertible(n, count, seed + 7919 * model_id)
    single, steps, solved, seconds, best = engine.attempts(model_id, mats, RUNS)
    ok = np.array([s and check(model_id, m, p) for m, p, s in zip(mats, single, solved)])
    best_ok = [b is not None and check(model_id, m, b) for m, b in zip(mats, best)]
    # A returned sequence that fails the check is a fault, not a miss.
    invalid = sum(bool(s) and not o for s, o in zip(solved, ok))
    invalid += sum(b is not None and not o for b, o in zip(best, best_ok))
    cx = np.array([len(p) for p in single])
    base = np.array([len(ref.tree_baseline(m, models.edges(model_id))) for m in mats])
    optimum = ref.Optimum(model_id)(mats).mean() if n <= 5 else None
    step_count = max(int(steps.sum()), 1)
    return {
        "id": model_id, "n": n, "count": count, "invalid": invalid,
        "solved": ok.mean() * 100, "best_solved": np.mean(best_ok) * 100,
        "cx": cx[ok].mean() if ok.any() else float("nan"),
        "best_cx": np.mean([len(b) for b, g in zip(best, best_ok) if g]) if any(best_ok) else float("nan"),
        "base": base.mean(), "optimum": optimum,
        "max_steps": int(steps.max()),
        "us_attempt": seconds * 1e6,
        "us_step": seconds * len(mats) / step_count * 1e6,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few matrices per model")
    parser.add_argument("--numpy", action="store_true",
                        help="numpy model of the loop on generated files instead of the module")
    parser.add_argument("--models", type=int, nargs="*", default=list(range(models.NUM_MODELS)))
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args(argv)

    engine = NumpyEngine(args.seed) if args.numpy else ModuleEngine()
    print(f"engine: {engine.name}")
    print(f"constructor (29 networks decoded): {engine.construct_seconds * 1e3:.1f} ms")
    if args.numpy:
        print(f"generation of the 29 files: {sum(engine.generate_seconds):.2f} s; per model (ms): "
              + " ".join(f"{t * 1e3:.0f}" for t in engine.generate_seconds))
    print()
    print(f"| id | n | kind | matrices | solved | CX one attempt | CX run({RUNS}) | reference "
          f"| one/ref | run({RUNS})/ref | run({RUNS})/one | optimum | max steps | us/attempt | us/step |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    rows = []
    for model_id in args.models:
        n = models.qubits(model_id)
        count = (10 if n <= 6 else 4) if args.quick else (1000 if n <= 6 else 300)
        r = bench_model(engine, model_id, count, args.seed)
        rows.append(r)
        opt = f"{r['optimum']:.2f}" if r["optimum"] is not None else "-"
        best = f"{r['best_cx']:.2f}" + ("" if r["best_solved"] == 100 else f" ({r['best_solved']:.1f}%)")
        print(f"| {model_id} | {n} | {models.kind(model_id)} | {count} | {r['solved']:.1f}% "
              f"| {r['cx']:.2f} | {best} | {r['base']:.2f} | {r['cx'] / r['base']:.3f} "
              f"| {r['best_cx'] / r['base']:.3f} | {r['best_cx'] / r['cx']:.3f} | {opt} "
              f"| {r['max_steps']} | {r['us_attempt']:.1f} | {r['us_step']:.2f} |", flush=True)
        if r["invalid"]:
            print(f"    INVALID: {r['invalid']} returned sequences failed the check")
    print()
    one = [r["cx"] / r["base"] for r in rows]
    print(f"one attempt / reference: mean {np.mean(one):.3f}, range {min(one):.3f}-{max(one):.3f}")
    wide = [r["best_cx"] / r["base"] for r in rows if r["n"] >= 5]
    if wide:
        print(f"run({RUNS}) / reference, models of 5 or more qubits: mean {np.mean(wide):.3f}, "
              f"range {min(wide):.3f}-{max(wide):.3f}")
    return 1 if any(r["invalid"] for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())

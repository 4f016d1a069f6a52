"""Synthesizes a random qubit permutation on each embedded permutation model,
a random Clifford operator on a few Clifford models and a random linear
reversible function on a few linear-function models, checks every result,
and prints its cost next to a classical reference.

    python3 -m examples.synthesize    (from the repository root)

The companion data each model is made for (coupling maps, symmetries, action
gates) is read from where the module installs it, corvane_rs_models/ beside
the module; the references come from tools/ (numpy).
"""

import json
import os
import random
import time

import numpy as np
from corvane import corvane_rs

from tools import gen_linear_function_models as lf_models
from tools import linear_function_reference as lf_ref
from tools import permutation_reference as perm_ref
from tools.clifford import blocks, companion, sampler, teacher
from tools.devices import bfs_distances

COMPANION_DIR = os.path.join(os.path.dirname(corvane_rs.__file__), "corvane_rs_models")


def companion_data(name):
    with open(os.path.join(COMPANION_DIR, f"{name}.json")) as f:
        return json.load(f)


def swap_depth(swaps):
    level = {}
    for a, b in swaps:
        level[a] = level[b] = max(level.get(a, 0), level.get(b, 0)) + 1
    return max(level.values(), default=0)


def permutations(rng):
    data = companion_data("permutation")
    models = data["models"]
    synth = corvane_rs.PermutationSynthesis(
        [m["model_info"] for m in models],
        {m["model_info"]["model_name"]: [tuple(e) for e in m["cmap"]] for m in models},
        {m["model_info"]["model_name"]: m["valid_perms"] for m in models},
        data["models_path"])
    print("Permutations (run of 10 attempts):")
    for m in models:
        name, n = m["model_info"]["model_name"], int(m["model_info"]["qubits"])
        perm = list(range(n))
        rng.shuffle(perm)
        start = time.perf_counter()
        swaps = synth.run(name, 10, perm)
        ms = (time.perf_counter() - start) * 1e3
        assert perm_ref.apply_swaps(list(range(n)), swaps) == perm
        bound = perm_ref.lower_bound(bfs_distances(m["cmap"], n), perm)
        print(f"  {name:34s} {n:3d} qubits  SWAPs {len(swaps):4d} (lower bound {bound:4d}), "
              f"depth {swap_depth(swaps):3d}, {ms:6.1f} ms")


def cliffords(seed):
    data = companion_data("clifford")
    synth = corvane_rs.CliffordSynthesis(**companion.synthesis_arguments(data))
    print("Clifford operators, uniformly random (run of 16 attempts):")
    rng = np.random.default_rng(seed)
    for name in ("mc_ft_3qL_v2", "vec_4qT_v1", "vec_ft_6qY_v1", "vec_9qL_v4"):
        record = companion.model(name)
        n = record.n
        codes = sampler.random_clifford(n, rng)
        start = time.perf_counter()
        gates = synth.run(name, 16, codes.reshape(-1).tolist())
        ms = (time.perf_counter() - start) * 1e3
        assert np.array_equal(blocks.replay(n, gates), codes)
        rule = int(teacher.baseline(record, codes[None])[0])
        cx = sum(1 for g, _ in gates if g == "cx")
        print(f"  {name:16s} {n} qubits  gates {len(gates):4d} ({cx:3d} CX), "
              f"leaf-decoupling rule {rule:4d}, {ms:6.1f} ms")


def linear_functions(seed):
    synth = corvane_rs.LinearFunctionSynthesis()
    print("Linear reversible functions, uniformly random invertible (run of 8 attempts):")
    for model_id in (0, 4, 19):
        n, _, _, edges, _ = lf_models.MODELS[model_id]
        tree = [(int(e[0]), int(e[1])) for e in edges.split()]
        matrix = lf_ref.sample_invertible(n, 1, seed + model_id)[0]
        start = time.perf_counter()
        pairs = synth.run(model_id, 8, matrix.reshape(-1).astype(float).tolist())
        ms = (time.perf_counter() - start) * 1e3
        assert np.array_equal(lf_ref.apply_pairs(matrix, pairs), np.eye(n, dtype=np.uint8))
        baseline = len(lf_ref.tree_baseline(matrix, tree))
        print(f"  model {model_id:2d}  {n} qubits  CX {len(pairs):3d} (tree elimination {baseline:3d}), "
              f"{ms:6.2f} ms")


def main():
    permutations(random.Random(7))
    cliffords(7)
    linear_functions(7)


if __name__ == "__main__":
    main()

"""The permutation model generator: its companion data, reproducible files,
and networks that compute the designed policy and sort permutations when
run by a numpy model of the synthesis loop."""

import hashlib
import itertools
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tools import gen_permutation_models as gen
from tools import permutation_sim as sim
from tools import safetensors_file

REPO_ROOT = Path(__file__).resolve().parents[2]

TOOL = [sys.executable, "-m", "tools.gen_permutation_models"]
COMPANION = json.loads((REPO_ROOT / "models" / "permutation.json").read_text())
MODELS = COMPANION["models"]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("permutation-models")
    subprocess.run([*TOOL, "--out", str(out)], check=True, timeout=120, cwd=REPO_ROOT)
    return out


def graph(model):
    n = int(model["model_info"]["qubits"])
    edges = [tuple(e) for e in model["cmap"]]
    return n, edges, gen.distances(n, edges)


def test_companion_data_is_derived_and_describes_the_graphs():
    assert COMPANION == gen.companion_data()
    assert [len(m["valid_perms"]) for m in MODELS] == [2, 14, 2, 4, 2]
    for m in MODELS:
        n, edges, _ = graph(m)
        assert edges == sorted(edges) and all(u < v for u, v in edges)
        compact = json.dumps(m["cmap"], separators=(",", ":")).encode()
        assert m["model_info"]["coupling_map_hash"] == hashlib.sha256(compact).hexdigest()
        edge_set = set(edges)
        assert m["valid_perms"][0] == list(range(n))
        for R in m["valid_perms"]:
            assert sorted(R) == list(range(n))
            assert all(R[R[i]] == i for i in range(n))
            assert {(min(R[u], R[v]), max(R[u], R[v])) for u, v in edges} == edge_set
    # Worst ⌈Σd/2⌉: on the line by brute force; on the ring every token can be
    # 6 away at once (the half turn).
    n, _, dist = graph(MODELS[0])
    perms = np.array(list(itertools.permutations(range(n))))
    worst = int(dist[np.arange(n), perms].sum(axis=1).max())
    assert MODELS[0]["model_info"]["default_n_steps"] == str(2 * ((worst + 1) // 2) + 200)
    assert MODELS[1]["model_info"]["default_n_steps"] == str(2 * 36 + 200)


def test_generation_is_byte_identical_with_the_module_shapes(model_dir, tmp_path):
    subprocess.run([*TOOL, "--out", str(tmp_path)], check=True, timeout=120, cwd=REPO_ROOT)
    for m in MODELS:
        name = m["model_info"]["model_name"]
        n, a = int(m["model_info"]["qubits"]), len(m["cmap"]) + 1
        first = (model_dir / f"{name}.safetensors").read_bytes()
        assert first == (tmp_path / f"{name}.safetensors").read_bytes()
        shapes = {k: v.shape for k, v in safetensors_file.decode(first).items()}
        assert shapes == {"0.weight": (512, n * n), "0.bias": (512,), "2.weight": (256, 512),
                          "2.bias": (256,), "4.weight": (a, 256), "4.bias": (a,)}


def designed_scores(model, x):
    """The policy's score per action, straight from the design."""
    n, edges, dist = graph(model)
    if model["model_info"]["topology"] == "line":
        pos = dist[0]
        return [pos[x[u]] - pos[x[v]] for u, v in edges] + [0]
    adj = gen.neighbours(n, edges)
    where = np.argsort(x)

    def closer(a, o):
        return dist[o, x[a]] < dist[a, x[a]]

    scores = []
    for u, v in edges:
        if closer(u, v) and closer(v, u):
            s = 256.0
        elif closer(u, v) or closer(v, u):
            a, o = (u, v) if closer(u, v) else (v, u)
            dc, da = min(dist[a, x[a]], 4), min(dist[o, x[o]], 4)
            s = 64 - dc + 0.25 * da + (da == 0) - 0.5 * (dc == 1)
        else:
            s = 0.0
        for a, o in ((u, v), (v, u)):
            if closer(a, o) and x[o] == o and dist[where[a], o] < dist[where[a], a]:
                s += 20
            s += 5 * sum(1 for w in adj[o] if w != a
                         and dist[w, x[a]] < dist[o, x[a]] and dist[o, x[w]] < dist[w, x[w]])
        scores.append(s)
    return scores + [40.0]


def random_states(n, edges, rng, count):
    """Uniform permutations, a few edge swaps away from sorted (happy swaps
    and ties), and a few far-apart tokens rotated among themselves (every
    move disturbs a home token: zero-gain moves, hips and the no-swap bound
    decide)."""
    states = []
    while len(states) < count:
        kind = len(states) % 3
        if kind == 0:
            x = rng.permutation(n)
        elif kind == 1:
            x = np.arange(n)
            for e in rng.integers(len(edges), size=int(rng.integers(1, n + 1))):
                u, v = edges[e]
                x[u], x[v] = x[v], x[u]
        else:
            x = np.arange(n)
            cycle = rng.choice(n, size=int(rng.integers(2, 5)), replace=False)
            x[cycle] = np.roll(cycle, 1)
        if (x != np.arange(n)).any():
            states.append(x)
    return states


@pytest.mark.parametrize("index", range(len(MODELS)))
def test_network_argmax_is_the_designed_choice(model_dir, index):
    model = MODELS[index]
    n, edges, _ = graph(model)
    name = model["model_info"]["model_name"]
    net = sim.Net(safetensors_file.read(model_dir / f"{name}.safetensors"))
    rng = np.random.default_rng(index)
    for i, x in enumerate(random_states(n, edges, rng, 300)):
        logits = net.forward(x)
        if i < 3:
            assert np.array_equal(logits, net.forward_dense(x))
        scores = designed_scores(model, x)
        assert sim.first_argmax(logits) == int(np.argmax(scores)), (x.tolist(), scores)


def test_simulated_synthesis_sorts_random_permutations(model_dir):
    names = [m["model_info"]["model_name"] for m in MODELS]
    s = sim.SimPermutationSynthesis(
        [m["model_info"] for m in MODELS], dict(zip(names, (m["cmap"] for m in MODELS))),
        dict(zip(names, (m["valid_perms"] for m in MODELS))), COMPANION["models_path"],
        model_dir, seed=11)
    rng = np.random.default_rng(12)
    for m, name in zip(MODELS, names):
        n, edges, _ = graph(m)
        assert s.synthesize(name, list(range(n))) == []
        for _ in range(3):
            perm = rng.permutation(n).tolist()
            for _attempt in range(10):  # the 65-qubit policy rarely cycles
                stats = {}
                try:
                    swaps = s.synthesize(name, perm, stats)
                    break
                except RuntimeError as e:
                    assert str(e) == "Solution not found in permutation synthesis"
            else:
                pytest.fail(f"{name}: 10 attempts failed on {perm}")
            assert all((min(a, b), max(a, b)) in set(edges) for a, b in swaps)
            rebuilt = list(range(n))
            for a, b in swaps:
                rebuilt[a], rebuilt[b] = rebuilt[b], rebuilt[a]
            assert rebuilt == perm
            assert stats["steps"] == len(swaps) and stats["no_swaps"] == 0
            if m["model_info"]["topology"] == "line":
                assert len(swaps) == sum(perm[i] > perm[j] for i in range(n) for j in range(i + 1, n))

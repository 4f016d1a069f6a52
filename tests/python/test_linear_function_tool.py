"""The linear-function model generator: its networks always reach the
identity, every move that the noise can pick in a designed one makes
progress, and the files are reproducible and have the layout the loader
expects."""

import json
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tools import linear_function_reference as ref
from tools import gen_linear_function_models as gen

REPO_ROOT = Path(__file__).resolve().parents[2]
TOOL = [sys.executable, "-m", "tools.gen_linear_function_models"]
# ln(-ln u) over the 23-bit uniforms u > 0 spans less than this.
NOISE_RANGE = 18.75
# File sizes by qubit count, from the model format.
SIZES = {3: 551_364, 4: 567_756, 5: 588_244, 6: 612_828, 7: 641_516, 8: 674_292, 9: 711_164}

_ALL = {}


def matrices(n, sample=300):
    """Every invertible matrix for n <= 4, else a seeded sample."""
    if n <= 4:
        if n not in _ALL:
            _ALL[n] = ref.all_invertible(n)
        return _ALL[n]
    return ref.sample_invertible(n, sample, seed=n)


def steiner_cost(m, col, q, region, adj):
    """[(q, col) = 0] plus 2 - M[x][col] over the nodes x != q of the
    smallest subtree of `region` that holds q and every one of the column."""
    parent, order = {q: None}, [q]
    for v in order:
        for w in adj[v]:
            if w in region and w not in parent:
                parent[w] = v
                order.append(w)
    used = set()
    for v in order:
        if m[v, col]:
            while v is not None and v not in used:
                used.add(v)
                v = parent[v]
    return int(not m[q, col]) + sum(2 - int(m[x, col]) for x in used - {q})


def progress(tree, peel, m):
    """The measure that every move of the designed policy lowers
    (lexicographically): phase 1, then phase 2, then the identity."""
    n = tree.n
    adj = [set(a) for a in tree.adj]
    done = [m[w, w] == 1 and not any(m[v, w] for v in range(n) if v not in tree.sub[w])
            for w in range(n)]
    if not all(done):
        closed = sum(all(done[x] for x in tree.sub[w]) for w in range(n))
        committed = [k for k, c in enumerate(peel[:-1]) if all(done[x] for x in tree.desc(c))
                     and m[c, c] and m[tree.parent[c], c]]
        k = committed[0] if committed else next(k for k, c in enumerate(peel) if not done[c])
        c = peel[k]
        cost = steiner_cost(m, c, c, set(range(n)) - tree.desc(c), adj)
        return (2, -closed, 0 if committed else 1, k, cost)
    for k, a in enumerate(reversed(peel)):
        if any(m[v, a] != (v == a) for v in range(n)):
            return (1, -k, steiner_cost(m, a, a, tree.sub[a], adj))
    return (0,)


@pytest.mark.parametrize("model_id", [m for m in range(gen.NUM_MODELS) if gen.kind(m) == "designed"])
def test_designed_moves_that_the_noise_can_pick_all_make_progress(model_id):
    """On states visited by attempts that take any move the noise could
    pick, every such move lowers the measure (so attempts end), and the
    no-op is never one of them."""
    n = gen.qubits(model_id)
    tree, peel = gen.model_tree(model_id), gen.peel_order(model_id)
    loop = ref.NumpyLoop.for_model(model_id)
    actions = gen.action_row(model_id)
    rng = np.random.default_rng(model_id)
    longest = 0
    for m in matrices(n, sample=24 if n >= 7 else 60):
        m = m.copy()
        for steps in range(4 * n * n + 1):
            here = progress(tree, peel, m)
            if here == (0,):
                break
            scores = loop.scores(m.reshape(1, -1))[0]
            near = np.flatnonzero(scores > scores.max() - NOISE_RANGE)
            assert 2 * n - 2 not in near
            nexts = []
            for a in near:
                c, t = actions[a]
                after = m.copy()
                after[t] ^= after[c]
                assert progress(tree, peel, after) < here, (m, actions[a])
                nexts.append(after)
            m = nexts[rng.integers(len(nexts))]
        longest = max(longest, steps)
    # What a column-by-column elimination can take; attempts stay well inside
    # it, far below the loop's bound of 4 n^2.
    assert longest <= 2 * n * (n - 1) + n - 1


@pytest.mark.parametrize("model_id", [m for m in range(gen.NUM_MODELS)
                                      if gen.kind(m) in ("lookup", "trained")])
def test_tabled_and_trained_networks_reach_identity(model_id):
    n = gen.qubits(model_id)
    loop = ref.NumpyLoop.for_model(model_id)
    mats = matrices(n, sample=3000)
    flat = mats.reshape(len(mats), n * n).astype(np.float32)
    ident = (flat == np.eye(n, dtype=np.float32).reshape(-1)).all(axis=1)
    assert (loop.scores(flat[~ident]).argmax(axis=1) != 2 * n - 2).all()

    pairs, steps, solved = loop.run(mats, np.random.default_rng(model_id), max_steps=4 * n * n)
    assert solved.all()
    cx = np.array([len(p) for p in pairs])
    optimum = ref.Optimum(model_id)(mats)
    assert (cx >= optimum).all()
    if gen.kind(model_id) == "lookup":
        # Every choice lies on a shortest path.
        assert (cx == optimum).all()
    else:
        assert cx.mean() <= optimum.mean() * 1.1


def test_generation_is_reproducible_with_the_loader_layout(tmp_path):
    dirs = [tmp_path / "a", tmp_path / "b"]
    for d in dirs:
        result = subprocess.run([*TOOL, "--out", str(d)], cwd=REPO_ROOT,
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
    names = sorted(p.name for p in dirs[0].iterdir())
    assert names == [f"linear_function_{i:02d}.safetensors" for i in range(29)]
    for model_id, name in enumerate(names):
        n = gen.qubits(model_id)
        data = (dirs[0] / name).read_bytes()
        assert data == (dirs[1] / name).read_bytes()
        assert len(data) == SIZES[n]
        (hlen,) = struct.unpack_from("<Q", data)
        assert hlen == (424 if n <= 6 else 432)
        header = json.loads(data[8:8 + hlen])
        assert list(header) == ["0.bias", "0.weight", "2.bias", "2.weight", "4.bias", "4.weight"]
        assert header["0.weight"]["shape"] == [512, n * n]
        assert header["4.weight"]["shape"] == [2 * n - 1, 256]

        row = gen.action_row(model_id)
        edges = row[:-1]
        assert row[-1] == (0, 0) and edges == sorted(edges)
        assert sorted((t, c) for c, t in edges) == edges and len(edges) == 2 * n - 2
        assert all(sum(c == v for c, _ in edges) <= 3 for v in range(n))

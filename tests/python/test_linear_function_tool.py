"""The linear-function model generator: its networks always reach the
identity, the designed ones follow their rule list exactly, and the files are
reproducible and have the layout the loader expects."""

import json
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from bench import linear_function_reference as ref
from tools import gen_linear_function_models as gen

REPO_ROOT = Path(__file__).resolve().parents[2]
TOOL = [sys.executable, "-m", "tools.gen_linear_function_models"]
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


def rules_holding(rules, flat, n):
    """Per matrix and rule, whether all the rule's literals hold."""
    held = np.zeros((len(flat), len(rules)), bool)
    for i, (lits, _) in enumerate(rules):
        cells = [x * n + y for x, y in lits]
        held[:, i] = (flat[:, cells] == np.array(list(lits.values()))).all(axis=1)
    return held


@pytest.mark.parametrize("model_id", range(gen.NUM_MODELS))
def test_designed_network_is_its_rule_list_and_ends_within_bound(model_id):
    n = gen.qubits(model_id)
    rules = gen.designed_rules(model_id)
    loop = ref.NumpyLoop.for_model(model_id, gen.designed_network(model_id))
    mats = matrices(n)
    flat = mats.reshape(len(mats), n * n).astype(np.float32)
    ident = (flat == np.eye(n, dtype=np.float32).reshape(-1)).all(axis=1)

    held = rules_holding(rules, flat, n)
    assert (held.sum(axis=1) == np.where(ident, 0, 1)).all()

    scores = loop.scores(flat[~ident])
    actions = np.array([a for _, a in rules])[held[~ident].argmax(axis=1)]
    assert (scores.argmax(axis=1) == actions).all()
    top2 = np.sort(scores, axis=1)[:, -2:]
    assert (top2[:, 1] - top2[:, 0] == 24).all()

    bound = 2 * n * (n - 1) + n - 1
    pairs, steps, solved = loop.run(mats, np.random.default_rng(model_id), max_steps=bound)
    assert solved.all()
    assert steps.max() <= bound
    for m, p in list(zip(mats, pairs))[:50]:
        assert (ref.apply_pairs(m, p) == np.eye(n)).all()


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

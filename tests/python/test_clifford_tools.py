"""The Clifford model tools: companion data, sampler, teacher in the
simulated synthesis loop, network evaluation and the model-file expander.
numpy only (the training tool itself is not exercised here)."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tools import safetensors_file
from tools.clifford import blocks, compact, companion, loop, sampler, teacher
from tools.clifford.net import Net

REPO_ROOT = Path(__file__).resolve().parents[2]

EXPANDER = [sys.executable, "-m", "tools.expand_clifford_models"]
MODEL_NAMES = [
    "mc_ft_3qL_v2", "mc_ft_5qL_v1", "mc_ft_5qT_v1", "mc_ft_7qH_v3", "vec_4qL_v1", "vec_4qT_v1",
    "vec_8qL_v9_r1", "vec_9qH3_v2", "vec_9qL_v4", "vec_9qT_v2", "vec_ft_6qL_v1", "vec_ft_6qT_v1",
    "vec_ft_6qY_v1", "vec_ft_7qL_v1", "vec_ft_7qT2_v1", "vec_ft_7qT_v1", "vec_ft_7qY_v1",
    "vec_ft_8qH_v1", "vec_ft_8qT2_v1", "vec_ft_8qT_v1", "vec_ft_8qY2_v1", "vec_ft_8qY_v1",
    "vec_ft_9qH2_v1", "vec_ft_9qH4_v1", "vec_ft_9qH_v1", "vec_ft_9qY2_v1", "vec_ft_9qY_v1",
]
WIDE = {"mc_ft_5qL_v1", "mc_ft_5qT_v1", "mc_ft_7qH_v3"}


@pytest.fixture(scope="module")
def models():
    path, found = companion.load()
    assert path == "/models/clifford-ai-models"
    return {m.name: m for m in found}


@pytest.fixture(scope="module")
def expanded(tmp_path_factory):
    out = tmp_path_factory.mktemp("expanded")
    done = subprocess.run([*EXPANDER, "--out", str(out)], cwd=REPO_ROOT,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return out


def test_companion_data_lists_every_model_with_its_tree_actions(models):
    assert list(models) == MODEL_NAMES
    for name, m in models.items():
        n = m.n
        assert f"_{n}q{m.topology}_" in name
        assert m.gate_names == ["h"] * n + ["s"] * n + ["cx"] * (2 * n - 2)
        assert [g[1] for g in m.gates[:2 * n]] == list(range(n)) * 2
        # CX pairs (u, v), (v, u) per edge, edges ascending: a tree (checked on load).
        cx = [(g[1], g[2]) for g in m.gates[2 * n:]]
        assert cx[0::2] == m.edges and cx[1::2] == [(v, u) for u, v in m.edges]
        assert m.default_n_steps > 0
    assert models["mc_ft_3qL_v2"].edges == [(0, 1), (1, 2)]
    assert models["vec_ft_9qH_v1"].order == [5, 6, 0, 1, 2, 3, 7, 4, 8]
    assert models["vec_ft_6qY_v1"].order == [2, 1, 4, 3, 0, 5]


def gate_matrix(n, kind, q0, q1):
    """The 2n x 2n matrix of a gate, built from its definition."""
    g = np.eye(2 * n, dtype=np.int64)
    if kind == blocks.H:
        g[2 * q0:2 * q0 + 2, 2 * q0:2 * q0 + 2] = [[0, 1], [1, 0]]
    elif kind == blocks.S:
        g[2 * q0 + 1, 2 * q0] = 1
    else:
        g[2 * q1, 2 * q0] = g[2 * q0 + 1, 2 * q1 + 1] = 1
    return g


def test_gate_operations_and_inverse_view_match_symplectic_products():
    rng = np.random.default_rng(7)
    n = 3
    for _ in range(20):
        state = sampler.random_clifford(n, rng)
        m = blocks.to_matrix(state).astype(np.int64)
        for gate in [(blocks.H, 1, 0), (blocks.S, 2, 0), (blocks.CX, 0, 2), (blocks.CX, 2, 1)]:
            g = gate_matrix(n, *gate)
            col, row = state.copy(), state.copy()
            blocks.apply_gate(col, gate, inverted=False)
            blocks.apply_gate(row, gate, inverted=True)
            assert np.array_equal(blocks.to_matrix(col), (m @ g) % 2)
            assert np.array_equal(blocks.to_matrix(row), (g @ m) % 2)
            batch = np.stack([state, state])
            blocks.apply_batch(batch, np.array([0, 1]), np.array([gate[0]] * 2),
                               np.array([gate[1]] * 2), np.array([gate[2]] * 2),
                               np.array([False, True]))
            assert np.array_equal(batch, np.stack([col, row]))
        inv = blocks.to_matrix(blocks.invert_view(state)).astype(np.int64)
        assert np.array_equal((inv @ m) % 2, np.eye(2 * n, dtype=np.int64))
    # A returned list g1, g2 rebuilds g2 g1.
    want = gate_matrix(n, blocks.CX, 1, 2) @ gate_matrix(n, blocks.H, 0, 0) % 2
    assert np.array_equal(blocks.to_matrix(blocks.replay(n, [("h", (0, 0)), ("cx", (1, 2))])), want)


def test_sampler_is_symplectic_and_uniform_on_one_qubit():
    rng = np.random.default_rng(11)
    for n in (1, 2, 4, 7):
        for _ in range(25):
            assert blocks.is_symplectic(sampler.random_symplectic(n, rng))
    counts = np.bincount(sampler.random_cliffords(1, 1200, rng).ravel(), minlength=16)
    assert set(np.nonzero(counts)[0]) == {6, 7, 9, 11, 13, 14}   # Sp(2, 2) has 6 elements
    assert counts.max() < 260 and counts[counts > 0].min() > 140


@pytest.mark.parametrize("name", ["vec_4qT_v1", "mc_ft_5qL_v1", "vec_ft_6qY_v1", "vec_ft_8qH_v1"])
def test_teacher_alone_solves_every_clifford_in_the_loop(models, name):
    m = models[name]
    rng = np.random.default_rng(3)
    states = sampler.random_cliffords(m.n, 60, rng)
    att = loop.run_attempts(m, lambda views, envs: teacher.label(m, views)[0], states,
                            m.default_n_steps, rng)
    assert att.solved.all()
    for b, state in enumerate(states):
        assert np.array_equal(blocks.replay(m.n, att.gate_list(b)), state)
    # The acceptable sets hold the rule's own action, and the baseline finishes.
    views = states.copy()
    views[::2] = blocks.invert_view(views[::2])
    action, mask = teacher.label(m, views)
    assert mask[np.arange(len(views)), action].all()
    assert (teacher.baseline(m, states) > 0).all()


def test_network_evaluation_matches_plain_convolution_and_layers():
    rng = np.random.default_rng(5)
    n, h1, h2 = 3, 12, 8
    tensors = {"0.weight": rng.normal(size=(16, 4, 1, 1)), "0.bias": rng.normal(size=16),
               "3.weight": rng.normal(size=(h1, 16 * n * n)), "3.bias": rng.normal(size=h1),
               "5.weight": rng.normal(size=(h2, h1)), "5.bias": rng.normal(size=h2),
               "7.weight": rng.normal(size=(4 * n - 1, h2)), "7.bias": rng.normal(size=4 * n - 1)}
    tensors = {k: v.astype(np.float32) for k, v in tensors.items()}
    views = rng.integers(0, 16, size=(40, n * n))
    planes = ((views[:, None, :] >> np.arange(4)[None, :, None]) & 1) - 0.5    # (B, 4, cells)
    x = np.einsum("jb,nbk->njk", tensors["0.weight"].reshape(16, 4), planes)
    x = np.maximum(x + tensors["0.bias"][None, :, None], 0).reshape(len(views), -1)
    for p in ("3", "5"):
        x = np.tanh(x @ tensors[f"{p}.weight"].T + tensors[f"{p}.bias"])
    want = x @ tensors["7.weight"].T + tensors["7.bias"]
    np.testing.assert_allclose(Net(tensors, n).forward(views), want, rtol=1e-4, atol=1e-4)
    # The fixed input layer of the trained models is a one-hot code detector.
    w0, b0 = compact.input_layer()
    fixed = Net({"0.weight": w0, "0.bias": b0, **{k: v for k, v in tensors.items() if k[0] != "0"}}, n)
    onehot = fixed.input_layer(views).reshape(len(views), 16, n * n)
    assert np.array_equal(onehot, 0.5 * (np.arange(16)[None, :, None] == views[:, None, :]))


def test_expander_is_deterministic_with_the_model_shapes(models, expanded, tmp_path):
    again = subprocess.run([*EXPANDER, "--out", str(tmp_path)], cwd=REPO_ROOT,
                           capture_output=True, text=True, timeout=120)
    assert again.returncode == 0, again.stderr
    for name, m in models.items():
        first = (expanded / f"{name}.safetensors").read_bytes()
        assert (tmp_path / f"{name}.safetensors").read_bytes() == first
        tensors = safetensors_file.decode(first)
        h1, h2 = (1024, 512) if name in WIDE else (512, 256)
        assert {k: v.shape for k, v in tensors.items()} == {
            "0.weight": (16, 4, 1, 1), "0.bias": (16,), "3.weight": (h1, 16 * m.n ** 2),
            "3.bias": (h1,), "5.weight": (h2, h1), "5.bias": (h2,),
            "7.weight": (4 * m.n - 1, h2), "7.bias": (4 * m.n - 1,)}


def test_expander_warns_and_writes_zero_layers_without_compact_weights(tmp_path):
    done = subprocess.run([*EXPANDER, "--out", str(tmp_path / "out"),
                           "--compact-dir", str(tmp_path)], capture_output=True, text=True,
                          timeout=120, cwd=REPO_ROOT)
    assert done.returncode == 0
    assert done.stderr.count("warning:") == len(MODEL_NAMES)
    tensors = safetensors_file.read(tmp_path / "out" / "vec_4qL_v1.safetensors")
    assert not tensors["3.weight"].any() and tensors["0.bias"][0] == -1.5


def test_all_compact_weights_are_committed():
    missing = [n for n in MODEL_NAMES if not (companion.COMPACT_DIR / f"{n}.npz").exists()]
    assert not missing, f"untrained models: {missing}"
    total = sum((companion.COMPACT_DIR / f"{n}.npz").stat().st_size for n in MODEL_NAMES)
    assert total < 25_000_000


@pytest.mark.parametrize("name", ["vec_4qL_v1", "vec_4qT_v1"])
def test_expanded_four_qubit_models_solve_random_cliffords(models, expanded, name):
    m = models[name]
    net = Net.from_file(expanded / f"{name}.safetensors", m.n)
    rng = np.random.default_rng(21)
    states = sampler.random_cliffords(m.n, 6, rng)
    solved, best, _ = loop.run_best(m, lambda views, envs: net.act(views), states, 16,
                                    m.default_n_steps, rng)
    assert solved.all()
    for state, actions in zip(states, best):
        gates = [m.gate_tuple(a) for a in actions]
        assert np.array_equal(blocks.replay(m.n, gates), state)


def test_three_qubit_search_covers_the_group_and_its_optimal_actions_solve(models):
    from tools.clifford import optimum
    m = models["mc_ft_3qL_v2"]
    opt = optimum.Optimum(m)
    assert len(opt) == 2 ** 9 * 3 * 15 * 63            # |Sp(6, 2)|
    rng = np.random.default_rng(9)
    states = sampler.random_cliffords(3, 40, rng)
    dist = opt.distance(states)
    assert (dist <= teacher.baseline(m, states)).all()
    att = loop.run_attempts(m, lambda views, envs: opt.label(views)[0], states, 20, rng)
    assert att.solved.all() and np.array_equal(att.steps, dist)
    for b, state in enumerate(states):
        assert np.array_equal(blocks.replay(3, att.gate_list(b)), state)

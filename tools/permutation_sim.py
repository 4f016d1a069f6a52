"""A numpy model of PermutationSynthesis over model files on disk.

It evaluates the networks with the module's float32 arithmetic (bias shift
at load, column sums, products rounded before each addition in ascending
input order) and runs the module's step loop: the identity test over the
first num_qubits cells, a random symmetry and a random inversion per step,
the relabelling x[k] = R[data[R⁻¹[k]]], the first maximal logit, the edge
mapped through R, and the result as the inverse-view SWAPs followed by the
forward SWAPs reversed. Used to check the weights before the module runs
them, and by bench/bench_permutation.py --sim.
"""

from pathlib import Path

import numpy as np

from tools import safetensors_file

F32 = np.float32


class SparseLayer:
    """A dense layer evaluated over its nonzero weights only. Adding a zero
    product never changes a float sum, so visiting each row's nonzero columns
    in ascending order gives the dense column-by-column result bit for bit."""

    def __init__(self, weight, bias):
        weight = np.asarray(weight, dtype=F32)
        self.bias = np.asarray(bias, dtype=F32)
        rows = weight.shape[0]
        width = max(1, int((weight != 0).sum(axis=1).max(initial=0)))
        self.index = np.zeros((rows, width), dtype=np.int64)
        self.value = np.zeros((rows, width), dtype=F32)
        for r in range(rows):
            nz = np.flatnonzero(weight[r])
            self.index[r, :len(nz)] = nz
            self.value[r, :len(nz)] = weight[r, nz]

    def __call__(self, h):
        y = np.zeros(len(self.bias), dtype=F32)
        for j in range(self.index.shape[1]):
            y += self.value[:, j] * h[self.index[:, j]]
        return y + self.bias


def dense_forward(weight, bias, h):
    """Column-by-column float32 evaluation, the reference for SparseLayer."""
    y = np.zeros(weight.shape[0], dtype=F32)
    for j in range(weight.shape[1]):
        y += weight[:, j] * h[j]
    return y + bias


class Net:
    def __init__(self, tensors):
        w0 = np.asarray(tensors["0.weight"], dtype=F32)
        self.columns = np.ascontiguousarray(w0.T)  # row c = input column c
        s = np.zeros(w0.shape[0], dtype=F32)
        for column in self.columns:
            s += column
        s *= F32(0.5)
        self.bias0 = np.asarray(tensors["0.bias"], dtype=F32) - s
        self.dense = [(np.asarray(tensors[f"{p}.weight"], dtype=F32),
                       np.asarray(tensors[f"{p}.bias"], dtype=F32)) for p in ("2", "4")]
        self.layers = [SparseLayer(w, b) for w, b in self.dense]

    def _selected(self, x):
        n = len(x)
        cols = np.arange(n) * n + np.asarray(x, dtype=np.int64)
        if n and cols.max() >= len(self.columns):
            raise IndexError("Matrix slicing out of bounds.")
        return self.columns[cols]

    def hidden0(self, x):
        """tanh of the first layer: the columns k·n + x[k] summed in ascending
        k, then the shifted bias. numpy sums over the outer axis of a
        C-contiguous array row after row (pairwise summation is only used
        along the contiguous axis), so this is the sequential sum."""
        h = np.add.reduce(self._selected(x), axis=0, dtype=F32)
        return np.tanh(h + self.bias0)

    def forward(self, x):
        h = np.tanh(self.layers[0](self.hidden0(x)))
        return self.layers[1](h)

    def forward_dense(self, x):
        """The same network with plain loops everywhere: the reference."""
        h = np.zeros(len(self.bias0), dtype=F32)
        for column in self._selected(x):
            h += column
        h = np.tanh(h + self.bias0)
        (w2, b2), (w4, b4) = self.dense
        return dense_forward(w4, b4, np.tanh(dense_forward(w2, b2, h)))


def first_argmax(values):
    """Index of the first largest value; a NaN never replaces the running
    maximum (so a leading NaN wins)."""
    if not np.isnan(values).any():
        return int(np.argmax(values))  # first occurrence
    best = 0
    for i in range(1, len(values)):
        if values[i] > values[best]:
            best = i
    return best


class Model:
    def __init__(self, info, cmap, valid_perms, tensors):
        self.num_qubits = int(info["qubits"])
        self.default_n_steps = int(info["default_n_steps"])
        self.cmap = [tuple(e) for e in cmap]
        self.valid_perms = [np.asarray(p, dtype=np.int64) for p in valid_perms]
        self.inv_perms = [np.argsort(p, kind="stable") for p in self.valid_perms]
        self.net = Net(tensors)


class NotSolved(RuntimeError):
    pass


def synthesize(model, data, rng, stats=None):
    """One attempt; returns the SWAP list or raises NotSolved. stats, when
    given, gets "steps" (network evaluations) and "no_swaps"."""
    data = np.array(data, dtype=np.int64)
    nq = model.num_qubits
    x = np.zeros(len(data), dtype=np.int64)
    forward, inverse = [], []
    inverted = False
    steps = no_swaps = 0
    ident = np.arange(nq)
    while True:
        if len(data) < nq and np.array_equal(data, ident[:len(data)]):
            raise IndexError("data shorter than num_qubits")
        if np.array_equal(data[:nq], ident):
            if stats is not None:
                stats["steps"] = steps
                stats["no_swaps"] = no_swaps
            return inverse + forward[::-1]
        if steps > model.default_n_steps:
            raise NotSolved("Solution not found in permutation synthesis")
        p = int(rng.integers(len(model.valid_perms)))
        if int(rng.integers(1 << 32)) >> 31:
            data = np.argsort(data, kind="stable")
            inverted = not inverted
        R, Rinv = model.valid_perms[p], model.inv_perms[p]
        x[:len(Rinv)] = R[data[Rinv]]
        a = first_argmax(model.net.forward(x))
        steps += 1
        if a == len(model.cmap):
            no_swaps += 1
            continue
        u, v = model.cmap[a]
        if u == v:
            continue
        u, v = int(R[u]), int(R[v])
        (inverse if inverted else forward).append((u, v))
        data[u], data[v] = data[v], data[u]


def score(swaps, num_qubits):
    """(depth, count) of a SWAP list, or None when a SWAP leaves the model."""
    level = [0] * num_qubits
    depth = 0
    for a, b in swaps:
        if a >= num_qubits or b >= num_qubits:
            return None
        d = max(level[a], level[b]) + 1
        level[a] = level[b] = d
        depth = max(depth, d)
    return depth, len(swaps)


class SimPermutationSynthesis:
    """Stands in for corvane_rs.PermutationSynthesis: same constructor
    arguments plus the directory holding the generated files, same methods
    and messages; seeded."""

    def __init__(self, model_info, cmap, valid_perms, models_path, model_dir, seed=0):
        self.rng = np.random.default_rng(seed)
        self.models = {}
        for info in model_info:
            name = info["model_name"]
            tensors = safetensors_file.read(Path(model_dir) / f"{name}.safetensors")
            self.models[name] = Model(info, cmap[name], valid_perms[name], tensors)

    def _model(self, name):
        if name not in self.models:
            raise RuntimeError(f"Model {name} not found")
        return self.models[name]

    def synthesize(self, model_id, data, stats=None):
        model = self._model(model_id)
        try:
            return synthesize(model, data, self.rng, stats)
        except NotSolved as e:
            raise RuntimeError(str(e)) from None

    def run(self, model_id, num_runs, data):
        model = self._model(model_id)
        best, best_score = None, (10_000_000, 10_000_000)
        for _ in range(num_runs):
            try:
                swaps = synthesize(model, data, self.rng)
            except NotSolved:
                continue
            s = score(swaps, model.num_qubits)
            if s is not None and s < best_score:
                best, best_score = swaps, s
        if best is None:
            raise RuntimeError(f"No solution found in {num_runs} permutation synthesis runs.")
        return best

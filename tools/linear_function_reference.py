"""Classical references for linear-function synthesis on a coupling tree.

* `sample_invertible`: seeded uniform sampler of invertible n x n matrices
  over GF(2) (rejection from uniform 0/1 matrices).
* `tree_baseline`: leaf elimination on the tree. It repeatedly takes the leaf
  of the remaining tree whose elimination is cheapest, makes its column the
  unit vector (Steiner fill, then clear toward the leaf) and its row the unit
  vector (the rows that sum to it are accumulated into it along a Steiner
  tree), then removes the leaf.
* `Optimum`: the fewest CX for every invertible matrix, by breadth-first
  search from the identity (n <= 5; the tables are cached under /tmp).
* `NumpyLoop`: the synthesis attempt in float32 numpy, many matrices at
  once: network scores, Gumbel noise from 23-bit uniforms, first maximum,
  row t := |row c - row t|, at most a given number of evaluated steps.

A matrix is a (n, n) 0/1 array, row i being qubit i; a CX (c, t) adds row c
to row t. Everything here is deterministic given the seeds.
"""

from pathlib import Path

import numpy as np

from tools import gen_linear_function_models as models

CACHE_DIR = Path("/tmp/corvane_linear_function_bfs")


# ---------------------------------------------------------------- matrices


def gf2_rank(rows, n):
    """Rank over GF(2) of n row bitmasks."""
    rows = list(rows)
    rank = 0
    for bit in range(n):
        pivot = next((i for i in range(rank, len(rows)) if rows[i] >> bit & 1), None)
        if pivot is None:
            continue
        rows[rank], rows[pivot] = rows[pivot], rows[rank]
        for i in range(len(rows)):
            if i != rank and rows[i] >> bit & 1:
                rows[i] ^= rows[rank]
        rank += 1
    return rank


def to_rows(matrix):
    """Row bitmasks (bit j = column j) of a 0/1 matrix."""
    matrix = np.asarray(matrix)
    n = matrix.shape[0]
    weights = 1 << np.arange(n)
    return [int(v) for v in (matrix.astype(np.int64) * weights).sum(axis=1)]


def encode(matrices):
    """Integer code of each matrix: cell (i, j) at bit i*n + j."""
    matrices = np.asarray(matrices)
    n = matrices.shape[-1]
    flat = matrices.reshape(-1, n * n).astype(np.int64)
    return flat @ (np.int64(1) << np.arange(n * n, dtype=np.int64))


def decode(codes, n):
    codes = np.asarray(codes, np.int64)
    bits = (codes[:, None] >> np.arange(n * n)) & 1
    return bits.reshape(-1, n, n).astype(np.uint8)


def sample_invertible(n, count, seed):
    """`count` uniformly random invertible n x n 0/1 matrices (uint8)."""
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < count:
        m = rng.integers(0, 2, size=(n, n), dtype=np.uint8)
        if gf2_rank(to_rows(m), n) == n:
            out.append(m)
    return np.array(out, np.uint8).reshape(count, n, n)


def all_invertible(n):
    """Every invertible n x n matrix (n <= 4), ordered by code."""
    codes = np.arange(1 << (n * n), dtype=np.int64)
    mats = decode(codes, n)
    keep = [gf2_rank(to_rows(m), n) == n for m in mats]
    return mats[np.array(keep)]


def apply_pairs(matrix, pairs):
    """The matrix after the CX row operations `pairs`, in order."""
    m = np.array(matrix, np.uint8)
    for c, t in pairs:
        m[t] ^= m[c]
    return m


# ---------------------------------------------------------------- baseline


def _steiner(adj, alive, root, terminals):
    """Steiner tree of `terminals` + root inside the `alive` subtree: (nodes,
    parent map toward root, nodes ordered deepest first)."""
    parent = {root: None}
    depth = {root: 0}
    order = [root]
    for v in order:
        for w in adj[v]:
            if w in alive and w not in parent:
                parent[w] = v
                depth[w] = depth[v] + 1
                order.append(w)
    nodes = {root}
    for t in terminals:
        while t not in nodes:
            nodes.add(t)
            t = parent[t]
    post = sorted(nodes, key=lambda v: (-depth[v], v))
    return nodes, parent, post


def _eliminate_leaf(rows, adj, alive, v, n):
    """CX list that turns column v and row v into unit vectors, acting only on
    the alive subtree; `rows` is updated."""
    ops = []

    def cx(c, t):
        rows[t] ^= rows[c]
        ops.append((c, t))

    # Column: fill the Steiner tree of the ones, then clear it toward v.
    ones = [u for u in alive if rows[u] >> v & 1 and u != v]
    nodes, parent, post = _steiner(adj, alive, v, ones)
    children = {u: [w for w in post if parent[w] == u] for u in nodes}
    for u in post:
        if not rows[u] >> v & 1:
            cx(min(children[u]), u)
    for u in post:
        if u != v:
            cx(parent[u], u)
    # Row: v's row is e_v plus the sum of the rows of a unique set X.
    others = sorted(alive - {v})
    target = rows[v] & ~(1 << v)
    chosen = _solve(rows, others, target, n)
    nodes, parent, post = _steiner(adj, alive, v, chosen)
    children = {u: [w for w in post if parent[w] == u] for u in nodes}
    for u in post:
        if u != v and u not in chosen:
            cx(u, min(children[u]))
    for u in post:
        if u != v:
            cx(u, parent[u])
    if rows[v] != 1 << v or any(rows[u] >> v & 1 for u in others):
        raise AssertionError("leaf elimination failed")
    return ops


def _solve(rows, others, target, n):
    """The set X of `others` whose rows sum to `target` (GF(2))."""
    basis = []  # (row, set of indices)
    for u in others:
        r, s = rows[u], {u}
        for br, bs in basis:
            if r ^ br < r:
                r ^= br
                s ^= bs
        if r:
            basis.append((r, s))
            basis.sort(key=lambda e: -e[0])
    r, s = target, set()
    for br, bs in basis:
        if r ^ br < r:
            r ^= br
            s ^= bs
    if r:
        raise AssertionError("row is not in the span")
    return s


def tree_baseline(matrix, pairs):
    """CX list (control, target) on the tree `pairs` that reduces the
    invertible `matrix` to the identity, by greedy leaf elimination."""
    matrix = np.asarray(matrix)
    n = matrix.shape[0]
    adj = [set() for _ in range(n)]
    for c, t in pairs:
        adj[c].add(t)
        adj[t].add(c)
    rows = to_rows(matrix)
    alive = set(range(n))
    ops = []
    while len(alive) > 1:
        best = None
        for v in sorted(alive):
            if len(adj[v] & alive) > 1:
                continue
            trial = list(rows)
            cand = _eliminate_leaf(trial, adj, alive, v, n)
            if best is None or len(cand) < len(best[1]):
                best = (v, cand, trial)
        v, cand, rows = best
        ops.extend(cand)
        alive.remove(v)
    return ops


# ---------------------------------------------------------------- optimum


class Optimum:
    """Exact fewest-CX counts for one model (n <= 5)."""

    def __init__(self, model_id):
        self.n = models.qubits(model_id)
        self.pairs = models.edges(model_id)
        if self.n > 5:
            raise ValueError("breadth-first search is only kept for n <= 5")
        CACHE_DIR.mkdir(parents=True, exist_ok=True)
        key = "_".join(f"{c}{t}" for c, t in self.pairs)
        path = CACHE_DIR / f"n{self.n}_{key}.npy"
        if path.exists():
            self.dist = np.load(path)
        else:
            self.dist = models.bfs_distances(self.n, self.pairs)
            np.save(path, self.dist)

    def __call__(self, matrices):
        """Fewest CX for each matrix (array of (n, n) matrices)."""
        return self.dist[encode(matrices)].astype(np.int64)


# ---------------------------------------------------------------- the loop


class NumpyLoop:
    """Attempts of the synthesis loop for one network, in float32."""

    def __init__(self, tensors, actions):
        self.w = [np.asarray(tensors[f"{k}.weight"], np.float32).T.copy() for k in (0, 2, 4)]
        self.b = [np.asarray(tensors[f"{k}.bias"], np.float32) for k in (0, 2, 4)]
        self.n = int(round(self.w[0].shape[0] ** 0.5))
        self.actions = np.array(actions, np.int64)
        if self.actions.shape != (2 * self.n - 1, 2):
            raise ValueError("action row does not match the network")

    @classmethod
    def for_model(cls, model_id, tensors=None):
        if tensors is None:
            tensors = models.network(model_id)
        return cls(tensors, models.action_row(model_id))

    def scores(self, x):
        """Raw network scores for a batch of flattened matrices."""
        h = np.tanh(np.asarray(x, np.float32) @ self.w[0] + self.b[0])
        h = np.tanh(h @ self.w[1] + self.b[1])
        return h @ self.w[2] + self.b[2]

    @staticmethod
    def gumbel(rng, shape):
        """ln(-ln u) for u from the top 23 bits of uniform 32-bit draws."""
        r = rng.integers(0, 1 << 32, size=shape, dtype=np.uint64).astype(np.uint32)
        u = ((r >> np.uint32(9)) | np.uint32(0x3F800000)).view(np.float32) - np.float32(1.0)
        with np.errstate(divide="ignore"):
            return np.log(-np.log(u))

    def run(self, matrices, rng=None, max_steps=None):
        """One attempt per matrix. rng=None runs without noise. Returns
        (pairs, steps, solved): per matrix the applied (c, t) list, the
        number of evaluated steps and whether it reached the identity within
        max_steps (default 4 n^2)."""
        n = self.n
        if max_steps is None:
            max_steps = 4 * n * n
        x = np.array(matrices, np.float32).reshape(-1, n * n)
        count = x.shape[0]
        ident = np.eye(n, dtype=np.float32).reshape(n * n)
        steps = np.zeros(count, np.int64)
        log = np.full((count, max_steps), -1, np.int64)
        live = np.flatnonzero(~(x == ident).all(axis=1))
        while live.size:
            live = live[steps[live] < max_steps]
            if not live.size:
                break
            z = self.scores(x[live])
            if rng is not None:
                z = z - self.gumbel(rng, z.shape)
            a = np.argmax(z, axis=1)
            log[live, steps[live]] = a
            steps[live] += 1
            c, t = self.actions[a, 0], self.actions[a, 1]
            move = c != t
            rows = x[live].reshape(-1, n, n)
            idx = np.flatnonzero(move)
            rows[idx, t[move]] = np.abs(rows[idx, c[move]] - rows[idx, t[move]])
            x[live] = rows.reshape(-1, n * n)
            live = live[~(x[live] == ident).all(axis=1)]
        solved = (x == ident).all(axis=1)
        pairs = []
        for i in range(count):
            chosen = log[i, :steps[i]]
            pairs.append([tuple(int(v) for v in self.actions[a]) for a in chosen
                          if self.actions[a, 0] != self.actions[a, 1]])
        return pairs, steps, solved

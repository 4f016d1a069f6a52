#!/usr/bin/env python3
"""Writes the 29 linear-function policy networks, linear_function_NN.safetensors.

Each network maps an n x n matrix over GF(2) (n*n inputs, 0.0/1.0, row-major)
through 512 and 256 tanh units to 2n - 1 scores; score k names entry k of the
model's action row (a CX on a tree edge, the last one the no-op). The
synthesis loop adds Gumbel noise to the scores, applies the best action as a
row operation and stops at the identity.

Three kinds of network:

* "designed": a stateless two-phase Steiner elimination on the model's tree,
  rooted and peeled as MODELS gives. Phase 1 makes every column's
  support lie inside the column's subtree (leaves first), phase 2 clears the
  columns top-down. Every state matches exactly one rule, a conjunction of
  cell literals; layer 1 has one AND unit per rule, layer 2 one OR unit per
  action, and the output gives the chosen edge 24, every other edge 0 and the
  no-op -24. The noise term ln(-ln u) lies in [-15.95, 2.77] for u > 0, so it
  never changes the choice, and every step lowers a potential: an attempt
  takes at most 2n(n-1) + n - 1 steps.
* "lookup" (model 0): one pattern unit per non-identity invertible 3x3
  matrix; the output gives 24 to every action on a shortest path to the
  identity (found by breadth-first search), 0 to the other edges.
* "trained": imitation of the breadth-first-search optimum, trained offline
  by tools/train_linear_function_models.py and committed as int8 weights with
  one float32 scale per row in models/linear_function/model_NN.npz.

Usage:
    python3 -m tools.gen_linear_function_models --out DIR
The output depends only on this file and the committed weights: byte-identical
on every run.
"""

import argparse
import sys
from collections import deque
from pathlib import Path

import numpy as np

from tools import safetensors_file

REPO_ROOT = Path(__file__).resolve().parent.parent
TRAINED_DIR = REPO_ROOT / "models" / "linear_function"

# Per model id: qubit count, root, peel order (every node after its children,
# the root last), directed tree edges in ascending (control, target) order as
# "ct" digit pairs (the no-op (0, 0) follows them), and the network kind.
MODELS = [
    (3, 2, "1 0 2", "02 12 20 21", "lookup"),
    (4, 0, "2 3 1 0", "01 03 10 23 30 32", "trained"),
    (4, 3, "2 0 1 3", "03 13 23 30 31 32", "trained"),
    (5, 1, "4 0 3 2 1", "01 10 12 21 23 32 34 43", "designed"),
    (5, 2, "1 0 4 3 2", "02 12 20 21 23 32 34 43", "designed"),
    (6, 2, "5 4 0 1 3 2", "01 10 12 21 23 32 34 43 45 54", "designed"),
    (6, 2, "0 5 1 4 3 2", "02 12 20 21 23 32 34 43 45 54", "designed"),
    (6, 3, "2 5 0 1 4 3", "01 10 13 23 31 32 34 43 45 54", "designed"),
    (7, 3, "6 5 0 4 1 2 3", "01 10 13 23 31 32 34 43 45 54 56 65", "designed"),
    (7, 4, "0 6 1 2 3 5 4", "02 12 20 21 23 32 34 43 45 46 54 64", "designed"),
    (7, 1, "3 6 0 5 4 2 1", "01 10 12 21 24 36 42 45 54 56 63 65", "designed"),
    (7, 3, "0 1 6 2 5 4 3", "02 12 20 21 23 32 34 43 45 54 56 65", "designed"),
    (7, 2, "0 4 1 6 3 5 2", "01 10 12 21 23 25 32 34 43 52 56 65", "designed"),
    (8, 5, "0 1 2 3 7 4 6 5", "01 10 13 23 31 32 34 43 45 54 56 65 67 76", "designed"),
    (8, 2, "1 7 5 6 4 0 3 2", "02 12 20 21 23 32 34 43 45 46 54 64 67 76", "designed"),
    (8, 5, "0 2 4 7 6 1 3 5", "01 10 13 24 31 35 42 47 53 56 65 67 74 76", "designed"),
    (8, 5, "0 1 2 3 4 7 6 5", "02 12 20 21 23 32 35 47 53 56 65 67 74 76", "designed"),
    (8, 4, "7 0 5 6 1 2 3 4", "01 10 12 21 23 32 34 36 43 45 54 63 67 76", "designed"),
    (8, 4, "0 3 6 5 1 7 2 4", "01 10 12 21 24 36 42 45 47 54 56 63 65 74", "designed"),
    (9, 7, "0 1 2 3 8 4 5 6 7", "01 10 13 24 31 35 42 47 53 56 65 67 74 76 78 87", "designed"),
    (9, 7, "8 0 1 3 2 5 6 4 7", "01 10 13 24 31 35 42 47 53 56 58 65 67 74 76 85", "designed"),
    (9, 6, "1 4 0 2 3 8 5 7 6", "02 12 20 21 23 32 35 47 53 56 65 67 74 76 78 87", "designed"),
    (9, 5, "0 6 2 8 7 1 3 4 5", "01 10 13 23 31 32 34 43 45 54 56 57 65 75 78 87", "designed"),
    (9, 4, "6 8 1 5 0 2 3 7 4", "02 12 20 21 23 32 34 43 45 47 54 56 65 74 78 87", "designed"),
    (9, 3, "0 4 7 1 6 2 8 5 3", "02 12 20 21 23 32 35 47 53 56 58 65 67 74 76 85", "designed"),
    (9, 7, "3 2 5 8 0 1 4 6 7", "01 10 14 23 25 32 41 46 52 58 64 67 76 78 85 87", "designed"),
    (9, 6, "3 0 5 8 1 7 2 4 6", "02 12 20 21 24 35 42 46 53 58 64 67 76 78 85 87", "designed"),
    (9, 6, "8 1 7 3 0 2 4 5 6", "02 13 20 24 31 36 42 45 47 54 56 63 65 74 78 87", "designed"),
    (9, 4, "8 3 6 0 7 1 5 2 4", "01 10 12 21 24 36 42 45 47 54 56 63 65 74 78 87", "designed"),
]
NUM_MODELS = len(MODELS)

# Network shape, fixed by the loader.
HIDDEN1 = 512
HIDDEN2 = 256

# Designed networks: a firing unit's pre-activation is +16, any other at most
# -16, so tanh gives exactly +-1 in float32 and every sum is an exact integer.
K1 = 32.0
K2 = 32.0
S = 24.0

def qubits(model_id):
    return MODELS[model_id][0]


def edges(model_id):
    """The directed edges of the action row, in order (without the no-op)."""
    return [(int(p[0]), int(p[1])) for p in MODELS[model_id][3].split()]


def action_row(model_id):
    """The 2n - 1 actions that the network's outputs name."""
    return edges(model_id) + [(0, 0)]


def root(model_id):
    return MODELS[model_id][1]


def peel_order(model_id):
    return [int(v) for v in MODELS[model_id][2].split()]


def kind(model_id):
    return MODELS[model_id][4]


def header_len(n):
    return 424 if n <= 6 else 432


def file_size(n):
    values = HIDDEN1 * n * n + HIDDEN1 + HIDDEN2 * HIDDEN1 + HIDDEN2 + HIDDEN2 * (2 * n - 1) + 2 * n - 1
    return 8 + header_len(n) + 4 * values


def file_name(model_id):
    return f"linear_function_{model_id:02d}.safetensors"


# ---------------------------------------------------------------- the tree


class Tree:
    """The model's coupling tree rooted at `root`."""

    def __init__(self, n, pairs, root):
        self.n = n
        self.root = root
        self.adj = [[] for _ in range(n)]
        for c, t in pairs:
            if c < t:
                self.adj[c].append(t)
                self.adj[t].append(c)
        for a in self.adj:
            a.sort()
        self.parent = [None] * n
        order = [root]
        seen = {root}
        for v in order:
            for w in self.adj[v]:
                if w not in seen:
                    seen.add(w)
                    self.parent[w] = v
                    order.append(w)
        if len(order) != n:
            raise ValueError("coupling map is not a connected tree")
        self.children = [[w for w in self.adj[v] if self.parent[w] == v] for v in range(n)]
        self.sub = [None] * n
        for v in reversed(order):
            self.sub[v] = {v}.union(*(self.sub[c] for c in self.children[v]))

    def desc(self, v):
        return self.sub[v] - {v}

    def toward(self, q, region):
        """(distance, next hop toward q) of every node of `region`, inside it."""
        dist = {q: 0}
        hop = {q: None}
        todo = deque([q])
        while todo:
            v = todo.popleft()
            for w in self.adj[v]:
                if w in region and w not in dist:
                    dist[w] = dist[v] + 1
                    hop[w] = v
                    todo.append(w)
        if len(dist) != len(region):
            raise ValueError("region is not connected")
        return dist, hop


def model_tree(model_id):
    return Tree(qubits(model_id), edges(model_id), root(model_id))


# ---------------------------------------------------------------- the rules


def _union(*parts):
    out = {}
    for part in parts:
        for cell, bit in part.items():
            if out.setdefault(cell, bit) != bit:
                raise ValueError(f"rule asks cell {cell} to be 0 and 1")
    return out


def _p1_done(tree, w):
    """Column w has its ones only on sub(w) and a one on the diagonal."""
    lits = {(w, w): 1}
    for v in set(range(tree.n)) - tree.desc(w) - {w}:
        lits[(v, w)] = 0
    return lits


def _p2_done(tree, w):
    """Column w is the unit vector."""
    return {(v, w): int(v == w) for v in range(tree.n)}


def _clear(prefix, col, q, region, tree):
    """Rules that empty column `col` on `region` except at q (the prefix holds
    cell (q, col) = 1): the deepest one is cleared from its neighbour toward
    q, after the path to it has been filled. Yields (literals, (c, t))."""
    dist, hop = tree.toward(q, region)
    order = sorted(region - {q}, key=lambda v: (-dist[v], v))
    for i, v in enumerate(order):
        base = _union(prefix, {(v, col): 1}, {(u, col): 0 for u in order[:i]})
        p = hop[v]
        if p == q:
            yield base, (q, v)
            continue
        yield _union(base, {(p, col): 1}), (p, v)
        zeros = {}
        s = p
        while s != q:
            zeros[(s, col)] = 0
            up = {(hop[s], col): 1} if hop[s] != q else {}
            yield _union(base, zeros, up), (hop[s], s)
            s = hop[s]


def _phase1_column(tree, c, prefix, live):
    """Rules for column c once the columns outside `live` are P1-done: pivot
    the nearest one of `live` toward c while (c, c) = 0, then clear."""
    dist, hop = tree.toward(c, live)
    others = sorted(live - {c}, key=lambda u: (dist[u], u))
    rules = []
    for i, u in enumerate(others):
        lits = _union(prefix, {(c, c): 0, (u, c): 1}, {(w, c): 0 for w in others[:i]})
        rules.append((lits, (u, hop[u])))
    region = set(range(tree.n)) - tree.desc(c)
    rules.extend(_clear(_union(prefix, {(c, c): 1}), c, c, region, tree))
    return rules


def _phase2_rules(tree, top_down):
    every = _union(*(_p1_done(tree, w) for w in range(tree.n)))
    rules = []
    done = {}
    for a in top_down:
        if len(tree.sub[a]) > 1:
            rules.extend(_clear(_union(every, done), a, a, tree.sub[a], tree))
        done = _union(done, _p2_done(tree, a))
    return rules


def designed_rules(model_id):
    """The rule list of the designed policy: [(literals, action index)], where
    literals maps a cell (row, column) to the bit it must hold."""
    tree = model_tree(model_id)
    peel = peel_order(model_id)
    _check_peel(tree, peel)
    index = {a: k for k, a in enumerate(edges(model_id))}
    rules = []
    prefix = {}
    for k, c in enumerate(peel[:-1]):
        rules.extend(_phase1_column(tree, c, prefix, set(peel[k:])))
        prefix = _union(prefix, _p1_done(tree, c))
    rules.extend(_phase2_rules(tree, peel[::-1]))
    return [(lits, index[a]) for lits, a in rules]


def _check_peel(tree, peel):
    if sorted(peel) != list(range(tree.n)) or peel[-1] != tree.root:
        raise ValueError("peel order must list every node once and end at the root")
    pos = {v: k for k, v in enumerate(peel)}
    for v in range(tree.n):
        if any(pos[c] > pos[v] for c in tree.children[v]):
            raise ValueError(f"node {v} comes before one of its children")


# ---------------------------------------------------------------- networks


def _and_layer(n, rules, scale):
    """Layer 1: unit i fires (+1) exactly when every literal of rule i holds."""
    w0 = np.zeros((HIDDEN1, n * n), np.float32)
    b0 = np.zeros(HIDDEN1, np.float32)
    if len(rules) > HIDDEN1:
        raise ValueError(f"{len(rules)} rules do not fit {HIDDEN1} units")
    for i, (lits, _) in enumerate(rules):
        for (x, y), bit in lits.items():
            w0[i, x * n + y] = scale if bit else -scale
        b0[i] = -scale * (sum(lits.values()) - 0.5)
    return w0, b0


def _empty_network(n):
    return {
        "0.weight": np.zeros((HIDDEN1, n * n), np.float32),
        "0.bias": np.zeros(HIDDEN1, np.float32),
        "2.weight": np.zeros((HIDDEN2, HIDDEN1), np.float32),
        "2.bias": np.zeros(HIDDEN2, np.float32),
        "4.weight": np.zeros((2 * n - 1, HIDDEN2), np.float32),
        "4.bias": np.zeros(2 * n - 1, np.float32),
    }


def _or_output(net, units_of_action, n):
    """Layer 2 unit a is the OR of the layer-1 units that name action a (at
    most one of them fires); the output gives a named action S, other edges 0
    and the no-op -S, so the no-op never wins."""
    for a, units in units_of_action.items():
        if units:
            net["2.weight"][a, units] = K2 / 2
            net["2.bias"][a] = K2 / 2 * (len(units) - 1)
            net["4.weight"][a, a] = S / 2
            net["4.bias"][a] = S / 2
    net["4.bias"][2 * n - 2] = -S


def designed_network(model_id):
    n = qubits(model_id)
    rules = designed_rules(model_id)
    net = _empty_network(n)
    net["0.weight"], net["0.bias"] = _and_layer(n, rules, K1)
    units = {a: [] for a in range(2 * n - 2)}
    for i, (_, a) in enumerate(rules):
        units[a].append(i)
    _or_output(net, units, n)
    return net


# ---- lookup: exact optimum for n = 3


def bfs_distances(n, pairs):
    """Fewest CX (row t ^= row c over `pairs`) from each n x n matrix to the
    identity; 255 for singular ones. Matrices are encoded with cell (i, j) at
    bit i*n + j."""
    dist = np.full(1 << (n * n), 255, np.uint8)
    ident = sum(1 << (i * n + i) for i in range(n))
    dist[ident] = 0
    frontier = np.array([ident], np.int64)
    mask = (1 << n) - 1
    d = 0
    while frontier.size:
        d += 1
        for c, t in pairs:
            nxt = frontier ^ (((frontier >> (c * n)) & mask) << (t * n))
            nxt = nxt[dist[nxt] == 255]
            dist[nxt] = d
        frontier = np.flatnonzero(dist == d)
    return dist


def lookup_network(model_id):
    n = qubits(model_id)
    pairs = edges(model_id)
    dist = bfs_distances(n, pairs)
    mask = (1 << n) - 1
    rules = []
    for m in np.flatnonzero((dist != 255) & (dist != 0)):
        m = int(m)
        lits = {(i, j): (m >> (i * n + j)) & 1 for i in range(n) for j in range(n)}
        best = [a for a, (c, t) in enumerate(pairs)
                if dist[m ^ (((m >> (c * n)) & mask) << (t * n))] == dist[m] - 1]
        rules.append((lits, best))
    net = _empty_network(n)
    net["0.weight"], net["0.bias"] = _and_layer(n, rules, K1)
    units = {a: [i for i, (_, best) in enumerate(rules) if a in best] for a in range(2 * n - 2)}
    _or_output(net, units, n)
    return net


# ---- trained: committed int8 weights


def trained_path(model_id):
    return TRAINED_DIR / f"model_{model_id:02d}.npz"


def expand_trained(arrays, n):
    """The float32 network of committed arrays: for layer L in 0, 2, 4, int8
    weights qL with one scale per row sL, and biases bL."""
    net = {}
    for layer in (0, 2, 4):
        q = arrays[f"q{layer}"].astype(np.float32)
        s = arrays[f"s{layer}"].astype(np.float32)
        net[f"{layer}.weight"] = q * s[:, None]
        net[f"{layer}.bias"] = arrays[f"b{layer}"].astype(np.float32)
    expected = _empty_network(n)
    for name, array in expected.items():
        if net[name].shape != array.shape:
            raise ValueError(f"{name}: shape {net[name].shape}, expected {array.shape}")
    return net


def trained_network(model_id):
    with np.load(trained_path(model_id)) as arrays:
        return expand_trained(arrays, qubits(model_id))


def network(model_id):
    """The tensors shipped for `model_id`."""
    builders = {"designed": designed_network, "lookup": lookup_network,
                "trained": trained_network}
    return builders[kind(model_id)](model_id)


def write_model(out_dir, model_id):
    n = qubits(model_id)
    path = Path(out_dir) / file_name(model_id)
    safetensors_file.write(path, network(model_id), header_len=header_len(n))
    if path.stat().st_size != file_size(n):
        raise RuntimeError(f"{path}: {path.stat().st_size} bytes, expected {file_size(n)}")
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, required=True, help="directory to write the files to")
    args = parser.parse_args(argv)
    for model_id in range(NUM_MODELS):
        write_model(args.out, model_id)
    return 0


if __name__ == "__main__":
    sys.exit(main())

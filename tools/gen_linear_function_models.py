#!/usr/bin/env python3
"""Writes the 29 linear-function policy networks, linear_function_NN.safetensors.

Each network maps an n x n matrix over GF(2) (n*n inputs, 0.0/1.0, row-major)
through 512 and 256 tanh units to 2n - 1 scores; score k names entry k of the
model's action row (a CX on a tree edge, the last one the no-op). The
synthesis loop adds Gumbel noise to the scores, applies the best action as a
row operation and stops at the identity.

Three kinds of network:

* "designed": a stateless two-phase Steiner elimination on the model's tree,
  rooted and peeled as MODELS gives. Phase 1 makes every column's support
  lie inside the column's subtree (leaves first), phase 2 clears the columns
  top-down. Layer 1 holds conjunctions of cell literals (some with one
  disjunction); layer 2 names, per column and edge, when that edge is a move
  of the column being worked on; every such move scores S (or a multiple),
  every other edge 0 and the no-op -S. The noise term ln(-ln u) lies in
  [-15.95, 2.77] for u > 0, so it chooses among the moves that score the
  most and never picks another edge; each of those moves lowers a measure
  that ends at the identity (see "the policy" below), and which column goes
  next, and which of its moves, is left to the noise, so attempts differ.
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
# A designed model works for any root and consistent peel order; these were
# picked, among each root's post-order and a dozen random orders, for the
# fewest CX of the best of 16 attempts on seeded random matrices.
MODELS = [
    (3, 2, "1 0 2", "02 12 20 21", "lookup"),
    (4, 0, "2 3 1 0", "01 03 10 23 30 32", "trained"),
    (4, 3, "2 0 1 3", "03 13 23 30 31 32", "trained"),
    (5, 2, "4 0 1 3 2", "01 10 12 21 23 32 34 43", "designed"),
    (5, 2, "4 0 3 1 2", "02 12 20 21 23 32 34 43", "designed"),
    (6, 3, "0 1 5 2 4 3", "01 10 12 21 23 32 34 43 45 54", "designed"),
    (6, 2, "5 4 1 0 3 2", "02 12 20 21 23 32 34 43 45 54", "designed"),
    (6, 3, "5 0 2 4 1 3", "01 10 13 23 31 32 34 43 45 54", "designed"),
    (7, 4, "6 0 1 2 5 3 4", "01 10 13 23 31 32 34 43 45 54 56 65", "designed"),
    (7, 4, "0 6 1 2 3 5 4", "02 12 20 21 23 32 34 43 45 46 54 64", "designed"),
    (7, 4, "0 3 6 1 5 2 4", "01 10 12 21 24 36 42 45 54 56 63 65", "designed"),
    (7, 3, "6 1 0 5 2 4 3", "02 12 20 21 23 32 34 43 45 54 56 65", "designed"),
    (7, 2, "4 0 6 3 5 1 2", "01 10 12 21 23 25 32 34 43 52 56 65", "designed"),
    (8, 4, "2 7 0 6 1 3 5 4", "01 10 13 23 31 32 34 43 45 54 56 65 67 76", "designed"),
    (8, 4, "0 7 1 2 5 3 6 4", "02 12 20 21 23 32 34 43 45 46 54 64 67 76", "designed"),
    (8, 5, "0 2 4 7 6 1 3 5", "01 10 13 24 31 35 42 47 53 56 65 67 74 76", "designed"),
    (8, 5, "1 4 7 0 2 6 3 5", "02 12 20 21 23 32 35 47 53 56 65 67 74 76", "designed"),
    (8, 3, "0 1 2 5 7 6 4 3", "01 10 12 21 23 32 34 36 43 45 54 63 67 76", "designed"),
    (8, 4, "0 3 6 5 1 7 2 4", "01 10 12 21 24 36 42 45 47 54 56 63 65 74", "designed"),
    (9, 6, "2 0 1 8 4 3 7 5 6", "01 10 13 24 31 35 42 47 53 56 65 67 74 76 78 87", "designed"),
    (9, 5, "2 0 1 4 8 7 6 3 5", "01 10 13 24 31 35 42 47 53 56 58 65 67 74 76 85", "designed"),
    (9, 5, "1 8 0 2 4 7 6 3 5", "02 12 20 21 23 32 35 47 53 56 65 67 74 76 78 87", "designed"),
    (9, 4, "0 8 6 2 1 3 7 5 4", "01 10 13 23 31 32 34 43 45 54 56 57 65 75 78 87", "designed"),
    (9, 4, "6 8 1 5 0 2 3 7 4", "02 12 20 21 23 32 34 43 45 47 54 56 65 74 78 87", "designed"),
    (9, 3, "0 4 7 1 6 2 8 5 3", "02 12 20 21 23 32 35 47 53 56 58 65 67 74 76 85", "designed"),
    (9, 7, "0 1 4 3 2 5 6 8 7", "01 10 14 23 25 32 41 46 52 58 64 67 76 78 85 87", "designed"),
    (9, 6, "3 0 5 8 1 7 2 4 6", "02 12 20 21 24 35 42 46 53 58 64 67 76 78 85 87", "designed"),
    (9, 5, "0 8 1 7 3 2 4 6 5", "02 13 20 24 31 36 42 45 47 54 56 63 65 74 78 87", "designed"),
    (9, 4, "3 8 0 6 5 7 1 2 4", "01 10 12 21 24 36 42 45 47 54 56 63 65 74 78 87", "designed"),
]
NUM_MODELS = len(MODELS)

# Network shape, fixed by the loader.
HIDDEN1 = 512
HIDDEN2 = 256

# Designed networks: a firing unit's pre-activation is at least +16, any other
# at most -16, so tanh gives exactly +-1 in float32 and every sum is an exact
# integer.
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


# ---------------------------------------------------------------- the policy
#
# Phase 1 makes every column's support lie inside the column's subtree (its
# "P1-done" state); phase 2 then clears the columns top-down. A column c is
# worked on over its region R_c = V \ desc(c), rooted at c, by the moves that
# lower its Steiner cost
#     [(c, c) = 0] + sum over x != c in the Steiner tree of the ones and c of
#     (2 - M[x][c])
# by one: clear a one that is a leaf of that tree from its neighbour toward c
# (which holds a one), fill a zero of the tree from its neighbour toward c,
# or move a one one step toward c from a row that is no done column's.
#
# Which column: c is eligible when its descendants are P1-done. It is
# committed once (c, c) = 1 and (par(c), c) = 1; none of its moves undoes
# that before the column is done. The first committed eligible column in the
# peel order is worked on; while none is committed, the first column of the
# peel order that is not P1-done is, and any eligible column may take the one
# move that commits it. So the noise picks which column goes next and the
# state then holds the choice.
#
# Progress: the set of columns whose whole subtree is P1-done never shrinks
# (an operation with a control in it goes from a parent to a child, or comes
# from a row that is zero on its columns); while it stays, the committed
# column only moves earlier in the peel order, and while that stays its cost
# drops. All moves that qualify score the same, so the noise chooses among
# them; every other edge scores S lower, more than the noise can make up.


def _union(*parts):
    out = {}
    for part in parts:
        for cell, bit in part.items():
            if out.setdefault(cell, bit) != bit:
                raise ValueError(f"unit asks cell {cell} to be 0 and 1")
    return out


def _p1_done(tree, w):
    """Column w has its ones only on sub(w) and a one on the diagonal."""
    lits = {(w, w): 1}
    for v in set(range(tree.n)) - tree.sub[w]:
        lits[(v, w)] = 0
    return lits


def _p2_done(tree, w):
    """Column w is the unit vector."""
    return {(v, w): int(v == w) for v in range(tree.n)}


def _not_all_done(tree, nodes):
    """Literals at least one of which holds unless every node of `nodes` is
    P1-done."""
    out = {}
    for x in nodes:
        out.update({cell: 1 - bit for cell, bit in _p1_done(tree, x).items()})
    return out


def _region(tree, q, region):
    """Next hop toward q, and the nodes beyond each node (away from q)."""
    dist, hop = tree.toward(q, region)
    beyond = {x: set() for x in region}
    for x in sorted(region, key=lambda v: -dist[v]):
        if hop[x] is not None:
            beyond[hop[x]] |= beyond[x] | {x}
    return hop, beyond


def _moves(tree, col, hop, beyond, p, v, parent_only=False):
    """Layer-1 units (literals, clause) under which CX(p -> v) lowers the
    Steiner cost of column `col` by one."""
    if hop.get(v) == p:
        ys = beyond[v]
        units = [({(v, col): 1, (p, col): 1, **{(y, col): 0 for y in ys}}, None)]
        if ys:
            units.append(({(v, col): 0, (p, col): 1}, {(y, col): 1 for y in ys}))
        return units
    if hop.get(p) == v and not parent_only:
        # Row p must be no done column's: p is an ancestor of col, or some
        # node of sub(p) is not P1-done.
        clause = None if col in tree.sub[p] else _not_all_done(tree, tree.sub[p])
        return [({(p, col): 1, (v, col): 0}, clause)]
    return []


class Design:
    """The designed network's units for one model.

    `layer1`: (literals, clause) pairs; the unit fires when every literal
    holds and, if there is a clause, at least one of its literals.
    `layer2`: (action, {layer-1 unit: weight}, bias) triples; the unit fires
    when the weighted sum of the firing layer-1 units plus the bias is
    positive (it is always a half-integer).
    """

    def __init__(self, model_id):
        self.n = qubits(model_id)
        self.tree = tree = model_tree(model_id)
        self.peel = peel = peel_order(model_id)
        _check_peel(tree, peel)
        self.index = {a: k for k, a in enumerate(edges(model_id))}
        self.layer1 = []
        self._unit_of = {}
        self.layer2 = []
        self._phase1()
        self._phase2()

    def unit(self, lits, clause=None):
        key = (tuple(sorted(lits.items())), tuple(sorted(clause.items())) if clause else None)
        if key not in self._unit_of:
            if clause and set(clause) & set(lits):
                raise ValueError("clause and literals share a cell")
            self._unit_of[key] = len(self.layer1)
            self.layer1.append((lits, clause))
        return self._unit_of[key]

    def _phase1(self):
        tree, peel = self.tree, self.peel
        cols = peel[:-1]
        eligible, committed, first = {}, {}, {}
        for k, c in enumerate(cols):
            below = _union(*(_p1_done(tree, x) for x in tree.desc(c)))
            eligible[c] = self.unit(below)
            committed[c] = self.unit(_union(below, {(c, c): 1, (tree.parent[c], c): 1}))
            first[c] = self.unit(_union(*(_p1_done(tree, w) for w in peel[:k])))
        for k, c in enumerate(cols):
            par = tree.parent[c]
            hop, beyond = _region(tree, c, set(range(self.n)) - tree.desc(c))
            later = cols[k + 1:]
            big = len(later) + 1
            gate = big + 2
            for (p, v), a in self.index.items():
                reasons = [self.unit(*u) for u in _moves(tree, c, hop, beyond, p, v)]
                if not reasons:
                    continue
                # Fires when a reason holds, no earlier column is committed,
                # and c is committed, or no later column is and c is first
                # (any eligible c for the two moves that commit it).
                opener = (p, v) in ((par, c), (c, par))
                terms = ([(r, gate) for r in reasons] + [(committed[w], -gate) for w in cols[:k]]
                         + [(committed[w], -1) for w in later]
                         + [(committed[c], big), (eligible[c] if opener else first[c], 1)])
                weights = dict(terms)
                if len(weights) != len(terms):
                    raise ValueError(f"column {c}: one unit in two roles")
                self.layer2.append((a, weights, -gate - 0.5))

    def _phase2(self):
        tree = self.tree
        every = _union(*(_p1_done(tree, w) for w in range(self.n)))
        done = {}
        units = {}
        for a in reversed(self.peel):
            if len(tree.sub[a]) > 1:
                prefix = _union(every, done)
                hop, beyond = _region(tree, a, tree.sub[a])
                for (p, v), k in self.index.items():
                    for lits, clause in _moves(tree, a, hop, beyond, p, v, parent_only=True):
                        units.setdefault(k, []).append(self.unit(_union(prefix, lits), clause))
            done = _union(done, _p2_done(tree, a))
        for k, us in sorted(units.items()):
            self.layer2.append((k, dict.fromkeys(us, 1), -0.5))


def _check_peel(tree, peel):
    if sorted(peel) != list(range(tree.n)) or peel[-1] != tree.root:
        raise ValueError("peel order must list every node once and end at the root")
    pos = {v: k for k, v in enumerate(peel)}
    for v in range(tree.n):
        if any(pos[c] > pos[v] for c in tree.children[v]):
            raise ValueError(f"node {v} comes before one of its children")


# ---------------------------------------------------------------- networks


def _first_layer(n, units):
    """Layer 1: unit i is +1 exactly when every literal of units[i] holds and
    (if it has a clause) one of the clause's literals; the pre-activation is
    always at least K1/2 away from 0."""
    w0 = np.zeros((HIDDEN1, n * n), np.float32)
    b0 = np.zeros(HIDDEN1, np.float32)
    if len(units) > HIDDEN1:
        raise ValueError(f"{len(units)} units do not fit {HIDDEN1}")
    for i, (lits, clause) in enumerate(units):
        scale = K1 * (len(clause) + 1) if clause else K1
        for (x, y), bit in lits.items():
            w0[i, x * n + y] = scale if bit else -scale
        bias = -scale * sum(lits.values())
        if clause:
            for (x, y), bit in clause.items():
                w0[i, x * n + y] = K1 if bit else -K1
            bias += K1 * (sum(1 - bit for bit in clause.values()) - 0.5)
        else:
            bias += K1 / 2
        b0[i] = bias
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


def _threshold_output(net, layer2, n):
    """Layer 2 units as (action, weights, bias) thresholds over the 0/1
    outputs of layer 1 (the pre-activation is K2 times a half-integer); the
    output adds S for each firing unit of an action, so an action no unit
    names scores 0, and gives the no-op -S, so the no-op never wins."""
    if len(layer2) > HIDDEN2:
        raise ValueError(f"{len(layer2)} units do not fit {HIDDEN2}")
    for j, (action, weights, bias) in enumerate(layer2):
        # h = 2y - 1: sum(w y) + b = sum(w/2 h) + sum(w)/2 + b.
        for i, w in weights.items():
            net["2.weight"][j, i] = K2 * w / 2
        net["2.bias"][j] = K2 * (sum(weights.values()) / 2 + bias)
        net["4.weight"][action, j] = S / 2
        net["4.bias"][action] += S / 2
    net["4.bias"][2 * n - 2] = -S


def designed_network(model_id):
    n = qubits(model_id)
    design = Design(model_id)
    net = _empty_network(n)
    net["0.weight"], net["0.bias"] = _first_layer(n, design.layer1)
    _threshold_output(net, design.layer2, n)
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
    net["0.weight"], net["0.bias"] = _first_layer(n, [(lits, None) for lits, _ in rules])
    layer2 = [(a, dict.fromkeys((i for i, (_, best) in enumerate(rules) if a in best), 1), -0.5)
              for a in range(2 * n - 2)]
    _threshold_output(net, [u for u in layer2 if u[1]], n)
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

"""Exact gate-count optimum for small models by breadth-first search over
the whole group (Sp(6, 2): 1,451,520 operators for 3 qubits).

Every gate is an involution, so the distance of an operator V from the
identity (its shortest H/S/CX word on the model's tree) is the same for V
and its inverse, and a gate g chosen on a view V is optimal exactly when
dist(V g) = dist(V) - 1, whichever view is shown.
"""

import numpy as np

from tools.clifford.blocks import (COLUMN_CX_CONTROL, COLUMN_CX_TARGET, COLUMN_H, COLUMN_S, CX, H,
                    identity)


def _pack(cells):
    """(N, n, n) codes -> (N,) uint64, cell k at bits 4k."""
    flat = cells.reshape(len(cells), -1).astype(np.uint64)
    shifts = (4 * np.arange(flat.shape[1])).astype(np.uint64)
    return (flat << shifts[None, :]).sum(axis=1, dtype=np.uint64)


def _unpack(keys, n):
    shifts = (4 * np.arange(n * n)).astype(np.uint64)
    return ((keys[:, None] >> shifts[None, :]) & np.uint64(15)).astype(np.uint8).reshape(-1, n, n)


def _column_gate(cells, gate):
    kind, q0, q1 = gate
    out = cells.copy()
    if kind == H:
        out[:, :, q0] = COLUMN_H[out[:, :, q0]]
    elif kind == CX:
        x = COLUMN_CX_CONTROL[out[:, :, q0], out[:, :, q1]]
        out[:, :, q1] = COLUMN_CX_TARGET[x, out[:, :, q1]]
        out[:, :, q0] = x
    else:
        out[:, :, q0] = COLUMN_S[out[:, :, q0]]
    return out


def _packed_gate(keys, gate, n):
    """_column_gate on packed operators, without unpacking."""
    kind, q0, q1 = gate
    f = np.uint64(15)
    out = keys.copy()
    for i in range(n):
        a = np.uint64(4 * (i * n + q0))
        x = ((keys >> a) & f).astype(np.intp)
        if kind == CX:
            b = np.uint64(4 * (i * n + q1))
            y = ((keys >> b) & f).astype(np.intp)
            nx = COLUMN_CX_CONTROL[x, y]
            ny = COLUMN_CX_TARGET[nx, y]
            out &= ~((f << a) | (f << b))
            out |= (nx.astype(np.uint64) << a) | (ny.astype(np.uint64) << b)
        else:
            table = COLUMN_H if kind == H else COLUMN_S
            out &= ~(f << a)
            out |= table[x].astype(np.uint64) << a
    return out


def _sorted_unique(keys):
    """np.unique by sorting: numpy's hashed unique is several times slower on
    millions of 64-bit keys."""
    keys = np.sort(keys)
    return keys[np.concatenate(([True], keys[1:] != keys[:-1]))] if len(keys) else keys


def _contains(sorted_keys, keys):
    i = np.searchsorted(sorted_keys, keys)
    return sorted_keys[np.minimum(i, len(sorted_keys) - 1)] == keys


class Optimum:
    """Distances of every operator of a model's group, by BFS from the identity."""

    def __init__(self, model):
        self.model = model
        n = model.n
        # Neighbours of distance d lie at d - 1, d or d + 1, so each new level
        # is checked against the last two only.
        levels = [_pack(identity(n)[None])]
        previous = np.zeros(0, dtype=np.uint64)
        while len(levels[-1]):
            frontier = levels[-1]
            nxt = _sorted_unique(np.concatenate([_packed_gate(frontier, g, n) for g in model.gates]))
            nxt = nxt[~_contains(frontier, nxt)]
            if len(previous):
                nxt = nxt[~_contains(previous, nxt)]
            previous = frontier
            levels.append(nxt)
        keys = np.concatenate(levels)
        dists = np.concatenate([np.full(len(k), d, dtype=np.uint8) for d, k in enumerate(levels)])
        order = np.argsort(keys)
        self.keys = keys[order]
        self.dists = dists[order]

    def __len__(self):
        return len(self.keys)

    def distance(self, cells):
        """Optimal gate count per operator of a (B, n, n) batch."""
        k = _pack(np.asarray(cells, dtype=np.uint8))
        i = np.searchsorted(self.keys, k)
        if (i >= len(self.keys)).any() or (self.keys[np.minimum(i, len(self.keys) - 1)] != k).any():
            raise ValueError("operator outside the group")
        return self.dists[i].astype(np.int64)

    def label(self, views):
        """(action, mask) as teacher.label: the optimal actions of each view,
        the lowest one as the action; the no-gate action at the identity."""
        m = self.model
        views = np.asarray(views, dtype=np.uint8)
        d = self.distance(views)
        mask = np.zeros((len(views), m.num_actions), dtype=bool)
        for a, g in enumerate(m.gates):
            mask[:, a] = self.distance(_column_gate(views, g)) == d - 1
        mask[:, m.noop] = d == 0
        return mask.argmax(axis=1), mask

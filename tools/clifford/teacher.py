"""The teacher: a stateless leaf-decoupling rule on the shown view.

Qubit q is decoupled when its block row holds nothing off the diagonal.
Qubits are decoupled in a fixed elimination order (leaves of largest
eccentricity first). For the first qubit l of the order that is not yet
decoupled, the pair (block row l) is cleared vertex by vertex, deepest
first, on the tree of the remaining qubits rooted at l: the deepest
supported vertex j is emptied with the local gates on j, its parent p and
grand-parent q, following a breadth-first table over the three cells. When
every qubit is decoupled, the diagonal blocks are brought to the identity
with H and S.

Everything works on batches of views (B, n, n) and returns, per view, the
rule's action and the set of acceptable actions (every local gate on a
shortest path) as a boolean mask over the model's actions.
"""

import numpy as np

from tools.clifford.blocks import (COLUMN_CX_CONTROL, COLUMN_CX_TARGET, COLUMN_H, COLUMN_S,
                    IDENTITY_CODE, apply_batch, is_identity)

UNREACHABLE = 255


def _column_ops(cells, gate):
    """One local gate on a tuple of cell codes (column operations)."""
    kind, a, b = gate
    cells = list(cells)
    if kind == "h":
        cells[a] = int(COLUMN_H[cells[a]])
    elif kind == "s":
        cells[a] = int(COLUMN_S[cells[a]])
    else:
        x = int(COLUMN_CX_CONTROL[cells[a], cells[b]])
        cells[b] = int(COLUMN_CX_TARGET[x, cells[b]])
        cells[a] = x
    return cells


def _bfs_table(num_cells, gates, is_goal):
    """Distance to the goal set and the lowest gate on a shortest path,
    over all states of num_cells 4-bit cells (state = cells read as base 16,
    first cell most significant)."""
    size = 16 ** num_cells

    def cells_of(s):
        return [(s >> (4 * (num_cells - 1 - i))) & 15 for i in range(num_cells)]

    def state_of(cells):
        s = 0
        for c in cells:
            s = s * 16 + c
        return s

    step = np.array([[state_of(_column_ops(cells_of(s), g)) for s in range(size)]
                     for g in gates], dtype=np.int64)
    dist = np.full(size, UNREACHABLE, dtype=np.int64)
    frontier = [s for s in range(size) if is_goal(cells_of(s))]
    dist[frontier] = 0
    d = 0
    while frontier:
        nxt = np.unique(step[:, frontier].ravel())
        nxt = nxt[dist[nxt] == UNREACHABLE]
        d += 1
        dist[nxt] = d
        frontier = list(nxt)
    ok = (dist[step] == dist[None, :] - 1) & (dist[None, :] != UNREACHABLE)
    acceptable = ok.T.copy()                   # (size, gates)
    policy = np.where(acceptable.any(1), acceptable.argmax(1), -1)
    return dist, policy, acceptable, step


# Cells (j, p, q): H_j, S_j, H_p, S_p, H_q, S_q, CX(j,p), CX(p,j), CX(p,q), CX(q,p).
GATES3 = [("h", 0, 0), ("s", 0, 0), ("h", 1, 0), ("s", 1, 0), ("h", 2, 0), ("s", 2, 0),
          ("cx", 0, 1), ("cx", 1, 0), ("cx", 1, 2), ("cx", 2, 1)]
# Cells (j, l): H_j, S_j, H_l, S_l, CX(j,l), CX(l,j).
GATES2 = [("h", 0, 0), ("s", 0, 0), ("h", 1, 0), ("s", 1, 0), ("cx", 0, 1), ("cx", 1, 0)]

D3, POL3, ACC3, STEP3 = _bfs_table(3, GATES3, lambda c: c[0] == 0)
D2, POL2, ACC2, STEP2 = _bfs_table(2, GATES2, lambda c: c[0] == 0)
# One diagonal block to the identity with H and S (H first on ties).
D1, POL1, ACC1, _ = _bfs_table(1, [("h", 0, 0), ("s", 0, 0)], lambda c: c[0] == IDENTITY_CODE)


def label(model, views):
    """(action, mask) per view of a (B, n, n) batch: the rule's action and
    the boolean (B, num_actions) mask of acceptable actions."""
    views = np.asarray(views, dtype=np.uint8)
    bsz, n = views.shape[0], model.n
    action = np.full(bsz, model.noop, dtype=np.int64)
    mask = np.zeros((bsz, model.num_actions), dtype=bool)
    if bsz == 0:
        return action, mask
    rows = np.arange(bsz)
    off = ~np.eye(n, dtype=bool)
    coupled = ((views != 0) & off).any(axis=2)           # (B, n)
    coupled_in_order = coupled[:, model.order]
    eliminating = coupled_in_order.any(axis=1)
    stage = coupled_in_order.argmax(axis=1)

    # ---- elimination of the pair of l = order[stage] ----
    e = rows[eliminating]
    if len(e):
        k = stage[e]
        l = np.asarray(model.order)[k]
        pair = views[e, l, :].astype(np.int64)           # (E, n)
        depth = model.stage_depth[k]                     # (E, n)
        parent = model.stage_parent[k]
        cand = (pair != 0) & (depth >= 1)
        score = np.where(cand, depth * (n + 1) + (n - np.arange(n))[None, :], -1)
        j = score.argmax(axis=1)
        er = np.arange(len(e))
        dj = depth[er, j]
        p = parent[er, j]
        hi, si, cx = model.h_index, model.s_index, model.cx_index

        deep = dj >= 2
        if deep.any():
            d = np.nonzero(deep)[0]
            jj, pp = j[d], p[d]
            qq = parent[d, pp]
            s3 = pair[d, jj] * 256 + pair[d, pp] * 16 + pair[d, qq]
            glob = np.stack([hi[jj], si[jj], hi[pp], si[pp], hi[qq], si[qq],
                             cx[jj, pp], cx[pp, jj], cx[pp, qq], cx[qq, pp]], axis=1)
            _fill(action, mask, e[d], glob, POL3[s3], ACC3[s3])
        shallow = ~deep
        if shallow.any():
            d = np.nonzero(shallow)[0]
            jj, ll = j[d], l[d]
            s2 = pair[d, jj] * 16 + pair[d, ll]
            if (D2[s2] == UNREACHABLE).any():
                raise AssertionError("leaf pair in a state the two-cell table cannot solve")
            glob = np.stack([hi[jj], si[jj], hi[ll], si[ll], cx[jj, ll], cx[ll, jj]], axis=1)
            _fill(action, mask, e[d], glob, POL2[s2], ACC2[s2])

    # ---- every qubit decoupled: fix the diagonal blocks ----
    f = rows[~eliminating]
    if len(f):
        diag = views[f][:, np.arange(n), np.arange(n)].astype(np.int64)   # (F, n)
        pending = diag != IDENTITY_CODE
        fix = pending.any(axis=1)
        g = f[fix]
        if len(g):
            dg, pend = diag[fix], pending[fix]
            gr = np.arange(len(g))
            q = pend.argmax(axis=1)
            first = POL1[dg[gr, q]]
            action[g] = np.where(first == 0, model.h_index[q], model.s_index[q])
            mask[g[:, None], model.h_index[None, :]] = pend & ACC1[dg, 0]
            mask[g[:, None], model.s_index[None, :]] = pend & ACC1[dg, 1]
        mask[f[~fix], model.noop] = True
    return action, mask


def _fill(action, mask, envs, glob, policy, acceptable):
    r = np.arange(len(envs))
    action[envs] = glob[r, policy]
    for c in range(glob.shape[1]):
        sel = acceptable[:, c]
        mask[envs[sel], glob[sel, c]] = True


def baseline(model, states, max_steps=100000):
    """Gate counts of the rule run on the real states in the normal view
    until the identity (the one-sided baseline)."""
    cells = np.array(states, dtype=np.uint8, copy=True)
    count = np.zeros(len(cells), dtype=np.int64)
    active = np.nonzero(~is_identity(cells))[0]
    for _ in range(max_steps):
        if not len(active):
            return count
        act, _ = label(model, cells[active])
        apply_batch(cells, active, model.kind[act], model.q0[act], model.q1[act],
                    np.zeros(len(active), dtype=bool))
        count[active] += 1
        active = active[~is_identity(cells[active])]
    raise RuntimeError("baseline rule did not finish")


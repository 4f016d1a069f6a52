"""Block codes of Clifford operators and the gates acting on them (numpy).

A Clifford on n qubits is its 2n x 2n symplectic matrix M over GF(2), cut
into 2 x 2 blocks; block (i, j) with rows (a, b), (c, d) is the code
8a + 4b + 2c + d. States are uint8 arrays of shape (n, n) or, batched,
(B, n, n). A gate chosen on a view acts on block columns (M -> M g); the
synthesis loop applies it to the real state as a column operation in the
normal view and as a row operation (M -> g M) in the inverted view. Every
H, S and CX matrix is an involution over GF(2), so a gate list g1, g2, ...
rebuilds the operator gk ... g2 g1 (row operations in list order on the
identity).
"""

import numpy as np

IDENTITY_CODE = 9


def _bits(v):
    return (v >> 3) & 1, (v >> 2) & 1, (v >> 1) & 1, v & 1


def _code(a, b, c, d):
    return 8 * a + 4 * b + 2 * c + d


def _table(rule):
    return np.array([_code(*rule(*_bits(v))) for v in range(16)], dtype=np.uint8)


# Column tables act on the block columns (x part, z part) of one qubit.
COLUMN_H = _table(lambda a, b, c, d: (b, a, d, c))
COLUMN_S = _table(lambda a, b, c, d: (a ^ b, b, c ^ d, d))
ROW_H = _table(lambda a, b, c, d: (c, d, a, b))
ROW_S = _table(lambda a, b, c, d: (a, b, c ^ a, d ^ b))
SWAP_AD = _table(lambda a, b, c, d: (d, b, c, a))

_x = np.arange(16, dtype=np.uint8)[:, None]
_y = np.arange(16, dtype=np.uint8)[None, :]
COLUMN_CX_CONTROL = (_x ^ (_y & 10)).astype(np.uint8)
COLUMN_CX_TARGET = (_y ^ (_x & 5)).astype(np.uint8)
ROW_CX_CONTROL = (_x ^ (_y & 3)).astype(np.uint8)
ROW_CX_TARGET = (_y ^ (_x & 12)).astype(np.uint8)

H, S, CX = 0, 1, 2


def identity(n):
    return (np.eye(n, dtype=np.uint8) * IDENTITY_CODE)


def is_identity(cells):
    """Per state of a (B, n, n) batch (or a single (n, n) state)."""
    n = cells.shape[-1]
    return (cells == identity(n)).all(axis=(-2, -1))


def transpose_map(n):
    return np.array([j * n + i for i in range(n) for j in range(n)], dtype=np.int64)


def invert_view(cells):
    """The view of the inverse: block (i, j) is block (j, i) with a and d
    exchanged. Works on (n, n) or (B, n, n)."""
    return SWAP_AD[np.swapaxes(cells, -1, -2)]


# ---- single-state gate operations (in place, control cell written first) ----

def column_h(cells, q):
    cells[:, q] = COLUMN_H[cells[:, q]]


def column_s(cells, q):
    cells[:, q] = COLUMN_S[cells[:, q]]


def column_cx(cells, c, t):
    cells[:, c] = COLUMN_CX_CONTROL[cells[:, c], cells[:, t]]
    cells[:, t] = COLUMN_CX_TARGET[cells[:, c], cells[:, t]]


def row_h(cells, q):
    cells[q, :] = ROW_H[cells[q, :]]


def row_s(cells, q):
    cells[q, :] = ROW_S[cells[q, :]]


def row_cx(cells, c, t):
    cells[c, :] = ROW_CX_CONTROL[cells[c, :], cells[t, :]]
    cells[t, :] = ROW_CX_TARGET[cells[c, :], cells[t, :]]


def apply_gate(cells, gate, inverted):
    """gate = (kind, q0, q1) with kind H, S or CX."""
    kind, q0, q1 = gate
    if kind == H:
        (row_h if inverted else column_h)(cells, q0)
    elif kind == S:
        (row_s if inverted else column_s)(cells, q0)
    else:
        (row_cx if inverted else column_cx)(cells, q0, q1)


# ---- batched gate operations ----

def apply_batch(cells, envs, kind, q0, q1, inverted):
    """Applies one gate per listed env of a (B, n, n) batch, in place.

    envs, kind, q0, q1 and inverted are equal-length arrays; entries whose
    kind is not H, S or CX are ignored (the no-gate action).
    """
    n = cells.shape[-1]
    r = np.arange(n)[None, :]
    for k in (H, S, CX):
        for inv in (False, True):
            sel = (kind == k) & (inverted == inv)
            if not sel.any():
                continue
            b = envs[sel][:, None]
            a = q0[sel][:, None]
            if k == CX:
                t = q1[sel][:, None]
                if inv:
                    x, y = cells[b, a, r], cells[b, t, r]
                    x = ROW_CX_CONTROL[x, y]
                    cells[b, a, r] = x
                    cells[b, t, r] = ROW_CX_TARGET[x, y]
                else:
                    x, y = cells[b, r, a], cells[b, r, t]
                    x = COLUMN_CX_CONTROL[x, y]
                    cells[b, r, a] = x
                    cells[b, r, t] = COLUMN_CX_TARGET[x, y]
            elif inv:
                table = ROW_H if k == H else ROW_S
                cells[b, a, r] = table[cells[b, a, r]]
            else:
                table = COLUMN_H if k == H else COLUMN_S
                cells[b, r, a] = table[cells[b, r, a]]


# ---- symplectic matrices ----

def to_codes(m):
    """(2n, 2n) 0/1 matrix -> (n, n) codes."""
    m = np.asarray(m, dtype=np.uint8)
    return (8 * m[0::2, 0::2] + 4 * m[0::2, 1::2] + 2 * m[1::2, 0::2] + m[1::2, 1::2]).astype(np.uint8)


def to_matrix(cells):
    n = cells.shape[0]
    m = np.zeros((2 * n, 2 * n), dtype=np.uint8)
    m[0::2, 0::2] = (cells >> 3) & 1
    m[0::2, 1::2] = (cells >> 2) & 1
    m[1::2, 0::2] = (cells >> 1) & 1
    m[1::2, 1::2] = cells & 1
    return m


def omega(n):
    return np.kron(np.eye(n, dtype=np.int64), np.array([[0, 1], [1, 0]]))


def is_symplectic(m):
    m = np.asarray(m, dtype=np.int64)
    w = omega(m.shape[0] // 2)
    return bool(((m.T @ w @ m) % 2 == w).all())


def replay(n, gate_list):
    """The operator a returned gate list implements: row operations in list
    order on the identity. gate_list holds (name, (q0, q1)) tuples."""
    cells = identity(n)
    for name, (q0, q1) in gate_list:
        kind = {"h": H, "s": S, "cx": CX}[name]
        apply_gate(cells, (kind, q0, q1), inverted=True)
    return cells

"""Exact uniform sampling of Sp(2n, 2), returned as block codes.

With the form <x, y> = sum_i x_2i y_2i+1 + x_2i+1 y_2i, a symplectic basis is
built pair by pair: v_i uniform and non-zero in the complement of the pairs
chosen so far, then w_i uniform in that complement with <v_i, w_i> = 1. The
matrix with columns v_1, w_1, ..., v_n, w_n is uniform over the group, since
every choice is uniform among the vectors that extend the partial basis.
"""

import numpy as np

from tools.clifford.blocks import to_codes


def _form(x, y):
    return int((x[0::2] & y[1::2]).sum() + (x[1::2] & y[0::2]).sum()) & 1


def _in_complement(x, basis):
    x = x.copy()
    for v, w in basis:
        if _form(x, w):
            x ^= v
        if _form(x, v):
            x ^= w
    return x


def random_symplectic(n, rng):
    basis = []
    for _ in range(n):
        while True:
            v = _in_complement(rng.integers(0, 2, 2 * n, dtype=np.uint8), basis)
            if v.any():
                break
        while True:
            w = _in_complement(rng.integers(0, 2, 2 * n, dtype=np.uint8), basis)
            if _form(v, w):
                break
        basis.append((v, w))
    return np.stack([c for pair in basis for c in pair], axis=1)


def random_clifford(n, rng):
    """(n, n) block codes of a uniformly random Clifford operator."""
    return to_codes(random_symplectic(n, rng))


def random_cliffords(n, count, rng):
    return np.stack([random_clifford(n, rng) for _ in range(count)]) if count else \
        np.zeros((0, n, n), dtype=np.uint8)

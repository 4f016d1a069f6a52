"""Devices, circuits and checkers shared by the routing tests.

Devices are coupling maps (lists of (a, b) physical-qubit pairs, both
directions listed unless asked otherwise) with BFS distance matrices and
error maps. Circuits are lists of (code, (q0, q1)). The checker simulates
CX/SWAP circuits over GF(2): every wire holds the set of input bits whose
XOR it carries, as a Python int used as a bitmask.
"""

import os
import random

from tools import devices
from tools.devices import (UNREACHABLE, bfs_distances, both_ways, error_map, grid,  # noqa: F401
                           line, num_qubits)

CX, SWAP, SYM_CX, BLOCK3, BLOCK2, ONE_QUBIT, WAIT_ALL = range(7)

# CX cost of each gate code, as the routed-circuit metrics count it; codes
# of 10 and more are opaque two-qubit gates worth three CX each.
CX_COST = {CX: 1, SWAP: 3, SYM_CX: 1, BLOCK3: 3, BLOCK2: 2, ONE_QUBIT: 0, WAIT_ALL: 0}


def cx_cost(code):
    return CX_COST[code] if code < 10 else 3


# --------------------------------------------------------------------------
# Devices

# line, grid, num_qubits, bfs_distances and error_map come from tools.devices.


def heavy_hex_27(two_way=True):
    edges = devices.heavy_hex_27(two_way=False)
    _check_heavy_hex(edges, 27, 28)
    return both_ways(edges) if two_way else edges


def heavy_hex_127(two_way=True):
    edges = devices.heavy_hex(7, 15, two_way=False)
    _check_heavy_hex(edges, 127, 144)
    return both_ways(edges) if two_way else edges


def _check_heavy_hex(edges, n, count):
    # A wrong device would make every routing test meaningless.
    assert len(edges) == count and len(set(map(frozenset, edges))) == count
    degree = [0] * n
    for a, b in edges:
        degree[a] += 1
        degree[b] += 1
    assert min(degree) >= 1 and max(degree) == 3
    assert all(d < UNREACHABLE for d in bfs_distances(edges, n)[0])


def undirected(cmap):
    return {frozenset(e) for e in cmap}


# --------------------------------------------------------------------------
# Circuits


def qft_pattern(n):
    """The two-qubit skeleton of an n-qubit QFT: a CX for every pair."""
    return [(CX, (i, j)) for i in range(n) for j in range(i + 1, n)]


def random_circuit(n, count, rng, swap_share=0.0, one_qubit_share=0.0, qubits=None):
    """count gates on the given qubits (default 0..n-1): CX, SWAP (code 1)
    with probability swap_share, and one-qubit gates (code 5, q1 = q0) with
    probability one_qubit_share."""
    pool = list(range(n)) if qubits is None else list(qubits)
    out = []
    for _ in range(count):
        x = rng.random()
        if x < one_qubit_share:
            q = rng.choice(pool)
            out.append((ONE_QUBIT, (q, q)))
        elif x < one_qubit_share + swap_share:
            out.append((SWAP, tuple(rng.sample(pool, 2))))
        else:
            out.append((CX, tuple(rng.sample(pool, 2))))
    return out


# --------------------------------------------------------------------------
# Checks


def argsort(v):
    return sorted(range(len(v)), key=lambda i: v[i])


def is_permutation(v, n):
    return len(v) == n and sorted(v) == list(range(n))


def simulate(gates, wires, one_qubit_log=None):
    """Applies a CX/SWAP/one-qubit circuit to the wire values in place.
    One-qubit gates record the value of their wire in one_qubit_log."""
    for code, (a, b) in gates:
        if code == CX:
            wires[b] ^= wires[a]
        elif code == SWAP:
            wires[a], wires[b] = wires[b], wires[a]
        elif code == ONE_QUBIT:
            if one_qubit_log is not None:
                one_qubit_log.append(wires[a])
        else:
            raise AssertionError(f"gate code {code} cannot be simulated")
    return wires


def assert_implements(circuit, gates, start, end, n):
    """Checks that gates (on physical qubits) implement circuit (on caller
    qubits) when caller qubit j starts on physical start[j] and ends on
    physical end[j]. One-qubit gates must see the same wire values, in the
    same order, as in the input circuit."""
    assert is_permutation(list(start), n) and is_permutation(list(end), n)
    want_log, got_log = [], []
    want = simulate(circuit, [1 << j for j in range(n)], want_log)
    phys = [0] * n
    for j in range(n):
        phys[start[j]] = 1 << j
    got = simulate(gates, phys, got_log)
    for j in range(n):
        assert got[end[j]] == want[j], (
            f"caller qubit {j} ends on physical {end[j]} holding "
            f"{got[end[j]]:#x}, expected {want[j]:#x}")
    assert got_log == want_log, "one-qubit gates moved relative to the CX gates"


def assert_on_edges(gates, cmap):
    edges = undirected(cmap)
    for code, (a, b) in gates:
        if code == ONE_QUBIT or code == WAIT_ALL:
            continue
        assert frozenset((a, b)) in edges, f"gate {(code, (a, b))} is not on a coupler"


def n_cnots(gates):
    return sum(cx_cost(code) for code, _ in gates)


def noise(gates, err_map):
    """The noise figure of a routed circuit: 1e6 * (1 - fidelity), where
    every CX-equivalent on the ordered pair (a, b) multiplies the fidelity
    by 1 - err_map[(a, b)] (pairs without a rate cost nothing)."""
    fidelity = 1.0
    for code, (a, b) in gates:
        rate = err_map.get((a, b))
        if rate is None:
            continue
        for _ in range(cx_cost(code)):
            fidelity = (1.0 - rate) * fidelity
    return int((1.0 - fidelity) * 1000000.0)


def assert_well_formed(result, n):
    """The shape every successful call returns."""
    assert type(result) is tuple and len(result) == 2
    gates, layouts = result
    assert type(gates) is list
    for item in gates:
        assert type(item) is tuple and len(item) == 2
        code, pair = item
        assert type(code) is int and code >= 0
        assert type(pair) is tuple and len(pair) == 2
        assert all(type(q) is int and 0 <= q for q in pair)
    assert type(layouts) is tuple and len(layouts) == 3
    for lst in layouts:
        assert type(lst) is list and len(lst) == n
        assert all(type(x) is int for x in lst)
    return gates, layouts


def device(name):
    """(coupling map, n, dists) of a named test device."""
    if name == "heavy_hex_27":
        cmap = heavy_hex_27()
    elif name == "heavy_hex_127":
        cmap = heavy_hex_127()
    elif name == "grid_5x5":
        cmap = grid(5, 5)
    elif name == "line_8":
        cmap = line(8)
    elif name == "line_8_one_way":
        cmap = line(8, two_way=False)
    else:
        raise KeyError(name)
    n = num_qubits(cmap)
    return cmap, n, bfs_distances(cmap, n)


def panic_exception_class(router):
    """The interpreter-level class of internal faults, taken from a fault
    whose report on descriptor 2 goes nowhere."""
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        router.route([(8, (0, 1))], 1, [(0, 1)], [[0, 1], [1, 0]], {}, [], 2)
    except BaseException as e:  # noqa: B902 - the class is what we want
        return type(e)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
    raise AssertionError("gate code 8 did not fault")


def fresh_rng(seed):
    return random.Random(seed)

"""Device topologies shared by the tools, benchmarks, examples and tests:
coupling maps built from their structure (lists of (a, b) physical-qubit
pairs, each coupler in both directions unless asked otherwise), hop distances
by breadth-first search and synthetic error maps."""

from collections import deque

# The distance CircuitRouting reads as "no path".
UNREACHABLE = 2147483647


def both_ways(edges):
    out = []
    for a, b in edges:
        out.append((a, b))
        out.append((b, a))
    return out


def line(n, two_way=True):
    """A line of n qubits."""
    edges = [(i, i + 1) for i in range(n - 1)]
    return both_ways(edges) if two_way else edges


def grid(rows, cols, two_way=True):
    """A rows x cols square lattice, numbered row by row."""
    edges = []
    for r in range(rows):
        for c in range(cols):
            q = r * cols + c
            if c + 1 < cols:
                edges.append((q, q + 1))
            if r + 1 < rows:
                edges.append((q, q + cols))
    return both_ways(edges) if two_way else edges


def heavy_hex(rows, width, two_way=True):
    """A heavy-hex lattice numbered row by row, each row followed by the
    bridge qubits linking it to the next one: (7, 15) gives the 127-qubit
    layout, (5, 11) a 65-qubit one, (3, 11) a 37-qubit one. The first row
    lacks its last column and the last row its first one; bridges sit on
    columns 0, 4, 8, ... below even rows and 2, 6, 10, ... below odd rows."""
    edges = []
    next_q = 0
    row_ids = []
    for r in range(rows):
        cols = range(0, width - 1) if r == 0 else range(1, width) if r == rows - 1 else range(width)
        ids = {}
        for c in cols:
            ids[c] = next_q
            next_q += 1
        edges += [(ids[c], ids[c + 1]) for c in cols if c + 1 in ids]
        row_ids.append(ids)
        if r + 1 < rows:
            bridges = []
            for c in range(0 if r % 2 == 0 else 2, width, 4):
                bridges.append((c, next_q))
                next_q += 1
            row_ids.append(bridges)
    # Bridges link the row above to the row below on their column.
    for i in range(1, len(row_ids), 2):
        above, below = row_ids[i - 1], row_ids[i + 1]
        for c, b in row_ids[i]:
            edges.append((above[c], b))
            edges.append((b, below[c]))
    return both_ways(edges) if two_way else edges


# The 27-qubit heavy-hex device (three hexagons wide).
_HEAVY_HEX_27 = [
    (0, 1), (1, 2), (1, 4), (2, 3), (3, 5), (4, 7), (5, 8), (6, 7),
    (7, 10), (8, 9), (8, 11), (10, 12), (11, 14), (12, 13), (12, 15),
    (13, 14), (14, 16), (15, 18), (16, 19), (17, 18), (18, 21), (19, 20),
    (19, 22), (21, 23), (22, 25), (23, 24), (24, 25), (25, 26),
]


def heavy_hex_27(two_way=True):
    return both_ways(_HEAVY_HEX_27) if two_way else list(_HEAVY_HEX_27)


def num_qubits(coupling_map):
    return 1 + max(max(a, b) for a, b in coupling_map)


def bfs_distances(coupling_map, n=None, unreachable=UNREACHABLE):
    """dists[p][r]: the fewest couplers (in either direction) between
    physical qubits p and r, `unreachable` where there is no path."""
    n = num_qubits(coupling_map) if n is None else n
    adj = [[] for _ in range(n)]
    for a, b in coupling_map:
        adj[a].append(b)
        adj[b].append(a)
    dists = []
    for s in range(n):
        row = [unreachable] * n
        row[s] = 0
        todo = deque([s])
        while todo:
            u = todo.popleft()
            for v in adj[u]:
                if row[v] == unreachable:
                    row[v] = row[u] + 1
                    todo.append(v)
        dists.append(row)
    return dists


def error_map(coupling_map, rng, lo=0.001, hi=0.05):
    """A synthetic error rate per ordered pair of the coupling map (the two
    directions of a coupler draw their own), drawn from `rng`."""
    return {(a, b): rng.uniform(lo, hi) for a, b in coupling_map}

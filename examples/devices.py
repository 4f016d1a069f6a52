"""Device topologies for the examples and benchmarks: coupling maps built from
their structure, with distance matrices and synthetic error maps."""

from collections import deque
import random


def line(n):
    """A line of n qubits, each edge in both directions."""
    return _both_ways((i, i + 1) for i in range(n - 1))


def grid(rows, cols):
    """A rows x cols square lattice, each edge in both directions."""
    edges = []
    for r in range(rows):
        for c in range(cols):
            q = r * cols + c
            if c + 1 < cols:
                edges.append((q, q + 1))
            if r + 1 < rows:
                edges.append((q, q + cols))
    return _both_ways(edges)


def heavy_hex(rows, row_len):
    """A heavy-hex lattice: `rows` horizontal lines of `row_len` qubits joined
    by bridge qubits every fourth column, the bridge columns alternating
    between 0, 4, 8, ... and 2, 6, 10, ... from one gap to the next. The first
    line lacks its last column and the last line its first column, so that
    (7, 15) gives the 127-qubit lattice, (3, 11) a 37-qubit one. Qubits
    are numbered line by line, each gap's bridges after the line above it."""
    columns = []  # per line: {column: qubit}
    edges = []
    nxt = 0
    bridges_below = []
    for r in range(rows):
        cols = range(row_len)
        if r == 0:
            cols = range(row_len - 1)
        elif r == rows - 1:
            cols = range(1, row_len)
        line_q = {}
        for c in cols:
            line_q[c] = nxt
            nxt += 1
        for c in cols:
            if c + 1 in line_q:
                edges.append((line_q[c], line_q[c + 1]))
        columns.append(line_q)
        # Bridges from the previous gap now know their lower end.
        for c, b in bridges_below:
            if c in line_q:
                edges.append((b, line_q[c]))
        bridges_below = []
        if r + 1 < rows:
            start = 0 if r % 2 == 0 else 2
            for c in range(start, row_len, 4):
                if c in line_q:
                    b = nxt
                    nxt += 1
                    edges.append((line_q[c], b))
                    bridges_below.append((c, b))
    return _both_ways(edges)


def heavy_hex_27():
    """The 27-qubit heavy-hex device layout (three hexagons wide)."""
    edges = [(0, 1), (1, 2), (2, 3), (3, 5), (1, 4), (4, 7), (5, 8), (6, 7), (7, 10),
             (8, 9), (8, 11), (10, 12), (11, 14), (12, 13), (12, 15), (13, 14),
             (14, 16), (15, 18), (16, 19), (17, 18), (18, 21), (19, 20), (19, 22),
             (21, 23), (22, 25), (23, 24), (24, 25), (25, 26)]
    return _both_ways(edges)


def heavy_hex_127():
    return heavy_hex(7, 15)


def num_qubits(coupling_map):
    return 1 + max(max(a, b) for a, b in coupling_map)


def distances(coupling_map, n=None, unreachable=2147483647):
    """All-pairs hop distances by breadth-first search."""
    n = num_qubits(coupling_map) if n is None else n
    adj = [[] for _ in range(n)]
    for a, b in coupling_map:
        adj[a].append(b)
        adj[b].append(a)
    dists = []
    for s in range(n):
        row = [unreachable] * n
        row[s] = 0
        queue = deque([s])
        while queue:
            u = queue.popleft()
            for v in adj[u]:
                if row[v] == unreachable:
                    row[v] = row[u] + 1
                    queue.append(v)
        dists.append(row)
    return dists


def error_map(coupling_map, seed=7, low=0.004, high=0.02):
    """A synthetic error rate per directed edge."""
    rng = random.Random(seed)
    return {(a, b): rng.uniform(low, high) for a, b in coupling_map}


def _both_ways(edges):
    out = []
    for a, b in edges:
        out.append((a, b))
        out.append((b, a))
    return out

#!/usr/bin/env python3
"""Writes the five permutation policy model files and their companion data.

The weights are designed, not trained. Output k of a network means "swap the
two ends of edge k of the model's coupling map", the last output means "no
swap", so every network is made for one coupling graph in one edge order.
That graph, its involutive symmetries and a step limit are the companion
data of the model, published in models/permutation.json; callers pass them
to PermutationSynthesis unchanged.

Usage (from the repository root):
    python3 -m tools.gen_permutation_models --json [PATH]
        derive the companion data from the graph descriptions below and write
        it (default: the committed models/permutation.json; "-" for standard
        output)
    python3 -m tools.gen_permutation_models --out DIR
        write DIR/<model>.safetensors for the companion data in --companion
        (default: the committed file)

Both outputs are the same on every run: the weights are small dyadic numbers
computed exactly, and the one transcendental value is rounded to 2^-16.

Network shape: n² one-hot inputs (cell k holding value t selects column
k·n + t) -> 512 tanh -> 256 tanh -> E + 1 logits. x[k] below is the target
vertex of the token standing at vertex k; D is the graph's distance matrix.

The line (8 qubits) is an exact bubble sort: unit e of edge (lo, hi), lo
nearer the path's start, computes (pos(x[lo]) - pos(x[hi])) / 16; layer 2
copies it and output e is 64 times that, the no-swap output 0. The largest
output is an adjacent inversion, so every SWAP removes one inversion, and the
inverse view and the reflection keep the inversion count: one SWAP per
inversion, which is optimal.

The other graphs realise this score per edge (u, v), everything in units of
LAM at layer 2's input:
  * both tokens get closer (happy): 256;
  * exactly one gets closer: 64 + tab(dc, da), dc the distance of the one that
    gets closer, da that of the other (both capped at 4),
    tab = -dc + da/4 + [da = 0] - [dc = 1]/2, so short moves that unblock a
    token and moves that disturb no home token come first;
  * neither gets closer: 0;
  * +5 for each look-ahead pair: after the move the token at o could swap
    happily with a neighbour w of o (it gets closer at w, the token at w gets
    closer at o);
  * +20 for each "hip": the token at a moves closer into o whose token is
    home, and the token that targets a stands nearer o than a, so the inverse
    view then has a happy swap on the same edge. This is what turns the
    push/undo 2-cycles of a plain distance score into progress;
  * no swap: 40, below every move that brings a token closer (else the loop
    stalls) and above every move that brings none closer (else it oscillates).
Layer 1 holds three kinds of units, in this order:
  * Z, two per edge ((a, o) = (u, v), then (v, u)): K1·[a's token closer at o]
    + K2·[o's token closer at a] + EPS·(alpha(D[a, x[a]]) + beta(D[o, x[o]]))
    - K1. Near-linear EPS·tab when only a's token gets closer, +1 when both
    do, -1 otherwise;
  * hip, two per edge, same order: an AND of three conditions;
  * look-ahead, one per path (a, o, w) with w a neighbour of o other than a
    (ascending): an AND of two conditions.
Layer-2 unit e reads its edge's units with weight LAM·C (Z), LAM·20/2 (hip),
LAM·5/2 (look-ahead) and a bias equal to the sum of those weights, so a unit
at -1 adds nothing. Output e is MU times layer-2 unit e; the no-swap bias is
MU·tanh(LAM·40). Every layer-1 pre-activation and every layer-2 partial sum
is exact in float32, so equal scores give bit-equal logits and the first
index wins ties, as it does in the score.

File layout: "0.weight" [512, n²], "0.bias" [512], "2.weight" [256, 512],
"2.bias" [256], "4.weight" [E + 1, 256], "4.bias" [E + 1]. The loader
subtracts half of each row sum of "0.weight" from "0.bias" (so that adding
n columns equals multiplying by the ±0.5 one-hot encoding); the file's
"0.bias" is therefore the intended bias plus that half row sum, and the tool
checks that the loader's float32 arithmetic gives the intended bias back
exactly.
"""

import argparse
import hashlib
import json
import math
import sys
from collections import deque
from pathlib import Path

import numpy as np

from tools import safetensors_file
from tools.devices import UNREACHABLE, bfs_distances

REPO_ROOT = Path(__file__).resolve().parent.parent
COMPANION = REPO_ROOT / "models" / "permutation.json"
MODELS_PATH = "/models/permutation-ai-models"

HIDDEN1 = 512
HIDDEN2 = 256

# Design constants of the general graphs (see the module docstring).
K1 = 64.0
K2 = 32.0
KB = 32.0
EPS = 1.0 / 64.0
C = 1.0 / EPS
LAM = 1.0 / 512.0
MU = 64.0
HIP = 20.0
LOOK = 5.0
NO_SWAP = 40.0
CAP = 4

# The line.
LINE_SCALE = 1.0 / 16.0
LINE_OUT = 64.0


# ---- Graphs ----

def line_edges(n):
    return [(i, i + 1) for i in range(n - 1)]


def ring_edges(n):
    return [(i, i + 1) for i in range(n - 1)] + [(0, n - 1)]


# The 27-qubit heavy-hex device, as published with its model.
EDGES_27 = [
    (0, 1), (1, 2), (1, 4), (2, 3), (3, 5), (4, 7), (5, 8), (6, 7), (7, 10), (8, 9), (8, 11),
    (10, 12), (11, 14), (12, 13), (12, 15), (13, 14), (14, 16), (15, 18), (16, 19), (17, 18),
    (18, 21), (19, 20), (19, 22), (21, 23), (22, 25), (23, 24), (24, 25), (25, 26),
]


def rows_with_stubs_edges():
    """33 qubits: row A = 0..10 and row B = 14..24 (paths) joined by bridge
    qubits 11, 12, 13 at columns 0, 4, 8; then at row-B columns 2 and 8 a stub
    of four new qubits b, s0, s1, s2: (rowB[c], b), (b, s1), (s0, s1), (s1, s2)."""
    row_a = list(range(0, 11))
    row_b = list(range(14, 25))
    edges = [(row_a[i], row_a[i + 1]) for i in range(10)]
    edges += [(row_b[i], row_b[i + 1]) for i in range(10)]
    for bridge, col in zip((11, 12, 13), (0, 4, 8)):
        edges += [(row_a[col], bridge), (bridge, row_b[col])]
    nxt = 25
    for col in (2, 8):
        b, s0, s1, s2 = nxt, nxt + 1, nxt + 2, nxt + 3
        nxt += 4
        edges += [(row_b[col], b), (b, s1), (s0, s1), (s1, s2)]
    return edges


def heavy_hex_65_edges():
    """65 qubits: rows of columns 0..9, 0..10, 0..10, 0..10, 1..10, numbered on
    in order, each row followed by the bridge qubits below it, at columns
    {0,4,8} and {2,6,10} alternately; a bridge joins the same column of the
    rows above and below it."""
    row_cols = [range(0, 10), range(0, 11), range(0, 11), range(0, 11), range(1, 11)]
    bridge_cols = [(0, 4, 8), (2, 6, 10), (0, 4, 8), (2, 6, 10)]
    rows = []
    bridges = []
    nxt = 0
    for r, cols in enumerate(row_cols):
        rows.append({c: nxt + i for i, c in enumerate(cols)})
        nxt += len(cols)
        if r < len(bridge_cols):
            bridges.append({c: nxt + i for i, c in enumerate(bridge_cols[r])})
            nxt += len(bridge_cols[r])
    edges = []
    for row in rows:
        cols = sorted(row)
        edges += [(row[c], row[d]) for c, d in zip(cols, cols[1:])]
    for r, below in enumerate(bridges):
        for c, q in below.items():
            edges += [(rows[r][c], q), (q, rows[r + 1][c])]
    return edges


# name, qubits, outputs (fixed by the module's model table), topology, edges
MODELS = [
    ("permutation_sb3_8qL_v1", 8, 8, "line", lambda: line_edges(8)),
    ("permutation_sb3_12qO_v1", 12, 13, "ring", lambda: ring_edges(12)),
    ("permutation_sb3_27q_vessok_v1", 27, 29, "heavy-hex", lambda: EDGES_27),
    ("permutation_sb3_33q_drumlo_v1", 33, 35, "rows-bridges-stubs", rows_with_stubs_edges),
    ("permutation_sb3_65q_pelmarin_v18", 65, 73, "heavy-hex", heavy_hex_65_edges),
]


def action_order(edges):
    """Edges as (u, v) with u < v, ascending: the order of the outputs."""
    out = sorted({(min(u, v), max(u, v)) for u, v in edges})
    if len(out) != len(edges) or any(u == v for u, v in out):
        raise ValueError("repeated edge or self-loop")
    return out


def neighbours(n, edges):
    adj = [[] for _ in range(n)]
    for u, v in edges:
        adj[u].append(v)
        adj[v].append(u)
    return [sorted(a) for a in adj]


def distances(n, edges):
    dist = np.array(bfs_distances(edges, n), dtype=np.int64)
    if (dist == UNREACHABLE).any():
        raise ValueError("coupling graph is not connected")
    return dist


def involutive_automorphisms(n, edges):
    """All automorphisms R with R∘R = identity: the identity, then the rest in
    ascending lexicographic order. Only involutions are usable, because the
    synthesis shows the network R∘p∘R⁻¹ but maps the chosen edge back with R."""
    adj = neighbours(n, edges)
    dist = distances(n, edges)
    profile = [tuple(sorted(row)) for row in dist.tolist()]
    # Map vertices in breadth-first order so each has a mapped neighbour.
    order, seen = [], {0}
    queue = deque([0])
    while queue:
        v = queue.popleft()
        order.append(v)
        for w in adj[v]:
            if w not in seen:
                seen.add(w)
                queue.append(w)
    image = [-1] * n
    used = [False] * n
    found = []

    def extend(i):
        if i == n:
            found.append(list(image))
            return
        v = order[i]
        mapped = order[:i]
        anchor = next((w for w in adj[v] if image[w] >= 0), None)
        candidates = range(n) if anchor is None else adj[image[anchor]]
        for c in candidates:
            if used[c] or profile[c] != profile[v]:
                continue
            if all(dist[v, w] == dist[c, image[w]] for w in mapped):
                image[v] = c
                used[c] = True
                extend(i + 1)
                image[v] = -1
                used[c] = False

    extend(0)
    identity = list(range(n))
    invol = [p for p in found if all(p[p[i]] == i for i in range(n))]
    return [identity] + sorted(p for p in invol if p != identity)


def max_assignment(weight):
    """The largest sum of weight[i][perm[i]] over all permutations (Hungarian
    method on the negated matrix, integer arithmetic)."""
    n = len(weight)
    cost = [[-int(w) for w in row] for row in weight]
    inf = float("inf")
    u = [0] * (n + 1)
    v = [0] * (n + 1)
    match = [0] * (n + 1)  # match[j] = row assigned to column j (1-based)
    way = [0] * (n + 1)
    for i in range(1, n + 1):
        match[0] = i
        j0 = 0
        minv = [inf] * (n + 1)
        used = [False] * (n + 1)
        while True:
            used[j0] = True
            i0, delta, j1 = match[j0], inf, 0
            for j in range(1, n + 1):
                if not used[j]:
                    cur = cost[i0 - 1][j - 1] - u[i0] - v[j]
                    if cur < minv[j]:
                        minv[j], way[j] = cur, j0
                    if minv[j] < delta:
                        delta, j1 = minv[j], j
            for j in range(n + 1):
                if used[j]:
                    u[match[j]] += delta
                    v[j] -= delta
                else:
                    minv[j] -= delta
            j0 = j1
            if match[j0] == 0:
                break
        while j0:
            j1 = way[j0]
            match[j0] = match[j1]
            j0 = j1
    return sum(int(weight[match[j] - 1][j - 1]) for j in range(1, n + 1))


def step_limit(dist):
    """2·(largest lower bound ⌈Σd/2⌉ over any permutation) + 200, the largest
    Σd being a maximum-weight assignment on D. An attempt that fails is caught
    in a cycle, not slow: solved attempts took at most 2·⌈Σd/2⌉ + 176 steps
    for their own permutation on 1000 random permutations of each model, so
    a larger limit would only make failures cost more."""
    worst = max_assignment(dist.tolist())
    return 2 * ((worst + 1) // 2) + 200


def coupling_map_hash(cmap):
    text = json.dumps([list(e) for e in cmap], separators=(",", ":"))
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def companion_data():
    models = []
    for name, n, outputs, topology, make_edges in MODELS:
        cmap = action_order(make_edges())
        if len(cmap) + 1 != outputs or max(max(e) for e in cmap) != n - 1:
            raise ValueError(f"{name}: graph does not fit the model's shape")
        dist = distances(n, cmap)
        models.append({
            "model_info": {
                "model_name": name,
                "qubits": str(n),
                "topology": topology,
                "coupling_map_hash": coupling_map_hash(cmap),
                "default_n_steps": str(step_limit(dist)),
            },
            "cmap": [list(e) for e in cmap],
            "valid_perms": involutive_automorphisms(n, cmap),
        })
    return {"models_path": MODELS_PATH, "models": models}


def format_companion(data):
    """JSON text with one line per edge list and per symmetry."""
    dump = lambda value: json.dumps(value)  # noqa: E731
    parts = []
    for m in data["models"]:
        perms = ",\n".join("        " + dump(p) for p in m["valid_perms"])
        parts.append(
            "    {\n"
            f"      \"model_info\": {dump(m['model_info'])},\n"
            f"      \"cmap\": {dump(m['cmap'])},\n"
            "      \"valid_perms\": [\n" + perms + "\n      ]\n"
            "    }")
    return ("{\n"
            f"  \"models_path\": {dump(data['models_path'])},\n"
            "  \"models\": [\n" + ",\n".join(parts) + "\n  ]\n}\n")


# ---- Weights ----

def file_bias(w0, intended):
    """The "0.bias" to write so that the loader's b - 0.5·rowsum(W0) (row sums
    accumulated in float32 column by column, ascending) is `intended` exactly."""
    w0 = np.asarray(w0, dtype=np.float32)
    s = np.zeros(w0.shape[0], dtype=np.float32)
    for column in np.ascontiguousarray(w0.T):
        s += column
    s *= np.float32(0.5)
    intended = np.asarray(intended, dtype=np.float32)
    bias = intended + s
    if not np.array_equal(bias - s, intended):
        raise ArithmeticError("bias shift does not round-trip in float32")
    return bias


def no_swap_bias():
    # Rounded to 2^-16 so the file does not depend on the platform's tanh;
    # it sits far inside the gap between the scores it must separate.
    return round(MU * math.tanh(LAM * NO_SWAP) * 65536.0) / 65536.0


def line_weights(n, cmap):
    adj = neighbours(n, cmap)
    ends = [v for v in range(n) if len(adj[v]) == 1]
    if len(cmap) != n - 1 or len(ends) != 2:
        raise ValueError("the line model needs a path")
    path = [min(ends)]
    while len(path) < n:
        path.append(next(w for w in adj[path[-1]] if w not in path[-2:]))
    pos = np.empty(n)
    pos[path] = np.arange(n)
    E = len(cmap)
    w0 = np.zeros((HIDDEN1, n * n))
    w2 = np.zeros((HIDDEN2, HIDDEN1))
    w4 = np.zeros((E + 1, HIDDEN2))
    for e, (u, v) in enumerate(cmap):
        lo, hi = (u, v) if pos[u] < pos[v] else (v, u)
        w0[e, lo * n:(lo + 1) * n] += pos * LINE_SCALE
        w0[e, hi * n:(hi + 1) * n] -= pos * LINE_SCALE
        w2[e, e] = 1.0
        w4[e, e] = LINE_OUT
    return w0, np.zeros(HIDDEN1), w2, np.zeros(HIDDEN2), w4, np.zeros(E + 1)


def general_weights(n, cmap):
    dist = distances(n, cmap)
    adj = neighbours(n, cmap)
    capped = np.minimum(dist, CAP).astype(np.float64)
    alpha = -capped - 0.5 * (dist == 1)
    beta = 0.25 * capped + 1.0 * (dist == 0)
    E = len(cmap)
    directions = [(e, a, o) for e, (u, v) in enumerate(cmap) for a, o in ((u, v), (v, u))]
    w0 = np.zeros((HIDDEN1, n * n))
    b0 = np.zeros(HIDDEN1)
    w2 = np.zeros((HIDDEN2, HIDDEN1))
    unit = 0

    def block(cell):
        return slice(cell * n, (cell + 1) * n)

    for e, a, o in directions:  # Z
        w0[unit, block(a)] += K1 * (dist[o] < dist[a]) + EPS * alpha[a]
        w0[unit, block(o)] += K2 * (dist[a] < dist[o]) + EPS * beta[o]
        b0[unit] = -K1
        w2[e, unit] = LAM * C
        unit += 1
    for e, a, o in directions:  # hip
        w0[unit, block(a)] += KB * (dist[o] < dist[a])
        w0[unit, o * n + o] += KB
        w0[unit, a::n] += KB * (dist[:, o] < dist[:, a])  # columns (p, a)
        b0[unit] = -2.5 * KB
        w2[e, unit] = LAM * HIP / 2
        unit += 1
    for e, a, o in directions:  # look-ahead
        for w in adj[o]:
            if w == a:
                continue
            w0[unit, block(a)] += KB * (dist[w] < dist[o])
            w0[unit, block(w)] += KB * (dist[o] < dist[w])
            b0[unit] = -1.5 * KB
            w2[e, unit] = LAM * LOOK / 2
            unit += 1
            if unit > HIDDEN1:
                raise ValueError("too many layer-1 units")
    b2 = w2.sum(axis=1)  # exact: a handful of dyadic terms per row
    w4 = np.zeros((E + 1, HIDDEN2))
    b4 = np.zeros(E + 1)
    for e in range(E):
        w4[e, e] = MU
    b4[E] = no_swap_bias()
    return w0, b0, w2, b2, w4, b4


def model_tensors(model):
    """name -> float32 array for one entry of the companion data."""
    info = model["model_info"]
    n = int(info["qubits"])
    cmap = [tuple(e) for e in model["cmap"]]
    if cmap != action_order(cmap):
        raise ValueError(f"{info['model_name']}: cmap is not in action order")
    build = line_weights if info["topology"] == "line" else general_weights
    w0, b0, w2, b2, w4, b4 = build(n, cmap)
    f32 = lambda a: np.asarray(a, dtype=np.float32)  # noqa: E731
    for a in (w0, b0, w2, b2, w4, b4):
        if not np.array_equal(f32(a).astype(np.float64), a):
            raise ArithmeticError("a weight is not exact in float32")
    return {"0.weight": f32(w0), "0.bias": file_bias(f32(w0), f32(b0)),
            "2.weight": f32(w2), "2.bias": f32(b2),
            "4.weight": f32(w4), "4.bias": f32(b4)}


def write_models(companion, out_dir):
    expected = {name: (n, outputs) for name, n, outputs, _, _ in MODELS}
    for model in companion["models"]:
        name = model["model_info"]["model_name"]
        n = int(model["model_info"]["qubits"])
        if expected.get(name) != (n, len(model["cmap"]) + 1):
            raise ValueError(f"{name}: not a model of the module's table")
        safetensors_file.write(Path(out_dir) / f"{name}.safetensors", model_tensors(model))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--json", nargs="?", const=str(COMPANION), metavar="PATH")
    mode.add_argument("--out", metavar="DIR")
    parser.add_argument("--companion", default=str(COMPANION), metavar="PATH")
    args = parser.parse_args(argv)
    if args.json is not None:
        text = format_companion(companion_data())
        if args.json == "-":
            sys.stdout.write(text)
        else:
            path = Path(args.json)
            path.parent.mkdir(parents=True, exist_ok=True)
            if not path.exists() or path.read_text() != text:
                path.write_text(text)
        return 0
    companion = json.loads(Path(args.companion).read_text())
    write_models(companion, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())

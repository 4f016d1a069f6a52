#!/usr/bin/env python3
"""Routing of algorithm circuits: what one-qubit gates cost, and which
starting layouts `transpile` needs.

The circuits are written out here, gate by gate: QFT (H, and each controlled
phase as CX, phase, CX with phases around it; no final SWAPs), QAOA for
MaxCut on a random 3-regular graph (two layers of CX-RZ-CX per edge and RX
mixers), the Cuccaro ripple-carry adder (Toffoli gates as 6 CX and 9
one-qubit gates) and GHZ (H and a CX chain). Each is routed on a 127-qubit
heavy-hex lattice and a 10x10 grid.

1. One-qubit gates. `route` (8 runs, metric n_cnots) of
   - "full": the circuit with its one-qubit gates (code 5), which the router
     keeps in one global order;
   - "2q": its two-qubit gates alone, gate i passed as code 10 + i (a code
     the router never merges or cancels: passed as plain CX, the two CX of a
     controlled phase would cancel once the phase between them is gone), and
     the one-qubit gates put back on their qubits' wires afterwards
     (place_one_qubit_gates); the result is checked to apply every gate of
     the circuit, in each qubit's order, on coupled qubits.
   Printed: CX added by routing (3 per inserted SWAP, fewer where the router
   merges a SWAP into a CX) and the time of the call.
2. Starting layouts. `transpile` (8 runs, 4 passes forwards and backwards,
   1 iteration) of the "2q" circuits from these sets of starting layouts:
   identity; identity and one random; 8 random; 4 greedy embeddings of the
   circuit's interaction graph (placed breadth-first from 4 well-connected
   physical qubits). Printed: CX added and time; the placement of the
   one-qubit gates is checked here too.
Last, per device, the CX added over all circuits and the total time of each
column, relative to `route` of the two-qubit gates.

    PYTHONPATH=build/<dir>/python python3 -m bench.bench_circuits [--quick]
"""

import argparse
import random
import time

from corvane import corvane_rs

from tools.devices import bfs_distances, grid, heavy_hex, num_qubits

CX, SWAP, ONE_QUBIT = 0, 1, 5
CODED = 10  # codes from here on are never merged or cancelled by the router


def one(q):
    return (ONE_QUBIT, (q, q))


def qft(n):
    out = []
    for i in range(n):
        out.append(one(i))
        for j in range(i + 1, n):
            out += [one(j), (CX, (j, i)), one(i), (CX, (j, i)), one(i)]
    return out


def qaoa(n, layers, seed):
    """MaxCut on a random 3-regular graph (n even)."""
    rng = random.Random(seed)
    while True:
        stubs = [q for q in range(n) for _ in range(3)]
        rng.shuffle(stubs)
        edges = {tuple(sorted(stubs[k:k + 2])) for k in range(0, len(stubs), 2)}
        if len(edges) == len(stubs) // 2 and all(a != b for a, b in edges):
            break
    out = [one(q) for q in range(n)]
    for _ in range(layers):
        for a, b in sorted(edges):
            out += [(CX, (a, b)), one(b), (CX, (a, b))]
        out += [one(q) for q in range(n)]
    return out


def toffoli(a, b, c):
    return [one(c), (CX, (b, c)), one(c), (CX, (a, c)), one(c), (CX, (b, c)), one(c),
            (CX, (a, c)), one(b), one(c), one(c), (CX, (a, b)), one(a), one(b), (CX, (a, b))]


def adder(bits):
    """Cuccaro adder of two `bits`-bit numbers: qubit 0 the carry in, a_i on
    2i + 2, b_i on 2i + 1, the carry out on 2 bits + 1."""
    a = [2 * i + 2 for i in range(bits)]
    b = [2 * i + 1 for i in range(bits)]
    carry = [0] + a[:-1]

    def maj(x, y, z):
        return [(CX, (z, y)), (CX, (z, x))] + toffoli(x, y, z)

    def uma(x, y, z):
        return toffoli(x, y, z) + [(CX, (z, x)), (CX, (x, y))]

    out = [one(q) for q in range(2 * bits + 2)]
    for i in range(bits):
        out += maj(carry[i], b[i], a[i])
    out.append((CX, (a[-1], 2 * bits + 1)))
    for i in reversed(range(bits)):
        out += uma(carry[i], b[i], a[i])
    return out


def ghz(n):
    return [one(0)] + [(CX, (i, i + 1)) for i in range(n - 1)]


def two_qubit_part(circuit):
    """The two-qubit gates, gate i as code 10 + i."""
    gates = [pair for code, pair in circuit if code != ONE_QUBIT]
    return [(CODED + i, pair) for i, pair in enumerate(gates)]


def place_one_qubit_gates(circuit, routed, start):
    """Puts the one-qubit gates of `circuit` (on virtual qubits) back into
    `routed`, the routing of two_qubit_part(circuit) whose virtual
    qubit j started on physical start[j]. Each one-qubit gate goes on the
    physical wire its qubit occupies at that point: before the qubit's first
    two-qubit gate on start[j], else right after the two-qubit gate it
    follows in `circuit`. Returns the circuit on physical qubits, with the
    caller's gates as (index in circuit, (q0, q1)) and SWAPs as (-1, (p, r))."""
    pairs = []      # two-qubit gate k: its index in circuit and virtual qubits
    leading = {}    # virtual qubit -> indices of its gates before any two-qubit gate
    after = {}      # (two-qubit gate k, virtual qubit) -> indices of the gates following it
    last = {}       # virtual qubit -> its latest two-qubit gate k
    for i, (code, (a, b)) in enumerate(circuit):
        if code == ONE_QUBIT:
            if a in last:
                after.setdefault((last[a], a), []).append(i)
            else:
                leading.setdefault(a, []).append(i)
        else:
            last[a] = last[b] = len(pairs)
            pairs.append((i, a, b))
    out = [(i, (start[q], start[q])) for q, gates in leading.items() for i in gates]
    for code, (p, r) in routed:
        if code == SWAP:
            out.append((-1, (p, r)))
            continue
        k = code - CODED
        i, a, b = pairs[k]
        out.append((i, (p, r)))  # the router lists the gate on the wires of (a, b)
        for q, wire in ((a, p), (b, r)):
            out += [(j, (wire, wire)) for j in after.get((k, q), [])]
    return out


def check_placed(circuit, placed, start, cmap):
    """Every gate of circuit once, two-qubit ones on couplers and on the
    wires that hold their virtual qubits, and each qubit's gates in order."""
    edges = {frozenset(e) for e in cmap}
    where = dict(enumerate(start))           # virtual -> physical
    holder = {p: v for v, p in where.items()}  # physical -> virtual
    seen, next_on = set(), {}
    order = {}
    for i, (_, (a, b)) in enumerate(circuit):
        for q in {a, b}:
            order.setdefault(q, []).append(i)
    for i, (p, r) in placed:
        if i < 0:
            assert frozenset((p, r)) in edges
            holder[p], holder[r] = holder.get(r), holder.get(p)
            continue
        _, (a, b) = circuit[i]
        if a != b:
            assert frozenset((p, r)) in edges, (i, p, r)
        assert holder.get(p) == a and holder.get(r) == b, (i, p, r, a, b)
        for q in {a, b}:
            k = next_on.get(q, 0)
            assert order[q][k] == i, f"gate {i} out of order on qubit {q}"
            next_on[q] = k + 1
        seen.add(i)
    assert len(seen) == len(circuit)


def added_cx(circuit, routed):
    """Routed CX cost less the circuit's (a SWAP is 3 CX; the coded gates of
    two_qubit_part stand for one CX each here)."""
    def cost(gates):
        return sum(3 if code == SWAP else 0 if code == ONE_QUBIT else 1 for code, _ in gates)
    return cost(routed) - cost(circuit)


def interaction(circuit):
    w = {}
    for code, (a, b) in circuit:
        if code != ONE_QUBIT and a != b:
            w[(a, b)] = w.get((a, b), 0) + 1
            w[(b, a)] = w.get((b, a), 0) + 1
    return w


def greedy_layouts(circuit, k, n, cmap, dists, count):
    """`count` embeddings: the circuit's qubits in breadth-first order of its
    interaction graph (heaviest first), from its busiest qubit, each placed on
    the free physical qubit nearest (by weighted distance) to its placed
    partners; the first on one of the `count` best-connected physical qubits
    (smallest total distance to all others)."""
    w = interaction(circuit)
    nbrs = {q: sorted({b for (a, b) in w if a == q}, key=lambda b: -w[(q, b)]) for q in range(k)}
    busiest = max(range(k), key=lambda q: (sum(w.get((q, b), 0) for b in range(k)), -q))
    order, seen = [], {busiest}
    todo = [busiest]
    while todo:
        q = todo.pop(0)
        order.append(q)
        for b in nbrs[q]:
            if b not in seen:
                seen.add(b)
                todo.append(b)
    order += [q for q in range(k) if q not in seen]
    central = sorted(range(n), key=lambda p: (sum(dists[p]), p))[:count]
    layouts = []
    for first in central:
        pos = {order[0]: first}
        free = set(range(n)) - {first}
        for q in order[1:]:
            placed = [(b, w.get((q, b), 0)) for b in pos if w.get((q, b), 0)]
            anchor = placed or [(b, 1) for b in pos]
            best = min(free, key=lambda p: (sum(c * dists[p][pos[b]] for b, c in anchor), p))
            pos[q] = best
            free.remove(best)
        rest = sorted(free)
        layouts.append([pos[q] if q in pos else rest.pop(0) for q in range(n)])
    return layouts


def random_layouts(n, count, rng):
    out = []
    for _ in range(count):
        layout = list(range(n))
        rng.shuffle(layout)
        out.append(layout)
    return out


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller circuits, one device")
    ap.add_argument("--runs", type=int, default=8)
    args = ap.parse_args()
    runs = args.runs
    devices = [("heavy-hex 127", heavy_hex(7, 15))]
    if not args.quick:
        devices.append(("grid 10x10", grid(10, 10)))
    if args.quick:
        circuits = [("QFT 12", qft(12)), ("QAOA 16", qaoa(16, 2, 1)), ("adder 4", adder(4)),
                    ("GHZ 20", ghz(20))]
    else:
        circuits = [("QFT 20", qft(20)), ("QFT 32", qft(32)), ("QAOA 40", qaoa(40, 2, 1)),
                    ("QAOA 64", qaoa(64, 2, 2)), ("adder 8", adder(8)), ("adder 16", adder(16)),
                    ("GHZ 64", ghz(64))]
    router = corvane_rs.CircuitRouting()
    rng = random.Random(5)
    names = ["n_cnots"]
    sets = ["identity", "identity+random", "8 random", "4 greedy"]
    columns = ["route full", "route 2q"] + [f"transpile from {s}" for s in sets]
    for dev_name, cmap in devices:
        totals = {c: [0, 0.0] for c in columns}
        n = num_qubits(cmap)
        dists = bfs_distances(cmap, n)
        print(f"\n{dev_name}: CX added by routing (time)")
        print(f"{'circuit':10s} {'qubits':>6s} {'2q':>5s} {'1q':>5s} | {'route full':>15s} "
              f"{'route 2q':>15s} | " + " ".join(f"{'from ' + s:>19s}" for s in sets))
        for name, circuit in circuits:
            k = 1 + max(max(p) for _, p in circuit)
            skeleton = two_qubit_part(circuit)
            identity = list(range(n))
            row = []
            for gates in (circuit, skeleton):
                (routed, _), t = timed(lambda: router.route(gates, runs, cmap, dists, {}, names, n))
                row.append((added_cx(gates, routed), t))
            placed = place_one_qubit_gates(circuit, routed, identity)
            check_placed(circuit, placed, identity, cmap)
            layout_sets = {
                "identity": [identity],
                "identity+random": [identity] + random_layouts(n, 1, rng),
                "8 random": random_layouts(n, 8, rng),
                "4 greedy": greedy_layouts(circuit, k, n, cmap, dists, 4),
            }
            cells = []
            for s in sets:
                layouts = layout_sets[s]
                (routed, (perm, _, _)), t = timed(lambda: router.transpile(
                    skeleton, runs, 4, 1, len(layouts), layouts, cmap, dists, {}, names, n, 600))
                start = sorted(range(n), key=lambda p: perm[p])  # virtual -> first physical
                check_placed(circuit, place_one_qubit_gates(circuit, routed, start), start, cmap)
                cx = added_cx(skeleton, routed)
                row.append((cx, t))
                cells.append(f"{cx:8d} ({t * 1e3:5.0f} ms)")
            print(f"{name:10s} {k:6d} {len(skeleton):5d} {len(circuit) - len(skeleton):5d} | "
                  + " ".join(f"{cx:5d} ({t * 1e3:5.0f} ms)" for cx, t in row[:2]) + " | " + " ".join(cells),
                  flush=True)
            for c, (cx, t) in zip(columns, row):
                totals[c][0] += cx
                totals[c][1] += t
        base_cx, base_t = totals["route 2q"]
        print(f"{dev_name}, all circuits, relative to route 2q ({base_cx} CX added, {base_t * 1e3:.0f} ms):")
        for c in columns:
            cx, t = totals[c]
            print(f"  {c:32s} CX added x{cx / max(base_cx, 1):.2f}, time x{t / max(base_t, 1e-9):.1f}")


if __name__ == "__main__":
    main()

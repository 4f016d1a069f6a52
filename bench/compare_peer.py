#!/usr/bin/env python3
"""Side-by-side routing benchmark: CircuitRouting.route against the SABRE
swap pass of a classical SDK (Qiskit), on the same circuits and devices.

The comparison is optional: without the peer package only our side runs.
Install the peer into a separate environment, never into the module's:

    bench/run.sh --quick        # builds the module into build/bench/python too
    python3 -m venv /tmp/venv-peer && /tmp/venv-peer/bin/pip install qiskit
    PYTHONPATH=build/bench/python /tmp/venv-peer/bin/python -m bench.compare_peer [--reps 7]

from the repository root.

Both sides route one trial (our runs=1, the peer's trials=1) with the
trivial initial layout; the two are timed in turn, alternating which goes
first, and the medians are reported. The peer is timed on its own DAG (the
conversion of the circuit is not counted), ours on the Python call, argument
conversion included. It also times our runs=N (--many, default 8) against
runs=1, which wants N free cores to mean anything, and our time per input gate
as the circuit grows.
"""

import argparse
import random
import statistics
import time

from corvane import corvane_rs

from tools.devices import bfs_distances, grid, heavy_hex, line, num_qubits

CX, SWAP = 0, 1

try:
    from qiskit import QuantumCircuit
    from qiskit.converters import circuit_to_dag
    from qiskit.transpiler import CouplingMap
    from qiskit.transpiler.passes import SabreSwap
    HAVE_PEER = True
except ImportError:
    HAVE_PEER = False


def random_cx(n, count, seed):
    rng = random.Random(seed)
    return [(CX, tuple(rng.sample(range(n), 2))) for _ in range(count)]


def qft_pattern(n):
    return [(CX, (i, j)) for i in range(n) for j in range(i + 1, n)]


def workloads():
    hh = heavy_hex(7, 15)
    out = [("heavy-hex 127, random 1,000", hh, random_cx(127, 1000, 1)),
           ("heavy-hex 127, random 5,000", hh, random_cx(127, 5000, 2)),
           ("heavy-hex 127, random 20,000", hh, random_cx(127, 20000, 3)),
           ("QFT-style 64 on heavy-hex 127", hh, qft_pattern(64)),
           ("line 65, random 5,000", line(65), random_cx(65, 5000, 4)),
           ("grid 8x8, random 5,000", grid(8, 8), random_cx(64, 5000, 5))]
    return out


def cx_count(gates):
    return sum(3 if code == SWAP else 1 for code, _ in gates)


class Ours:
    def __init__(self, cmap, circuit):
        self.router = corvane_rs.CircuitRouting()
        self.cmap = cmap
        self.n = num_qubits(cmap)
        self.dists = bfs_distances(cmap, self.n)
        self.circuit = circuit
        self.swaps = self.cx = None

    def run(self, runs=1):
        start = time.perf_counter()
        gates, _ = self.router.route(self.circuit, runs, self.cmap, self.dists, {}, ["n_cnots"],
                                     self.n)
        elapsed = time.perf_counter() - start
        if runs == 1:
            self.swaps = sum(1 for code, _ in gates if code == SWAP)
            self.cx = cx_count(gates)
        return elapsed


class Peer:
    def __init__(self, cmap, circuit, seed):
        n = num_qubits(cmap)
        self.coupling = CouplingMap(couplinglist=[list(e) for e in cmap])
        qc = QuantumCircuit(n)
        for _, (a, b) in circuit:
            qc.cx(a, b)
        self.qc = qc
        self.seed = seed
        self.swaps = self.cx = None

    def run(self):
        dag = circuit_to_dag(self.qc)
        sabre = SabreSwap(self.coupling, heuristic="decay", seed=self.seed, trials=1)
        start = time.perf_counter()
        routed = sabre.run(dag)
        elapsed = time.perf_counter() - start
        ops = routed.count_ops()
        self.swaps = ops.get("swap", 0)
        self.cx = ops.get("cx", 0) + 3 * self.swaps
        return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=7, help="timings per side (median)")
    parser.add_argument("--many", type=int, default=8, help="runs timed against runs=1")
    args = parser.parse_args()
    if not HAVE_PEER:
        print("peer package not installed: our side only")

    header = ("workload", "ours ms", "peer ms", "ratio", "ours SWAPs", "peer SWAPs",
              "ours us/SWAP", "peer us/SWAP", "routed CX ours/peer", f"runs={args.many}/runs=1")
    print(" | ".join(header))
    per_gate = []
    for seed, (name, cmap, circuit) in enumerate(workloads()):
        ours = Ours(cmap, circuit)
        peer = Peer(cmap, circuit, seed) if HAVE_PEER else None
        ours.run()  # warm up both sides
        if peer:
            peer.run()
        t_ours, t_peer, t_eight = [], [], []
        for rep in range(args.reps):
            order = [ours, peer] if rep % 2 == 0 else [peer, ours]
            for side in order:
                if side is ours:
                    t_ours.append(ours.run())
                elif side is not None:
                    t_peer.append(peer.run())
            t_eight.append(ours.run(args.many))
        ms = statistics.median(t_ours) * 1e3
        eight = statistics.median(t_eight) * 1e3
        row = [name, f"{ms:.1f}"]
        if peer:
            pms = statistics.median(t_peer) * 1e3
            row += [f"{pms:.1f}", f"{ms / pms:.2f}x", str(ours.swaps), str(peer.swaps),
                    f"{ms * 1e3 / max(ours.swaps, 1):.2f}", f"{pms * 1e3 / max(peer.swaps, 1):.2f}",
                    f"{ours.cx / peer.cx:.3f}"]
        else:
            row += ["-", "-", str(ours.swaps), "-", f"{ms * 1e3 / max(ours.swaps, 1):.2f}", "-",
                    "-"]
        row.append(f"{eight / ms:.2f}")
        print(" | ".join(row), flush=True)
        if name.startswith("heavy-hex 127, random"):
            per_gate.append((len(circuit), ms * 1e3 / len(circuit)))
    print("our time per input gate on heavy-hex 127: " +
          ", ".join(f"{g:,} gates {us:.1f} us" for g, us in per_gate))


if __name__ == "__main__":
    main()

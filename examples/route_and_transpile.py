"""Routes a QFT-style CX pattern and a random circuit onto a 127-qubit
heavy-hex device, first with `route` and then with `transpile`'s layout
search, and prints what routing cost.

    python3 -m examples.route_and_transpile    (from the repository root)
"""

import random
import time

from corvane import corvane_rs

from tools import devices

CX, SWAP = 0, 1


def qft_pattern(n):
    """The two-qubit gate pattern of an n-qubit QFT: a CX for every pair."""
    return [(CX, (i, j)) for i in range(n) for j in range(i + 1, n)]


def random_circuit(n, gates, seed):
    rng = random.Random(seed)
    return [(CX, tuple(rng.sample(range(n), 2))) for _ in range(gates)]


def cx_count(circuit):
    return sum(3 if code == SWAP else 1 for code, _ in circuit)


def cx_depth(circuit):
    """Depth in CX layers, a SWAP counting as three CX."""
    depth = {}
    layers = 0
    for code, (a, b) in circuit:
        for _ in range(3 if code == SWAP else 1):
            d = max(depth.get(a, 0), depth.get(b, 0)) + 1
            depth[a] = depth[b] = d
            layers = max(layers, d)
    return layers


def report(method, name, circuit, gates, elapsed):
    swaps = sum(1 for code, _ in gates if code == SWAP)
    print(f"  {method:9s} {name:18s} gates {len(circuit):5d} -> {len(gates):5d}"
          f"  SWAPs {swaps:5d}  CX {cx_count(circuit):5d} -> {cx_count(gates):5d}"
          f"  CX depth {cx_depth(circuit):4d} -> {cx_depth(gates):4d}"
          f"  {elapsed * 1000:8.1f} ms")


def main():
    coupling_map = devices.heavy_hex(7, 15)
    n = devices.num_qubits(coupling_map)
    dists = devices.bfs_distances(coupling_map, n)
    err_map = devices.error_map(coupling_map, random.Random(7), 0.004, 0.02)
    metrics = ["n_cnots", "layers", "noise"]
    print(f"device: heavy-hex lattice, {n} qubits, {len(coupling_map) // 2} couplers")

    circuits = [
        ("QFT-style, 24q", qft_pattern(24)),
        ("random, 127q", random_circuit(n, 1000, seed=1)),
    ]
    router = corvane_rs.CircuitRouting()
    for name, circuit in circuits:
        start = time.perf_counter()
        gates, (perm, p2v, v2p) = router.route(
            circuit, 8, coupling_map, dists, err_map, metrics, n)
        report("route", name, circuit, gates, time.perf_counter() - start)

        identity = list(range(n))
        shuffled = identity[:]
        random.Random(2).shuffle(shuffled)
        start = time.perf_counter()
        gates, (perm, p2v, v2p) = router.transpile(
            circuit, 8, 4, 2, 2, [identity, shuffled], coupling_map, dists, err_map,
            metrics, n, 20)
        report("transpile", name, circuit, gates, time.perf_counter() - start)


if __name__ == "__main__":
    main()

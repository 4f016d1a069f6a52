"""The Clifford models' companion data (models/clifford.json) and the tree
structure the teacher derives from each model's CX actions."""

import json
from pathlib import Path

import numpy as np

from tools.clifford.blocks import CX, H, S

REPO_ROOT = Path(__file__).resolve().parents[2]
COMPANION = REPO_ROOT / "models" / "clifford.json"
COMPACT_DIR = REPO_ROOT / "models" / "clifford"

# Hidden sizes (H1, H2) of layers "3" and "5"; every other model is (512, 256).
WIDE_MODELS = {"mc_ft_5qL_v1", "mc_ft_5qT_v1", "mc_ft_7qH_v3"}


def hidden_sizes(name):
    return (1024, 512) if name in WIDE_MODELS else (512, 256)


class Model:
    """One model's record: gates, tree, elimination order and stage trees."""

    def __init__(self, entry):
        info = entry["model_info"]
        self.name = info["model_name"]
        self.n = n = int(info["qubits"])
        self.topology = info["topology"]
        self.default_n_steps = int(info["default_n_steps"])
        self.h1, self.h2 = hidden_sizes(self.name)
        kinds = {"h": H, "s": S, "cx": CX}
        self.gate_names = [g[0] for g in entry["act_gates"]]
        self.gates = [(kinds[g[0]], g[1][0], g[1][1] if g[0] == "cx" else 0)
                      for g in entry["act_gates"]]
        self.num_gates = len(self.gates)
        self.noop = self.num_gates            # the no-gate action index
        self.num_actions = self.num_gates + 1
        self.kind = np.array([g[0] for g in self.gates] + [-1], dtype=np.int64)
        self.q0 = np.array([g[1] for g in self.gates] + [0], dtype=np.int64)
        self.q1 = np.array([g[2] for g in self.gates] + [0], dtype=np.int64)

        # Global action of each local gate: H_q = q, S_q = n + q, CX(u, v).
        self.h_index = np.full(n, -1, dtype=np.int64)
        self.s_index = np.full(n, -1, dtype=np.int64)
        self.cx_index = np.full((n, n), -1, dtype=np.int64)
        for a, (kind, q0, q1) in enumerate(self.gates):
            if kind == H:
                self.h_index[q0] = a
            elif kind == S:
                self.s_index[q0] = a
            else:
                self.cx_index[q0, q1] = a
        edges = sorted({tuple(sorted((u, v))) for (kind, u, v) in self.gates if kind == CX})
        self.edges = edges
        self.adj = [[] for _ in range(n)]
        for u, v in edges:
            self.adj[u].append(v)
            self.adj[v].append(u)
        self._check_tree()
        self.order = elimination_order(n, self.adj)
        # Stage k: the tree on order[k:] rooted at order[k]; -1 outside it.
        self.stage_depth = np.full((n, n), -1, dtype=np.int64)
        self.stage_parent = np.full((n, n), -1, dtype=np.int64)
        for k in range(n):
            alive = set(self.order[k:])
            root = self.order[k]
            self.stage_depth[k, root] = 0
            todo = [root]
            while todo:
                u = todo.pop()
                for v in self.adj[u]:
                    if v in alive and self.stage_depth[k, v] < 0:
                        self.stage_depth[k, v] = self.stage_depth[k, u] + 1
                        self.stage_parent[k, v] = u
                        todo.append(v)

    def _check_tree(self):
        n = self.n
        for a, (kind, q0, q1) in enumerate(self.gates):
            if not (0 <= q0 < n and 0 <= q1 < n):
                raise ValueError(f"{self.name}: gate {a} names a qubit outside 0..{n - 1}")
        if (self.h_index < 0).any() or (self.s_index < 0).any():
            raise ValueError(f"{self.name}: every qubit needs an H and an S action")
        if len(self.edges) != n - 1 or any(self.cx_index[v, u] < 0 for u, v in self.edges):
            raise ValueError(f"{self.name}: CX actions must cover a tree in both directions")
        seen, todo = {0}, [0]
        while todo:
            for v in self.adj[todo.pop()]:
                if v not in seen:
                    seen.add(v)
                    todo.append(v)
        if len(seen) != n:
            raise ValueError(f"{self.name}: the CX actions do not connect all qubits")

    def gate_tuple(self, action):
        kind, q0, q1 = self.gates[action]
        return (self.gate_names[action], (q0, q1 if kind == CX else 0))


def elimination_order(n, adj):
    """Repeatedly remove the leaf of largest eccentricity (ties: lowest index)."""
    alive = set(range(n))
    order = []
    while alive:
        def ecc(s):
            dist, todo = {s: 0}, [s]
            while todo:
                u = todo.pop()
                for v in adj[u]:
                    if v in alive and v not in dist:
                        dist[v] = dist[u] + 1
                        todo.append(v)
            return max(dist.values())
        leaves = [v for v in sorted(alive) if sum(w in alive for w in adj[v]) <= 1]
        best = max(leaves, key=lambda v: (ecc(v), -v))
        order.append(best)
        alive.remove(best)
    return order


def load(path=COMPANION):
    """(models_path, [Model, ...]) in file order."""
    doc = json.loads(Path(path).read_text())
    return doc["models_path"], [Model(entry) for entry in doc["models"]]


def model(name, path=COMPANION):
    for m in load(path)[1]:
        if m.name == name:
            return m
    raise KeyError(f"no Clifford model named {name!r}")


def synthesis_arguments(doc, entries=None):
    """Keyword arguments of CliffordSynthesis for the companion data `doc`
    (as read from models/clifford.json): every model, or only `entries`."""
    entries = doc["models"] if entries is None else entries
    names = [m["model_info"]["model_name"] for m in entries]
    return dict(
        model_info=[m["model_info"] for m in entries],
        act_gates={n: [(g, q) for g, q in m["act_gates"]] for n, m in zip(names, entries)},
        valid_perms={n: m["valid_perms"] for n, m in zip(names, entries)},
        act_perms={n: m["act_perms"] for n, m in zip(names, entries)},
        models_path=doc["models_path"])

"""Native routing and synthesis core of the corvane quantum-circuit compiler."""

from collections.abc import Sequence
from typing import final

__all__ = ["CircuitRouting", "CliffordSynthesis", "PermutationSynthesis", "LinearFunctionSynthesis"]

# (code, (q0, q1)): 0 CX, 1 SWAP, 2 symmetric CX, 3 and 4 two-qubit blocks
# worth 3 and 2 CX, 5 one-qubit gate (q1 = q0), 6 barrier, 10 and above any
# other two-qubit gate.
_Gate = tuple[int, tuple[int, int]]
# (permutation, physical-to-virtual, virtual-to-physical)
_Layouts = tuple[list[int], list[int], list[int]]

@final
class CircuitRouting:
    """Routes circuits onto a coupling map, inserting SWAPs chosen by a policy network."""

    def __new__(cls) -> CircuitRouting:
        """Takes no arguments."""

    @staticmethod
    def get_dists_max_value() -> int:
        """The distance (2147483647) that marks a pair of physical qubits with no path."""

    def route(
        self,
        circuit: Sequence[_Gate],
        runs: int,
        coupling_map: Sequence[tuple[int, int]],
        dists: Sequence[Sequence[int]],
        err_map: dict[tuple[int, int], float],
        metrics_names: Sequence[str],
        num_qubits: int,
    ) -> tuple[list[_Gate], _Layouts]:
        """Routes `circuit` from the identity layout `runs` times at once; returns the best by `metrics_names`."""

    def transpile(
        self,
        circuit: Sequence[_Gate],
        runs: int,
        inner_its: int,
        its: int,
        shots: int,
        layout: Sequence[Sequence[int]],
        coupling_map: Sequence[tuple[int, int]],
        dists: Sequence[Sequence[int]],
        err_map: dict[tuple[int, int], float],
        metrics_names: Sequence[str],
        num_qubits: int,
        max_seconds: int,
    ) -> tuple[list[_Gate], _Layouts]:
        """Routes `circuit` forwards and backwards from each starting layout; returns the best routing found."""

@final
class CliffordSynthesis:
    """Synthesizes Clifford operators into H, S and CX gates with the embedded Clifford models."""

    def __new__(
        cls,
        model_info: Sequence[dict[str, str]],
        act_gates: dict[str, Sequence[tuple[str, Sequence[int]]]],
        valid_perms: dict[str, Sequence[Sequence[int]]],
        act_perms: dict[str, Sequence[Sequence[int]]],
        models_path: str,
    ) -> CliffordSynthesis:
        """Builds the described models from the companion data (corvane_rs_models/clifford.json)."""

    def synthesize(self, model_id: str, circuit: Sequence[int]) -> list[tuple[str, tuple[int, int]]]:
        """One attempt on the operator given as n*n block codes; gates as ("h" | "s" | "cx", (q0, q1))."""

    def run(self, model_id: str, num_runs: int, circuit: Sequence[int]) -> list[tuple[str, tuple[int, int]]]:
        """`num_runs` attempts; the gates of the best by CX layers, CX count, layers and gate count."""

@final
class PermutationSynthesis:
    """Synthesizes qubit permutations into SWAPs with the embedded permutation models."""

    def __new__(
        cls,
        model_info: Sequence[dict[str, str]],
        cmap: dict[str, Sequence[tuple[int, int]]],
        valid_perms: dict[str, Sequence[Sequence[int]]],
        models_path: str,
    ) -> PermutationSynthesis:
        """Builds the described models from the companion data (corvane_rs_models/permutation.json)."""

    def synthesize(self, model_id: str, data: Sequence[int]) -> list[tuple[int, int]]:
        """One attempt on the permutation `data`; the SWAPs as (q0, q1)."""

    def run(self, model_id: str, num_runs: int, data: Sequence[int]) -> list[tuple[int, int]]:
        """`num_runs` attempts; the SWAPs of the best by depth, then count."""

@final
class LinearFunctionSynthesis:
    """Synthesizes linear reversible functions into CX gates with the 29 embedded models."""

    def __new__(cls) -> LinearFunctionSynthesis:
        """Takes no arguments: decodes the 29 models."""

    def synthesize(self, model_id: int, data: Sequence[float]) -> list[tuple[int, int]]:
        """One attempt on the n x n 0/1 matrix `data`, flat and row-major; CX as (control, target)."""

    def run(self, model_id: int, num_runs: int, data: Sequence[float]) -> list[tuple[int, int]]:
        """`num_runs` attempts; the CX of the shortest, or [] when `num_runs` is 0."""

"""Every benchmark runs to the end in its quick mode against the module under
test, so that one nobody runs does not break unnoticed (an import that moved,
an argument the module no longer takes, a result that fails its check)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import corvane_rs

REPO_ROOT = Path(__file__).resolve().parents[2]
BENCHMARKS = sorted(p.stem for p in (REPO_ROOT / "bench").glob("bench_*.py"))
# Cheap modes besides the quick default: the numpy models of the synthesis
# loops, the peer comparison with one repetition (its own side alone when
# the peer is not installed), and a short memory-headroom sweep.
RUNS = [(name, "--quick") for name in BENCHMARKS] + [
    ("bench_linear_function", "--quick --numpy"),
    ("bench_permutation", "--quick --sim"),
    ("compare_peer", "--reps 1 --many 2"),
    ("memory_headroom", "--stop 2 --step 1"),  # two processes of the sweep
]


def test_the_benchmarks_are_found():
    assert len(BENCHMARKS) >= 4


@pytest.mark.parametrize("name, args", RUNS, ids=[f"{n} {a}" for n, a in RUNS])
def test_benchmark_runs(name, args):
    # The module these tests import, wherever it was found; bench and tools
    # come from the repository root, the working directory.
    path = [str(Path(corvane_rs.__file__).parents[1]), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    done = subprocess.run([sys.executable, "-m", f"bench.{name}", *args.split()], cwd=REPO_ROOT,
                          env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]

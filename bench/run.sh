#!/usr/bin/env bash
# Builds the routing benchmark and the module in release mode, then runs the
# routing benchmark.
#   bench/run.sh           full set of workloads (a few minutes)
#   bench/run.sh --quick   small workloads only
# Like the test command, it works in the active virtual environment or else
# in build/venv, installing the build tools there (requirements-dev.txt) when
# they are missing; JOBS caps the parallel build jobs. The module lands in
# build/bench/python, where the Python benchmarks, bench/bench_*.py, take it
# from the repository root, run by that environment's python (outside one,
# build/venv/bin/python):
#   PYTHONPATH=build/bench/python python -m bench.bench_circuits --quick
#   PYTHONPATH=build/bench/python python -m bench.bench_clifford --quick
# and bench/compare_peer.py times route against a classical SABRE pass side
# by side, when that package is installed (see its header).
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
source scripts/python_env.sh

if ! "$PYTHON" -c "import numpy, nlohmann_json" 2>/dev/null || ! command -v cmake >/dev/null ||
   ! command -v ninja >/dev/null; then
  echo "== installing the build tools (requirements-dev.txt)"
  "$PYTHON" -m pip install -q -r requirements-dev.txt
fi

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/bench -j "$JOBS" --target corvane_bench corvane_rs corvane_rs_companions
exec build/bench/corvane_bench "$@"

#!/usr/bin/env bash
# Builds the routing benchmark and the module in release mode, then runs the
# routing benchmark.
#   bench/run.sh           full set of workloads (a few minutes)
#   bench/run.sh --quick   small workloads only
# The module lands in build/bench/python, where the Python benchmarks take it
# from the repository root:
#   PYTHONPATH=build/bench/python python3 -m bench.bench_layouts --quick
# and bench/compare_peer.py times route against a classical SABRE pass side
# by side, when that package is installed (see its header).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
# The build's tools are the test command's (requirements-dev.txt).
if ! "$PYTHON" -c "import numpy, nlohmann_json" 2>/dev/null || ! command -v cmake >/dev/null ||
   ! command -v ninja >/dev/null; then
  echo "== installing the build tools (requirements-dev.txt)"
  "$PYTHON" -m pip install -q -r requirements-dev.txt
fi

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/bench --target corvane_bench corvane_rs corvane_rs_companions
exec build/bench/corvane_bench "$@"

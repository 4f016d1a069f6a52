#!/usr/bin/env bash
# Builds the routing benchmark in release mode and runs it.
#   bench/run.sh           full set of workloads (a few minutes)
#   bench/run.sh --quick   small workloads only
# bench/compare_peer.py times route against a classical SABRE pass, side by
# side, when that package is installed (see its header).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target corvane_bench
exec build/bench/corvane_bench "$@"

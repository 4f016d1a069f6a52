#!/usr/bin/env bash
# Builds and runs every test: the C++ suites through CTest (once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer) and the
# Python suites with pytest against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null 2>&1; then sudo "$@"; else "$@"; fi
}

# What the build and the tests need, installed from the project's own files.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q libgtest-dev
fi
"$PYTHON" -m pip install -q -r requirements-dev.txt

echo "== building and installing the module"
"$PYTHON" -m pip install -q .

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS"

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_TESTS=ON \
  -DCORVANE_SANITIZE=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build build/sanitize -j "$JOBS"
# The embedded interpreter keeps allocations alive until exit by design.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$JOBS"

echo "== Python tests"
"$PYTHON" -m pytest -q tests/python

echo "== all tests passed"

#!/usr/bin/env bash
# Builds and runs every test: the C++ suites through CTest (once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer), the
# Python suites with pytest against the installed module (its type stub
# included, as mypy finds it), and the routing and synthesis
# suites again against the sanitized build of the module. Outside a virtual
# environment it makes one, build/venv, and installs into that.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
source scripts/python_env.sh

# What the build and the tests need, installed from the project's own files.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt_install libgtest-dev
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

# A new user's shell buffers Python's stdout: test that, not an unbuffered one.
unset PYTHONUNBUFFERED

echo "== Python tests"
"$PYTHON" -m pytest -q tests/python

echo "== Python routing and synthesis tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# The interpreter is not sanitized, so the runtime is preloaded, and with it
# libstdc++: a preloaded libasan alone aborts at the first C++ throw.
# PYTHONMALLOC=malloc lets it see the interpreter's own frees; with capture
# at sys level a report is not lost with the process it ends.
CXX_DRIVER=${CXX:-g++}
SANITIZED_ENV=(
  LD_PRELOAD="$("$CXX_DRIVER" -print-file-name=libasan.so) $("$CXX_DRIVER" -print-file-name=libstdc++.so.6)"
  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  PYTHONPATH="$PWD/build/sanitize/python"
)
env "${SANITIZED_ENV[@]}" "$PYTHON" -c \
  'import corvane.corvane_rs as m, sys; sys.exit("/build/sanitize/" not in m.__file__)'
env "${SANITIZED_ENV[@]}" "$PYTHON" -m pytest -q --capture=sys -p no:cacheprovider \
  tests/python/test_routing.py tests/python/test_routing_robustness.py \
  tests/python/test_routing_correctness.py tests/python/test_permutation_synthesis.py \
  tests/python/test_linear_function_synthesis.py tests/python/test_clifford_synthesis.py \
  tests/python/test_synthesis_robustness.py tests/python/test_interrupts.py

echo "== all tests passed"

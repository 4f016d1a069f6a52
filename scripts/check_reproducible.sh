#!/usr/bin/env bash
# Builds the wheel of one commit (default HEAD) from two fresh clones at
# different paths and checks that they hold the same module, byte for byte.
# Takes two full builds (a few minutes); not part of the test command.
#   scripts/check_reproducible.sh [COMMIT]
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
commit=$(git rev-parse "${1:-HEAD}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

modules=()
for dir in "$work/a" "$work/b/a/much/longer/checkout/path"; do
  git clone -q --no-checkout . "$dir"
  git -C "$dir" checkout -q "$commit"
  "$PYTHON" -m pip wheel -q --no-deps -w "$dir/dist" "$dir"
  listing=$("$PYTHON" -m zipfile -l "$dir"/dist/*.whl)
  for member in /LICENSE corvane/corvane_rs.pyi corvane-stubs/corvane_rs.pyi corvane-stubs/py.typed \
                corvane/corvane_rs_models/permutation.json \
                corvane/corvane_rs_models/clifford.json; do
    grep -q -- "$member" <<<"$listing" || { echo "the wheel lacks $member" >&2; exit 1; }
  done
  mkdir "$dir/dist/unpacked"
  "$PYTHON" -m zipfile -e "$dir"/dist/*.whl "$dir/dist/unpacked"
  module=$(find "$dir/dist/unpacked/corvane" -name 'corvane_rs*.so')
  echo "$dir: $(basename "$dir"/dist/*.whl)"
  sha256sum "$module" | cut -d' ' -f1
  modules+=("$module")
done

if cmp -s "${modules[0]}" "${modules[1]}"; then
  echo "same module from both paths ($(stat -c %s "${modules[0]}") bytes)"
else
  echo "the modules differ in $(cmp -l "${modules[0]}" "${modules[1]}" | wc -l) bytes" >&2
  exit 1
fi

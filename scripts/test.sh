#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the release
# build and once under the address and undefined-behaviour sanitizers; then
# each fuzz target for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)
passed=0
for kind in release sanitize; do
  echo "== $kind build"
  bash scripts/build.sh "$kind"
  echo "== $kind tests"
  (cd "build/$kind" && ctest --output-on-failure -j "$jobs") | tee "build/$kind/ctest.log"
  count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "build/$kind/ctest.log")
  passed=$((passed + ${count:-0}))
done
echo "== fuzz"; bash scripts/fuzz.sh 15
echo "tests: $passed passed, 0 failed"

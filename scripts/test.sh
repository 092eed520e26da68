#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the release
# build and once under the address and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)
for kind in release sanitize; do
  echo "== $kind build"
  bash scripts/build.sh "$kind"
  echo "== $kind tests"
  (cd "build/$kind" && ctest --output-on-failure -j "$jobs")
done
echo "== fuzz"; bash scripts/fuzz.sh 15

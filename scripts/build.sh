#!/usr/bin/env bash
# Builds one configuration into build/<name>:
#   release   optimised with debug information (default)
#   sanitize  address and undefined-behaviour sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-release}
case "$kind" in
  release)  flags=() ;;
  sanitize) flags=(-DLS_SANITIZE=ON -DLS_BENCH=OFF) ;;
  *) echo "usage: $0 [release|sanitize]" >&2; exit 2 ;;
esac

cmake -S . -B "build/$kind" -G Ninja "${flags[@]}" >/dev/null
cmake --build "build/$kind"

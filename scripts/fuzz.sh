#!/usr/bin/env bash
# Builds the libFuzzer targets into build/fuzz and runs each one for SECONDS
# (default 30) on a scratch copy of its seed corpus (fuzz/corpus/TARGET/) and
# its kept reproducers (fuzz/regressions/TARGET/). Exits non-zero on any
# finding; the crashing inputs and the log go to build/fuzz/findings/TARGET/.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     all targets when none is named
#
#   LS_FUZZ_WORKERS=N   fuzz each target in N processes at once (libFuzzer -fork)
#   LS_FUZZ_ARGS=...    more libFuzzer flags, e.g. "-runs=5000000" or "-max_len=512"
#
# The repository's corpus is never written: new inputs found by a run stay in
# build/fuzz/run/TARGET/corpus/ until the next run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
[ $# -gt 0 ] && shift
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac

LS_FUZZ=1 bash scripts/setup.sh
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DLS_FUZZ=ON >/dev/null
cmake --build build/fuzz

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

# libFuzzer reports sanitizer findings itself; UBSan should show where.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

workers=${LS_FUZZ_WORKERS:-1}
extra=()
# shellcheck disable=SC2206  # LS_FUZZ_ARGS is a list of flags
[ -n "${LS_FUZZ_ARGS:-}" ] && extra=(${LS_FUZZ_ARGS})
[ "$workers" -gt 1 ] && extra+=("-fork=$workers")

# The number of inputs run: the final statistics, or in fork mode the last
# status line ("#1234567: cov: ...").
executions() {
  local count
  count=$(sed -n 's/^stat::number_of_executed_units: *//p' "$1" | tail -1)
  [ -n "$count" ] || count=$(sed -n 's/^#\([0-9][0-9]*\)[: ].*/\1/p' "$1" | tail -1)
  echo "${count:-0}"
}

failed=0
for target in "${targets[@]}"; do
  binary=build/fuzz/fuzz/$target
  [ -x "$binary" ] || { echo "$target: no such fuzz target" >&2; failed=1; continue; }
  work=build/fuzz/run/$target
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  for dir in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
    [ -d "$dir" ] && cp -r "$dir/." "$work/corpus/"
  done

  status=0
  started=$SECONDS
  "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "${extra[@]}" "$work/corpus" >"$work/log" 2>&1 || status=$?

  count=$(executions "$work/log")
  elapsed=$((SECONDS - started))
  if [ "$status" -eq 0 ] && [ -z "$(ls -A "$work/artifacts")" ]; then
    echo "$target: $count executions in ${elapsed}s, no findings"
    continue
  fi
  failed=1
  findings=build/fuzz/findings/$target
  mkdir -p "$findings"
  cp "$work/artifacts/"* "$findings/" 2>/dev/null || true
  cp "$work/log" "$findings/log-$(date +%Y%m%d-%H%M%S)"
  what=$(grep -m1 -E '^(SUMMARY|fuzz check failed)' "$work/log" || echo "exit status $status")
  echo "$target: $count executions in ${elapsed}s, FINDING: $what (inputs and log in $findings/)"
done
exit "$failed"

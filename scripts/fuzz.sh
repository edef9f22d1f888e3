#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer and runs
# each one for a bounded time on a copy of its seed corpus, so the repository stays clean.
# Any crash, leak, timeout, memory blow-up or undefined behaviour fails the script; the input
# that caused it is kept under <build>/artifacts/.
#
# Usage: scripts/fuzz.sh [SECONDS]   seconds per target, default 60
# Environment: FUZZ_BUILD_DIR (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
targets=(datagramfuzzer cmdlinefuzzer configfuzzer)

CC=clang CXX=clang++ cmake -S fuzz -B "$build" -DTEVRIK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=0
for target in "${targets[@]}"; do
  cp -r "fuzz/corpus/$target" "$work/$target"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$PWD/$build/artifacts/$target-")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  if "$build/$target" "${options[@]}" "$work/$target" >"$work/$target.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
    echo "$target: passed, $runs executions in $seconds s"
  else
    failed=1
    echo "$target: FAILED; the last lines of its log:"
    tail -n 60 "$work/$target.log"
  fi
done
exit "$failed"

#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in a build directory of its
# own and runs the whole test suite there. Any report fails the run; nothing of ours is suppressed.
#
# Usage: scripts/sanitize.sh
# Environment: SANITIZE_BUILD_DIR (default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SANITIZE_BUILD_DIR:-build-asan}

cmake -S . -B "$build" -DTEVRIK_SANITIZE=address,undefined -DTEVRIK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

#!/usr/bin/env bash
# Installs what is missing, builds the debug preset (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test with ctest.
# Usage: scripts/run-tests.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset debug
cmake --build --preset debug -j "$jobs"

# Sanitizer reports fail the run; leaks are reported at exit.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --preset debug -j "$jobs" "$@"

#!/usr/bin/env bash
# Builds and runs every test. With --sanitize, in build-asan/ under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ "${1:-}" = "--sanitize" ]; then
    scripts/build.sh build-asan -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_TESTS=ON -DQUORVANE_DESKTOP=ON
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp"
    ctest --test-dir build-asan --output-on-failure -j2
else
    scripts/build.sh build -DQUORVANE_TESTS=ON -DQUORVANE_DESKTOP=ON
    ctest --test-dir build --output-on-failure -j2
fi

#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, address and undefined-behaviour sanitizers) into
# build-fuzz/ (or $QUORVANE_FUZZ_BUILD, for runs side by side) and runs each for SECONDS,
# starting from its seeds in fuzz/corpus/<target>/. Inputs worth keeping collect in
# <build>/corpus/<target>/ (the committed seeds are never written to); findings go to
# <build>/findings/<target>/. Prints per target the inputs executed and the corpus size; exits
# non-zero when any target found a crash, leak, timeout or memory blow-up.
#
#   fuzz/run.sh SECONDS [TARGET...]      e.g. fuzz/run.sh 30   or   fuzz/run.sh 600 jpeg tiff
set -euo pipefail

usage() {
    echo "usage: fuzz/run.sh SECONDS [bmp|jpeg|png|tiff|raw|settings|filenames]..." >&2
    exit 2
}
[[ $# -ge 1 && $1 =~ ^[0-9]+$ && $1 -gt 0 ]] || usage
seconds=$1
shift
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(bmp jpeg png tiff raw settings filenames)

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUORVANE_FUZZ_BUILD:-$root/build-fuzz}
for target in "${targets[@]}"; do
    [[ -d $root/fuzz/corpus/$target ]] || usage
done

CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" "${targets[@]/%/_fuzzer}" >/dev/null

# Scratch files on a RAM disk when there is one: the settings target syncs every save.
if [[ -z ${TMPDIR:-} && -d /dev/shm && -w /dev/shm ]]; then
    export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
printf '%-10s %12s %14s %8s  %s\n' target executions 'corpus/bytes' 'new' result
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    findings=$build/findings/$target
    log=$build/$target.log
    mkdir -p "$corpus" "$findings"
    # One input taking seconds is a finding too (a decompression bomb that got through).
    status=0
    "$build/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?

    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    # libFuzzer's own count: the inputs (seeds and new ones) that each add coverage.
    units=$(grep -oE 'corp: [0-9]+/[0-9]+[bKM]?b?' "$log" | tail -1 | sed 's/corp: //')
    saved=$(find "$corpus" -type f | wc -l)
    result=ok
    if [[ $status -ne 0 ]]; then
        result="FAILED (exit $status): $(grep -m1 -E 'ERROR|SUMMARY|fuzz check failed' "$log" ||
            echo 'see log'); log $log, input in $findings/"
        failed+=("$target")
    fi
    printf '%-10s %12s %14s %8s  %s\n' "$target" "${executions:-?}" "${units:-?}" "$saved" "$result"
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "Findings in: ${failed[*]}" >&2
    exit 1
fi

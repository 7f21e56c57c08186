#!/usr/bin/env bash
# Long runs and memory checks of the command line.
#
#   bench/soak.sh [FRAMES]      FRAMES small frames (default 2000) through -m average: peak
#                               memory must not grow with the number of frames (compared with
#                               a run of 200), and the result must be exactly right
#   bench/soak.sh --valgrind    every mode, with a dark frame and skipped files, under
#                               valgrind: no invalid access, no leak
#
# BUILD names the build directory (default build-soak/; configured and built when needed). Work
# files live in a temporary directory that is removed at the end. Exit status 0 when every
# check passed.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' && exit 0 ;; esac
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD:-build-soak}
case $build in /*) ;; *) build=$root/$build ;; esac

if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DQUORVANE_TESTS=OFF -DQUORVANE_DESKTOP=OFF >/dev/null
fi
ninja -C "$build" quorvane-cli make-sample-sequence >/dev/null
cli=$build/quorvane-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A 64 x 48 bitmap whose 9216 sample bytes take every value from 0 to 255 (36 times each).
gradientBmp() {
    local data byte j
    data='BM\x36\x24\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x40\0\0\0\x30\0\0\0\x01\0\x18\0'
    data+='\0\0\0\0\0\x24\0\0\x13\x0b\0\0\x13\x0b\0\0\0\0\0\0\0\0\0\0'
    for ((j = 0; j < 9216; j++)); do
        printf -v byte '\\x%02x' $(((j * 37) % 256))
        data+=$byte
    done
    printf %b "$data" >"$1"
}

soak() {
    local frames=$1 small=200
    [[ $frames =~ ^[0-9]+$ && $frames -ge 2 ]] || { echo "FRAMES must be a number >= 2"; exit 2; }
    [ "$frames" -gt "$small" ] || small=$((frames / 2))
    [ -x /usr/bin/time ] || { echo "needs GNU time (/usr/bin/time)"; exit 2; }
    "$build/make-sample-sequence" -n "$frames" -W 64 -H 48 seq frame jpg >/dev/null
    local files=(seq/frame*.jpg)
    echo "Soak: ${#files[@]} frames of 64x48 (JPEG), quorvane-cli -m average"

    # Peak memory: only the file list may grow with the number of frames (a few hundred bytes
    # per name); anything per frame that stayed alive would add a frame's 12 KB of pixels.
    local peaks=() n
    for n in "$small" "$frames"; do
        local rc=0
        /usr/bin/time -f '%M %e' -o time.log "$cli" --quiet -m average -o "avg$n.jpg" \
            "${files[@]:0:n}" 2>err.log || rc=$?
        if [ "$rc" != 0 ]; then
            fail "$n frames: exit status $rc ($(head -c 300 err.log))"
            return
        fi
        read -r kb seconds <time.log
        peaks+=("$kb")
        printf '  %6d frames: %6.2f s, peak %6d kB\n' "$n" "$seconds" "$kb"
    done
    local growth=$((peaks[1] - peaks[0])) allowed=$(((frames - small) + 1024))
    echo "  growth ${growth} kB for $((frames - small)) more frames (allowed ${allowed} kB)"
    [ "$growth" -le "$allowed" ] || fail "peak memory grows with the number of frames"

    # The result: FRAMES copies of one picture, averaged on the linear curve (-g 1.0), where
    # each sample's expected value can be worked out independently: the run adds c / 255 once
    # per frame, divides by the count and truncates 255 x the mean, raised by 2^-30 first so
    # that rounding in the sum cannot take a sample one below c. Exit status 0 says that every
    # frame was counted.
    gradientBmp one.bmp
    mkdir same
    for ((i = 0; i < frames; i++)); do ln one.bmp "same/f$i.bmp"; done
    local rc=0
    "$cli" --quiet -m average -g 1.0 -o avg.bmp same/f*.bmp 2>err.log || rc=$?
    if [ "$rc" != 0 ]; then
        fail "identical frames: exit status $rc ($(head -c 300 err.log))"
        return
    fi
    # Everything up to the resolution fields, which are the writer's own.
    cmp -s -n 38 one.bmp avg.bmp || fail "the output header differs from the input's"
    local mismatches lower
    read -r mismatches lower < <(
        paste <(od -An -v -tu1 -j54 -w1 one.bmp) <(od -An -v -tu1 -j54 -w1 avg.bmp) |
            awk -v n="$frames" '
            BEGIN {
                for (c = 0; c < 256; c++) {
                    s = 0
                    for (k = 0; k < n; k++) s += c / 255.0
                    v = 255.0 * ((s / n) * (1 + 1 / 1073741824))
                    expected[c] = v >= 255 ? 255 : int(v)
                    if (expected[c] != c) lower++
                }
            }
            { count++; if ($2 != expected[$1]) bad++ }
            END { print (count == 9216 ? bad + 0 : "missing"), lower + 0 }')
    if [ "$mismatches" = 0 ]; then
        echo "  average of $frames identical frames: all 9216 samples as expected" \
            "($lower of the 256 values come out one lower)"
    else
        fail "average of $frames identical frames: $mismatches samples wrong"
    fi
}

# Runs the command line under valgrind; expects its exit status and a clean report.
checked() {
    local name=$1 status=$2 rc=0
    shift 2
    valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect --log-file="vg-$name.log" \
        "$cli" --quiet "$@" >/dev/null 2>"err-$name.log" || rc=$?
    if [ "$rc" = 99 ] || [ -s "vg-$name.log" ]; then
        fail "$name: valgrind reports problems:"
        head -40 "vg-$name.log"
    elif [ "$rc" != "$status" ]; then
        fail "$name: exit status $rc, expected $status ($(head -c 300 "err-$name.log"))"
    else
        echo "  $name: clean (exit status $rc)"
    fi
}

memcheck() {
    command -v valgrind >/dev/null || { echo "needs valgrind"; exit 2; }
    local ext
    for ext in jpg bmp tif; do
        "$build/make-sample-sequence" -n 3 -W 64 -H 48 in "$ext" "$ext" >/dev/null
    done
    "$build/make-sample-sequence" --dark -W 64 -H 48 in dark bmp >/dev/null
    "$build/make-sample-sequence" -n 1 -W 32 -H 32 in small bmp >/dev/null
    echo "not an image" >in/broken.jpg
    cp in/tif0002.tif in/cut.tif
    truncate -s 3000 in/cut.tif
    local inputs=(in/jpg0001.jpg in/missing.bmp in/bmp0001.bmp in/broken.jpg in/tif0001.tif
        in/small0001.bmp in/cut.tif in/jpg0002.jpg in/bmp0002.bmp in/tif0003.tif)
    echo "Memcheck: valgrind over whole runs (inputs of every format, four of them skipped)"
    checked stack 3 -m stack --dark in/dark.bmp -o out.bmp "${inputs[@]}"
    checked average 3 -m average --dark in/dark.bmp --dark-opacity 0.5 -o out.jpg "${inputs[@]}"
    checked mix 3 -m mix -d 2.5 -g high-contrast --dark in/dark.bmp -o out.tif "${inputs[@]}"
    checked brighten 3 -m brighten -g 1.8 --low 20 --high 240 --dark in/dark.bmp -o out.bmp \
        "${inputs[@]}"
    checked fill-gaps 3 -m brighten --fill-gaps=2 --comet 4 --depth 16 --dark in/dark.bmp \
        -o out.png "${inputs[@]}"
    checked unusable-dark 3 -m average --dark in/small0001.bmp -o out.jpg "${inputs[@]}"
    checked missing-dark 3 -m stack --dark in/none.bmp -o out.tif "${inputs[@]}"
    checked nothing-loads 1 -o out.bmp in/missing.bmp in/broken.jpg in/cut.tif
}

case ${1:-} in
    --valgrind) memcheck ;;
    *) soak "${1:-2000}" ;;
esac
if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "All checks passed"

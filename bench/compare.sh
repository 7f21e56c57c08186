#!/usr/bin/env bash
# Whole-run comparison: our command line against the decode floor, vips, Siril and ImageMagick
# on two generated sequences (camera-like frames and the plain star field), then one core
# against two, a run without decoding, the fold's memory bandwidth, and our peak memory as the
# number of frames grows.
#
#   bench/compare.sh [FRAMES] [WIDTH] [HEIGHT] [QUALITY] [REPEATS]
#   defaults:         20       4000    3000     92        5
#
# Each tool runs REPEATS times; the tables show the median wall time, the median CPU time
# (user + system), the largest peak resident memory, and each wall time as a ratio to
# `quorvane-cli -m average` measured in the same run. SETS chooses the sequences ("camera
# plain" by default), SCALE_WIDTH/SCALE_HEIGHT the frame size of the scaling runs (1600x1200),
# BUILD a build directory to use as it is instead of building build-bench/.
# Everything printed is also kept in bench/out/last-run.txt.
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' && exit 0 ;; esac
cd "$(dirname "$0")/.."

frames=${1:-20}
width=${2:-4000}
height=${3:-3000}
quality=${4:-92}
repeats=${5:-5}
sets=${SETS:-camera plain}
cores=$(nproc)

# What the comparison needs beyond the build: the other tools and GNU time.
needed=()
command -v vips >/dev/null || needed+=(libvips-tools)
[ -x /usr/bin/convert ] || command -v convert-im6.q16 >/dev/null || needed+=(imagemagick)
command -v djpeg >/dev/null || needed+=(libjpeg-turbo-progs)
command -v siril-cli >/dev/null || needed+=(siril)
command -v bc >/dev/null || needed+=(bc)
command -v taskset >/dev/null || needed+=(util-linux)
[ -x /usr/bin/time ] || needed+=(time)
if [ "${#needed[@]}" -gt 0 ]; then
    echo "Installing: ${needed[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends "${needed[@]}" >/dev/null
fi
# ImageMagick's own binary: a wrapper earlier in PATH would add its start-up to every run.
magick=/usr/bin/convert
[ -x "$magick" ] || magick=$(command -v convert-im6.q16)
if [ -n "${BUILD:-}" ]; then
    bin=$BUILD  # built already (quorvane-cli, make-sample-sequence, work-bound, combine_bench)
else
    bin=build-bench
    scripts/build.sh "$bin" -DQUORVANE_TESTS=OFF -DQUORVANE_DESKTOP=OFF -DQUORVANE_BENCH=ON >/dev/null
fi

work=bench/out
mkdir -p "$work"
exec > >(tee "$work/last-run.txt")
sequence() {  # sequence KIND FRAMES WIDTH HEIGHT -> directory with the frames
    local kind=$1 switch=()
    [ "$kind" = camera ] && switch=(--camera)
    local dir="$work/$kind-${3}x${4}-q${quality}-n$2"
    if [ ! -f "$dir/done" ]; then
        rm -rf "$dir"
        "$bin"/make-sample-sequence "${switch[@]}" -n "$2" -W "$3" -H "$4" -q "$quality" "$dir" \
            frame jpg >/dev/null
        touch "$dir/done"
    fi
    echo "$dir"
}

# measure NAME COMMAND...: runs the command REPEATS times under GNU time and records
# "name wall cpu peak-kB" (median wall, median cpu, maximum peak) in $results.
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
results=$out/results
measure() {
    local name=$1
    shift
    local walls=() cpus=() peak=0 log=$out/time.log
    for _ in $(seq "$repeats"); do
        if ! /usr/bin/time -f '%e %U %S %M' -o "$log" "$@" >/dev/null 2>&1; then
            echo "  $name failed:" >&2
            "$@" 2>&1 | tail -3 >&2 || true
            echo "$name - - -" >>"$results"
            return
        fi
        read -r wall user sys kb <"$log"
        walls+=("$wall")
        cpus+=("$(echo "$user + $sys" | bc)")
        [ "$kb" -gt "$peak" ] && peak=$kb
    done
    local mw mc
    mw=$(printf '%s\n' "${walls[@]}" | sort -g | sed -n "$(((repeats + 1) / 2))p")
    mc=$(printf '%s\n' "${cpus[@]}" | sort -g | sed -n "$(((repeats + 1) / 2))p")
    echo "$name $mw $mc $peak" >>"$results"
    echo "  $name: ${mw}s wall" >&2
}
wall() { awk -v n="$1" '$1 == n { print $2 }' "$results"; }
cpu() { awk -v n="$1" '$1 == n { print $3 }' "$results"; }
peakMB() { awk -v n="$1" '$1 == n { printf "%.0f", $4 / 1024 }' "$results"; }
ratio() { echo "scale=4; $1 / $2" | bc -l; }
# table REFERENCE: every result as a row, each wall time divided by REFERENCE's.
table() {
    local ref
    ref=$(wall "$1")
    printf '%-28s %9s %9s %10s %12s\n' "tool" "wall (s)" "cpu (s)" "peak (MB)" "wall / ours"
    while read -r name w cpu kb; do
        if [ "$w" = "-" ]; then
            printf '%-28s %9s %9s %10s %12s\n' "$name" failed - - -
            continue
        fi
        printf '%-28s %9.2f %9.2f %10.0f %12.2f\n' "$name" "$w" "$cpu" \
            "$(echo "$kb / 1024" | bc -l)" "$(ratio "$w" "$ref")"
    done <"$results"
}
# target TEXT MET: one line of the targets list.
target() { printf '  %-62s %s\n' "$1" "$([ "$2" = 1 ] && echo met || echo 'NOT met')"; }
atMost() { [ "$(echo "$1 <= $2" | bc -l)" = 1 ] && echo 1 || echo 0; }

# Our -v diagnostics name the frames in flight; older builds print nothing of the kind.
# diagnosticLine FILES...: that line of an average run, or nothing.
diagnosticLine() {
    "$bin"/quorvane-cli -v -m average -o "$out/v.jpg" "$@" 2>&1 | grep -m1 'frames in flight' ||
        true
}

# The ImageMagick policy: Debian's stops it long before 20 frames of 12 megapixels; a raised
# one (used for these commands only) lets it finish.
policy=$out/policy
mkdir -p "$policy"
cat >"$policy/policy.xml" <<'EOF'
<policymap>
  <policy domain="resource" name="memory" value="64GiB"/>
  <policy domain="resource" name="map" value="64GiB"/>
  <policy domain="resource" name="width" value="64KP"/>
  <policy domain="resource" name="height" value="64KP"/>
  <policy domain="resource" name="area" value="16GP"/>
  <policy domain="resource" name="disk" value="256GiB"/>
</policymap>
EOF

# Siril, timed whole: converting the inputs to its FITS sequence is part of its run.
# sirilScript DIR STACK NAME: a script that makes a fresh sequence of the JPEG files in DIR and
# stacks it with STACK; prints the script's path.
sirilScript() {
    local dir=$1 stack=$2 script=$out/siril-${3}.ssf
    cat >"$script" <<EOF
requires 1.0.0
cd $(realpath "$dir")
convert frame -out=$out/fits
cd $out/fits
stack frame_ $stack -out=$out/siril-result
EOF
    echo "$script"
}

echo "Machine: $cores cores, $(awk '/MemTotal/ { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo);" \
    "REPEATS=$repeats, medians; $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "ImageMagick runs with its resource policy raised so that it can finish. decode+add-bound"
echo "is not a tool: it decodes every input on every core and adds the samples into a"
echo "cache-resident band, the work no stacking run can avoid (bench/work_bound.cpp)."
echo "Load average at the start (other work on the machine shows here): $(cut -d' ' -f1-3 /proc/loadavg)"

for kind in $sets; do
    dir=$(sequence "$kind" "$frames" "$width" "$height")
    files=("$dir"/frame*.jpg)
    cat "${files[@]}" >/dev/null  # in the page cache for every tool alike
    size=$(du -cb "${files[@]}" | awk 'END { printf "%.2f", $1 / NR / 1e6 }')
    echo
    echo "== $kind: ${#files[@]} frames of ${width}x${height}, JPEG quality $quality," \
        "$size MB a frame on average =="
    : >"$results"
    measure "quorvane-average" "$bin"/quorvane-cli --quiet -m average -o "$out/q.jpg" "${files[@]}"
    measure "quorvane-brighten" "$bin"/quorvane-cli --quiet -m brighten -o "$out/q.jpg" "${files[@]}"
    measure "quorvane-average-1core" taskset -c 0 "$bin"/quorvane-cli --quiet -m average \
        -o "$out/q.jpg" "${files[@]}"
    # The floor: nothing but decoding every input, spread over one process per core.
    per=$(((${#files[@]} + cores - 1) / cores))
    measure "djpeg-floor" sh -c "printf '%s\n' \"\$@\" | xargs -P $cores -n $per sh -c 'for f; do djpeg \"\$f\" >/dev/null; done' sh" sh "${files[@]}"
    # shellcheck disable=SC2016 # the inner shell expands it
    measure "djpeg-floor-1core" taskset -c 0 sh -c 'for f; do djpeg "$f" >/dev/null; done' sh \
        "${files[@]}"
    measure "decode+add-bound" "$bin"/work-bound "${files[@]}"
    # vips: sum the frames, then scale by 1/N for the mean.
    measure "vips-sum-mean" sh -c "vips sum \"\$*\" $out/sum.v && vips linear $out/sum.v $out/vips-mean.jpg $(echo "1 / ${#files[@]}" | bc -l) 0 --uchar" sh "${files[@]}"
    # Average without rejection or normalisation; max for the brighten comparison.
    script=$(sirilScript "$dir" "mean none -nonorm" mean)
    measure "siril-mean" sh -c "rm -rf $out/fits && siril-cli -s $script"
    script=$(sirilScript "$dir" max max)
    measure "siril-max" sh -c "rm -rf $out/fits && siril-cli -s $script"
    rm -rf "$out/fits" "$out"/siril-result*
    measure "imagemagick-mean" env MAGICK_CONFIGURE_PATH="$policy" "$magick" "${files[@]}" \
        -evaluate-sequence mean "$out/im-mean.jpg"
    echo
    table quorvane-average

    ours=$(wall quorvane-average)
    line=$(diagnosticLine "${files[@]}")
    inflight=$(echo "$line" | grep -o 'frames in flight: *[0-9]*' | grep -o '[0-9]*$' || true)
    [ -n "$line" ] && echo && echo "quorvane-cli -v: $line"
    pixels=$((width * height))
    # Accumulator: 32 bytes a pixel; a frame: 4 bytes a pixel; no dark frame here.
    bound=$(((32 * pixels + ${inflight:-4} * 4 * pixels) / 1048576 + 64))
    echo
    echo "Frames in flight: ${inflight:-not printed (older build; 4 assumed)};" \
        "peak bound accumulator + ${inflight:-4} frames + 64 MB = $bound MB"
    echo "Decoding: $(echo "scale=1; 1000 * $(cpu djpeg-floor-1core) / ${#files[@]}" | bc -l) ms of CPU" \
        "a frame (djpeg, one core); load average now $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "Two cores against one: ours $(printf '%.2f' "$(ratio "$(wall quorvane-average-1core)" "$ours")") x," \
        "djpeg floor $(printf '%.2f' "$(ratio "$(wall djpeg-floor-1core)" "$(wall djpeg-floor)")") x"
    echo "Targets ($kind):"
    target "at least 1.3 x faster than vips sum + linear" "$(atMost "$ours * 1.3" "$(wall vips-sum-mean)")"
    target "at least 5 x faster than Siril (convert + stack mean)" "$(atMost "$ours * 5" "$(wall siril-mean)")"
    target "at least 6 x faster than ImageMagick" "$(atMost "$ours * 6" "$(wall imagemagick-mean)")"
    target "at most 1.6 x the djpeg decode floor" "$(atMost "$ours" "$(wall djpeg-floor) * 1.6")"
    target "brighten at most 1.15 x the average" "$(atMost "$(wall quorvane-brighten)" "$ours * 1.15")"
    target "two cores at least 1.8 x faster than one" "$(atMost "$ours * 1.8" "$(wall quorvane-average-1core)")"
    target "peak within $bound MB" "$(atMost "$(peakMB quorvane-average)" "$bound")"
done

# Without decoding: the first set's frames as uncompressed TIFF, read once so that every run
# finds them in the page cache. What remains is reading, folding, finalising and writing.
kind=${sets%% *}
dir=$(sequence "$kind" "$frames" "$width" "$height")
tiffs=$work/$(basename "$dir")-tiff
if [ ! -f "$tiffs/done" ]; then
    rm -rf "$tiffs"
    mkdir -p "$tiffs"
    for f in "$dir"/frame*.jpg; do
        vips copy "$f" "$tiffs/$(basename "${f%.jpg}").tif"
    done
    touch "$tiffs/done"
fi
tfiles=("$tiffs"/frame*.tif)
cat "${tfiles[@]}" >/dev/null
echo
echo "== Without decoding: the $kind frames as uncompressed TIFF ($(du -cb "${tfiles[@]}" |
    awk 'END { printf "%.0f", $1 / NR / 1e6 }') MB each), in the page cache =="
: >"$results"
measure "quorvane-average-tiff" "$bin"/quorvane-cli --quiet -m average -o "$out/q.tif" "${tfiles[@]}"
measure "quorvane-average-tiff-1core" taskset -c 0 "$bin"/quorvane-cli --quiet -m average \
    -o "$out/q.tif" "${tfiles[@]}"
measure "vips-sum-mean-tiff" sh -c "vips sum \"\$*\" $out/sum.v && vips linear $out/sum.v $out/vips-mean.tif $(echo "1 / ${#tfiles[@]}" | bc -l) 0 --uchar" sh "${tfiles[@]}"
echo
table quorvane-average-tiff
echo "Peak bound (accumulator + ${inflight:-4} frames + 64 MB) = $bound MB"

# The fold alone (bench/combine_bench.cpp): one pass over the accumulator per run of the
# benchmark, for one input and for a batch of four. Bandwidth = accumulator bytes per pass /
# time per pass; the accumulator holds 32 bytes a pixel.
bpx=$(sed -n 's/^constexpr int kWidth = \([0-9]*\);.*/\1/p' bench/combine_bench.cpp)
bpy=$(sed -n 's/^constexpr int kHeight = \([0-9]*\);.*/\1/p' bench/combine_bench.cpp)
accBytes=$((32 * bpx * bpy))
echo
echo "== The fold: one pass over a ${bpx}x${bpy} accumulator ($((accBytes / 1000000)) MB), average mode =="
"$bin"/combine_bench --benchmark_filter='mode:0/(thresholds:0/dark:0/)?threads' \
    --benchmark_repetitions="$((repeats < 3 ? 3 : repeats))" --benchmark_format=csv 2>/dev/null |
    tr -d '"' | grep -E '^BM_[^,]*threads:[0-9]+,' |
    awk -F, -v bytes="$accBytes" -v cores="$cores" '
    {
        ms = $3; if ($5 == "us") ms /= 1000; if ($5 == "ns") ms /= 1e6
        if (!($1 in count)) order[++names] = $1
        times[$1, ++count[$1]] = ms
    }
    END {
        for (k = 1; k <= names; k++) {
            name = order[k]; n = count[name]
            for (i = 1; i <= n; i++) t[i] = times[name, i]
            for (i = 2; i <= n; i++) for (j = i; j > 1 && t[j - 1] > t[j]; j--) {
                x = t[j]; t[j] = t[j - 1]; t[j - 1] = x
            }
            median = t[int((n + 1) / 2)]; best = t[1]
            threads = name; sub(/.*threads:/, "", threads)
            printf "  %d input(s) a pass, %d thread(s): median %6.2f ms a pass (%5.2f GB/s of accumulator), best %6.2f ms (%5.2f GB/s)\n",
                name ~ /BatchOfFour/ ? 4 : 1, threads == 0 ? cores : threads,
                median, bytes / median / 1e6, best, bytes / best / 1e6
        }
    }'

# Scaling: our peak memory at 20, 80 and 320 frames of one size.
swidth=${SCALE_WIDTH:-1600}
sheight=${SCALE_HEIGHT:-1200}
echo
echo "== Scaling: quorvane-cli -m average on ${swidth}x${sheight} plain frames =="
printf '%-8s %10s %12s\n' "frames" "wall (s)" "peak (MB)"
: >"$results"
for n in 20 80 320; do
    sdir=$(sequence plain "$n" "$swidth" "$sheight")
    measure "n$n" "$bin"/quorvane-cli --quiet -m average -o "$out/scale.jpg" "$sdir"/frame*.jpg
done
while read -r name w cpu kb; do
    printf '%-8s %10.2f %12.0f\n' "${name#n}" "$w" "$(echo "$kb / 1024" | bc -l)"
done <"$results"

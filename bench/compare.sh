#!/usr/bin/env bash
# Whole-run comparison: our command line against the decode floor, vips and ImageMagick on one
# generated sequence, then our peak memory as the number of frames grows.
#
#   bench/compare.sh [FRAMES] [WIDTH] [HEIGHT] [QUALITY] [REPEATS]
#   defaults:         20       4000    3000     92        3
#
# Each tool runs REPEATS times; the table shows the median wall time, the median CPU time
# (user + system) and the largest peak resident memory, and each wall time as a ratio to
# `quorvane-cli -m average` measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."

frames=${1:-20}
width=${2:-4000}
height=${3:-3000}
quality=${4:-92}
repeats=${5:-3}
cores=$(nproc)

# What the comparison needs beyond the build: the other tools and GNU time.
needed=()
command -v vips >/dev/null || needed+=(libvips-tools)
command -v convert >/dev/null && convert -version 2>/dev/null | grep -q ImageMagick || needed+=(imagemagick)
command -v djpeg >/dev/null || needed+=(libjpeg-turbo-progs)
command -v bc >/dev/null || needed+=(bc)
[ -x /usr/bin/time ] || needed+=(time)
if [ "${#needed[@]}" -gt 0 ]; then
    echo "Installing: ${needed[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends "${needed[@]}" >/dev/null
fi
bin=build-bench
scripts/build.sh "$bin" -DQUORVANE_TESTS=OFF -DQUORVANE_DESKTOP=OFF -DQUORVANE_BENCH=ON >/dev/null

work=bench/out
mkdir -p "$work"
sequence() {  # sequence FRAMES WIDTH HEIGHT -> directory with the frames
    local dir="$work/seq-${2}x${3}-q${quality}-n$1"
    if [ ! -f "$dir/done" ]; then
        rm -rf "$dir"
        "$bin"/make-sample-sequence -n "$1" -W "$2" -H "$3" -q "$quality" "$dir" frame jpg >/dev/null
        touch "$dir/done"
    fi
    echo "$dir"
}

# measure NAME COMMAND...: runs the command REPEATS times under GNU time and records
# "name wall cpu peak-kB" (median wall, median cpu, maximum peak) in $results.
results=$(mktemp)
trap 'rm -f "$results"' EXIT
measure() {
    local name=$1
    shift
    local walls=() cpus=() peak=0 log
    log=$(mktemp)
    for _ in $(seq "$repeats"); do
        if ! /usr/bin/time -f '%e %U %S %M' -o "$log" "$@" >/dev/null 2>&1; then
            echo "  $name failed:" >&2
            "$@" 2>&1 | tail -3 >&2 || true
            rm -f "$log"
            echo "$name - - -" >>"$results"
            return
        fi
        read -r wall user sys kb <"$log"
        walls+=("$wall")
        cpus+=("$(echo "$user + $sys" | bc)")
        [ "$kb" -gt "$peak" ] && peak=$kb
    done
    rm -f "$log"
    local mw mc
    mw=$(printf '%s\n' "${walls[@]}" | sort -g | sed -n "$(((repeats + 1) / 2))p")
    mc=$(printf '%s\n' "${cpus[@]}" | sort -g | sed -n "$(((repeats + 1) / 2))p")
    echo "$name $mw $mc $peak" >>"$results"
    echo "  $name: ${mw}s wall" >&2
}

dir=$(sequence "$frames" "$width" "$height")
files=("$dir"/frame*.jpg)
out=$(mktemp -d)
trap 'rm -f "$results"; rm -rf "$out"' EXIT
echo "Sequence: ${#files[@]} frames of ${width}x${height}, JPEG quality $quality; $cores cores" >&2

measure "quorvane-average" "$bin"/quorvane-cli --quiet -m average -o "$out/q-average.jpg" "${files[@]}"
measure "quorvane-brighten" "$bin"/quorvane-cli --quiet -m brighten -o "$out/q-brighten.jpg" "${files[@]}"

# The floor: nothing but decoding every input, spread over one process per core.
per=$(((${#files[@]} + cores - 1) / cores))
measure "djpeg-floor" sh -c "printf '%s\n' \"\$@\" | xargs -P $cores -n $per sh -c 'for f; do djpeg \"\$f\" >/dev/null; done' sh" sh "${files[@]}"

# The least any stacker can take here: decoding on every core plus the per-sample addition of
# an average into a cache-resident band, with no accumulator, ordering, finalising or output.
measure "decode+add-bound" "$bin"/work-bound "${files[@]}"

# vips: sum the frames, then scale by 1/N for the mean.
measure "vips-sum-mean" sh -c "vips sum \"\$*\" $out/sum.v && vips linear $out/sum.v $out/vips-mean.jpg $(echo "1 / ${#files[@]}" | bc -l) 0 --uchar" sh "${files[@]}"

# ImageMagick: Debian's resource policy stops it long before this size; a raised policy (used
# for this command only) lets it finish.
policy=$(mktemp -d)
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
measure "imagemagick-mean" env MAGICK_CONFIGURE_PATH="$policy" convert "${files[@]}" -evaluate-sequence mean "$out/im-mean.jpg"
rm -rf "$policy"

echo
echo "ImageMagick ran with its resource policy raised (memory, map, area, disk) so that it could finish."
echo "decode+add-bound is not a tool: it decodes every input on every core and adds the samples"
echo "into a cache-resident band, the work no stacking run can avoid (bench/work_bound.cpp)."
echo
ours=$(awk '$1 == "quorvane-average" { print $2 }' "$results")
printf '%-20s %10s %10s %12s %14s\n' "tool" "wall (s)" "cpu (s)" "peak (MB)" "wall / ours"
while read -r name wall cpu kb; do
    if [ "$wall" = "-" ]; then
        printf '%-20s %10s %10s %12s %14s\n' "$name" failed - - -
        continue
    fi
    printf '%-20s %10.2f %10.2f %12.0f %14.2f\n' "$name" "$wall" "$cpu" "$(echo "$kb / 1024" | bc -l)" \
        "$(echo "$wall / $ours" | bc -l)"
done <"$results"

# Scaling: our peak memory at 20, 80 and 320 frames of one size.
swidth=${SCALE_WIDTH:-1600}
sheight=${SCALE_HEIGHT:-1200}
echo
echo "Scaling: quorvane-cli -m average on ${swidth}x${sheight} frames"
printf '%-8s %10s %12s\n' "frames" "wall (s)" "peak (MB)"
: >"$results"
for n in 20 80 320; do
    sdir=$(sequence "$n" "$swidth" "$sheight")
    measure "n$n" "$bin"/quorvane-cli --quiet -m average -o "$out/scale.jpg" "$sdir"/frame*.jpg
done
while read -r name wall cpu kb; do
    printf '%-8s %10.2f %12.0f\n' "${name#n}" "$wall" "$(echo "$kb / 1024" | bc -l)"
done <"$results"

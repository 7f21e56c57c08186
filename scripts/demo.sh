#!/usr/bin/env bash
# Builds the program, renders a synthetic night (stars turning about the pole, with the pause
# between exposures a real camera leaves) and stacks it: plain star trails, the same with the
# gaps filled, comet trails with the gaps filled, a time-lapse video of the trails forming, and
# a noise-reduced average.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build -DQUORVANE_TESTS=OFF

frames=out/sample
mkdir -p "$frames"
rm -f "$frames"/frame*.jpg
build/make-sample-sequence -n 30 -W 1600 -H 1000 --turn 0.8 --exposure 0.6 "$frames" frame jpg
build/make-sample-sequence --dark -W 1600 -H 1000 "$frames" dark jpg

build/quorvane-cli -m brighten -o out/star-trails.jpg "$frames"/frame*.jpg
build/quorvane-cli -m brighten --fill-gaps --video out/star-trails.mp4 --fps 10 \
    -o out/star-trails-filled.jpg "$frames"/frame*.jpg
build/quorvane-cli -m brighten --comet 15 --fill-gaps -o out/comet-trails.jpg "$frames"/frame*.jpg
build/quorvane-cli -m average --dark "$frames"/dark.jpg -o out/average.jpg "$frames"/frame*.jpg
echo
echo "Star trails (brighten):        $(pwd)/out/star-trails.jpg"
echo "The same with the gaps filled: $(pwd)/out/star-trails-filled.jpg"
echo "Comet trails, gaps filled:     $(pwd)/out/comet-trails.jpg"
echo "Time-lapse of the trails:      $(pwd)/out/star-trails.mp4"
echo "Noise-reduced average:         $(pwd)/out/average.jpg"

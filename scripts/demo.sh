#!/usr/bin/env bash
# Builds the program, renders a synthetic star-field sequence and stacks it into star trails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build -DQUORVANE_TESTS=OFF

frames=out/sample
mkdir -p "$frames"
rm -f "$frames"/frame*.jpg
build/make-sample-sequence -n 30 -W 1600 -H 1000 "$frames" frame jpg
build/make-sample-sequence --dark -W 1600 -H 1000 "$frames" dark jpg

build/quorvane-cli -m brighten -o out/star-trails.jpg "$frames"/frame*.jpg
build/quorvane-cli -m average --dark "$frames"/dark.jpg -o out/average.jpg "$frames"/frame*.jpg
echo
echo "Star trails (brighten): $(pwd)/out/star-trails.jpg"
echo "Noise-reduced average:  $(pwd)/out/average.jpg"

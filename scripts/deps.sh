#!/usr/bin/env bash
# Installs what building and testing need (Debian, as root). Quiet when all is present.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libbenchmark-dev
    libjpeg62-turbo-dev libtiff-dev libpng-dev libraw-dev libexiv2-dev
    libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
    libjpeg-turbo-progs libtiff-tools imagemagick libraw-bin exiv2 ffmpeg    # the tests' references
    qt6-base-dev libgl-dev
    time valgrind
    clang libclang-rt-14-dev
    dpkg-dev file help2man    # the Debian package (cpack) and the manual page
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run as root (or with sudo) to install the packages above." >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

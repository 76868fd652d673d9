#!/usr/bin/env bash
# make-demo-firmware.sh DIR
# Writes the demo firmware into DIR: the 13 images, each with reproducible contents whose 4 KiB blocks are
# labelled with the image name and offset (rigs/demo/demo_firmware.h regenerates them for comparisons), and
# DeviceList.dat for the demo phone. Builds the generator in build/native when needed.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$root/build/native/build.ninja" ]; then
    (cd "$root" && cmake --preset native --log-level=WARNING >/dev/null)
fi
cmake --build "$root/build/native" --target tarnex-demo-firmware >/dev/null
"$root/build/native/bin/tarnex-demo-firmware" "$1"

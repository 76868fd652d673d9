#!/usr/bin/env bash
# demo.sh: the most complete main job that exists so far. It generates a demo firmware, makes a flasher of
# it with tarnex-pack from the stand-in base executable, shows `list` and `verify`, runs the flasher (which
# checks and indexes its own payload, as the window program will at start-up), and shows that one changed
# byte is caught. The window program and the simulated phone's driver library arrive with later issues.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bin=build/native/bin
demo=build/demo

step() { printf '\n== %s\n' "$*"; }

step "Building tarnex-pack, the demo firmware generator and the stand-in base executable"
[ -f build/native/build.ninja ] || cmake --preset native --log-level=WARNING >/dev/null
cmake --build build/native -j "$(nproc)" --target tarnex-pack tarnex-demo-firmware tarnex-stand-in >/dev/null
rm -rf "$demo"
mkdir -p "$demo"

step "Generating the demo firmware in $demo/firmware"
scripts/make-demo-firmware.sh "$demo/firmware"

step "tarnex-pack build refuses a firmware without the driver library"
if "$bin/tarnex-pack" build "$bin/tarnex-stand-in" "$demo/firmware" "$demo/tarnex-demo"; then
    echo "demo: the incomplete firmware was accepted" >&2
    exit 1
fi
[ ! -e "$demo/tarnex-demo" ] || { echo "demo: a refused build left an output" >&2; exit 1; }

step "Building the flasher (--allow-incomplete until the simulated phone's driver library exists)"
"$bin/tarnex-pack" build --allow-incomplete "$bin/tarnex-stand-in" "$demo/firmware" "$demo/tarnex-demo"

step "tarnex-pack list"
"$bin/tarnex-pack" list "$demo/tarnex-demo"

step "tarnex-pack verify"
"$bin/tarnex-pack" verify "$demo/tarnex-demo"

step "Running the flasher: it checks and indexes its own payload"
"$demo/tarnex-demo"

step "One changed byte in the middle of the payload"
cp "$demo/tarnex-demo" "$demo/tarnex-damaged"
size=$(stat -c %s "$demo/tarnex-damaged")
printf '\xA5' | dd of="$demo/tarnex-damaged" bs=1 seek=$((size / 2)) conv=notrunc status=none
if "$bin/tarnex-pack" verify "$demo/tarnex-damaged"; then
    echo "demo: the damaged flasher was accepted" >&2
    exit 1
fi
rm -f "$demo/tarnex-damaged"

step "Done: the flasher is $demo/tarnex-demo"

#!/usr/bin/env bash
# demo-headless.sh: the whole main job natively, on the headless window (make demo-headless). It
# generates a demo firmware, makes a flasher of it with tarnex-pack (the simulated phone as its driver
# library), shows `list` and `verify` and that one changed byte is caught, then runs the flasher: start-up from its own file, the phone found, "Start"
# pressed by the demo's operator, the states, percentages and protocol log as they happen, and every
# flashed partition checked against the firmware byte for byte. Exits 0 only when the phone holds exactly
# the firmware. (make demo runs the same job with the real window under Wine: scripts/demo.sh.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bin=build/native/bin
demo=build/demo

step() { printf '\n== %s\n' "$*"; }

step "Building tarnex-pack, the demo firmware generator, the simulated phone and the demo flasher base"
[ -f build/native/build.ninja ] || cmake --preset native --log-level=WARNING >/dev/null
cmake --build build/native -j "$(nproc)" --target tarnex-pack tarnex-demo-firmware tarnex-demo tarnex_sim >/dev/null
rm -rf "$demo"
mkdir -p "$demo"

step "Generating the demo firmware in $demo/firmware"
scripts/make-demo-firmware.sh "$demo/firmware"

step "tarnex-pack build refuses a firmware without the driver library"
if "$bin/tarnex-pack" build "$bin/tarnex-demo" "$demo/firmware" "$demo/tarnex-flasher"; then
    echo "demo: the incomplete firmware was accepted" >&2
    exit 1
fi
[ ! -e "$demo/tarnex-flasher" ] || { echo "demo: a refused build left an output" >&2; exit 1; }

step "The simulated phone becomes the firmware's driver library, AdbWinApi.dll"
cp "$bin/libtarnex_sim.so" "$demo/firmware/AdbWinApi.dll"

step "Building the flasher: the demo base executable with the firmware appended"
"$bin/tarnex-pack" build "$bin/tarnex-demo" "$demo/firmware" "$demo/tarnex-flasher"

step "tarnex-pack list"
"$bin/tarnex-pack" list "$demo/tarnex-flasher"

step "tarnex-pack verify"
"$bin/tarnex-pack" verify "$demo/tarnex-flasher"

step "One changed byte in the middle of the payload: refused by verify, and by the flasher at start-up"
cp "$demo/tarnex-flasher" "$demo/tarnex-damaged"
size=$(stat -c %s "$demo/tarnex-damaged")
printf '\xA5' | dd of="$demo/tarnex-damaged" bs=1 seek=$((size / 2)) conv=notrunc status=none
if "$bin/tarnex-pack" verify "$demo/tarnex-damaged"; then
    echo "demo: the damaged flasher was accepted" >&2
    exit 1
fi
if "$demo/tarnex-damaged"; then
    echo "demo: the damaged flasher started" >&2
    exit 1
fi
rm -f "$demo/tarnex-damaged"

step "Running the flasher: the phone is found, \"Start\" is pressed, the phone is flashed and reboots"
# The phone's link at about the pace of USB 2.0, so that the progress can be followed.
printf 'device phone\nrate 8M\n' >"$demo/phone.txt"
TARNEX_SIM_SCENARIO="$root/$demo/phone.txt" "$demo/tarnex-flasher"

step "Done: the flasher is $demo/tarnex-flasher"

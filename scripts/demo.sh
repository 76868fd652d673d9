#!/usr/bin/env bash
# demo.sh: the whole main job with the Windows programs under Wine. It builds them, generates a demo
# firmware, makes a flasher of it with tarnex-pack.exe (the simulated phone as its driver library), shows
# `list` and `verify` and that one changed byte is caught, then runs the flasher's real window: on your
# display when DISPLAY names one that answers, otherwise on a private virtual display (Xvfb).
# tarnex-operator.exe plays the operator: waits for the phone, ticks "UserData", presses "Start" and
# reports the status and progress while the flasher prints its protocol lines. At the end every flashed
# partition is compared with its image byte for byte, and the screenshots are in build/demo/screenshots.
# Exits 0 only when the phone holds exactly the firmware.
# (scripts/demo-headless.sh is the same job natively, on the in-memory window, without Wine.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bin=build/windows/bin
demo=build/demo
prefix=$root/build/demo-wineprefix # kept between runs: making a prefix takes a while

demo_name=demo
. scripts/demo-wine.sh

step "Building the Windows programs: tarnex.exe, tarnex-pack.exe, the simulated phone, the operator"
cmake --preset windows --log-level=WARNING >/dev/null
cmake --build build/windows -j "$(nproc)" \
    --target tarnex tarnex-pack tarnex_sim tarnex-operator tarnex-demo-firmware >/dev/null
rm -rf "$demo"
mkdir -p "$demo/screenshots"

start_wine "$prefix"

step "Generating the demo firmware in $demo/firmware"
run "$bin/tarnex-demo-firmware.exe" "$(winpath "$demo/firmware")"

step "tarnex-pack build refuses a firmware without the driver library"
if run "$bin/tarnex-pack.exe" build "$(winpath "$bin/tarnex.exe")" "$(winpath "$demo/firmware")" \
    "$(winpath "$demo/tarnex-flasher.exe")"; then
    fail "the incomplete firmware was accepted"
fi
[ ! -e "$demo/tarnex-flasher.exe" ] || fail "a refused build left an output"

step "The simulated phone becomes the firmware's driver library, AdbWinApi.dll"
cp "$bin/tarnex_sim.dll" "$demo/firmware/AdbWinApi.dll"

step "Building the flasher: tarnex.exe with the firmware appended"
run "$bin/tarnex-pack.exe" build "$(winpath "$bin/tarnex.exe")" "$(winpath "$demo/firmware")" \
    "$(winpath "$demo/tarnex-flasher.exe")"

step "tarnex-pack list"
run "$bin/tarnex-pack.exe" list "$(winpath "$demo/tarnex-flasher.exe")"

step "tarnex-pack verify"
run "$bin/tarnex-pack.exe" verify "$(winpath "$demo/tarnex-flasher.exe")"

step "One changed byte in the middle of the payload: refused by verify, and by the flasher at start-up"
cp "$demo/tarnex-flasher.exe" "$demo/tarnex-damaged.exe"
size=$(stat -c %s "$demo/tarnex-damaged.exe")
printf '\xA5' | dd of="$demo/tarnex-damaged.exe" bs=1 seek=$((size / 2)) conv=notrunc status=none
if run "$bin/tarnex-pack.exe" verify "$(winpath "$demo/tarnex-damaged.exe")"; then
    fail "the damaged flasher was accepted"
fi
if run "$bin/tarnex-operator.exe" "$(winpath "$demo/tarnex-damaged.exe")"; then
    fail "the damaged flasher started"
fi
rm -f "$demo/tarnex-damaged.exe"

step "Running the flasher: the phone is found, \"Start\" is pressed, the phone is flashed and reboots"
# The phone's link at about the pace of USB 2.0, so that the progress can be followed.
printf 'device phone\nrate 8M\n' >"$demo/phone.txt"
TARNEX_SIM_SCENARIO=$(winpath "$demo/phone.txt") \
    TARNEX_SIM_TRANSCRIPT=$(winpath "$demo/transcript.txt") \
    TARNEX_SIM_PARTITION_DIR=$(winpath "$demo/partitions") \
    run "$bin/tarnex-operator.exe" "$(winpath "$demo/tarnex-flasher.exe")" --userdata \
    --screenshots "$root/$demo/screenshots" || operated=$?

step "The protocol as the phone saw it (the poll's opens and closes left out)"
tr -d '\r' <"$demo/transcript.txt" | grep -v -e '^open ' -e '^close ' | sed 's/^/  phone | /'
[ "${operated:-0}" -eq 0 ] || fail "the download did not succeed"

step "Every partition against its image, byte for byte"
identical=yes
check() { # IMAGE PARTITION
    local image=$demo/firmware/$1 flashed=$demo/partitions/phone/$2.img
    if cmp -s "$image" "$flashed"; then
        printf 'demo: partition %-10s %9d bytes  identical to %s\n' "$2" "$(stat -c %s "$flashed")" "$1"
    else
        printf 'demo: partition %-10s DIFFERS from %s\n' "$2" "$1"
        identical=no
    fi
}
check qcsblhd_cfgdata.mbn qcsblhd
check qcsbl.mbn qcsbl
check oemsblhd.mbn oemsblhd
check oemsbl.mbn oemsbl
check amsshd.mbn amsshd
check amss.mbn amss
check cefs.mbn cefs
check appsboothd.mbn appsboothd
check appsboot.mbn appsboot
check boot.img boot
check system.img system
check recovery.img recovery
# "UserData" was ticked: userdata and cache are erased, never written with userdata.img.
for partition in userdata cache; do
    if [ -e "$demo/partitions/phone/$partition.img" ] && [ ! -s "$demo/partitions/phone/$partition.img" ]; then
        printf 'demo: partition %-10s %9d bytes  (erased)\n' "$partition" 0
    else
        printf 'demo: partition %-10s NOT erased\n' "$partition"
        identical=no
    fi
done
[ "$identical" = yes ] || fail "the phone does NOT hold the firmware"

step "Done: the phone holds exactly the firmware"
echo "flasher:     $demo/tarnex-flasher.exe"
echo "screenshots: $(ls "$demo"/screenshots/*.png | tr '\n' ' ')"

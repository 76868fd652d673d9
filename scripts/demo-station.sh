#!/usr/bin/env bash
# demo-station.sh: the station under Wine flashing eight simulated phones at once (make demo-station). It
# builds the Windows programs, makes a station of the demo firmware with tarnex-pack.exe (the simulated
# phone, eight of them on links paced like USB 2.0, as its driver library), and runs the station's real
# window: on your display when DISPLAY names one that answers, otherwise on a private virtual display
# (Xvfb). tarnex-station-operator.exe waits for the eight phones, presses "Start" and reports the rows
# as they change. Then every phone's partitions are compared with the images, and the record file is
# printed. Screenshots are in build/demo-station/screenshots. Exits 0 only when all eight phones hold
# exactly the firmware and the record has their eight lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bin=build/windows/bin
demo=build/demo-station
prefix=$root/build/demo-wineprefix # shared with make demo: making a prefix takes a while
phones=8

demo_name=demo-station
. scripts/demo-wine.sh

step "Building the Windows programs: tarnex-station.exe, tarnex-pack.exe, the simulated phone, the operator"
cmake --preset windows --log-level=WARNING >/dev/null
cmake --build build/windows -j "$(nproc)" \
    --target tarnex-station tarnex-pack tarnex_sim tarnex-station-operator tarnex-demo-firmware >/dev/null
rm -rf "$demo"
mkdir -p "$demo/screenshots"

start_wine "$prefix"

step "Generating the demo firmware in $demo/firmware, with the simulated phone as AdbWinApi.dll"
run "$bin/tarnex-demo-firmware.exe" "$(winpath "$demo/firmware")"
cp "$bin/tarnex_sim.dll" "$demo/firmware/AdbWinApi.dll"

step "Building the station: tarnex-station.exe with the firmware appended"
run "$bin/tarnex-pack.exe" build "$(winpath "$bin/tarnex-station.exe")" "$(winpath "$demo/firmware")" \
    "$(winpath "$demo/station-demo.exe")"

step "Eight phones in fastboot mode, each on a port of its own, on links paced like USB 2.0"
for n in $(seq 1 $phones); do
    printf 'device phone%d\nname usb:1-%d:0\nserial DEMO%04d\nvendor 0x18d1\nproduct 0xd00d\nrate 8M\n' \
        "$n" "$n" "$n"
done >"$demo/phones.txt"
TARNEX_SIM_SCENARIO=$(winpath "$demo/phones.txt") \
    TARNEX_SIM_TRANSCRIPT=$(winpath "$demo/transcript.txt") \
    TARNEX_SIM_PARTITION_DIR=$(winpath "$demo/partitions") \
    run "$bin/tarnex-station-operator.exe" "$(winpath "$demo/station-demo.exe")" "$phones" \
    --screenshots "$root/$demo/screenshots" 2>"$demo/protocol.txt" || operated=$?
echo "(the station's protocol lines, one per action and phone, are in $demo/protocol.txt:" \
    "$(grep -c OKAY "$demo/protocol.txt" || true) OKAY lines)"
[ "${operated:-0}" -eq 0 ] || fail "not every phone succeeded"

step "Every phone's partitions against the images, byte for byte"
identical=yes
for n in $(seq 1 $phones); do
    for pair in qcsblhd_cfgdata.mbn:qcsblhd qcsbl.mbn:qcsbl oemsblhd.mbn:oemsblhd oemsbl.mbn:oemsbl \
        amsshd.mbn:amsshd amss.mbn:amss cefs.mbn:cefs appsboothd.mbn:appsboothd appsboot.mbn:appsboot \
        boot.img:boot system.img:system recovery.img:recovery; do
        cmp -s "$demo/firmware/${pair%%:*}" "$demo/partitions/phone$n/${pair##*:}.img" || {
            echo "demo-station: phone$n partition ${pair##*:} DIFFERS from ${pair%%:*}"
            identical=no
        }
    done
    echo "demo-station: phone$n holds the twelve images"
done
[ "$identical" = yes ] || fail "a phone does NOT hold the firmware"

step "The record file, $demo/station-demo.csv"
tr -d '\r' <"$demo/station-demo.csv"
lines=$(tail -n +2 "$demo/station-demo.csv" | grep -c ',succeeded,' || true)
[ "$lines" -eq "$phones" ] || fail "the record has $lines succeeded lines, not $phones"

step "Done: eight phones flashed at once, each recorded"
echo "station:     $demo/station-demo.exe"
echo "screenshots: $(ls "$demo"/screenshots/*.png | tr '\n' ' ')"

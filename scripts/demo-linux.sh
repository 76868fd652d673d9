#!/usr/bin/env bash
# demo-linux.sh: the whole main job on Linux (make demo-linux). It builds the Linux programs, generates a
# demo firmware with the Linux driver library (libtarnex_libusb.so) as its "AdbWinApi.dll", makes a
# flasher of it from the Qt base with tarnex-pack, shows `list` and `verify`, and that a copy with one
# changed byte is refused (by `verify`, and by the flasher itself with its message box). Then the
# flasher's Qt window flashes the simulated phone on a USB bus emulated at the kernel's interface
# (umockdev, drivers/libusb/README.md), through libusb: on your display when DISPLAY names one that
# answers, otherwise on a virtual display of its own (Xvfb). The demo's operator works the window from
# inside the process (tarnex-demo-qt: the Qt base with an operator, which the shipped tarnex has not):
# waits for the phone, ticks "UserData", presses "Start" and reports the states and the percentage while
# the flasher prints one protocol line per action. At the end the phone's protocol log is printed and
# every partition is compared with its image byte for byte; screenshots are in
# build/demo-linux/screenshots/. Exits 0 only when the phone holds exactly the firmware.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bin=build/native/bin
demo=build/demo-linux

step() { printf '\n== [%ds] %s\n' "$SECONDS" "$*"; }
fail() {
    echo "demo-linux: $*" >&2
    exit 1
}

step "Building tarnex (the Qt flasher base), tarnex-demo-qt, tarnex-pack, the libusb driver library and the emulator"
[ -f build/native/build.ninja ] || cmake --preset native --log-level=WARNING >/dev/null
cmake --build build/native -j "$(nproc)" --target tarnex tarnex-demo-qt tarnex-pack tarnex-demo-firmware \
    tarnex_libusb tarnex-usb-emulator >/dev/null
rm -rf "$demo"
mkdir -p "$demo/screenshots"

step "Generating the demo firmware in $demo/firmware, with libtarnex_libusb.so as its AdbWinApi.dll"
scripts/make-demo-firmware.sh "$demo/firmware"
cp "$bin/libtarnex_libusb.so" "$demo/firmware/AdbWinApi.dll"

step "Building the flasher: the Qt base executable tarnex with the firmware appended"
"$bin/tarnex-pack" build "$bin/tarnex" "$demo/firmware" "$demo/tarnex-flasher"

step "tarnex-pack list"
"$bin/tarnex-pack" list "$demo/tarnex-flasher"

step "tarnex-pack verify"
"$bin/tarnex-pack" verify "$demo/tarnex-flasher"

# The window: the user's display when it answers, else a virtual one that ends with the demo.
xvfb_pid=""
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT
if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
    step "The window shows on your display $DISPLAY"
else
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$demo/xvfb-display" 2>"$demo/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$demo/xvfb-display" ] && break
        sleep 0.1
    done
    [ -s "$demo/xvfb-display" ] || fail "the virtual display did not start (see $demo/xvfb.log)"
    export DISPLAY=":$(cat "$demo/xvfb-display")"
    step "The window shows on a virtual display of its own, $DISPLAY (no usable DISPLAY)"
fi
export QT_QPA_PLATFORM=xcb

step "The same flasher from the demo base tarnex-demo-qt, whose operator works the window from inside"
"$bin/tarnex-pack" build "$bin/tarnex-demo-qt" "$demo/firmware" "$demo/tarnex-demo-flasher" >/dev/null

step "One changed byte in the middle of the payload: refused by verify, and by the flasher at start-up"
cp "$demo/tarnex-demo-flasher" "$demo/tarnex-damaged"
size=$(stat -c %s "$demo/tarnex-damaged")
printf '\xA5' | dd of="$demo/tarnex-damaged" bs=1 seek=$((size / 2)) conv=notrunc status=none
if "$bin/tarnex-pack" verify "$demo/tarnex-damaged"; then
    fail "the damaged flasher was accepted"
fi
if TARNEX_DEMO_SCREENSHOTS="$root/$demo/screenshots" "$demo/tarnex-damaged"; then
    fail "the damaged flasher started"
fi
rm -f "$demo/tarnex-damaged"

step "Running the flasher on the emulated USB bus: the phone is found, \"Start\" is pressed, the phone is flashed through libusb and reboots"
# The phone's link at about the pace of USB 2.0, so that the progress can be followed; a memory stick
# beside it that nothing may touch.
printf 'device phone\nrate 8M\n' >"$demo/phone.txt"
status=0
TARNEX_DEMO_SCREENSHOTS="$root/$demo/screenshots" "$bin/tarnex-usb-emulator" --mass-storage \
    --scenario "$demo/phone.txt" --transcript "$demo/transcript.txt" --partition-dir "$demo/partitions" \
    -- "$demo/tarnex-demo-flasher" || status=$?

step "The phone's protocol log"
grep -v -e '^open ' -e '^close ' "$demo/transcript.txt" | sed 's/^/  phone | /' || true
[ "$status" -eq 0 ] || fail "the flasher ended with status $status (3: the emulator saw it touch what it must not)"

step "Every partition compared with its image"
same=1
while read -r entry partition; do
    image="$demo/firmware/$entry" flashed="$demo/partitions/phone/$partition.img"
    if [ -f "$flashed" ] && cmp -s "$image" "$flashed"; then
        printf 'demo-linux: partition %-10s %9d bytes  identical to %s\n' "$partition" "$(stat -c %s "$flashed")" "$entry"
    else
        printf 'demo-linux: partition %-10s DIFFERS from %s\n' "$partition" "$entry"
        same=0
    fi
done <<'TABLE'
qcsblhd_cfgdata.mbn qcsblhd
qcsbl.mbn qcsbl
oemsblhd.mbn oemsblhd
oemsbl.mbn oemsbl
amsshd.mbn amsshd
amss.mbn amss
cefs.mbn cefs
appsboothd.mbn appsboothd
appsboot.mbn appsboot
boot.img boot
system.img system
recovery.img recovery
TABLE
for erased in userdata cache; do
    if [ -f "$demo/partitions/phone/$erased.img" ] && [ ! -s "$demo/partitions/phone/$erased.img" ]; then
        echo "demo-linux: partition $erased erased"
    else
        echo "demo-linux: partition $erased NOT erased"
        same=0
    fi
done
ls "$demo/screenshots"/*.png | sed 's/^/demo-linux: screenshot /'
[ "$same" -eq 1 ] || fail "the phone does NOT hold the firmware"
step "Done: the phone holds exactly the firmware; the flasher is $demo/tarnex-flasher"

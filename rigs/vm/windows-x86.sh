#!/usr/bin/env bash
# windows-x86.sh RESULTS — in the test machine (rigs/vm/windows-x86.list): runs the CTest tier of the x86
# Windows programs under the 32-bit Wine. The host's root is read-only here, so the build tree gets a
# writable layer in memory (overlayfs: the Wine prefix, the test logs and the screenshots are written
# there); the logs and screenshots are copied to RESULTS at the end. Further arguments for CTest come one
# per line in RESULTS/ctest-args (scripts/test-windows-x86.sh writes them). Exits with CTest's status.
set -uo pipefail
results=$1
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../.." && pwd)
build=$tree/build/windows-x86
layer=/tmp/windows-x86-layer
mkdir -p "$layer/upper" "$layer/work"
if ! mount -t overlay overlay -o "lowerdir=$build,upperdir=$layer/upper,workdir=$layer/work" "$build"; then
    echo "windows-x86: cannot put a writable layer over $build" >&2
    exit 1
fi
export HOME=/tmp/home
mkdir -p "$HOME"
extra=()
if [ -f "$results/ctest-args" ]; then
    while IFS= read -r arg; do
        [ -n "$arg" ] && extra+=("$arg")
    done <"$results/ctest-args"
fi
cd "$tree"
ctest --preset windows-x86 -LE build --output-on-failure --timeout 900 "${extra[@]+"${extra[@]}"}"
status=$?
mkdir -p "$results/windows-x86"
cp -r "$build/Testing/Temporary" "$results/windows-x86/ctest" 2>/dev/null
[ -d "$build/screenshots" ] && cp -r "$build/screenshots" "$results/windows-x86/"
cd /
umount "$build" 2>/dev/null
exit $status

#!/usr/bin/env bash
# check-layout.sh SOURCE_DIR
# The tree shows what ships: nothing in the product's folders includes a test rig (rigs/) or anything of
# the tests, and the tests, benchmarks and fuzz targets take their rigs only from rigs/. Prints every
# offending include and exits 1 when there is one.
set -euo pipefail
cd "$1"
shipped=(package usb fastboot app framework os res drivers tools)
status=0
if hits=$(git grep -n -E '#[[:space:]]*include[[:space:]]+"(rigs|tests|bench|fuzz)/' -- "${shipped[@]}"); then
    echo "check-layout: shipped code includes a test rig or a test:" >&2
    echo "$hits" >&2
    status=1
fi
if hits=$(git grep -n -E '#[[:space:]]*include[[:space:]]+"(tools/(remote|flash_operator|demo)|drivers/libusb/emulation)' -- tests bench fuzz rigs); then
    echo "check-layout: a rig included from its old place:" >&2
    echo "$hits" >&2
    status=1
fi
exit $status

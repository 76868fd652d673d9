#!/usr/bin/env bash
# check-driver-exports.sh FILE...
# Fails unless every given driver library exports the twelve operations of the driver ABI under their
# plain names (usb/driver_abi.h): the flasher binds them by these names, so a decorated name (the
# "_Name" or "Name@16" of a 32-bit Windows build with another calling convention) is as good as absent.
# Windows DLLs are read with OBJDUMP (the MinGW-w64 objdump of their machine), ELF libraries with nm.
set -euo pipefail
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
operations=(AdbEnumInterfaces AdbNextInterface AdbCreateInterfaceByName AdbGetInterfaceName
    AdbGetSerialNumber AdbGetUsbDeviceDescriptor AdbGetUsbInterfaceDescriptor
    AdbOpenDefaultBulkReadEndpoint AdbOpenDefaultBulkWriteEndpoint AdbReadEndpointSync
    AdbWriteEndpointSync AdbCloseHandle)

status=0
for file in "$@"; do
    name=$(basename "$file")
    if [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ]; then
        exports=$(nm -D --defined-only "$file" | awk '$2 ~ /^[TtWi]$/ { print $3 }')
    else
        # The export table's name pointer table: "[   0] AdbCloseHandle", up to the next empty line.
        exports=$("$objdump" -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p')
    fi
    missing=()
    for operation in "${operations[@]}"; do
        grep -qx "$operation" <<<"$exports" || missing+=("$operation")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "$name does not export ${missing[*]}" >&2
        decorated=$(grep -E '^_?Adb|^Adb.*@[0-9]+$' <<<"$exports" | grep -vxF "$(printf '%s\n' "${operations[@]}")" || true)
        [ -z "$decorated" ] || echo "$name exports instead: $(echo $decorated)" >&2
        status=1
    else
        echo "$name: the twelve operations, undecorated"
    fi
done
exit $status

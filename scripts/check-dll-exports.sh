#!/usr/bin/env bash
# check-dll-exports.sh DLL NAME...
# Fails unless the DLL exports exactly the given names, undecorated (no leading underscore, no @N of
# __stdcall): the flasher binds its driver library by these names, on x86 as on x64.
set -euo pipefail
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
dll=$1
shift
table=$("$objdump" -p "$dll")
actual=$(awk '/\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table == 1 && /^[[:space:]]*\[/ { print $NF; next } table == 1 { table = 2 }' <<<"$table" | sort)
wanted=$(printf '%s\n' "$@" | sort)
if [ "$actual" != "$wanted" ]; then
    echo "$dll: exports differ from the expected ones" >&2
    diff <(echo "$wanted") <(echo "$actual") >&2 || true
    exit 1
fi
echo "$dll: $(echo $actual)"

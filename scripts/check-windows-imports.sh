#!/usr/bin/env bash
# check-windows-imports.sh FILE...
# Fails unless every given Windows program or DLL imports system DLLs only: they are linked statically
# and must start on a bare Windows from one file (the flasher) or travel alone in a package (the
# driver DLL).
set -euo pipefail
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
system='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|ole32|version|ws2_32|msvcrt|ntdll|setupapi|winusb)\.dll$|^api-ms-win-'
status=0
for file in "$@"; do
    imports=$("$objdump" -p "$file" | awk '/DLL Name:/ { print $3 }' | sort -u)
    foreign=$(printf '%s\n' "$imports" | tr 'A-Z' 'a-z' | grep -Ev "$system" | grep -v '^$' || true)
    if [ -n "$foreign" ]; then
        echo "$file imports non-system DLLs: $(echo $foreign)" >&2
        status=1
    else
        echo "$file: $(echo $imports)"
    fi
done
exit $status

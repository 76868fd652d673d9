#!/usr/bin/env bash
# check-windows-programs.sh MACHINE [--resources TYPE/ID,...] FILE... [--resources ... FILE...]
# Checks built Windows programs and DLLs without running them, from their headers:
#   - the executable format and machine: MACHINE i386 means PE32 for x86, x86-64 means PE32+ for x64;
#   - the imports: system DLLs only, since everything is linked statically, so that the flasher starts on
#     a bare Windows from one file and the driver DLL travels alone in a package;
#   - the resources: every TYPE/ID given (numbers, e.g. 24/1 the manifest, 16/1 the version
#     information, 5/102 a dialog, 14/129 an icon group) for the files after that --resources.
# OBJDUMP names the objdump of the MinGW-w64 binutils of that machine.
set -euo pipefail
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
system='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|ole32|version|ws2_32|msvcrt|ntdll|setupapi|winusb)\.dll$|^api-ms-win-'

machine=$1
shift
case "$machine" in
i386) format=pei-i386 magic=PE32 magic_re='PE32' ;;
x86-64) format=pei-x86-64 magic=PE32+ magic_re='PE32\+' ;;
*)
    echo "check-windows-programs: unknown machine $machine (i386 or x86-64)" >&2
    exit 2
    ;;
esac

# The TYPE/ID pairs of the resource directory in objdump -p's text $1, one a line, in decimal. objdump
# indents the type entries by three spaces and the name entries below them by five.
resources_of() {
    local type id
    sed -n '/The .rsrc Resource Directory section/,$p' <<<"$1" | awk '
        /^[0-9a-f]+   Entry: ID: / { type = substr($4, 1, length($4) - 1); next }
        /^[0-9a-f]+     Entry: ID: / { print type, substr($4, 1, length($4) - 1) }' |
        while read -r type id; do
            echo "$((type))/$((id))"
        done
}

status=0
wanted=""
while [ $# -gt 0 ]; do
    if [ "$1" = "--resources" ]; then
        wanted=${2//,/ }
        shift 2
        continue
    fi
    file=$1
    shift
    name=$(basename "$file")
    problems=()

    # Here-strings, not pipes, into grep -q: its early exit would fail the pipe under pipefail.
    if ! header=$("$objdump" -p "$file" 2>&1) || ! brief=$("$objdump" -f "$file" 2>&1); then
        echo "$name: not readable as $format: $(head -n 1 <<<"$header")" >&2
        status=1
        continue
    fi
    if ! grep -q "file format $format\$" <<<"$brief"; then
        problems+=("not $format: $(sed -n 's/.*file format //p' <<<"$brief")")
    fi
    if ! grep -Eq "^Magic[[:space:]]+[0-9a-f]+[[:space:]]+\\($magic_re\\)\$" <<<"$header"; then
        problems+=("optional header is not $magic")
    fi

    imports=$(awk '/DLL Name:/ { print $3 }' <<<"$header" | sort -u)
    foreign=$(tr 'A-Z' 'a-z' <<<"$imports" | grep -Ev "$system" | grep -v '^$' || true)
    if [ -n "$foreign" ]; then
        problems+=("imports non-system DLLs: $(echo $foreign)")
    fi

    present=$(resources_of "$header")
    for pair in $wanted; do
        if ! grep -qx "$pair" <<<"$present"; then
            problems+=("no resource $pair")
        fi
    done

    if [ ${#problems[@]} -gt 0 ]; then
        for problem in "${problems[@]}"; do
            echo "$name: $problem" >&2
        done
        status=1
    else
        echo "$name: $magic $machine; imports $(echo $imports); resources $(echo ${present:-none})"
    fi
done
exit $status

#!/usr/bin/env bash
# test-windows-x86.sh [CTEST_ARGS...]
# The x86 tier of make test: the x86 programs' files are checked (format, machine, imports, resources,
# driver exports), then every x86 test runs under the 32-bit Wine in the preset's 32-bit prefix.
#
# The 32-bit Wine needs a kernel that runs 32-bit (i386) programs. Some virtual machines switch that
# off (Linux's ia32_emulation; a paravirtual guest whose host runs 64-bit user code only): there the
# 32-bit loader fails with "Exec format error". Then the Wine part runs in the test machine of the
# kernel USB tier instead (rigs/vm: Debian's own kernel, which runs 32-bit programs, over this machine's
# files, with software emulation), which takes about half an hour. Where that machine cannot run
# either, or with TARNEX_X86_VM=0, the Wine part is skipped with one loud line that says why; set
# TARNEX_REQUIRE_X86_WINE=1 (or CI=true, for the machine) to make that a failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
loader=/usr/lib/wine/wine

ctest --preset windows-x86 -L build "$@"

reason=""
if [ ! -x "$loader" ]; then
    reason="the 32-bit Wine is not installed ($loader; make deps installs wine32:i386)"
elif ! out=$("$loader" --version 2>&1); then
    reason="this machine's kernel runs no 32-bit programs: the 32-bit Wine loader fails ($(printf '%s' "$out" | tail -n 1 | sed 's/.*: //'))"
    line=$( (dmesg 2>/dev/null || true) | grep -i -E 'ia-?32 emulation|32-bit emulation' | head -n 1 || true)
    [ -z "$line" ] || reason="$reason; the kernel says: ${line#*] }"
fi
if [ -n "$reason" ] && [ -x "$loader" ] && [ "${TARNEX_X86_VM:-1}" != 0 ]; then
    echo "test-windows-x86: $reason; the x86 Wine tier runs in the test machine (rigs/vm/windows-x86.list)"
    # The machine runs its programs one at a time: -j is left out, anything else goes to its ctest.
    results=build/vm/results/windows-x86
    mkdir -p "$results"
    args=()
    while [ $# -gt 0 ]; do
        case $1 in
        -j) shift 2 ;;
        -j*) shift ;;
        *) args+=("$1"); shift ;;
        esac
    done
    printf '%s\n' "${args[@]+"${args[@]}"}" >"$results/ctest-args"
    TARNEX_VM_MEMORY=${TARNEX_VM_MEMORY:-4096} TARNEX_VM_TIMEOUT=${TARNEX_VM_TIMEOUT:-3600} \
        exec rigs/vm/vm.sh --list rigs/vm/windows-x86.list --results "$results"
fi
if [ -n "$reason" ]; then
    echo "test-windows-x86: *** SKIPPED: the x86 Wine tier did not run: $reason ***"
    [ "${TARNEX_REQUIRE_X86_WINE:-0}" = 1 ] && exit 1
    exit 0
fi
ctest --preset windows-x86 -LE build "$@"

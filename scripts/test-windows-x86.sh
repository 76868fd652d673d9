#!/usr/bin/env bash
# test-windows-x86.sh — opt-in (make test-windows-x86), never part of make test.
#
# Runs the Wine tier of the x86 Windows programs with a 32-bit Wine installed for this run only, and
# takes it away again afterwards, whatever happened:
#   1. adds the i386 architecture to dpkg (unless it is there already) and updates the package lists;
#   2. installs wine32:i386 (unless it is installed already), which lets the 64-bit prefix run 32-bit
#      programs;
#   3. builds the windows-x86 preset into build/windows-x86-wine with TARNEX_WINE_TIER=ON and runs its
#      CTest tier there (its own Wine prefix, build/windows-x86-wine/wineprefix);
#   4. on every way out, including a failed step 1 or 2: purges every i386 package this run installed,
#      removes the i386 architecture again when this run added it, and updates the package lists, so
#      that later apt-get runs see the machine as it was. wine32 must not stay: beside wine64 it breaks
#      the 64-bit Wine tier of make test.
# Needs root (or sudo). Exits with the tier's result, or 1 when no 32-bit Wine could be installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/windows-x86-wine

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "test-windows-x86: needs root to install wine32:i386 for this run" >&2
        exit 1
    fi
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

i386_packages() {
    dpkg-query -W -f='${binary:Package} ${Architecture} ${db:Status-Status}\n' 2>/dev/null |
        awk '$2 == "i386" && $3 == "installed" { print $1 }' | sort
}

added_architecture=0
before=$(i386_packages)

undo() {
    local status=$?
    set +e
    local ours
    ours=$(comm -13 <(printf '%s\n' "$before") <(i386_packages) | grep -v '^$')
    if [ -n "$ours" ]; then
        echo "test-windows-x86: removing what this run installed: $(echo $ours)"
        $sudo apt-get purge -y -qq $ours >/dev/null
    fi
    if [ "$added_architecture" = 1 ]; then
        if [ -z "$(i386_packages)" ]; then
            echo "test-windows-x86: removing the i386 architecture again"
            $sudo dpkg --remove-architecture i386
        else
            echo "test-windows-x86: i386 packages remain, so the i386 architecture stays: $(echo $(i386_packages))" >&2
        fi
        $sudo apt-get update -qq
    fi
    exit $status
}
trap undo EXIT

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "test-windows-x86: adding the i386 architecture for this run"
    $sudo dpkg --add-architecture i386
    added_architecture=1
fi
if ! $sudo apt-get update -qq; then
    echo "test-windows-x86: the package lists with i386 could not be updated; no 32-bit Wine" >&2
    exit 1
fi
if ! dpkg-query -W -f='${db:Status-Status}' wine32:i386 2>/dev/null | grep -qx installed; then
    echo "test-windows-x86: installing wine32:i386 for this run"
    if ! $sudo apt-get install -y -qq --no-install-recommends wine32:i386; then
        echo "test-windows-x86: wine32:i386 could not be installed; no 32-bit Wine" >&2
        exit 1
    fi
fi

cmake --preset windows-x86 -B "$build" -DTARNEX_WINE_TIER=ON --log-level=WARNING >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 300 -j "$(nproc)"

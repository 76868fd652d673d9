#!/usr/bin/env bash
# wine-run.sh PROGRAM.exe [ARGS...]
# Runs a Windows program under Wine in the prefix named by WINEPREFIX, with the loader of its WINEARCH
# (scripts/wine-loader.sh: win64 unless told otherwise), on the X display that
# scripts/wine-prefix.sh started for that prefix (when there is one). ctest runs every Windows test
# program through this.
set -euo pipefail
if [ -n "${WINEPREFIX:-}" ] && [ -f "$WINEPREFIX.xvfb/display" ]; then
    DISPLAY=$(cat "$WINEPREFIX.xvfb/display")
    export DISPLAY
fi
. "$(dirname "$0")/wine-loader.sh"
exec "$wine_loader" "$@"

#!/usr/bin/env bash
# wine-prefix.sh start|stop PREFIX
# start: makes the Wine prefix when it does not exist yet and keeps its wineserver running, so that each
#        test program starts in a fraction of a second.
# stop:  ends this prefix's wineserver and every process in it (other prefixes are not touched).
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

case "$action" in
start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
    # The persistent server outlives this script: it must not hold the caller's output open, or
    # ctest waits for the end of this test's output forever.
    wineserver -p </dev/null >/dev/null 2>&1 || true # fails when a server already runs: fine
    # Likewise Wine's own services, which the first program would otherwise start with its output.
    wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac

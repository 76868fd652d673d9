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
    # The server, and the services that the first program of a session starts, outlive this script and
    # the tests: they must not hold the output pipes of ctest, or it waits on them for ever. So the
    # server starts here with no pipes, and wineboot starts the session's services the same way.
    wineserver -p </dev/null >/dev/null 2>&1 || true # a server left running from before is fine too
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

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
    # The persistent server and the prefix's services (started here by wineboot) outlive this script and
    # the test programs. They must not hold on to ctest's output pipes, or ctest waits for their end
    # forever: they get /dev/null and none of the other descriptors of this shell.
    (
        for fd in /proc/$BASHPID/fd/*; do
            n=${fd##*/}
            if [ "$n" -gt 2 ]; then exec {n}>&-; fi
        done
        wineserver -p || true # a server that already runs is fine
        wineboot
    ) </dev/null >/dev/null 2>&1
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

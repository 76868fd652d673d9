#!/usr/bin/env bash
# wine-prefix.sh start|stop PREFIX
# The prefix's architecture is WINEARCH's: win64 (the default) or win32 (scripts/wine-loader.sh).
# start: starts a private X display (Xvfb) for this prefix, makes the Wine prefix when it does not exist
#        yet, sets it up for our windows (Wine draws the window frames and captions, a CJK font stands in
#        for the dialogs' "宋体"), and keeps its wineserver running, so that each program starts in a
#        fraction of a second. The display's name is written to PREFIX.xvfb/display; scripts/wine-run.sh
#        runs a program there.
#        With TARNEX_DISPLAY set (":0"), the prefix's programs show on that display instead, and no Xvfb
#        is started.
# stop:  ends this prefix's wineserver and every process in it, then the display (other prefixes and
#        displays are not touched).
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
. "$(dirname "$0")/wine-loader.sh"
xvfb_dir=$WINEPREFIX.xvfb

# Runs "$@" in the background, detached from this shell's descriptors: the display and the Wine server
# outlive this script and the tests, and must not hold on to ctest's output pipes, or ctest waits for
# their end forever.
detached() {
    (
        for fd in /proc/$BASHPID/fd/*; do
            n=${fd##*/}
            if [ "$n" -gt 2 ]; then exec {n}>&-; fi
        done
        exec "$@"
    ) </dev/null >/dev/null 2>&1
}

# Starts "$@" detached like `detached`, without waiting for its end.
detached_background() {
    (
        for fd in /proc/$BASHPID/fd/*; do
            n=${fd##*/}
            if [ "$n" -gt 2 ]; then exec {n}>&-; fi
        done
        "$@" &
    ) </dev/null >/dev/null 2>&1
}

# Waits until this prefix's desktop (explorer.exe /desktop) runs for the keeper below. Whichever program
# first needs the desktop starts it, with that program's standard handles: it must be the keeper, not a
# test that ctest runs next, or the desktop holds that test's output pipe open and ctest waits for ever
# after the test has ended (seen where Wine starts slowly: the 32-bit Wine in the test machine). A desktop
# that wineboot left may still be closing: the one found must outlive the keeper's start by two seconds.
prefix_process() { # PATTERN: the id of a process of this prefix whose command line holds PATTERN
    local pid
    for pid in $(pgrep -f "$1" || true); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

wait_for_desktop() {
    local desktop deadline=$((SECONDS + 120)) next_boot=$((SECONDS + 20))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if prefix_process 'cmd.exe /q /k' >/dev/null; then
            if desktop=$(prefix_process 'explorer.exe /desktop'); then
                sleep 2
                kill -0 "$desktop" 2>/dev/null && return 0
            elif [ "$SECONDS" -ge "$next_boot" ]; then
                # The desktop closed before the keeper was on it: wineboot opens it again.
                detached "$wine_loader" wineboot.exe
                next_boot=$((SECONDS + 20))
            fi
        fi
        sleep 0.1
    done
    local keeper=no
    prefix_process 'cmd.exe /q /k' >/dev/null && keeper=yes
    echo "wine-prefix.sh: the desktop of $WINEPREFIX did not start within two minutes (keeper running: $keeper)" >&2
    ps -eo pid,etime,args | grep -i -E '[.]exe|wineserver' >&2 || true
    return 1
}

display_running() {
    [ -f "$xvfb_dir/pid" ] && [ -f "$xvfb_dir/display" ] && kill -0 "$(cat "$xvfb_dir/pid")" 2>/dev/null
}

start_display() {
    if [ -n "${TARNEX_DISPLAY:-}" ]; then
        rm -rf "$xvfb_dir"
        mkdir -p "$xvfb_dir"
        echo "$TARNEX_DISPLAY" >"$xvfb_dir/display"
        return
    fi
    if display_running; then
        return
    fi
    rm -rf "$xvfb_dir"
    mkdir -p "$xvfb_dir"
    # Xvfb picks a free display number itself and writes it to the descriptor -displayfd names.
    (
        for fd in /proc/$BASHPID/fd/*; do
            n=${fd##*/}
            if [ "$n" -gt 2 ]; then exec {n}>&-; fi
        done
        exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$xvfb_dir/number" \
            </dev/null >"$xvfb_dir/log" 2>&1
    ) &
    echo $! >"$xvfb_dir/pid"
    for _ in $(seq 100); do
        if [ -s "$xvfb_dir/number" ]; then
            echo ":$(tr -d '\n' <"$xvfb_dir/number")" >"$xvfb_dir/display"
            return
        fi
        sleep 0.1
    done
    echo "wine-prefix.sh: Xvfb did not start (see $xvfb_dir/log)" >&2
    exit 1
}

# Registry settings of the prefix, in the format regedit reads (UTF-16 with a byte-order mark).
configure_prefix() {
    local reg=$WINEPREFIX/tarnex-settings.reg
    {
        printf '\xef\xbb\xbfWindows Registry Editor Version 5.00\r\n\r\n'
        # Without a window manager (Xvfb) Wine draws the frame, caption and system menu itself.
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
        # The dialogs ask for "宋体" (SimSun); the CJK font installed with the tests stands in for it.
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
        printf '"宋体"="WenQuanYi Zen Hei"\r\n"SimSun"="WenQuanYi Zen Hei"\r\n\r\n'
    } | iconv -f UTF-8 -t UTF-16LE >"$reg"
    "$wine_loader" regedit.exe /S "$("$wine_loader" winepath.exe -w "$reg")" >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/tarnex-configured"
}

case "$action" in
start)
    start_display
    export DISPLAY
    DISPLAY=$(cat "$xvfb_dir/display")
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        "$wine_loader" wineboot.exe -i >/dev/null 2>&1
        wineserver -w
    fi
    if [ ! -f "$WINEPREFIX/tarnex-configured" ]; then
        configure_prefix
    fi
    detached wineserver -p || true # a server that already runs is fine
    # Wine closes the desktop (and its explorer.exe) a second after the last program on it has ended,
    # and a program that starts just then finds no desktop to make its windows on. One idle program
    # keeps the desktop open for the whole run: a command prompt reading from a pipe nobody writes to.
    # It starts before wineboot, which opens the desktop, so that it is on it before wineboot ends.
    if [ ! -p "$xvfb_dir/keeper" ]; then
        mkfifo "$xvfb_dir/keeper"
        detached_background sh -c 'exec 3<>"$1"; exec "$2" cmd.exe /q /k <&3' keeper "$xvfb_dir/keeper" \
            "$wine_loader"
    fi
    detached "$wine_loader" wineboot.exe
    wait_for_desktop
    ;;
stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    if [ -f "$xvfb_dir/pid" ]; then
        kill "$(cat "$xvfb_dir/pid")" 2>/dev/null || true
    fi
    rm -rf "$xvfb_dir"
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac

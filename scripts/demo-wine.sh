# demo-wine.sh: sourced by the demos under Wine (demo.sh, demo-station.sh), from the repository's root,
# after setting demo_name: their step lines, Windows paths, and Wine in a prefix of theirs on your display
# or on a virtual one, ended with the demo however it ends.

step() { printf '\n== [%ds] %s\n' "$SECONDS" "$*"; }
fail() {
    echo "$demo_name: $*" >&2
    exit 1
}
# A Linux path as the Windows programs see it (the Linux root is drive Z:).
winpath() {
    local path
    path=$(realpath -m "$1")
    printf 'Z:%s' "${path//\//\\}"
}

# start_wine PREFIX: Wine in PREFIX, on your display when DISPLAY names one that answers, else on a
# virtual display (Xvfb); the prefix's server, its programs and the virtual display end with the demo.
start_wine() {
    prefix=$1
    export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
        export TARNEX_DISPLAY=$DISPLAY
        step "Starting Wine in $prefix, on your display $DISPLAY"
    else
        unset TARNEX_DISPLAY
        step "Starting Wine in $prefix, on a virtual display (no usable DISPLAY)"
    fi
    trap 'scripts/wine-prefix.sh stop "$prefix"' EXIT
    scripts/wine-prefix.sh start "$prefix"
    DISPLAY=$(cat "$prefix.xvfb/display")
    export DISPLAY
    . scripts/wine-loader.sh
}

# Runs a Windows program with the loader of the prefix's architecture.
run() { "$wine_loader" "$@"; }

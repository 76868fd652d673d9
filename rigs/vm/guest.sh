#!/bin/bash
# Process 1 of the test machine, on the host's root (rigs/vm/init starts it): udevd, then the case list,
# each case in a process of its own with its time-out, timed; every case must leave no process behind.
# Writes RESULTS/summary.txt and RESULTS/cases/NAME.log, and ends the machine with the list's status
# through QEMU's isa-debug-exit port (QEMU then exits with 2 * STATUS + 1).
#
# A list (rigs/vm/*.list) holds one entry per line; $BIN, $TREE and $RESULTS are expanded:
#   case NAME TIMEOUT COMMAND [ARGUMENT...]   one case
#   gtest TIMEOUT PROGRAM [ARGUMENT...]       every test of a GoogleTest program, each a case of its own
set -u
results=$1

# Process 1 must never return: the machine ends here, with the status, whatever happens below.
finish() {
    local status=$1
    [ "$status" -gt 127 ] && status=127
    echo "tarnex-vm: status $status"
    sync
    printf "$(printf '\\%03o' "$status")" | dd of=/dev/port bs=1 seek=244 count=1 status=none
    busybox poweroff -f
    echo o >/proc/sysrq-trigger
    sleep infinity
}

# shellcheck source=/dev/null
source "$results/guest.conf"
export RESULTS=$results BIN TREE
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/tmp/home TMPDIR=/tmp LANG=C.UTF-8 TARNEX_UDEVADM=$UDEVADM
mkdir -p "$HOME"
summary=$results/summary.txt
: >"$summary"

uptime() {
    local up _
    read -r up _ </proc/uptime
    echo "$up"
}

# udevd, as on any station: libusb (built with udev) hears of devices that arrive after it started only
# through it.
(exec -a systemd-udevd "$UDEVADM" --daemon) || echo "guest: udevd did not start" >&2
"$UDEVADM" trigger --action=add --subsystem-match=usb
"$UDEVADM" settle --timeout=60

if [ "$SHELL_MODE" = 1 ]; then
    echo "guest: a shell in the test machine; the host's tree is at $TREE, results in $results; exit ends the machine"
    (cd "$TREE" && bash -i)
    finish 0
fi

boot=$(uptime)
echo "vm: boot $boot s (kernel start to the first case, udevd included)" | tee -a "$summary"

# Every process of the machine that is neither the kernel's, nor init, nor this script, nor udevd.
strays() {
    local d pid ppid comm state rest
    for d in /proc/[0-9]*; do
        pid=${d#/proc/}
        [ "$pid" = 1 ] || [ "$pid" = $$ ] || [ "$pid" = "$BASHPID" ] && continue
        [ -e "$d/exe" ] || continue # a kernel thread
        [ "$d/exe" -ef "$UDEVADM" ] && continue
        read -r _ comm state ppid rest <"$d/stat" 2>/dev/null || continue
        [ "$ppid" = 2 ] && continue
        echo "$pid $comm"
    done
}

declare -a names timeouts commands
add_case() { # NAME TIMEOUT COMMAND...
    names+=("$1")
    timeouts+=("$2")
    shift 2
    commands+=("$(printf '%q ' "$@")")
}

while read -r kind rest; do
    case $kind in
    '' | '#'*) continue ;;
    esac
    eval "set -- $rest"
    case $kind in
    case) add_case "$@" ;;
    gtest)
        timeout=$1
        shift
        suite=
        while IFS= read -r line; do
            case $line in
            ' '*) name=${line#  } && add_case "$suite${name%%  #*}" "$timeout" "$@" "--gtest_filter=$suite${name%%  #*}" ;;
            *) suite=$line ;;
            esac
        done < <("$@" --gtest_list_tests 2>/dev/null)
        ;;
    *) echo "guest: $LIST: unknown entry '$kind'" >&2 ;;
    esac
done <"$LIST"

selected() {
    [ ${#CASES[@]} -eq 0 ] && return 0
    local p
    for p in "${CASES[@]}"; do
        # shellcheck disable=SC2053
        [[ $1 == $p ]] && return 0
    done
    return 1
}

passed=0 failed=0 ran=0
first=$(uptime)
for i in "${!names[@]}"; do
    name=${names[$i]}
    selected "$name" || continue
    ran=$((ran + 1))
    log=$results/cases/$name.log
    start=$(uptime)
    eval "timeout -k 10 ${timeouts[$i]} ${commands[$i]}" </dev/null >"$log" 2>&1
    rc=$?
    end=$(uptime)
    left=$(strays)
    if [ -n "$left" ]; then
        echo "guest: the case left processes running: $left" >>"$log"
        while read -r pid _; do kill -9 "$pid" 2>/dev/null; done <<<"$left"
        [ $rc -eq 0 ] && rc=99
    fi
    verdict=PASS
    if [ $rc -ne 0 ]; then
        verdict=FAIL
        [ $rc -eq 124 ] && echo "guest: the case ran out of its ${timeouts[$i]} s" >>"$log"
        : >"$results/cases/$name.failed"
        failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
    line=$(awk -v v="$verdict" -v n="$name" -v a="$start" -v b="$end" 'BEGIN { printf "vm: %s %-64s %6.1f s", v, n, b - a }')
    echo "$line" | tee -a "$summary"
done
last=$(uptime)
awk -v r="$ran" -v p="$passed" -v f="$failed" -v a="$first" -v b="$last" \
    'BEGIN { printf "vm: %d cases, %d passed, %d failed, %.1f s for the cases\n", r, p, f, b - a }' | tee -a "$summary"
if [ "$ran" -eq 0 ]; then
    echo "vm: no case ran (the list, or --case, selected none)" | tee -a "$summary"
    finish 1
fi
[ "$failed" -eq 0 ] && finish 0
finish 1

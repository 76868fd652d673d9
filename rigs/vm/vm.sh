#!/usr/bin/env bash
# rigs/vm/vm.sh: runs a list of cases inside a virtual machine that boots Debian's own kernel, so that the
# programs built on this host meet the kernel's real USB stack (usbcore, usbfs, a host controller, hub
# events) with a gadget phone at the other end of a dummy_hcd cable. See rigs/vm/README.md.
#
#   rigs/vm/vm.sh [--list FILE] [--case PATTERN]... [--results DIR] [--bin DIR] [--phones N] [--shell]
#
# The kernel image package that linux-image-amd64 depends on and udev are fetched with apt-get download
# into build/vm/ (kept by version, never installed here); the machine boots them with a small initramfs of
# busybox and the modules it needs, mounts this host's / read-only over 9p and chroots into it, so the
# guest runs exactly the host's programs and libraries; one writable 9p folder takes the results. One boot
# runs the whole list; the exit status is the list's: 0 when every case passed, 1 when one failed, 2 when
# the machine did not report. When the machine cannot run here at all, one SKIPPED line says why and the
# status is 0, or 1 when CI=true (a renamed kernel package must not switch the tier off unnoticed).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tree=$(cd "$here/../.." && pwd)
cache=$tree/build/vm
bin=$tree/build/native/bin
list=$here/tier.list
results=
phones=4
shell_mode=0
cases=()
# The whole run, boot included; a case has its own time-out in the list.
run_timeout=${TARNEX_VM_TIMEOUT:-1500}
memory=${TARNEX_VM_MEMORY:-1536}

usage() {
    sed -n '5,6p' "${BASH_SOURCE[0]}" | sed 's/^# *//' >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
    --list) list=$(realpath "$2"); shift 2 ;;
    --case) cases+=("$2"); shift 2 ;;
    --results) results=$2; shift 2 ;;
    --bin) bin=$(realpath "$2"); shift 2 ;;
    --phones) phones=$2; shift 2 ;;
    --shell) shell_mode=1; shift ;;
    *) usage ;;
    esac
done
name=$(basename "$list" .list)
results=$(realpath -m "${results:-$cache/results/$name}")

# --- cannot run: one loud line -----------------------------------------------------------------------

skip() {
    echo "vm: *** SKIPPED: $1 ***"
    if [ "${CI:-}" = true ]; then
        echo "vm: CI=true: a tier that cannot run fails" >&2
        exit 1
    fi
    exit 0
}

qemu=${TARNEX_VM_QEMU:-qemu-system-x86_64}
command -v "$qemu" >/dev/null || skip "$qemu is not installed (Debian: qemu-system-x86; scripts/install-deps.sh installs it)"
for tool in busybox depmod modprobe dpkg-deb apt-get apt-cache gzip; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs busybox-static and kmod)"
done
busybox=$(command -v busybox)
# The initramfs needs a busybox that runs without libraries.
if ldd "$busybox" >/dev/null 2>&1; then
    skip "$busybox is not the static busybox (Debian: busybox-static)"
fi
[ -x "$bin/tarnex-gadget-phone" ] || skip "$bin/tarnex-gadget-phone is not built (make native)"

# --- the kernel and udev, fetched once per version -------------------------------------------------------

mkdir -p "$cache/debs"

# The candidate version of a package, or nothing when apt does not know it.
candidate() {
    apt-cache show --no-all-versions "$1" 2>/dev/null | awk '/^Version:/ { print $2; exit }'
}

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

resolve() {
    kernel_pkg=$(kernel_package)
    kernel_version=${kernel_pkg:+$(candidate "$kernel_pkg")}
    udev_version=$(candidate udev)
}

resolve
if [ -z "$kernel_version" ] || [ -z "$udev_version" ]; then
    # A fresh machine may have no package lists yet.
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq >/dev/null 2>&1 || true
        resolve
    fi
fi

# Fetches PACKAGE=VERSION into the cache (once) and unpacks it into DIR (once); prints nothing.
fetch() {
    local package=$1 version=$2 dir=$3
    [ -d "$dir" ] && return 0
    local deb
    deb=$(find "$cache/debs" -maxdepth 1 -name "${package}_${version//:/%3a}_*.deb" | head -n 1)
    if [ -z "$deb" ]; then
        local tmp sandbox=()
        tmp=$(mktemp -d "$cache/debs/.fetch.XXXXXX")
        # apt's download user cannot write into a build tree; as root, download as root.
        [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
        if ! (cd "$tmp" && apt-get download -qq "${sandbox[@]}" "$package=$version" >/dev/null 2>"$tmp/log"); then
            cat "$tmp/log" >&2
            rm -rf "$tmp"
            return 1
        fi
        deb=$(find "$tmp" -maxdepth 1 -name '*.deb' | head -n 1)
        mv "$deb" "$cache/debs/"
        deb=$cache/debs/$(basename "$deb")
        rm -rf "$tmp"
    fi
    rm -rf "$dir.part"
    dpkg-deb -x "$deb" "$dir.part"
    mv "$dir.part" "$dir"
}

if [ -z "$kernel_version" ] || [ -z "$udev_version" ]; then
    skip "apt cannot resolve the kernel that linux-image-amd64 depends on, or udev (no package lists; run apt-get update)"
fi
kernel_dir=$cache/kernel/${kernel_pkg}_$kernel_version
udev_dir=$cache/udev/udev_$udev_version
mkdir -p "$cache/kernel" "$cache/udev"
fetch "$kernel_pkg" "$kernel_version" "$kernel_dir" || skip "cannot download $kernel_pkg $kernel_version"
fetch udev "$udev_version" "$udev_dir" || skip "cannot download udev $udev_version"
kver=$(basename "$(find "$kernel_dir/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -n 1)")
vmlinuz=$kernel_dir/boot/vmlinuz-$kver
[ -f "$vmlinuz" ] || skip "$kernel_pkg $kernel_version holds no /boot/vmlinuz-$kver"

# --- the initramfs: busybox, the modules, /init ------------------------------------------------------------

# Loaded in this order by /init; each with its dependencies (kmod reads them from modules.dep). overlay
# lets a list write into a build tree of the read-only host root (the x86 Wine tier, windows-x86.list).
modules=(virtio_pci 9pnet_virtio 9p configfs dummy_hcd libcomposite usb_f_fs usbmon overlay)
initrd_key=$( (echo "$kver ${modules[*]}"; cat "$here/init" "$busybox") | sha256sum | cut -c1-16)
initrd=$cache/initramfs-$kver-$initrd_key.cpio.gz
if [ ! -f "$initrd" ]; then
    [ -f "$kernel_dir/lib/modules/$kver/modules.dep" ] || depmod -b "$kernel_dir" "$kver"
    staging=$(mktemp -d)
    trap 'rm -rf "$staging"' EXIT
    mkdir -p "$staging/bin" "$staging/modules" "$staging/proc" "$staging/sys" "$staging/dev" "$staging/root"
    cp "$busybox" "$staging/bin/busybox"
    cp "$here/init" "$staging/init"
    chmod 755 "$staging/init"
    : >"$staging/modules.list"
    for m in "${modules[@]}"; do
        depends=$(modprobe -d "$kernel_dir" -S "$kver" --show-depends "$m" 2>/dev/null) ||
            skip "the kernel $kver has no module $m"
        while read -r verb path _; do
            [ "$verb" = insmod ] || continue # built into the kernel
            # busybox's insmod takes plain modules: newer kernels compress theirs.
            file=$(basename "$path")
            file=${file%.xz}
            file=${file%.zst}
            grep -qx "$file" "$staging/modules.list" && continue
            case $path in
            *.xz) xz -dc "$path" >"$staging/modules/$file" ;;
            *.zst) zstd -qdc "$path" >"$staging/modules/$file" ;;
            *) cp "$path" "$staging/modules/$file" ;;
            esac
            echo "$file" >>"$staging/modules.list"
        done <<<"$depends"
    done
    (cd "$staging" && find . | "$busybox" cpio -o -H newc -R 0:0 2>/dev/null) | gzip -1 >"$initrd.part"
    mv "$initrd.part" "$initrd"
    rm -rf "$staging"
    trap - EXIT
fi

# --- the results folder and what the guest reads from it -----------------------------------------------

# Only what a run leaves there goes: --results may name any folder.
rm -rf "$results/cases" "$results/summary.txt" "$results/console.log" "$results/guest.conf"
mkdir -p "$results/cases"
{
    printf 'TREE=%q\nBIN=%q\nLIST=%q\nUDEVADM=%q\nSHELL_MODE=%q\n' "$tree" "$bin" "$list" \
        "$udev_dir/bin/udevadm" "$shell_mode"
    printf 'CASES=('
    [ ${#cases[@]} -gt 0 ] && printf '%q ' "${cases[@]}"
    printf ')\n'
} >"$results/guest.conf"

# --- the machine -----------------------------------------------------------------------------------------

# KVM only where it really runs a stock guest: some hosts offer a /dev/kvm that runs only specially built
# kernels (-cpu host aborts, other models hang in the kernel's real-mode setup). Such a boot is noticed by
# the guest not reaching its init in time, remembered, and the machine runs under TCG.
accel=tcg
kvm_broken=$cache/kvm-does-not-boot
if [ "${TARNEX_VM_ACCEL:-}" = tcg ]; then
    accel=tcg
elif [ -r /dev/kvm ] && [ -w /dev/kvm ] && [ ! -f "$kvm_broken" ]; then
    accel=kvm
fi

console=$results/console.log
append="console=ttyS0 panic=-1 quiet loglevel=4 tarnex.results=$results tarnex.phones=$phones tarnex.guest=$here/guest.sh"
qemu_args=(
    -nodefaults -no-user-config -nographic -no-reboot
    -machine q35 -m "$memory" -smp 2
    -kernel "$vmlinuz" -initrd "$initrd" -append "$append"
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$results,mount_tag=results,security_model=none,multidevs=remap"
    -device isa-debug-exit,iobase=0xf4,iosize=0x04
    # The firmware keeps quiet on the console (it would clear the terminal).
    -fw_cfg name=etc/sercon-port,string=0
)
if [ "$shell_mode" = 1 ]; then
    qemu_args+=(-serial mon:stdio)
else
    # The console on this terminal as it happens, and in the results folder.
    qemu_args+=(-chardev "stdio,id=console,signal=off,logfile=$console" -serial chardev:console)
fi

# Boots once; returns QEMU's status (124 when the whole run took too long). With KVM, a guest that does not
# reach its init within a minute is taken for a /dev/kvm that cannot run it: the machine is stopped and
# that is remembered.
boot() {
    # Without SMAP: QEMU's software emulation (7.2) faults a 32-bit program's iret to its own stack as a
    # supervisor access when SMAP is on, and the kernel kills it (the 32-bit Wine, windows-x86.list).
    local accel=$1 cpu=(-cpu max,-smap)
    [ "$accel" = kvm ] && cpu=()
    if [ "$shell_mode" = 1 ]; then
        "$qemu" -accel "$accel" "${cpu[@]}" "${qemu_args[@]}"
        return $?
    fi
    timeout -k 10 "$run_timeout" "$qemu" -accel "$accel" "${cpu[@]}" "${qemu_args[@]}" </dev/null &
    qemu_pid=$!
    trap 'kill "$qemu_pid" 2>/dev/null; wait "$qemu_pid" 2>/dev/null; exit 130' INT TERM
    local watchdog=
    if [ "$accel" = kvm ]; then
        (
            for _ in $(seq 60); do
                grep -q 'tarnex-vm: init' "$console" 2>/dev/null && exit 0
                kill -0 "$qemu_pid" 2>/dev/null || exit 0
                sleep 1
            done
            touch "$kvm_broken"
            kill "$qemu_pid"
        ) &
        watchdog=$!
    fi
    local rc=0
    wait "$qemu_pid" || rc=$?
    [ -z "$watchdog" ] || wait "$watchdog" 2>/dev/null || true
    trap - INT TERM
    return $rc
}

echo "vm: $kernel_pkg $kernel_version (kernel $kver), udev $udev_version, $accel, ${memory} MiB; results in $results"
started=$(date +%s.%N)
rc=0
boot "$accel" || rc=$?
# KVM that ended the machine before its init (QEMU aborts with some CPU models) counts as not booting too.
if [ "$accel" = kvm ] && { [ -f "$kvm_broken" ] || ! grep -q 'tarnex-vm: init' "$console" 2>/dev/null; }; then
    echo "vm: KVM did not boot the kernel; TCG from now on (remove $kvm_broken to try again)"
    touch "$kvm_broken"
    rm -rf "$results/cases"/* "$console"
    rc=0
    boot tcg || rc=$?
fi
ended=$(date +%s.%N)
[ "$shell_mode" = 1 ] && exit 0

# isa-debug-exit ends QEMU with 2 * STATUS + 1; anything else means the guest never reported.
if [ $((rc % 2)) -eq 1 ]; then
    status=$(((rc - 1) / 2))
else
    status=2
fi

awk -v a="$started" -v b="$ended" 'BEGIN { printf "vm: the machine ran %.1f s in all, boot included\n", b - a }'
if [ "$status" -ne 0 ]; then
    for log in "$results"/cases/*.failed; do
        [ -e "$log" ] || continue
        echo "--- $(basename "$log" .failed) (end of its output):"
        tail -n 60 "${log%.failed}.log"
    done
    [ "$rc" -eq 124 ] && echo "vm: the machine ran out of its ${run_timeout} s (TARNEX_VM_TIMEOUT) and was stopped"
    if [ "$status" -eq 2 ]; then
        echo "vm: the machine did not report a result (QEMU status $rc); the end of its console:"
        tail -n 40 "$console" 2>/dev/null || true
    fi
    echo "vm: FAILED; console: $console, case outputs: $results/cases/"
fi
exit "$status"

#!/usr/bin/env bash
# Installs what the build, the tests, the benchmarks and the demo need on Debian 12, and nothing that is
# already there. Safe to run any number of times; a machine that has everything makes no apt call at all.
set -euo pipefail

packages=(
    # native builds, tests and benchmarks
    cmake ninja-build make g++ clang libclang-rt-14-dev clang-format
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    # the Linux driver library over libusb, and the emulated phone its tests run it against (umockdev)
    pkg-config libusb-1.0-0-dev libumockdev-dev umockdev
    # the Linux window: Qt 6 Widgets (with its platform plugins and the icon reader), OpenGL headers its
    # CMake files ask for
    qt6-base-dev libgl-dev
    # references the CRC benchmark compares against (linked into the benchmark only)
    zlib1g-dev libdeflate-dev
    # the Windows cross builds (x64 and x86); the posix-thread compilers give std::thread and std::mutex
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
    # Windows programs and tests run under Wine: x64 ones under the 64-bit Wine, x86 ones under the 32-bit
    # Wine (wine32:i386, from dpkg's i386 architecture, added below); each tier calls its own loader
    # (scripts/wine-loader.sh), so the two stay installed side by side
    wine wine64 wine32:i386
    # the window tests and the demos (Wine and Qt): a virtual X display, screenshots, a CJK font for the
    # dialogs' Chinese texts, and a check that the user's display answers
    xvfb imagemagick fonts-wqy-zenhei xdotool
    # the kernel USB tier: a virtual machine (QEMU) whose initramfs is made of busybox and the kernel's
    # modules (kmod resolves their dependencies); its kernel and udev are fetched into the build tree, never
    # installed here
    qemu-system-x86 busybox-static kmod
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        sudo="sudo"
    else
        echo "install-deps: these packages are missing and I am not root: ${missing[*]}" >&2
        exit 1
    fi
fi
export DEBIAN_FRONTEND=noninteractive
# The 32-bit Wine comes from the i386 architecture, which a fresh amd64 machine does not know yet.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "install-deps: adding dpkg's i386 architecture for the 32-bit Wine"
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

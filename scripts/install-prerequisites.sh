#!/usr/bin/env bash
# Installs, with apt-get, what building and testing the project needs on a
# Debian 12 machine, skipping what is already there. Run as root.
# Usage: install-prerequisites.sh [build|test|device|all]
#   build  compiler and CMake only (enough for the demo)
#   test   also GoogleTest, valgrind, strace, shellcheck, clang-format, systemd,
#          busybox, e2fsprogs, libsodium and signify (signed updates), mandoc,
#          squashfs-tools (images to mount and check), clang and libFuzzer
#          (the fuzz preset)
#   device what the device box (tests/device) runs on the host: qemu-system-arm
#          and the tools that make the SD card, the USB stick and the images
#   all    all of these, and the ARM cross compiler, qemu-user, and lintian for
#          the release's Debian package (the default)
set -euo pipefail

build=(g++ cmake ninja-build util-linux coreutils)
test=(libgtest-dev googletest valgrind strace shellcheck clang-format systemd busybox e2fsprogs
    libsodium-dev signify-openbsd mandoc squashfs-tools clang libfuzzer-14-dev)
cross=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user-static lintian git)
device=(qemu-system-arm device-tree-compiler squashfs-tools dosfstools mtools e2fsprogs cpio fdisk
    gzip)

case ${1:-all} in
build) wanted=("${build[@]}") ;;
test) wanted=("${build[@]}" "${test[@]}") ;;
device) wanted=("${device[@]}") ;;
all) wanted=("${build[@]}" "${test[@]}" "${cross[@]}" "${device[@]}") ;;
*)
    echo "usage: $0 [build|test|device|all]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$p")
done
if ((${#missing[@]} > 0)); then
    echo "== installing ${missing[*]}" >&2
    # Someone else's apt-get may hold the lock: wait for it, and retry.
    for attempt in 1 2 3; do
        apt-get -o DPkg::Lock::Timeout=900 update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
                --no-install-recommends "${missing[@]}" >/dev/null && break
        ((attempt < 3)) || exit 1
        echo "== apt-get failed (attempt $attempt); retrying" >&2
        sleep 10
    done
fi

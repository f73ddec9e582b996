#!/usr/bin/env bash
# Installs, with apt-get, what building and testing the project needs on a
# Debian 12 machine, skipping what is already there. Run as root.
# Usage: install-prerequisites.sh [build|test|all]
#   build  compiler and CMake only (enough for the demo)
#   test   also GoogleTest, valgrind, strace, shellcheck, clang-format, systemd,
#          busybox, e2fsprogs
#   all    also the ARM cross compiler, qemu, and lintian for the release's
#          Debian package (the default)
set -euo pipefail

build=(g++ cmake ninja-build util-linux coreutils)
test=(libgtest-dev googletest valgrind strace shellcheck clang-format systemd busybox e2fsprogs)
cross=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user-static lintian git)

case ${1:-all} in
build) wanted=("${build[@]}") ;;
test) wanted=("${build[@]}" "${test[@]}") ;;
all) wanted=("${build[@]}" "${test[@]}" "${cross[@]}") ;;
*)
    echo "usage: $0 [build|test|all]" >&2
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
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

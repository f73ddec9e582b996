#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, builds everything and runs
# every test: static checks, the host build, the sanitizer build, the fuzz
# targets (libFuzzer, a bounded number of runs each), the ARMv6
# dynamic and static builds under qemu -cpu arm1176, the negative controls
# (power cuts, ARMv6), the device in a box (the static build on an emulated
# ARM1176 board: update, power cuts, sticks, signed updates, trial boots) and
# its media faults (blkdebug), the release built twice in two
# directories and compared, and a vendor-SDK style build tested under qemu
# -cpu arm1176. Run as root (apt-get, mount namespaces).
set -euo pipefail
shopt -s globstar
cd "$(dirname "$0")/.."

bash scripts/install-prerequisites.sh all

stages=0
stage() {
    echo "== $*" >&2
    local start=$SECONDS
    "$@"
    stages=$((stages + 1))
    echo "== done in $((SECONDS - start)) s: $*" >&2
}

stage shellcheck -x scripts/*.sh tests/**/*.sh .ci/run
stage shellcheck -s sh tests/device/guest/* dist/initramfs/init
stage shellcheck -s sh dist/init.d/init-updater.in dist/sbin/kestran-boot-image
stage shellcheck -s sh dist/sign/kestran-sign tests/fuzz/make-seeds.sh
stage clang-format --dry-run -Werror src/*.cpp src/*.hpp tests/unit/*.cpp tests/unit/*.hpp tests/fuzz/*.cpp tests/fuzz/*.hpp
stage mandoc -T lint -W warning man/init-updater.8 man/kestran-boot-image.8 man/kestran-sign.1
stage cmake --workflow --preset host --fresh
stage cmake --workflow --preset sanitize --fresh
stage cmake --workflow --preset fuzz --fresh
stage bash tests/controls/negative-control.sh powercut
stage bash scripts/armv6.sh
stage bash tests/controls/negative-control.sh armv6
stage bash tests/device/run.sh
stage bash tests/controls/check-reproducible.sh
stage bash scripts/vendor-sdk.sh
echo "stages: $stages passed, 0 failed"

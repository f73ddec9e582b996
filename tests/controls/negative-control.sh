#!/usr/bin/env bash
# Shows that the checks have teeth. Usage: negative-control.sh [powercut|armv6|all]
#
# powercut: the power-cut test, run against a plain shell script that does the
# tool's work (two sha512sum, then cp current fallback, cp update current)
# without flushing anything, must report lost images.
#
# armv6: the tool is built exactly as for the target, but linked against
# Debian's own armhf runtime (ARMv7, Thumb-2):
#  1. with the post-link check on, the build must fail, naming the cause;
#  2. with the check off, a few system scenarios run under
#     qemu-arm-static -cpu arm1176 must fail (SIGILL), while
#  3. the same binary under qemu's default CPU passes them, so it is the
#     emulated ARMv6 CPU that catches it;
#  4. with a proper ARMv6 sysroot (the project's runtime) given as
#     CMAKE_SYSROOT but Debian's compiler, whose own start files and libgcc
#     are ARMv7, the build is rejected too, and the advice names that libgcc
#     and ARMV6_CROSS_PREFIX instead of asking for the sysroot already given.
# Exit status 0 when all of these hold. Run as root from the source tree,
# after the ARMv6 runtime is built.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() {
    echo "negative control: FAIL: $*" >&2
    exit 1
}

powercut() {
    local dir=build/powercut-control
    rm -rf "$dir"
    mkdir -p "$dir"
    cat >"$dir/plain-update" <<'EOF'
#!/bin/sh
# The tool's work as a plain script: nothing is flushed, no marker is kept.
# (Its version line, as the tables read a build's options from it:)
# init-updater 0
echo "Firmware update found."
current=$(/bin/sha512sum /mnt/imgpart/kestran_current.sqsh 2>/dev/null | cut -d' ' -f1)
update=$(/bin/sha512sum /mnt/usb/kestran.fir | cut -d' ' -f1)
[ "$current" != "$update" ] || exit 0
echo "Updating Firmware."
echo "Copying the new firmware."
[ -z "$current" ] || cp /mnt/imgpart/kestran_current.sqsh /mnt/imgpart/kestran_fallback.sqsh
cp /mnt/usb/kestran.fir /mnt/imgpart/kestran_current.sqsh
echo "Update complete."
EOF
    chmod +x "$dir/plain-update"
    if POWERCUT_PASSES=update POWERCUT_CUTS=20 bash tests/system/powercut.sh "$dir/plain-update" \
        >"$dir/powercut.log" 2>&1; then
        fail "the power-cut test passed a script that flushes nothing"
    fi
    grep -v -e '^FAIL' -e '^  reproduce' "$dir/powercut.log" >&2
    grep -qE '^  failure a: [1-9]' "$dir/powercut.log" ||
        fail "the power-cut test found no cut that lost both images"
    grep -qE '^  failure b: [1-9]' "$dir/powercut.log" ||
        fail "the power-cut test found no cut after which a broken image is booted"
    echo "negative control: the power-cut test reports lost images for a script without flushes: ok"
}

armv6() {
    local build=build/armv6-distro-runtime
    local scenarios=tests/system/scenarios.sh
    local sysroot=/usr/arm-linux-gnueabihf

    rm -rf "$build"
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabihf.cmake \
        -DARMV6_RUNTIME=distro -DBUILD_TESTING=OFF >/dev/null
    if cmake --build "$build" >"$build/check.log" 2>&1; then
        fail "the post-link check accepted an ARMv7-linked binary"
    fi
    grep -q "is not ARMv6 code" "$build/check.log" || fail "the build failed for another reason"
    grep -q "Tag_CPU_arch is 'v7'" "$build/check.log" || fail "the check did not name the cause"
    echo "negative control: post-link check rejected the ARMv7-linked binary: ok"

    cmake -S . -B "$build" -DUPDATER_REQUIRE_ARMV6=OFF >/dev/null
    cmake --build "$build" >/dev/null
    # (A few rows show it: an update, a kept fallback, a refusal, a stop.)
    export SCENARIOS="identical different fallback-replaced no-update-file term-during-install"
    if bash "$scenarios" "$build/init-updater" qemu-arm-static -cpu arm1176 -L "$sysroot" \
        >"$build/arm1176.log" 2>&1; then
        fail "the ARMv7-linked binary passed under -cpu arm1176"
    fi
    grep -q "scenarios: 0 passed" "$build/arm1176.log" || fail "some scenarios passed under -cpu arm1176"
    echo "negative control: under -cpu arm1176 every scenario fails: ok"

    bash "$scenarios" "$build/init-updater" qemu-arm-static -L "$sysroot" >"$build/default-cpu.log" 2>&1 ||
        fail "the ARMv7-linked binary failed under qemu's default CPU too: $(tail -n 1 "$build/default-cpu.log")"
    echo "negative control: under qemu's default CPU the same binary passes: ok"

    local runtime sysroot_build=build/armv6-sysroot-debian-compiler libgcc advice want
    runtime=$(bash scripts/build-armv6-runtime.sh --print-dir)
    rm -rf "$sysroot_build"
    cmake -S . -B "$sysroot_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabihf.cmake \
        -DCMAKE_SYSROOT="$runtime" -DBUILD_TESTING=OFF >/dev/null
    if cmake --build "$sysroot_build" >"$sysroot_build/check.log" 2>&1; then
        fail "Debian's compiler with an ARMv6 sysroot passed the post-link check"
    fi
    libgcc=$(arm-linux-gnueabihf-g++ -print-libgcc-file-name)
    advice=$(tr -s ' \n' ' ' <"$sysroot_build/check.log")
    for want in "is not ARMv6 code" "CMAKE_SYSROOT=$runtime) was used" "$libgcc" "ARMV6_CROSS_PREFIX"; do
        [[ $advice == *"$want"* ]] || fail "the advice for a given sysroot does not say '$want'"
    done
    echo "negative control: Debian's compiler with an ARMv6 sysroot is rejected with fitting advice: ok"
    sed -n '/CMake Error at/,/^$/p' "$sysroot_build/check.log" >&2
}

case ${1:-all} in
powercut) powercut ;;
armv6) armv6 ;;
all)
    powercut
    armv6
    ;;
*)
    echo "usage: $0 [powercut|armv6|all]" >&2
    exit 2
    ;;
esac

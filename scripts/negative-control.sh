#!/usr/bin/env bash
# Shows that the ARMv6 checks have teeth. The tool is built exactly as for
# the target, but linked against Debian's own armhf runtime (ARMv7, Thumb-2):
#  1. with the post-link check on, the build must fail, naming the cause;
#  2. with the check off, the system scenarios run under
#     qemu-arm-static -cpu arm1176 must fail (SIGILL), while
#  3. the same binary under qemu's default CPU passes them, so it is the
#     emulated ARMv6 CPU that catches it;
#  4. with a proper ARMv6 sysroot (the project's runtime) given as
#     CMAKE_SYSROOT but Debian's compiler, whose own start files and libgcc
#     are ARMv7, the build is rejected too, and the advice names that libgcc
#     and ARMV6_CROSS_PREFIX instead of asking for the sysroot already given.
# Exit status 0 when all four hold. Run from the source tree, after the ARMv6
# runtime is built.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/armv6-distro-runtime
scenarios=tests/system/scenarios.sh
sysroot=/usr/arm-linux-gnueabihf
fail() {
    echo "negative control: FAIL: $*" >&2
    exit 1
}

rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabihf.cmake \
    -DARMV6_RUNTIME=distro -DUPDATER_TESTS=OFF >/dev/null
if cmake --build "$build" >"$build/check.log" 2>&1; then
    fail "the post-link check accepted an ARMv7-linked binary"
fi
grep -q "is not ARMv6 code" "$build/check.log" || fail "the build failed for another reason"
grep -q "Tag_CPU_arch is 'v7'" "$build/check.log" || fail "the check did not name the cause"
echo "negative control: post-link check rejected the ARMv7-linked binary: ok"

cmake -S . -B "$build" -DUPDATER_REQUIRE_ARMV6=OFF >/dev/null
cmake --build "$build" >/dev/null
if bash "$scenarios" "$build/init-updater" qemu-arm-static -cpu arm1176 -L "$sysroot" \
    >"$build/arm1176.log" 2>&1; then
    fail "the ARMv7-linked binary passed under -cpu arm1176"
fi
grep -q "scenarios: 0 passed" "$build/arm1176.log" || fail "some scenarios passed under -cpu arm1176"
echo "negative control: under -cpu arm1176 every scenario fails: ok"

bash "$scenarios" "$build/init-updater" qemu-arm-static -L "$sysroot" >"$build/default-cpu.log" 2>&1 ||
    fail "the ARMv7-linked binary failed under qemu's default CPU too: $(tail -n 1 "$build/default-cpu.log")"
echo "negative control: under qemu's default CPU the same binary passes: ok"

runtime=$(bash scripts/build-armv6-runtime.sh --print-dir)
sysroot_build=build/armv6-sysroot-debian-compiler
rm -rf "$sysroot_build"
cmake -S . -B "$sysroot_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabihf.cmake \
    -DCMAKE_SYSROOT="$runtime" -DUPDATER_TESTS=OFF >/dev/null
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

#!/usr/bin/env bash
# Builds and tests the tool as a device maker with a vendor SDK does. The
# project's ARMv6 runtime is laid out the way such an SDK ships one, in
# build/vendor-sdk/sdk:
#   sysroot/                      C library, libstdc++, libsodium, kernel
#                                 headers
#   lib/gcc/<triple>/12/          the compiler's own start files (crtbegin,
#                                 crtend) and libgcc, beside the compiler
#   bin/<triple>-gcc, -g++        the compiler: wrapper scripts running
#                                 Debian's cross compiler with what makes it
#                                 use only the SDK's start files, libgcc and
#                                 headers, ARMv6 by default
#   bin/<triple>-ar, -readelf...  Debian's cross binutils
# with <triple> armv6-vendor-linux-gnueabihf. The build is configured with
# the toolchain file, CMAKE_SYSROOT and ARMV6_CROSS_PREFIX only (and
# UPDATER_TEST_VARIANTS=OFF: what the SDK proves is its toolchain and
# sysroot, with the main tool; the options' ARMv6 code is tested in the static
# build), and the unit tests and ten rows of the scenario table (an update,
# the fallback replaced, full partitions, no update, a FIFO, a kill, a closed
# output, a spoilt copy) run under qemu-arm-static -cpu arm1176: the same
# compiler and runtime run the whole table in the ARMv6 builds of
# scripts/armv6.sh.
# Run as root (the system tests use mount namespaces), after the ARMv6 runtime
# is built (scripts/armv6.sh or scripts/build-armv6-runtime.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

readonly triple=armv6-vendor-linux-gnueabihf debian=arm-linux-gnueabihf
readonly top=$PWD/build/vendor-sdk
readonly sdk=$top/sdk build=$top/build
runtime=$(bash scripts/build-armv6-runtime.sh --print-dir)
readonly runtime
[[ -f $runtime/kestran-armv6-runtime ]] ||
    { echo "vendor-sdk: no ARMv6 runtime in $runtime; run scripts/armv6.sh first" >&2; exit 1; }
# The SDK ships libsodium in its sysroot, as the runtime has it.
bash scripts/build-armv6-libsodium.sh "$runtime" >/dev/null

rm -rf "$top"
mkdir -p "$sdk/bin" "$sdk/lib/gcc/$triple"
# Hard links where the cache is on the same file system, copies elsewhere.
cp -al "$runtime" "$sdk/sysroot" 2>/dev/null ||
    { rm -rf "$sdk/sysroot" && cp -a "$runtime" "$sdk/sysroot"; }
rm -f "$sdk/sysroot/kestran-armv6-runtime" "$sdk/sysroot/.complete" \
    "$sdk/sysroot/.libsodium-complete"
mv "$sdk/sysroot/usr/lib/gcc/$debian/12" "$sdk/lib/gcc/$triple/12"
rm -r "$sdk/sysroot/usr/lib/gcc"

# The compiler: Debian's, with the SDK's start files, libgcc and headers
# named first and Debian's own headers left out.
gcc_include=$("$debian-gcc" -print-file-name=include)
sysroot=$sdk/sysroot
cxx=$sysroot/usr/include/c++/12
c_flags="-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm -B$sdk/lib/gcc/$triple/12/ \
-B$sysroot/usr/lib/ -B$sysroot/lib/ -nostdinc"
c_includes="-isystem $gcc_include -isystem $sysroot/usr/include"
cxx_includes="-isystem $cxx -isystem $cxx/$debian -isystem $cxx/backward $c_includes"
wrapper() {
    printf '#!/bin/sh\n# %s: the SDK compiler (Debian %s steered to the SDK).\nexec %s %s %s "$@"\n' \
        "$triple-$1" "$debian-$1" "$debian-$1" "$c_flags" "$2" >"$sdk/bin/$triple-$1"
    chmod +x "$sdk/bin/$triple-$1"
}
wrapper gcc "$c_includes"
wrapper g++ "$cxx_includes"
for tool in addr2line ar as ld nm objcopy objdump ranlib readelf size strings strip; do
    ln -s "$(command -v "$debian-$tool")" "$sdk/bin/$triple-$tool"
done

fail() {
    echo "vendor-sdk: FAIL: $*" >&2
    exit 1
}
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabihf.cmake \
    -DCMAKE_SYSROOT="$sysroot" -DARMV6_CROSS_PREFIX="$sdk/bin/$triple-" -DUPDATER_TEST_VARIANTS=OFF \
    -DUPDATER_FEW_SCENARIOS=ON \
    >"$top/build.log" 2>&1 ||
    fail "configure failed: $(tail -n 20 "$top/build.log")"
cmake --build "$build" >>"$top/build.log" 2>&1 || fail "build failed: $(tail -n 20 "$top/build.log")"
grep "ARMv6 (v6" "$top/build.log" >&2
grep -q "\"-cpu\" \"arm1176\" \"-L\" \"$sysroot\"" "$build/tests/CTestTestfile.cmake" ||
    fail "the tests would not run under qemu-arm-static -cpu arm1176 with the SDK's sysroot"
ctest --test-dir "$build" --output-on-failure

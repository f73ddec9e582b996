#!/usr/bin/env bash
# Builds an ARMv6 hard-float runtime (a sysroot) for the target devices
# (ARM1176JZF-S class: ARMv6, VFPv2, hard-float EABI, glibc) from Debian's
# own sources with Debian's cross compiler:
#   glibc 2.36                           from glibc-source
#   libgcc, crtbegin/crtend, libstdc++   from gcc-12-source
# Debian's arm-linux-gnueabihf runtime is ARMv7/Thumb-2 and dies with SIGILL
# on an ARMv6 CPU; this one is ARM-mode ARMv6 throughout. The compiler itself
# is Debian's: only the target libraries are built.
#
# Usage: build-armv6-runtime.sh [--print-dir]
#   Builds into $KESTRAN_ARMV6_CACHE (default ~/.cache/kestran-armv6) and
#   prints the runtime directory on its last line. A complete earlier build
#   of the same inputs is reused; a second run waits for a build under way.
#   --print-dir prints the directory only.
# Needs root for apt-get when packages are missing. Its time is in
# docs/measurements.md.
set -euo pipefail

readonly triple=arm-linux-gnueabihf
readonly cpu_flags="-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm"
readonly gcc_version=12
# No debug information: nothing debugs the runtime itself, and without it
# the build is quicker.
readonly opt_flags="-O2"
readonly cache=${KESTRAN_ARMV6_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kestran-armv6}
readonly runtime=$cache/runtime
jobs=$(nproc)
readonly jobs

if [[ ${1:-} == --print-dir ]]; then
    echo "$runtime"
    exit 0
fi

readonly packages=(
    "g++-$triple" glibc-source "gcc-$gcc_version-source" bison flex gawk texinfo python3
    libgmp-dev libmpfr-dev libmpc-dev make xz-utils file "binutils-$triple"
)

log() { echo "== $*" >&2; }

install_packages() {
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return
    log "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What the runtime is built from: the packages' versions and this script.
fingerprint() {
    dpkg-query -W -f='${Package} ${Version}\n' glibc-source "gcc-$gcc_version-source" \
        "g++-$triple" "linux-libc-dev-armhf-cross"
    sha256sum "${BASH_SOURCE[0]}" | cut -d' ' -f1
}

# Runs a build step with its output in a log, showing the log's tail on
# failure. The step runs as a job of its own, so that its first failing
# command ends it (a function tested by "if" would run on past it).
step() {
    local name=$1 logfile=$cache/logs/$1.log start=$SECONDS
    shift
    log "$name"
    mkdir -p "$cache/logs"
    "$@" >"$logfile" 2>&1 &
    if ! wait $!; then
        tail -n 40 "$logfile" >&2
        echo "build-armv6-runtime: step '$name' failed; full log: $logfile" >&2
        exit 1
    fi
    log "$name: $((SECONDS - start)) s"
}

extract_sources() {
    rm -rf "$cache/src"
    mkdir -p "$cache/src"
    tar -xJf "/usr/src/gcc-$gcc_version"/gcc-*.tar.xz -C "$cache/src"
    tar -xJf /usr/src/glibc/glibc-*.tar.xz -C "$cache/src"
    mv "$cache"/src/gcc-[0-9]* "$cache/src/gcc"
    mv "$cache"/src/glibc-[0-9]* "$cache/src/glibc"
}

# Linux UAPI headers: architecture headers, the same for every ARM CPU.
install_kernel_headers() {
    mkdir -p "$runtime/usr/include"
    (
        cd "/usr/$triple/include"
        dpkg -L "linux-libc-dev-armhf-cross" | sed -n "s#^/usr/$triple/include/##p" |
            while IFS= read -r f; do [[ -f $f ]] && echo "$f"; done |
            tar -cf - -T - | tar -xf - -C "$runtime/usr/include"
    )
}

# The target headers libgcc takes from a configured gcc (tm.h, options.h,
# insn-*.h, arm-isa.h, arm-cpu.h, libgcc.mvars), made without building cc1.
configure_gcc_headers() {
    local b=$cache/build/gcc
    mkdir -p "$b/gcc" "$b/gcc/include" "$b/build-x86_64-linux-gnu/libiberty"
    (cd "$b/build-x86_64-linux-gnu/libiberty" && "$cache/src/gcc/libiberty/configure" \
        --build=x86_64-linux-gnu --host=x86_64-linux-gnu && make -j"$jobs")
    cd "$b/gcc"
    "$cache/src/gcc/gcc/configure" --build=x86_64-linux-gnu --host=x86_64-linux-gnu \
        --target="$triple" --prefix=/usr --with-arch=armv6 --with-fpu=vfp \
        --with-float=hard --with-mode=arm --enable-languages=c,c++ --disable-multilib \
        --enable-shared --with-glibc-version=2.36
    make -j"$jobs" tconfig.h tm.h tm_p.h options.h insn-constants.h insn-flags.h \
        insn-modes.h arm-isa.h arm-cpu.h
    # libgcc.mvars normally waits for the driver; only its variables are needed.
    # The target's C library is there (glibc), so libgcc is built against it.
    make -o xgcc -o specs -o config.status -o Makefile libgcc.mvars
    sed -i 's/^INHIBIT_LIBC_CFLAGS = .*/INHIBIT_LIBC_CFLAGS =/' libgcc.mvars
}

# libgcc is configured once (with libgcc_s) and built in two parts, in the
# directory where libstdc++ looks for its gthr-default.h.
readonly libgcc_dir=$cache/build/gcc/$triple/libgcc

# libgcc's static parts (libgcc.a, libgcc_eh.a, crtbegin*/crtend*), against
# the C library headers of the same glibc version, for glibc to link with.
build_libgcc_static() {
    rm -rf "$libgcc_dir"
    mkdir -p "$libgcc_dir"
    cd "$libgcc_dir"
    CC="$triple-gcc $cpu_flags" CFLAGS="$opt_flags" \
        "$cache/src/gcc/libgcc/configure" --build=x86_64-linux-gnu --host="$triple" \
        --target="$triple" --prefix=/usr --with-glibc-version=2.36 --enable-shared
    make -j"$jobs" libgcc.a libgcc_eh.a libgcc-extra-parts
}

# glibc without what nothing here uses: its programs, the iconv modules, the
# test-support library and libcrypt.
build_glibc() {
    local b=$cache/build/glibc
    rm -rf "$b"
    mkdir -p "$b"
    cd "$b"
    sed -i '/^all-subdirs = /,/elf$/{s/ iconvdata / /;s/ support\([[:space:]]\)/\1/}' "$cache/src/glibc/Makeconfig"
    echo "build-programs=no" >configparms
    CC="$triple-gcc $cpu_flags -B$libgcc_dir/" CXX="" CFLAGS="$opt_flags" MAKEINFO=: \
        "$cache/src/glibc/configure" --prefix=/usr --build=x86_64-linux-gnu --host="$triple" \
        --with-headers="$runtime/usr/include" --enable-kernel=3.2 --disable-werror \
        --disable-profile --disable-nscd --disable-build-nscd --without-selinux \
        --disable-timezone-tools --without-gd --disable-crypt libc_cv_slibdir=/lib
    make -j"$jobs"
    make install install_root="$runtime" MAKEINFO=:
}

# Compiler flags that take headers, start files and libraries from the
# runtime only, never from Debian's armhf ones.
steered_cflags() {
    local gcc_include
    gcc_include=$("$triple-gcc" -print-file-name=include)
    echo "--sysroot=$runtime -B$runtime/usr/lib/gcc/$triple/$gcc_version/ -B$runtime/usr/lib/" \
        "-B$runtime/lib/ -nostdinc -isystem $gcc_include -isystem $runtime/usr/include"
}

# The rest of libgcc, libgcc_s.so.1 among it, against the new glibc.
build_libgcc_shared() {
    cd "$libgcc_dir"
    make -j"$jobs" CC="$triple-gcc $cpu_flags $(steered_cflags) -B$libgcc_dir/"
    local gcclib=$runtime/usr/lib/gcc/$triple/$gcc_version
    mkdir -p "$gcclib"
    cp crt*.o libgcc.a libgcc_eh.a libgcov.a "$gcclib/"
    cp libgcc_s.so.1 "$runtime/lib/"
    # The linker script lets -lgcc_s fall back to libgcc.a for helpers that
    # libgcc_s does not export, such as __sync_val_compare_and_swap_1.
    echo "GROUP ( libgcc_s.so.1 -lgcc )" >"$runtime/usr/lib/libgcc_s.so"
    cp "$cache/build/gcc/gcc/include/unwind.h" "$gcclib/" 2>/dev/null || true
}

build_libstdcxx() {
    local b=$cache/build/gcc/$triple/libstdc++-v3
    rm -rf "$b"
    mkdir -p "$b"
    cd "$b"
    local flags
    flags="$cpu_flags $(steered_cflags)"
    CC="$triple-gcc $flags" CXX="$triple-g++ $flags" CFLAGS="$opt_flags" CXXFLAGS="$opt_flags" \
        "$cache/src/gcc/libstdc++-v3/configure" --build=x86_64-linux-gnu --host="$triple" \
        --target="$triple" --prefix=/usr --disable-multilib --enable-shared --enable-static \
        --disable-libstdcxx-pch --disable-nls --disable-werror \
        --with-gxx-include-dir=/usr/include/c++/$gcc_version
    make -j"$jobs"
    make install DESTDIR="$runtime"
    # Keep the libraries where the link steering looks: /usr/lib.
    rm -f "$runtime"/usr/lib/*.la
}

main() {
    # One build at a time in the cache (with libsodium's): another run waits
    # for it, then reuses what it built.
    mkdir -p "$cache"
    local lock
    exec {lock}>>"$cache/.lock"
    flock "$lock"
    install_packages
    local want
    want=$(fingerprint)
    if [[ -f $runtime/.complete && $(cat "$runtime/.complete") == "$want" ]]; then
        log "reusing the complete runtime in $runtime"
        echo "$runtime"
        return
    fi
    local start=$SECONDS
    rm -rf "$runtime" "$cache/build"
    mkdir -p "$runtime"
    step extract-sources extract_sources
    step kernel-headers install_kernel_headers
    step gcc-target-headers configure_gcc_headers
    step libgcc-static build_libgcc_static
    step glibc build_glibc
    step libgcc-shared build_libgcc_shared
    step libstdc++ build_libstdcxx
    local file
    for file in lib/libc.so.6 lib/libgcc_s.so.1 usr/lib/libc.a usr/lib/libstdc++.so.6 \
        usr/lib/libstdc++.a "usr/lib/gcc/$triple/$gcc_version/libgcc.a"; do
        [[ -f $runtime/$file ]] || {
            echo "build-armv6-runtime: the runtime has no $file" >&2
            exit 1
        }
    done
    echo "This directory is an ARMv6 hard-float runtime built by build-armv6-runtime.sh." \
        >"$runtime/kestran-armv6-runtime"
    echo "$want" >"$runtime/.complete"
    log "runtime built in $((SECONDS - start)) s"
    echo "$runtime"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    main "$@"
fi

#!/usr/bin/env bash
# Builds libsodium into the ARMv6 runtime made by build-armv6-runtime.sh, for
# the tool to verify signatures with: a static libsodium.a of ARM-mode ARMv6
# code with VFPv2 and hard-float arguments, and its headers:
#   usr/lib/libsodium.a, usr/include/sodium.h, usr/include/sodium/
# The source is Debian's libsodium source package of the archive the machine
# uses, with Debian's patches applied (apt-get source; a deb-src entry that
# mirrors the machine's Debian entries is added when there is none). The
# compiler is Debian's arm-linux-gnueabihf-gcc, steered to the runtime's
# headers, start files and libraries the way the runtime's own libraries are.
#
# Usage: build-armv6-libsodium.sh [RUNTIME]
#   RUNTIME is a complete ARMv6 runtime (default: the directory that
#   build-armv6-runtime.sh --print-dir names). Prints it on its last line. A
#   build from the same source version by the same script is reused; logs go
#   to $KESTRAN_ARMV6_CACHE/logs/libsodium.log. Needs root for apt-get when
#   packages or source lists are missing. About half a minute on two cores.
set -euo pipefail

readonly triple=arm-linux-gnueabihf
readonly cpu_flags="-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm"
# Each function and object in a section of its own, so that a program linked
# with --gc-sections keeps only what it calls (a verifier: a small part), and
# the minimal build (the high-level APIs only, no deprecated ones).
readonly section_flags="-ffunction-sections -fdata-sections"
readonly configure_flags="--disable-shared --enable-static --enable-minimal"
readonly gcc_version=12
readonly cache=${KESTRAN_ARMV6_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kestran-armv6}
readonly src_dir=$cache/libsodium-src build_dir=$cache/build/libsodium
readonly logfile=$cache/logs/libsodium.log
readonly sources_file=/etc/apt/sources.list.d/kestran-src.sources
readonly packages=(dpkg-dev autoconf automake libtool make xz-utils "gcc-$triple" "binutils-$triple")
jobs=$(nproc)
readonly jobs

log() { echo "== $*" >&2; }

die() {
    echo "build-armv6-libsodium: $*" >&2
    exit 1
}

apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "$@"
}

install_packages() {
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return
    log "installing ${missing[*]}"
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The newest libsodium source version the source lists know, or nothing.
source_version() {
    apt-cache showsrc --only-source libsodium 2>/dev/null | sed -n 's/^Version: //p' |
        sort -V | tail -n 1
}

# deb-src stanzas for the machine's deb entries of the Debian release CODENAME
# (suites CODENAME and CODENAME-*), from deb822 .sources files and one-line
# sources.list files alike, with the same URIs, suites, components and keys.
debian_src_stanzas() {
    local codename=$1 f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f $f && $f != "$sources_file" ]] || continue
        awk -v codename="$codename" '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && enabled != "no" && suites != "") {
                    print "Types: deb-src"
                    print "URIs: " uris
                    print "Suites: " suites
                    print "Components: " components
                    if (signed != "") print "Signed-By: " signed
                    print ""
                }
                types = uris = suites = components = signed = enabled = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^#/ { next }
            {
                key = tolower($1); sub(/:$/, "", key)
                value = $0; sub(/^[^:]*:[ \t]*/, "", value)
                if (key == "types") types = value
                else if (key == "uris") uris = value
                else if (key == "components") components = value
                else if (key == "signed-by") signed = value
                else if (key == "enabled") enabled = tolower(value)
                else if (key == "suites") {
                    n = split(value, s, /[ \t]+/)
                    for (i = 1; i <= n; i++)
                        if (s[i] == codename || index(s[i], codename "-") == 1)
                            suites = suites (suites == "" ? "" : " ") s[i]
                }
            }
            END { flush() }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $f ]] || continue
        # deb [options] URI SUITE COMPONENT...
        awk -v codename="$codename" '
            $1 != "deb" { next }
            {
                i = 2; signed = ""
                if ($2 ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /^\[?signed-by=/) { signed = $i; sub(/^\[?signed-by=/, "", signed); sub(/\]$/, "", signed) }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                uri = $i; suite = $(i + 1); components = ""
                for (j = i + 2; j <= NF; j++) components = components (components == "" ? "" : " ") $j
                if (suite != codename && index(suite, codename "-") != 1) next
                print "Types: deb-src"
                print "URIs: " uri
                print "Suites: " suite
                print "Components: " components
                if (signed != "") print "Signed-By: " signed
                print ""
            }' "$f"
    done
}

# Makes libsodium's source package known to apt: adds deb-src entries for
# the machine's Debian release when none are configured, and updates the
# lists when they do not have it yet, or always with --update.
ensure_source_lists() {
    [[ ${1:-} != --update && -n $(source_version) ]] && return
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [[ -n $codename ]] || die "cannot tell the Debian release from /etc/os-release"
    # shellcheck disable=SC2016 # $(RELEASE) is apt's field, not the shell's
    if ! apt-get indextargets --format '$(RELEASE)' 'Created-By: Sources' |
        grep -Eqx "$codename(-.*)?"; then
        local stanzas
        stanzas=$(debian_src_stanzas "$codename")
        [[ -n $stanzas ]] ||
            die "no apt entries for Debian $codename to take deb-src entries from"
        log "adding deb-src entries for Debian $codename in $sources_file"
        {
            echo "# Debian's source packages (build-armv6-libsodium.sh takes libsodium's)."
            echo "$stanzas"
        } >"$sources_file"
    fi
    log "apt-get update"
    apt_get update -qq
    [[ -n $(source_version) ]] || die "apt knows no libsodium source package"
}

# What the build is made from: the source package's version, the flags it
# is configured and compiled with, and this script.
fingerprint() {
    echo "libsodium $1"
    echo "cflags $cpu_flags -O2 $section_flags"
    echo "configure $configure_flags"
    sha256sum "${BASH_SOURCE[0]}" | cut -d' ' -f1
}

# Runs a build step with its output in the log, showing the log's tail on
# failure. The step runs as a job of its own, so that its first failing
# command ends it (a function tested by "if" would run on past it).
step() {
    local name=$1
    shift
    log "$name"
    echo "==== $name" >>"$logfile"
    "$@" >>"$logfile" 2>&1 &
    if ! wait $!; then
        tail -n 40 "$logfile" >&2
        die "step '$name' failed; full log: $logfile"
    fi
}

# Downloads libsodium's source package of version VERSION and unpacks it,
# with Debian's patches applied, into $src_dir/libsodium. Its upstream
# tarball is a git export without configure: that is made as Debian's build
# makes it (dh --with autoreconf).
fetch_source() {
    local version=$1
    rm -rf "$src_dir"
    mkdir -p "$src_dir"
    cd "$src_dir"
    apt-get source --download-only "libsodium=$version"
    dpkg-source -x "libsodium_${version#*:}.dsc" libsodium
    cd libsodium
    autoreconf -f -i
}

# Compiler flags that take headers, start files and libraries from the
# runtime only, never from Debian's armhf ones (as build-armv6-runtime.sh).
steered_cflags() {
    local gcc_include
    gcc_include=$("$triple-gcc" -print-file-name=include)
    echo "--sysroot=$runtime -B$runtime/usr/lib/gcc/$triple/$gcc_version/ -B$runtime/usr/lib/" \
        "-B$runtime/lib/ -nostdinc -isystem $gcc_include -isystem $runtime/usr/include"
}

configure_libsodium() {
    rm -rf "$build_dir"
    mkdir -p "$build_dir"
    cd "$build_dir"
    # The cache's paths stay out of the objects (assertion messages), so
    # that a binary linked with them does not depend on where the cache is.
    # shellcheck disable=SC2086 # configure_flags is a list of words
    CC="$triple-gcc $cpu_flags $(steered_cflags)" \
        CFLAGS="-O2 $section_flags -ffile-prefix-map=$src_dir/libsodium=libsodium -ffile-prefix-map=$build_dir=libsodium" \
        "$src_dir/libsodium/configure" --build=x86_64-linux-gnu --host="$triple" \
        --prefix=/usr --libdir=/usr/lib $configure_flags
}

build_libsodium() {
    cd "$build_dir"
    make -j"$jobs"
}

install_libsodium() {
    cd "$build_dir"
    rm -rf "$runtime/usr/include/sodium" "$runtime/usr/include/sodium.h" \
        "$runtime"/usr/lib/libsodium.* "$runtime/usr/lib/pkgconfig/libsodium.pc"
    make install DESTDIR="$runtime"
    rm -f "$runtime/usr/lib/libsodium.la"
}

# Every object in libsodium.a must be ARM-mode ARMv6 code with VFPv2 and
# hard-float arguments: no ARMv7, Thumb-2 or NEON (see cmake/CheckArmv6.cmake,
# which checks the linked tool).
check_archive() {
    local archive=$runtime/usr/lib/libsodium.a attributes problems
    attributes=$("$triple-readelf" -A "$archive")
    problems=$(awk '
        /^File: / { file = $2 }
        /Tag_CPU_arch:/ && $2 !~ /^v6(K|KZ)?$/ { print file ": Tag_CPU_arch " $2 }
        /Tag_THUMB_ISA_use: Thumb-2/ { print file ": Thumb-2" }
        /Tag_Advanced_SIMD_arch:/ { print file ": " $0 }
        /Tag_FP_arch:/ && $2 != "VFPv2" { print file ": Tag_FP_arch " $2 }
        /Tag_ABI_VFP_args:/ && $0 !~ /VFP registers/ { print file ": not hard-float" }
    ' <<<"$attributes")
    [[ -z $problems ]] || die "libsodium.a is not ARMv6 code: $(head -n 5 <<<"$problems")"
    grep -q "Tag_CPU_arch: v6" <<<"$attributes" || die "libsodium.a has no ARMv6 objects"
    log "libsodium.a: $(grep -c '^File: ' <<<"$attributes") objects, ARMv6, ARM mode, VFPv2"
}

main() {
    runtime=${1:-$(bash "$(dirname "${BASH_SOURCE[0]}")/build-armv6-runtime.sh" --print-dir)}
    [[ -f $runtime/kestran-armv6-runtime ]] ||
        die "no ARMv6 runtime in $runtime; build it with scripts/build-armv6-runtime.sh"
    # One build at a time in the cache (with the runtime's).
    mkdir -p "$cache"
    local lock
    exec {lock}>>"$cache/.lock"
    flock "$lock"
    # The steps run in other directories.
    runtime=$(cd "$runtime" && pwd)
    install_packages
    ensure_source_lists
    local version want
    version=$(source_version)
    want=$(fingerprint "$version")
    if [[ -f $runtime/.libsodium-complete && $(cat "$runtime/.libsodium-complete") == "$want" ]]; then
        log "reusing libsodium $version in $runtime"
        echo "$runtime"
        return
    fi
    local start=$SECONDS
    # A build takes the newest version: the lists may be older than the
    # archive, whose pool keeps no superseded versions.
    ensure_source_lists --update
    version=$(source_version)
    want=$(fingerprint "$version")
    rm -f "$runtime/.libsodium-complete"
    mkdir -p "$(dirname "$logfile")"
    : >"$logfile"
    step "fetch libsodium $version" fetch_source "$version"
    step configure configure_libsodium
    step build build_libsodium
    step install install_libsodium
    check_archive
    [[ -f $runtime/usr/include/sodium.h && -d $runtime/usr/include/sodium ]] ||
        die "no libsodium headers in $runtime/usr/include"
    echo "$want" >"$runtime/.libsodium-complete"
    log "libsodium $version built in $((SECONDS - start)) s"
    echo "$runtime"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    main "$@"
fi

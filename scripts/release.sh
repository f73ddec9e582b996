#!/usr/bin/env bash
# Builds the release for the devices from this checkout, into build/release/:
#   init-updater-<version>-armv6hf.tar.gz  the static ARMv6 tool (stripped),
#       kestran-boot-image, the reference start-up (an initramfs /init), the
#       systemd unit and target, the init script and its S20 link for
#       BusyBox, laid out as `cmake --install --prefix /usr` lays them out,
#       and the release documents in usr/share/doc/init-updater/
#   init-updater_<version>_armhf.deb       the same files (but the BusyBox
#       link) as a Debian package, made by CPack; no maintainer scripts
#   kestran-sign, kestran-sign.1           signs updates for builds with a
#                                          signing key (dist/sign/), and its
#                                          manual page
#   SHA256SUMS                             sums of the four
# Reproducible: SOURCE_DATE_EPOCH is the last commit's time (unless set), the
# compiler maps the source and build paths away, and both archives have sorted
# names, owner 0/0 and every time set to SOURCE_DATE_EPOCH; gzip -n.
# Then checks what it made (see verify below) and runs the system scenarios on
# the packaged binary under qemu-arm-static -cpu arm1176.
#
# Usage (as root, from a git checkout; reuses the cached ARMv6 runtime):
#   scripts/release.sh [--version-suffix SUFFIX] [--preset PRESET] [-DNAME=VALUE...]
# A device maker's release: the build options (-DUPDATER_SIGNING_KEY=...,
# -DUPDATER_COMPATIBLE=..., -DUPDATER_ROLLBACK_PROTECTION=ON,
# -DUPDATER_TRIAL_BOOTS=N, -DUPDATER_IMAGE_CHECK=squashfs; key files
# relative to the directory it is run from), or a configure preset of the
# maker's that inherits "release" (in CMakeUserPresets.json), and a version
# suffix such as +acme1 for the files and the package (1.3.0+acme1). The
# release checks then check that build: the version string its options give.
set -euo pipefail

usage() {
    sed -n '/^# Usage/,/^# suffix such as/p' "$0" >&2
    exit 2
}

# The command line: the suffix, the preset and the -D options, the key
# files made absolute here, before the directory changes.
suffix='' preset=release
defines=()
# Sets DEFINE to the option $1 (NAME=VALUE), the signing keys' files made
# absolute from the caller's directory.
add_define() {
    local name=${1%%=*} value=${1#*=} file files=()
    [[ $1 == *=* && $name =~ ^[A-Za-z_][A-Za-z0-9_:]*$ ]] || usage
    if [[ ${name%%:*} == UPDATER_SIGNING_KEY && -n $value ]]; then
        IFS=';' read -r -a files <<<"$value"
        value=''
        for file in "${files[@]}"; do
            [[ $file == /* ]] || file=$PWD/$file
            value+="${value:+;}$file"
        done
    fi
    defines+=("-D$name=$value")
}
while (($# > 0)); do
    case $1 in
    --version-suffix) (($# > 1)) || usage; suffix=$2; shift 2 ;;
    --version-suffix=*) suffix=${1#*=}; shift ;;
    --preset) (($# > 1)) || usage; preset=$2; shift 2 ;;
    --preset=*) preset=${1#*=}; shift ;;
    -D) (($# > 1)) || usage; add_define "$2"; shift 2 ;;
    -D?*) add_define "${1#-D}"; shift ;;
    *) usage ;;
    esac
done

cd "$(dirname "$0")/.."
umask 022
export LC_ALL=C TZ=UTC

readonly tree=build/release-tree out=build/release
readonly stage=$tree/stage

fail() {
    echo "release: FAIL: $*" >&2
    exit 1
}

# Lists an archive's entries as "mode owner size time name" (GNU tar -tv).
entries() {
    tar -tvzf "$1" --numeric-owner | awk '{print $1, $2, $3, $4 "T" $5, $6}'
}

# The value of cache entry $1 in the release's build tree.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$tree/CMakeCache.txt"; }

# True when the CMake boolean $1 is true.
is_on() { [[ ${1,,} =~ ^(1|on|yes|true|y)$ ]]; }

# The key number of signify public key file $1, in hexadecimal.
key_number() { sed -n 2p "$1" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n'; }

# The version string the build's options give, as cmake/UpdaterTool.cmake
# writes it, worked out here again from the build tree's cache and the key
# files: "init-updater 1.3.0 (signed updates, keys ...; ...)".
expected_version_string() {
    local modes=() files file numbers='' joined
    IFS=';' read -r -a files <<<"$(cached UPDATER_SIGNING_KEY)"
    if ((${#files[@]} > 0)); then
        for file in "${files[@]}"; do numbers+=" $(key_number "$file")"; done
        if ((${#files[@]} == 1)); then
            modes+=("signed updates, key$numbers")
        else
            modes+=("signed updates, keys$numbers")
        fi
    fi
    [[ -z $(cached UPDATER_COMPATIBLE) ]] || modes+=("compatible $(cached UPDATER_COMPATIBLE)")
    ! is_on "$(cached UPDATER_ROLLBACK_PROTECTION)" || modes+=("rollback protection")
    (($(cached UPDATER_TRIAL_BOOTS) == 0)) || modes+=("trial boots $(cached UPDATER_TRIAL_BOOTS)")
    [[ $(cached UPDATER_IMAGE_CHECK) != squashfs ]] || modes+=("image check squashfs")
    [[ $(cached UPDATER_INSTALL) != rename ]] || modes+=("install rename")
    ! is_on "$(cached UPDATER_EVENT_LOG)" || modes+=("event log")
    if ((${#modes[@]} == 0)); then
        echo "init-updater $project_version"
    else
        joined=$(printf '; %s' "${modes[@]}")
        echo "init-updater $project_version (${joined#; })"
    fi
}

# The checks of a finished release; X is a scratch directory.
verify() {
    local archive=$1 deb=$2 version=$3 x=$4 version_string
    version_string=$(expected_version_string)

    # The version and the options, visible without running the tool.
    tar -xzf "$archive" -C "$x" usr/sbin/init-updater
    strings "$x/usr/sbin/init-updater" | grep -x -F "$version_string" >/dev/null ||
        fail "no '$version_string' in the binary (strings)"
    arm-linux-gnueabihf-readelf -S "$x/usr/sbin/init-updater" | grep '\.symtab' >/dev/null &&
        fail "the packaged binary is not stripped"

    # The archive: exactly the installed layout and the release documents,
    # owner 0/0, time SOURCE_DATE_EPOCH, sorted by name.
    local when names line
    when=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M)
    entries "$archive" >"$x/entries"
    awk -v w="$when" '$2 != "0/0" || $4 != w' "$x/entries" | grep . &&
        fail "archive entries not owned by 0/0 or not dated $when"
    names=$(awk '{print $5}' "$x/entries")
    [[ $names == "$(sort <<<"$names")" ]] || fail "archive entries are not sorted by name"
    local expected="etc/ etc/init.d/ etc/init.d/S20init-updater etc/init.d/init-updater usr/ \
usr/lib/ usr/lib/systemd/ usr/lib/systemd/system/ usr/lib/systemd/system/init-updater.service \
usr/lib/systemd/system/kestran-image-pre.target usr/sbin/ usr/sbin/init-updater \
usr/sbin/kestran-boot-image usr/share/ usr/share/doc/ usr/share/doc/init-updater/ \
usr/share/doc/init-updater/README usr/share/doc/init-updater/changelog.gz \
usr/share/doc/init-updater/copyright usr/share/init-updater/ \
usr/share/init-updater/initramfs-init usr/share/lintian/ usr/share/lintian/overrides/ \
usr/share/lintian/overrides/init-updater usr/share/man/ usr/share/man/man8/ \
usr/share/man/man8/init-updater.8.gz usr/share/man/man8/kestran-boot-image.8.gz"
    line=$(tr '\n' ' ' <<<"$names")
    [[ $line == "$expected " ]] || fail "archive holds: $line"

    # The release documents name the version with its suffix, the options
    # and, for several keys, no single key.
    local readme=$x/a/usr/share/doc/init-updater/README option
    mkdir "$x/a" "$x/d"
    tar -xzf "$archive" -C "$x/a"
    [[ $(sed -n 1p "$readme") == "init-updater $version for "* ]] ||
        fail "the README does not begin with 'init-updater $version'"
    local options=()
    [[ -z $(cached UPDATER_SIGNING_KEY) ]] || options+=(UPDATER_SIGNING_KEY)
    [[ -z $(cached UPDATER_COMPATIBLE) ]] || options+=(UPDATER_COMPATIBLE)
    ! is_on "$(cached UPDATER_ROLLBACK_PROTECTION)" || options+=(UPDATER_ROLLBACK_PROTECTION)
    (($(cached UPDATER_TRIAL_BOOTS) == 0)) || options+=(UPDATER_TRIAL_BOOTS)
    [[ $(cached UPDATER_IMAGE_CHECK) != squashfs ]] || options+=(UPDATER_IMAGE_CHECK)
    [[ $(cached UPDATER_INSTALL) != rename ]] || options+=(UPDATER_INSTALL)
    ! is_on "$(cached UPDATER_EVENT_LOG)" || options+=(UPDATER_EVENT_LOG)
    for option in "${options[@]}"; do
        grep -q -e "^  -D$option=" "$readme" || fail "the README does not name -D$option"
    done
    ((${#options[@]} > 0)) || grep -q -x 'This is the upstream release, made with no options.' "$readme" ||
        fail "the README of a build without options does not say so"
    [[ -z $suffix ]] || grep -q -x -F "  --version-suffix $suffix" "$readme" ||
        fail "the README does not name the suffix $suffix"
    if [[ $(cached UPDATER_SIGNING_KEY) == *";"* ]] && grep -q 'the key it was built with' "$readme"; then
        fail "the README of a build with several keys speaks of one key"
    fi
    zcat "$x/a/usr/share/doc/init-updater/changelog.gz" | grep -q "^init-updater ($version) " ||
        fail "the changelog is not for $version"

    # The package: the same files with the same contents, but the link.
    [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "package version is not $version"
    [[ $(dpkg-deb -f "$deb" Architecture) == armhf ]] || fail "package is not armhf"
    dpkg-deb -x "$deb" "$x/d"
    rm "$x/a/etc/init.d/S20init-updater"
    diff -r "$x/a" "$x/d" || fail "the package's files differ from the archive's"
    lintian --fail-on error "$deb" >"$x/lintian.log" 2>&1 ||
        fail "lintian reports errors: $(cat "$x/lintian.log")"
    ! grep -e no-manual-page "$x/lintian.log" || fail "lintian: a command has no manual page"

    # No maintainer scripts: the package enables nothing (an image that the
    # device runs as its root must not run the tool; see cmake/Packaging.cmake).
    dpkg-deb -e "$deb" "$x/control"
    [[ $(cd "$x/control" && echo *) == "conffiles control md5sums" ]] ||
        fail "the package's control area holds: $(cd "$x/control" && echo *)"
}

# Runs the system scenarios on the packaged binary $1 under the emulator.
# tests/system/scenarios.sh takes the build's tags from the binary; its
# signed rows sign with test.sec and second.sec in SCENARIO_KEYS: the secret
# keys of the build's keys where they lie beside them (KEY.sec for KEY.pub,
# without a passphrase: test keys only). A build whose secret keys are
# elsewhere (a device maker's) runs the rows that end before any signature
# is looked at.
run_scenarios() {
    local tool=$1 log=$2 files i names=(test second)
    IFS=';' read -r -a files <<<"$(cached UPDATER_SIGNING_KEY)"
    mkdir -m 700 "$scratch/keys"
    for i in "${!files[@]}"; do
        ((i < 2)) || break
        [[ -f ${files[i]%.pub}.sec ]] || continue
        # (Copies: signify opens no link.)
        cp "${files[i]}" "$scratch/keys/${names[i]}.pub"
        cp "${files[i]%.pub}.sec" "$scratch/keys/${names[i]}.sec"
    done
    SCENARIO_KEYS=$scratch/keys SIGNIFY=signify-openbsd bash tests/system/scenarios.sh "$tool" \
        qemu-arm-static -cpu arm1176 -L "$runtime" >"$log" 2>&1
}

main() {
    bash scripts/install-prerequisites.sh all
    runtime=$(bash scripts/build-armv6-runtime.sh | tail -n 1)
    bash scripts/build-armv6-libsodium.sh "$runtime" >/dev/null
    export KESTRAN_ARMV6_CACHE=${runtime%/runtime}
    if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    fi
    export SOURCE_DATE_EPOCH

    rm -rf "$tree" "$out"
    mkdir -p "$tree"
    local log=$tree/release.log
    # (cmake --workflow takes no -D options: the same three steps.)
    cmake --preset "$preset" -B "$tree" --fresh -DUPDATER_VERSION_SUFFIX="$suffix" \
        "${defines[@]}" >"$log" 2>&1 ||
        fail "configuring failed: $(grep -A 6 '^CMake Error' "$log" || tail -n 20 "$log")"
    # A preset of the maker's must make what the release preset makes.
    [[ $(cached UPDATER_STATIC) == ON && $(cached UPDATER_REQUIRE_ARMV6) == ON &&
        $(cached BUILD_TESTING) == OFF ]] ||
        fail "preset $preset is no release build (it inherits the preset release)"
    cmake --build "$tree" >>"$log" 2>&1 || fail "the build failed: $(tail -n 20 "$log")"
    cpack --config "$tree/CPackConfig.cmake" -B "$tree/packages" >>"$log" 2>&1 ||
        fail "cpack failed: $(tail -n 20 "$log")"
    local version archive deb
    project_version=$(cached CMAKE_PROJECT_VERSION)
    version=$project_version$suffix
    archive=$out/init-updater-$version-armv6hf.tar.gz
    deb=$out/init-updater_${version}_armhf.deb
    mkdir -p "$out"
    mv "$tree/packages/$(basename "$deb")" "$deb"

    DESTDIR=$stage cmake --install "$tree" --prefix /usr --strip >/dev/null
    DESTDIR=$stage cmake --install "$tree" --prefix /usr --strip --component release-docs >/dev/null
    tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" -C "$stage" etc usr | gzip -9n >"$archive"
    # The signing script is for the device maker's build machine, not for
    # the device: beside the archive and the package, not in them.
    install -m 0755 dist/sign/kestran-sign "$out/kestran-sign"
    install -m 0644 man/kestran-sign.1 "$out/kestran-sign.1"
    (cd "$out" && sha256sum -- *.tar.gz *.deb kestran-sign kestran-sign.1 >SHA256SUMS)

    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    verify "$archive" "$deb" "$version" "$scratch"
    tar -xzf "$archive" --to-stdout usr/sbin/init-updater >"$tree/packaged-init-updater"
    chmod +x "$tree/packaged-init-updater"
    run_scenarios "$tree/packaged-init-updater" "$tree/scenarios.log" ||
        fail "the packaged binary fails the scenarios: $(grep FAIL "$tree/scenarios.log" | head -n 5; tail -n 3 "$tree/scenarios.log")"
    grep -q '^scenarios: [1-9][0-9]* passed, 0 failed' "$tree/scenarios.log" ||
        fail "no scenario passed: $(tail -n 3 "$tree/scenarios.log")"
    echo "release: $(tail -n 1 "$tree/scenarios.log") (packaged binary, -cpu arm1176)" >&2
    echo "release: $(expected_version_string)" >&2
    ls -l "$out" >&2
    cat "$out/SHA256SUMS"
}

main "$@"

#!/usr/bin/env bash
# Builds the release for the devices from this checkout, into build/release/:
#   init-updater-<version>-armv6hf.tar.gz  the static ARMv6 tool (stripped),
#       kestran-boot-image, the reference start-up (an initramfs /init), the
#       systemd unit and target, the init script and its S20 link for BusyBox, laid out as `cmake --install --prefix /usr`
#       lays them out, and the release documents in usr/share/doc/init-updater/
#   init-updater_<version>_armhf.deb       the same files (but the BusyBox
#       link) as a Debian package, made by CPack
#   kestran-sign, kestran-sign.1           signs updates for builds with a
#                                          signing key (dist/sign/), and its
#                                          manual page
#   SHA256SUMS                             sums of the four
# Reproducible: SOURCE_DATE_EPOCH is the last commit's time (unless set), the
# compiler maps the source and build paths away, and both archives have sorted
# names, owner 0/0 and every time set to SOURCE_DATE_EPOCH; gzip -n.
# Then checks what it made (see verify below) and runs the system scenarios on
# the packaged binary under qemu-arm-static -cpu arm1176.
# Run as root from a git checkout; reuses the cached ARMv6 runtime.
set -euo pipefail
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

# The checks of a finished release; X is a scratch directory.
verify() {
    local archive=$1 deb=$2 version=$3 x=$4

    # The version, visible without running the tool.
    tar -xzf "$archive" -C "$x" usr/sbin/init-updater
    strings "$x/usr/sbin/init-updater" | grep -x "init-updater $version" >/dev/null ||
        fail "no 'init-updater $version' in the binary (strings)"
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

    # The package: the same files with the same contents, but the link.
    [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "package version is not $version"
    [[ $(dpkg-deb -f "$deb" Architecture) == armhf ]] || fail "package is not armhf"
    mkdir "$x/a" "$x/d"
    tar -xzf "$archive" -C "$x/a"
    dpkg-deb -x "$deb" "$x/d"
    rm "$x/a/etc/init.d/S20init-updater"
    diff -r "$x/a" "$x/d" || fail "the package's files differ from the archive's"
    lintian --fail-on error "$deb" >"$x/lintian.log" 2>&1 ||
        fail "lintian reports errors: $(cat "$x/lintian.log")"
    ! grep -e no-manual-page "$x/lintian.log" || fail "lintian: a command has no manual page"

    # postinst: enables the unit on the first installation where systemctl
    # is there, and does nothing else.
    dpkg-deb -e "$deb" "$x/control"
    mkdir "$x/bin" "$x/nobin"
    printf '#!/bin/sh\necho "$*" >>"%s/calls"\n' "$x" >"$x/bin/systemctl"
    chmod +x "$x/bin/systemctl"
    PATH=$x/bin /bin/sh "$x/control/postinst" configure ""
    PATH=$x/bin /bin/sh "$x/control/postinst" configure 0.9
    PATH=$x/nobin /bin/sh "$x/control/postinst" configure ""
    [[ $(cat "$x/calls") == "enable init-updater.service" ]] ||
        fail "postinst called systemctl as: $(cat "$x/calls")"
}

main() {
    bash scripts/install-prerequisites.sh all
    local runtime
    runtime=$(bash scripts/build-armv6-runtime.sh | tail -n 1)
    bash scripts/build-armv6-libsodium.sh "$runtime" >/dev/null
    export KESTRAN_ARMV6_CACHE=${runtime%/runtime}
    if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    fi
    export SOURCE_DATE_EPOCH

    rm -rf "$tree" "$out"
    cmake --workflow --preset release --fresh >/dev/null
    local version archive deb
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
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
    bash tests/system/scenarios.sh "$tree/packaged-init-updater" \
        qemu-arm-static -cpu arm1176 -L "$runtime" >"$tree/scenarios.log" 2>&1 ||
        fail "the packaged binary fails the scenarios: $(tail -n 3 "$tree/scenarios.log")"
    echo "release: $(tail -n 1 "$tree/scenarios.log") (packaged binary, -cpu arm1176)" >&2
    ls -l "$out" >&2
    cat "$out/SHA256SUMS"
}

main "$@"

#!/usr/bin/env bash
# `cmake --install` lays out the tool and its start-up integration in their
# conventional places under DESTDIR, naming the installed tool's path; the
# tool carries its version as a plain string.
# Usage: install-layout.sh BUILD_DIR
set -euo pipefail

build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$(dirname "${BASH_SOURCE[0]}")/harness.sh"

DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
[[ -x $dest/usr/sbin/init-updater ]] || fail "no /usr/sbin/init-updater"
cmp -s "$dest/usr/sbin/init-updater" "$build/init-updater" || fail "installed tool differs"
# The version, from project(VERSION), as a plain string in the binary.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
# (A build with options names them after it, in parentheses.)
strings "$dest/usr/sbin/init-updater" | grep -x "init-updater $version\( (.*)\)\{0,1\}" >/dev/null ||
    fail "no 'init-updater $version' in the installed tool (strings)"
[[ -x $dest/usr/sbin/kestran-boot-image ]] || fail "no executable /usr/sbin/kestran-boot-image"
cmp -s "$dest/usr/sbin/kestran-boot-image" "$build/init-updater-boot-image" ||
    fail "installed kestran-boot-image is not the build's"
gzip -t "$dest/usr/share/man/man8/init-updater.8.gz" || fail "init-updater.8.gz is no gzip file"
unit=$dest/usr/lib/systemd/system/init-updater.service
grep -qx "ExecStart=/usr/sbin/init-updater" "$unit" || fail "unit does not run /usr/sbin/init-updater"
[[ -f $dest/usr/lib/systemd/system/kestran-image-pre.target ]] || fail "no kestran-image-pre.target"
init=$dest/etc/init.d/init-updater
[[ -x $init ]] || fail "no executable /etc/init.d/init-updater"
grep -q 'INIT_UPDATER:-/usr/sbin/init-updater}' "$init" || fail "init script names another tool"
[[ $(readlink "$dest/etc/init.d/S20init-updater") == init-updater ]] || fail "no S20 link"
leftover=$(find "$dest" -type f -o -type l | sed "s|^$dest||" | sort | tr '\n' ' ')
[[ $leftover == "/etc/init.d/S20init-updater /etc/init.d/init-updater /usr/lib/systemd/system/init-updater.service /usr/lib/systemd/system/kestran-image-pre.target /usr/sbin/init-updater /usr/sbin/kestran-boot-image /usr/share/init-updater/initramfs-init /usr/share/man/man8/init-updater.8.gz /usr/share/man/man8/kestran-boot-image.8.gz " ]] ||
    fail "unexpected files installed: $leftover"
echo "install layout: 1 passed, 0 failed"

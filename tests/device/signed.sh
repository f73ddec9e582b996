#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box (see build.sh): signed updates. The tool built with
# the tests' signing key, the compatible string test-board and rollback
# protection, on the start-up of initramfs-signed.cpio, refuses an update
# without a signature and one whose signature is another file's (v1 stays,
# nothing is written), then installs v2 signed as version 2, finds nothing
# to do on the boot after, and refuses a stick with v1 signed as version 1.
#
# Usage (as root, after tests/device/build.sh with the signed tool built):
#   tests/device/signed.sh
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/story.sh
source "$here/lib/story.sh"

# The first line of the last console matching $2: the tool's reason for
# what it did ($1 names the case).
reason() {
    local line
    line=$(console | grep -m 1 -e "$2" || true)
    [[ -n $line ]] || die "$1: the console gives no reason (console: $LOG)"
    echo "ok: $1: reason: $line"
}

# The tool built with the tests' signing key, on the start-up of
# initramfs-signed.cpio: it refuses an update without a signature and one
# whose signature is another file's, and installs a signed one.
signed() {
    local INITRAMFS=$work/initramfs-signed.cpio unchanged="current=v1 fallback=none marker=no"
    [[ -f $INITRAMFS && -f $work/stick-v2-signed.img ]] ||
        die "nothing built for the signed tool: build $signed_tool (scripts/armv6.sh), then tests/device/build.sh"
    local version
    version=$(strings -a "$work/init-updater-signed" | grep -F '(signed updates, key ' || true)
    [[ -n $version ]] || die "the signed tool's version does not name its key"
    echo "ok: signed tool: $version"

    local sd=$work/unsigned-sd.img
    fresh_disks unsigned
    boot signed-unsigned-stick "$sd" "$work/stick-v2.img"
    expect "no signature: booted" "$BOOTED" v1
    expect "no signature: tool" "$(tool_output)" "Firmware update found.|Firmware update rejected."
    reason "no signature" '^init-updater: no signature'
    expect "no signature: SD" "$(sd_state "$sd")" "$unchanged"
    rm -f "$sd"

    sd=$work/wrong-sig-sd.img
    fresh_disks wrong-sig
    boot signed-wrong-sig "$sd" "$work/stick-v2-wrong-sig.img"
    expect "another file's signature: booted" "$BOOTED" v1
    expect "another file's signature: tool" "$(tool_output)" \
        "Firmware update found.|Firmware update rejected."
    reason "another file's signature" '^init-updater: '
    expect "another file's signature: SD" "$(sd_state "$sd")" "$unchanged"
    rm -f "$sd"

    sd=$work/signed-sd.img
    fresh_disks signed
    boot signed-first-boot "$sd" "$work/stick-v2-signed.img"
    expect "signed, first boot: booted" "$BOOTED" v2
    expect "signed, first boot: tool" "$(tool_output)" "$installed_lines"
    expect "signed, first boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no floor=2 version=2"
    boot signed-second-boot "$sd" "$work/stick-v2-signed.img"
    expect "signed, second boot: booted" "$BOOTED" v2
    expect "signed, second boot: tool" "$(tool_output)" "Firmware update found."
    expect "signed, second boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no floor=2 version=2"
    # A stale stick with v1, signed as version 1: below the floor v2 set.
    boot signed-older-version "$sd" "$work/stick-v1-signed.img"
    expect "older version: booted" "$BOOTED" v2
    expect "older version: tool" "$(tool_output)" "Firmware update found.|Firmware update rejected."
    reason "older version" '^init-updater: .* is below this device.s version floor 2'
    expect "older version: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no floor=2 version=2"
    rm -f "$sd"
}

# Checks that the last console has a line matching $2 (a basic regular

require_build
run_story signed signed

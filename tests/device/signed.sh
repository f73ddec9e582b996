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

# The tool built with the tests' signing key, on the start-up of
# initramfs-signed.cpio: it refuses an update without a signature and one
# whose signature is another file's, and installs a signed one. After each
# refusal the console must give the tool's reason.
signed() {
    local INITRAMFS=$work/initramfs-signed.cpio sd
    local rejected="Firmware update found.|Firmware update rejected."
    local floor="$installed_state floor=2 version=2"
    [[ -f $INITRAMFS && -f $work/stick-v2-signed.img ]] ||
        die "nothing built for the signed tool: build $signed_tool (scripts/armv6.sh), then tests/device/build.sh"
    version_says "signed tool" "$work/init-updater-signed" '(signed updates, key '

    sd=$(fresh_disks unsigned)
    boot_step "no signature" signed-unsigned-stick "$sd" "$work/stick-v2.img" v1 "$rejected" \
        "$unchanged_state"
    console_has "no signature" '^init-updater: no signature'
    rm -f "$sd"

    sd=$(fresh_disks wrong-sig)
    boot_step "another file's signature" signed-wrong-sig "$sd" "$work/stick-v2-wrong-sig.img" v1 \
        "$rejected" "$unchanged_state"
    console_has "another file's signature" '^init-updater: '
    rm -f "$sd"

    sd=$(fresh_disks signed)
    boot_step "signed, first boot" signed-first-boot "$sd" "$work/stick-v2-signed.img" v2 "$installed_lines" \
        "$floor"
    boot_step "signed, second boot" signed-second-boot "$sd" "$work/stick-v2-signed.img" v2 \
        "Firmware update found." "$floor"
    # A stale stick with v1, signed as version 1: below the floor v2 set.
    boot_step "older version" signed-older-version "$sd" "$work/stick-v1-signed.img" v2 "$rejected" "$floor"
    console_has "older version" '^init-updater: .* is below this device.s version floor 2'
    rm -f "$sd"
}

run_story signed signed

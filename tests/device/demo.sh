#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box (see build.sh): the update as a user sees it. The first
# boot, with the stick holding v2, installs it (v1 becomes the fallback) and
# boots v2; the second, with the same stick, has nothing to do. The bytes
# the first boot's update wrote are kept for cuts.sh. Then the first boot
# again, on fresh disks, with the tool that installs by renames, and the
# time and bytes of both updates.
#
# Usage (as root, after tests/device/build.sh): tests/device/demo.sh
# The console of every boot is shown as it runs and kept in build/device/logs/.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/story.sh
source "$here/lib/story.sh"

demo() {
    local sd stick=$work/stick-v2.img copy
    sd=$(fresh_disks demo)
    boot_step "first boot" first-boot "$sd" "$stick" v2 "$installed_lines" "$installed_state"
    # The cuts are spread over what this update wrote.
    echo "$UPDATE_BYTES" >"$work/update-bytes"
    copy="${UPDATE_SECONDS}s, $UPDATE_BYTES bytes"
    boot_step "second boot" second-boot "$sd" "$stick" v2 "Firmware update found." "$installed_state"
    [[ -f $work/initramfs-rename.cpio ]] || return 0
    # The same first boot with the tool that installs by renames.
    local INITRAMFS=$work/initramfs-rename.cpio
    sd=$(fresh_disks demo-rename)
    boot_step "by renames" rename-first-boot "$sd" "$stick" v2 "$installed_lines" "$installed_state"
    log "the update by copies: $copy; by renames: ${UPDATE_SECONDS}s, $UPDATE_BYTES bytes"
}

run_story demo demo

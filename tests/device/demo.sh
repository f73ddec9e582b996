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
    fresh_disks demo
    local sd=$work/demo-sd.img stick=$work/stick-v2.img
    boot first-boot "$sd" "$stick"
    expect "first boot: booted" "$BOOTED" v2
    expect "first boot: tool" "$(tool_output)" "$installed_lines"
    expect "first boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no"
    # The cuts are spread over what this update wrote.
    echo "$UPDATE_BYTES" >"$work/update-bytes"
    local UPDATE_SECONDS_FIRST=$UPDATE_SECONDS
    boot second-boot "$sd" "$stick"
    expect "second boot: booted" "$BOOTED" v2
    expect "second boot: tool" "$(tool_output)" "Firmware update found."
    expect "second boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no"
    local copy
    copy="${UPDATE_SECONDS_FIRST}s, $(cat "$work/update-bytes") bytes"
    [[ -f $work/initramfs-rename.cpio ]] || return 0
    # The same first boot with the tool that installs by renames.
    fresh_disks demo-rename
    local INITRAMFS=$work/initramfs-rename.cpio
    sd=$work/demo-rename-sd.img
    boot rename-first-boot "$sd" "$stick"
    expect "by renames: booted" "$BOOTED" v2
    expect "by renames: tool" "$(tool_output)" "$installed_lines"
    expect "by renames: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no"
    log "the update by copies: $copy; by renames: ${UPDATE_SECONDS}s, $UPDATE_BYTES bytes"
}

require_build
run_story demo demo

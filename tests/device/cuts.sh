#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box (see build.sh): power cuts over the update. Each cut
# kills qemu once the device has written a share of what an update writes
# (spread from the checksums, nothing written yet, to near the end of the
# install copy); then (a) a boot without the stick must boot, byte for byte,
# the v1 or v2 kestran-boot-image names, on a clean file system, and (b) one
# with the stick must install v2 with v1 as the fallback.
#
# Usage (as root, after tests/device/build.sh): tests/device/cuts.sh
# KESTRAN_DEVICE_CUTS (6) is the number of cuts. The update's size comes
# from demo.sh's first boot, or from a boot of its own.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/story.sh
source "$here/lib/story.sh"

# Bytes qemu writes to its disks from "Firmware update found." to "Update
# complete.": from the first boot of the demo, or a boot of its own.
update_bytes() {
    if [[ ! -s $work/update-bytes ]]; then
        local sd
        sd=$(fresh_disks window)
        boot update-size "$sd" "$work/stick-v2.img" >&2
        [[ $BOOTED == v2 && -n $UPDATE_BYTES ]] || die "the update did not complete (console: $LOG)"
        echo "$UPDATE_BYTES" >"$work/update-bytes"
        rm -f "$sd"
    fi
    cat "$work/update-bytes"
}

power_cuts() {
    local total
    total=$(update_bytes)
    log "an update writes $total bytes from 'Firmware update found.' to 'Update complete.'"
    local k rows=() failures=0 format='%-4s %7s %6s  %-26s  %-37s  %-3s  %-3s  %-37s %s'
    for ((k = 0; k < cuts; k++)); do
        # Spread from the checksums (nothing written yet) to near the end of
        # the install copy.
        local moment=$((total * 98 * k / (100 * (cuts > 1 ? cuts - 1 : 1))))
        local sd stick=$work/stick-v2.img
        sd=$(fresh_disks "cut$k")
        boot "cut$k" "$sd" "$stick" "$moment"
        local cut_booted=$BOOTED cut_seconds=${CUT_SECONDS:--} last after_cut
        last=$(tool_output | awk -F'|' '{ print $NF }')
        after_cut=$(sd_state "$sd")
        boot "cut$k-a-no-stick" "$sd" -
        local booted_a=$BOOTED after_a image_a
        after_a=$(sd_state "$sd")
        image_a=$(named_image)
        boot "cut$k-b-stick" "$sd" "$stick"
        local booted_b=$BOOTED after_b
        after_b=$(sd_state "$sd")
        local verdict=ok
        [[ $cut_booted == cut ]] || verdict="FAIL (not cut: $cut_booted)"
        # (a) booted the image kestran-boot-image chose: it must be, byte
        # for byte, the v1 or v2 that booted, on a clean file system.
        [[ ($booted_a == v1 || $booted_a == v2) && " $after_a " == *" $image_a=$booted_a "* ]] ||
            verdict="FAIL (a)"
        [[ $after_a != *fsck* && $after_a != *extra* ]] || verdict="FAIL (a) state"
        [[ $booted_b == v2 && $after_b == "$installed_state" ]] || verdict="FAIL (b)"
        [[ $verdict == ok ]] || failures=$((failures + 1))
        add_row "$format" "$k" "$(awk -v b="$moment" 'BEGIN { printf "%.1f", b / 1048576 }')" \
            "$cut_seconds" "${last:-(none)}" "$after_cut" "$booted_a" "$booted_b" "$after_b" "$verdict"
        rm -f "$sd"
    done
    print_table "Power cuts: (a) the next boot without the stick, (b) then one with it.
(MiB: written by the device after 'Firmware update found.' when the power was cut; s: seconds after that line)" \
        "$format" cut MiB s "last tool line" "SD after the cut" "(a)" "(b)" "SD after (b)" verdict
    ((failures == 0)) || die "$failures of $cuts power cuts failed"
    echo "ok: $cuts power cuts"
}

run_story cuts power_cuts

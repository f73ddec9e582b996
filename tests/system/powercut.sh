#!/usr/bin/env bash
# Power cuts on a real filesystem, judged by what is left on the flash. The
# image partition is a fresh ext4 filesystem in a file, attached through a
# loop device and mounted at /mnt/imgpart in a private mount namespace; the
# USB stick is tmpfs at /mnt/usb. The file behind the loop device is the
# flash: what ext4 has written is in it, what sits in its page cache is not.
#
# A cut at moment t kills the tool and all it started (tool, shell, cp) at t
# and at once copies that file. On the copy, after e2fsck has replayed the
# journal, each cut must leave:
#  (a) the previous image or the new image whole, as current or fallback;
#  (b) kestran-boot-image naming a whole image: one that was on the partition
#      before the run, or the new one;
#  (c) after the tool is started again with the stick in, what an uncut run
#      leaves (new image current, previous image fallback, no marker), with
#      kestran-boot-image naming the current image;
#  (d) with the stick removed, kestran-boot-image naming what (b) allows.
# The cuts are a fixed sweep over 1.1 times the length of an uncut run, so
# they reach past its exit, and one more the moment the tool has exited. A
# background writer fsyncs an unrelated file on the partition every few
# milliseconds, so ext4's journal commits pending metadata (truncations,
# sizes) ahead of the data, as a device's periodic commit would.
#
# With trial boots (a build with them, and its kestran-boot-image beside
# it), every cut must also leave no new image
# that looks confirmed: the new image current without the install marker has
# a trial state, and it is never the fallback image. The harness's own calls
# of kestran-boot-image count no boots against the trial (they run a copy
# that allows any number). The pass alone-on-trial updates a current image on
# trial with no fallback image (kept all the same: it is the only image), and
# the pass boot-count cuts kestran-boot-image
# itself while it records a boot (trial state 1 of 2): the state left is the
# old or the new count, whole, and the image named is whole. The pass
# event-log (a build with the event log) starts from a full log, which the
# run replaces by its newer half and the install's line: every cut leaves
# the old log or the whole new one. (The harness's own calls write no log.)
#
# Usage: powercut.sh TOOL [RUNNER...]
# The build's tags come from the tool itself (describe_build, lib/rows.sh).
# Environment:
#   POWERCUT_CUTS    cuts per pass (default 40), more for a soak
#   POWERCUT_PASSES  "name ..." runs only those passes of the table
#   POWERCUT_CUT     runs only that cut (0 as the tool exits, 1..POWERCUT_CUTS
#                    through the sweep), to reproduce one
#   POWERCUT_T_MS    length of the uncut run instead of measuring it
#   SCENARIO_KEYS    for a build with rollback protection and the compatible
#                    string test-board: the directory of the test key, with
#                    which the pass version-floor signs its updates
# Exit status: 0 no cut lost anything, 1 a cut did (or the set-up failed),
# 77 no namespace or loop device (never 77 when CI=true: there that fails).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"
# shellcheck source-path=SCRIPTDIR source=lib/rows.sh
source "$here/lib/rows.sh"
# shellcheck source-path=SCRIPTDIR source=lib/cut-checks.sh
source "$here/lib/cut-checks.sh"

# name | mount options | cut | trial | before | after | tags
# Cut: what runs and is cut, "tool" the tool, "boot-image" the build's
# kestran-boot-image recording a boot. Trial: the trial state before the run
# ("-" none). Before, and after an uncut run: the current image, the
# fallback image, the update file and the install marker (notation of
# lib/partition.sh), with the payloads below: A installed, O older, B the
# update, E empty. Tags: what the pass needs (lib/rows.sh).
readonly table='
update         | noauto_da_alloc,commit=300 | tool       | - | A  O B - | B A B - | unsigned
no-current     | noauto_da_alloc,commit=300 | tool       | - | -  O B - | B O B - | unsigned
resume         | noauto_da_alloc,commit=300 | tool       | - | B< A B M | B A B - | unsigned
update-default | defaults                   | tool       | - | A  O B - | B A B - | unsigned
boot-count     | noauto_da_alloc,commit=300 | boot-image | 1 | A  O B - | A O B - | trial
alone-on-trial | noauto_da_alloc,commit=300 | tool       | 1 | A  - B - | B A B - | unsigned trial
version-floor  | noauto_da_alloc,commit=300 | tool       | - | A  O B - | B A B - | rollback confirmed
event-log      | noauto_da_alloc,commit=300 | tool       | - | A  O B - F | B A B - | unsigned events
'
readonly payloads='A=24M B=32M O=16M E=0'

# Runs one pass of the table; called inside its own mount namespace.
run_one() {
    local row=$1 name opts cut trial before after tags cuts i cut_command
    read_row "$row" name opts cut trial before after tags
    cuts=${POWERCUT_CUTS:-40}
    ((cuts > 0)) || fail "POWERCUT_CUTS must be positive"
    set_pass "$name" "$cuts" "$before" "$after"

    trap clean_up EXIT
    mount -t tmpfs -o size=1g,mode=0755 scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref /mnt/w
    open_pause
    make_payloads "$payloads"
    mount -t tmpfs -o mode=0755 usb /mnt/usb
    # The pass version-floor: the device has floor 1 and image A of version 1;
    # the update is version 2 for test-board. A stick with the older image O,
    # version 1, waits beside it.
    [[ $name != version-floor ]] || floor_pass=1
    make_pristine "$before" "$trial" "${floor_pass:+1}"
    if [[ -n $floor_pass ]]; then
        "$here/../../dist/sign/kestran-sign" -V 2 -C test-board "$SCENARIO_KEYS/test.sec" \
            /mnt/usb/kestran.fir 2>/dev/null
        mkdir /mnt/w/old-stick
        cp /mnt/ref/O /mnt/w/old-stick/kestran.fir
        "$here/../../dist/sign/kestran-sign" -V 1 -C test-board "$SCENARIO_KEYS/test.sec" \
            /mnt/w/old-stick/kestran.fir 2>/dev/null
    fi
    case $cut in
    tool) cut_command=("${RUNNER[@]}" "$TOOL") ;;
    boot-image) cut_command=(sh "$boot_image_built") ;;
    *) fail "unknown cut '$cut'" ;;
    esac
    if [[ -n $trial_mode && $cut != boot-image ]]; then
        sed -e 's/^trial_boots=.*/trial_boots=1000/' -e 's/^event_log=.*/event_log=0/' "$boot_image_built" \
            >/mnt/w/boot-image
        boot_image=/mnt/w/boot-image
    fi

    # Three uncut runs must end as expected; the median of their lengths is
    # the length of the sweep.
    local ticks out runs=()
    for i in 1 2 3; do
        fresh_partition "$opts"
        run_cut "" "${cut_command[@]}"
        ticks=$(stat -c %s /mnt/imgpart/ticks)
        out=$(tr '\n' '|' </mnt/w/stdout)
        if [[ $cut == boot-image ]]; then
            [[ $out == "$current_image|" && $(cat "$trial_file") == $((trial + 1)) ]] ||
                fail "$name: an uncut run named '$out' and left trial state $(cat "$trial_file")"
        else
            [[ $out == *"Update complete.|" ]] || fail "$name: an uncut run ended with '$out'"
        fi
        [[ $(describe_partition) == "$after" ]] ||
            fail "$name: an uncut run left $(describe_partition), expected $after"
        detach
        runs+=("$run_us")
    done
    run_us=$(printf '%s\n' "${runs[@]}" | sort -n | sed -n 2p)
    if [[ -n ${POWERCUT_T_MS:-} ]]; then
        run_us=$((POWERCUT_T_MS * 1000))
    fi
    echo "pass $name (mount options $opts): uncut run $((run_us / 1000)) ms," \
        "$ticks forced journal commits in the last one"

    # Cut 0 is the moment the tool has exited, whatever the run's length.
    local cut_us made=0 when
    for ((i = 0; i <= cuts; i++)); do
        [[ -z ${POWERCUT_CUT:-} || $POWERCUT_CUT == "$i" ]] || continue
        cut_us=exit when="as the tool exits"
        if ((i > 0)); then
            cut_us=$((run_us * 11 * i / (10 * cuts)))
            when="at $((cut_us / 1000)) ms"
        fi
        fresh_partition "$opts"
        # (The braces keep bash's notices of the killed jobs off the output.)
        { run_cut "$cut_us" "${cut_command[@]}"; } 2>/dev/null
        detach
        cut_failed=()
        mount_copy
        if [[ $cut == boot-image ]]; then
            check_count_cut "$trial" "$before"
        else
            check_cut
        fi
        detach
        report_cut "$i" "$when"
        made=$((made + 1))
    done
    summarise_pass "$made"
}

main() {
    run_one_if_asked "$@"
    require_tool_and_namespace "$@"
    require_loop_devices
    local tool
    tool=$(readlink -f "$1")
    shift

    local passed=0 failed=0 skipped=0 left_out=0
    describe_build "$tool"
    if [[ -n $BEFORE_SIGNATURE$SCENARIO_IMAGE_CHECK ]]; then
        echo "SKIP: $(basename "$0"): the passes' updates cannot be made for this build ($BUILD_TAGS)" >&2
        exit 77
    fi
    run_rows "$here/powercut.sh" "$table" "$BUILD_TAGS" "${POWERCUT_PASSES:-}" "" "$tool" "$@"
    close_table "power cuts"
}

main "$@"

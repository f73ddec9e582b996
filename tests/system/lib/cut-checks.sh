# What each power cut must leave on the flash, judged on the copy a cut
# made (cuts.sh), and the report of the cuts that lost something. Sourced by
# powercut.sh, with partition.sh.
# shellcheck shell=bash

# shellcheck source-path=SCRIPTDIR source=partition.sh
declare -F place_partition >/dev/null || source "$(dirname "${BASH_SOURCE[0]}")/partition.sh"
# shellcheck source-path=SCRIPTDIR source=cuts.sh
declare -F run_cut >/dev/null || source "$(dirname "${BASH_SOURCE[0]}")/cuts.sh"

system_tests=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly system_tests
readonly trial_mode=${SCENARIO_TRIAL:-}
# The pass that cuts the writes of the version floor (a build with rollback
# protection; the signing keys in SCENARIO_KEYS): set by powercut.sh.
floor_pass=
readonly init_script=$system_tests/../../dist/init.d/init-updater.in
readonly boot_image_built=${BOOT_IMAGE:-$system_tests/../../dist/sbin/kestran-boot-image}
# The kestran-boot-image the checks run: with trial boots a copy that allows
# any number of them, so that the checks count no boots against the trial.
boot_image=$boot_image_built

# The pass under way, set by set_pass: its name and number of cuts; the
# partition after an uncut run (partition.sh's notation); the whole image
# the device boots before the run (previous); the whole images before it.
pass_name='' log_pass=''
pass_cuts=0
pass_after=''
previous=''
whole_before=''
# The failures of the cut under way, the cuts with failures, and counts of
# what the cuts left and of the kinds of failure, for the pass's summary.
cut_failed=()
failed_cuts=0
declare -A tally failures

# Sets the pass under way: NAME, CUTS, the partition BEFORE the run and
# AFTER an uncut run.
set_pass() {
    local bc bf bm
    pass_name=$1 pass_cuts=$2 pass_after=$4
    read -r bc bf _ bm log_pass <<<"$3"
    previous=$bf
    [[ $bc != [A-Z] || $bm == M ]] || previous=$bc
    whole_before=''
    [[ $bc != [A-Z] ]] || whole_before+=" $bc"
    [[ $bf != [A-Z] ]] || whole_before+=" $bf"
}

# Prints "current", "fallback" or "none" for the image kestran-boot-image
# names (or "other:PATH").
boot_choice() {
    local named
    if ! named=$(sh "$boot_image" 2>/dev/null); then
        echo none
        return
    fi
    case $named in
    "$current_image") echo current ;;
    "$fallback_image") echo fallback ;;
    *) echo "other:$named" ;;
    esac
}

# Records failure KIND, with WHY, for the cut under way (in cut_failed,
# which the caller empties before each cut).
lost() {
    cut_failed+=("$1: $2")
}

# Replays the journal on the copy of the flash and mounts it.
mount_copy() {
    local rc=0
    e2fsck -fy /mnt/w/copy >/mnt/w/fsck.log 2>&1 || rc=$?
    ((rc < 4)) || lost fsck "e2fsck left errors (status $rc): $(tail -n 3 /mnt/w/fsck.log)"
    attach /mnt/w/copy
    mount "$dev" /mnt/imgpart
}

# Checks the copy of the flash a cut made, mounted, for a pass that runs
# the tool.
check_cut() {
    local c f m boot boot_out whole_allowed
    # How far the cut run got, by its messages: Found, Updating, Copying,
    # Done.
    local said
    said=$(sed -n -e 's/^Firmware update found\.$/F/p' -e 's/^Updating Firmware\.$/U/p' \
        -e 's/^Copying the new firmware\.$/C/p' -e 's/^Update complete\.$/D/p' /mnt/w/stdout | tr -d '\n')
    # The event log, where the pass placed one: the old one or a whole new one.
    if [[ -n $log_pass ]] && ! cmp -s "$event_log" /mnt/ref/log; then
        (check_log install-complete) 2>/mnt/w/log-check ||
            lost l "the event log is neither the old one nor a whole new one: $(tail -n 1 /mnt/w/log-check)"
    fi
    read -r c f _ m <<<"$(describe_partition)"

    if [[ -n $trial_mode ]]; then
        [[ $c != B || $m != - || -e $trial_file ]] || lost t "the new image is current without a trial state"
        [[ $f != B ]] || lost t "the new image, never confirmed, is the fallback image"
    fi

    # The fallback image is whole or absent: a copy cut short never stands
    # at its path.
    [[ $f == - || " $whole_before B " == *" $f "* ]] || lost w "the fallback image is not whole: $f"
    if [[ -n $floor_pass ]]; then
        # The floor and the recorded version are the old value or the new
        # one, and the floor is not above an image that is not in place.
        local floor record
        floor=$(cat "$floor_file" 2>/dev/null || echo none)
        record=$(cat "$version_file" 2>/dev/null || echo none)
        [[ $floor == 1 || $floor == 2 ]] || lost v "version floor '$floor', expected 1 or 2"
        [[ $record == 1 || $record == 2 ]] || lost v "recorded version '$record', expected 1 or 2"
        [[ $floor == 1 || ($c == B && $m == -) ]] ||
            lost v "the floor rose while the new image was not in place (current $c, marker $m)"
    fi

    # (a) the previous or the new image is whole.
    [[ " $previous B " == *" $c "* || " $previous B " == *" $f "* ]] ||
        lost a "no whole image: current $c, fallback $f"

    # (b) and (d): the image kestran-boot-image names is whole and allowed,
    # with the stick in, and after a start-up (the shipped init script) with
    # the stick removed, which must not write to the partition.
    whole_allowed=" $whole_before B "
    boot=$(boot_choice)
    mount -t tmpfs -o mode=0755 nostick /mnt/usb
    local listed
    listed=$(find /mnt/imgpart -printf '%p %s %T@\n' | sort)
    INIT_UPDATER=$TOOL sh "$init_script" start >/dev/null 2>&1 ||
        lost d "the start-up without the stick failed"
    [[ $(find /mnt/imgpart -printf '%p %s %T@\n' | sort) == "$listed" ]] ||
        lost d "the start-up without the stick wrote to the partition"
    boot_out=$(boot_choice)
    umount /mnt/usb
    local named state
    for state in "b:$boot" "d:$boot_out"; do
        case ${state#*:} in
        current) named=$c ;;
        fallback) named=$f ;;
        *) named=none ;;
        esac
        [[ $whole_allowed == *" $named "* ]] ||
            lost "${state%%:*}" "kestran-boot-image names ${state#*:} ($named)"
    done
    state="said=${said:--} cur=$c fb=$f marker=$m boot=$boot"
    tally[$state]=$((${tally[$state]:-0} + 1))

    # (c) the next run with the stick in ends as an uncut run.
    local out now
    out=$("${RUNNER[@]}" "$TOOL" 2>/dev/null </dev/null | tr '\n' '|') || true
    case $out in
    "Firmware update found.|" | "Firmware update found.|Updating Firmware.|Copying the new firmware.|Update complete.|") ;;
    *) lost c "the next run printed: $out" ;;
    esac
    now=$(describe_partition)
    [[ $now == "$pass_after" ]] || lost c "after the next run: $now, expected $pass_after"
    [[ $(boot_choice) == current ]] || lost c "after the next run kestran-boot-image names $(boot_choice)"
    [[ -z $trial_mode || $(cat "$trial_file" 2>/dev/null) == [0-9]* ]] ||
        lost t "after the next run the new image is not on trial"
    [[ ! -e $fallback_copy ]] || lost c "after the next run a partial fallback copy is left"
    [[ ! -e $current_new ]] || lost c "after the next run a new image is left at its temporary name"
    if [[ -n $floor_pass ]]; then
        # The new image's version counts as the floor: an older signed
        # update is rejected.
        [[ $(cat "$version_file" 2>/dev/null) == 2 ]] ||
            lost v "after the next run the recorded version is '$(cat "$version_file" 2>/dev/null)'"
        mount --bind /mnt/w/old-stick /mnt/usb
        out=$("${RUNNER[@]}" "$TOOL" 2>/dev/null </dev/null | tr '\n' '|') || true
        umount /mnt/usb
        [[ $out == "Firmware update found.|Firmware update rejected.|" ]] ||
            lost v "after the next run a stick with version 1 gave: $out"
    fi
}

# Checks the copy of the flash a cut made, mounted, for the pass that cuts
# kestran-boot-image (the build's own) while it records a boot: the trial
# state is COUNT or COUNT + 1, and the image it names is whole, as it was
# before the run (BEFORE).
check_count_cut() {
    local count=$1 bc bf state named
    read -r bc bf _ <<<"$2"
    state=$(cat "$trial_file" 2>/dev/null || echo none)
    [[ $state == "$count" || $state == $((count + 1)) ]] ||
        lost a "trial state '$state', expected $count or $((count + 1))"
    named=$(sh "$boot_image_built" 2>/dev/null) || named=none
    case $named in
    "$current_image") [[ $(describe "$current_image") == "$bc" ]] || lost b "names the current image, $(describe "$current_image")" ;;
    "$fallback_image") [[ $(describe "$fallback_image") == "$bf" ]] || lost b "names the fallback image, $(describe "$fallback_image")" ;;
    *) lost b "names $named" ;;
    esac
    local key="trial=$state new=no boot=${named##*/}"
    [[ ! -e $trial_file.new ]] || key=${key/new=no/new=yes}
    tally[$key]=$((${tally[$key]:-0} + 1))
}

# Reports the failures lost recorded for cut I, described as WHEN, with the
# command that repeats it, and counts them.
report_cut() {
    ((${#cut_failed[@]} > 0)) || return 0
    failed_cuts=$((failed_cuts + 1))
    local why
    for why in "${cut_failed[@]}"; do
        echo "FAIL $pass_name cut $1/$pass_cuts $2: $why" >&2
        failures[${why%%:*}]=$((${failures[${why%%:*}]:-0} + 1))
    done
    echo "  reproduce: POWERCUT_PASSES=$pass_name POWERCUT_CUTS=$pass_cuts POWERCUT_CUT=$1" \
        "POWERCUT_T_MS=$((run_us / 1000)) bash $system_tests/powercut.sh $TOOL ${RUNNER[*]}" >&2
}

# Prints the pass's summary: its cuts, those with failures, what the cuts
# left and the kinds of failure; returns 1 when a cut lost something.
summarise_pass() {
    local made=$1 state kind
    echo "  cuts: $made, cuts with failures: $failed_cuts"
    for state in "${!tally[@]}"; do
        printf '  %3d  %s\n' "${tally[$state]}" "$state"
    done | sort -k2,2 -k3
    for kind in fsck w v a b c d t; do
        [[ -z ${failures[$kind]:-} ]] || echo "  failure $kind: ${failures[$kind]}"
    done
    ((failed_cuts == 0))
}

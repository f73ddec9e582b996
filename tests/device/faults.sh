#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Media faults on the device in a box (see build.sh): boots of the emulated
# device with QEMU's blkdebug driver between a disk and its image file,
# injecting read, write and flush errors, judged from the host. Each case
# (lib/fault-cases.sh lists them) is a boot with the fault and the stick
# holding v2, then a clean boot (same disks, no blkdebug, the stick in),
# which must complete the update.
#
# Usage (as root, after tests/device/build.sh):
#   tests/device/faults.sh                              the CI set
#   KESTRAN_FAULT_CASES=all tests/device/faults.sh      every case
#   KESTRAN_FAULT_CASES="stick-copy flush-install" tests/device/faults.sh
# KESTRAN_FAULT_TIMEOUT (s, default 150; at least five times a reference
# boot) bounds each boot; a boot that only ran out of time is made again once
# with twice the time, and said so. The consoles are
# kept in build/device/logs/fault-*.log, QEMU's own messages beside them in
# fault-*.qemu; the disks of a case that breaks a rule stay in build/device.
#
# Two ways to hold the image partition:
#   sd   on the SD card, as the device ships. QEMU's SD card model never
#        passes an error to the guest: a write that fails on the host is
#        reported done ("sd_blk_write: write error on host side"), so the
#        card loses writes silently, and it never receives a flush. Only the
#        tool's read-back from the medium can see that.
#   usb  on a second logical unit of the USB disk (/dev/sdb1, given to the
#        start-up as kestran_imgdev), which reports errors to the kernel as a
#        real disk does; the stick is the first unit (/dev/sda1).
#
# Where a fault goes is read from the disks and, for the cases that need
# it, from a reference boot without faults in layout usb (its row comes
# first): the sectors of kestran.fir on the stick (mtools) and of the
# current image on the partition (debugfs); for a new image, which ext4
# places by timing, one sector every 512 KiB of the free space (dumpe2fs);
# and, from a QEMU trace of the reference's SCSI commands, how many reads of
# the stick it takes until the checksum has read all of the update, and
# which flushes of the image disk follow the fallback and the install
# copies' writes. A fault meant for the install copy waits for those reads
# or flushes (a chain of blkdebug states), or, on the SD card, for the
# read-back of the fallback copy.
#
# Rules for every case: the device boots (no timeout, no kernel panic, no
# failed start-up); the image kestran-boot-image names ("start-up: booting
# ...") is, byte for byte, the v1 or v2 that booted; "Update complete." only
# with a current image that is v2; the file system needs no repair; and the
# fault shows (an I/O error on the console, the checksum's read error, or
# QEMU's SD card message) where it was meant to strike, else the case is
# "NOT FIRED" or "FIRED EARLY", which fails the run too. Each case also has
# its own expectations. The clean boot must then boot v2 with current=v2
# fallback=v1 and no marker.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/story.sh
source "$here/lib/story.sh"
# shellcheck source=lib/media.sh
source "$here/lib/media.sh"
# shellcheck source=lib/blkdebug.sh
source "$here/lib/blkdebug.sh"
# shellcheck source=lib/fault-cases.sh
source "$here/lib/fault-cases.sh"

# MiB of the guest's 430 MiB held in a filled tmpfs for stick-copy
# (KESTRAN_FAULT_BALLAST): the page cache left (about 9 MiB) cannot keep the
# update from its checksum to its copy, which then reads the stick again.
# With 384 the copy still came from the cache; 410 ran the guest out of
# memory (kernel panic).
readonly ballast_mib=${KESTRAN_FAULT_BALLAST:-400}
boot_timeout=${KESTRAN_FAULT_TIMEOUT:-150}

# The tool's reason for what it did on the last boot: its first
# "init-updater: " line, else the first complaint of a command it ran, or
# "-".
reason_line() {
    local line
    line=$(console | grep -m 1 '^init-updater: ' || true)
    if [[ -z $line ]]; then
        line=$(console | grep -m 1 -E '^(sha512sum|cp): ' || true)
        [[ -z $line ]] || line+=" (the command's; no init-updater: line)"
    fi
    echo "${line:--}"
}

# ---- the reference boots

declare -A ref=()

# Copies for case $1 of the image disk $2 (default: the build's SD card) and
# of the stick with v2: sets disk and stick to their names.
fresh_case_disks() {
    disk=$work/fault-$1-disk.img stick=$work/fault-$1-stick.img
    cp --sparse=always "${2:-$work/sd.img}" "$disk"
    cp --sparse=always "$work/stick-v2.img" "$stick"
}

# Removes the disks of case $1 and their blkdebug rules.
remove_case_disks() { rm -f "$work/fault-$1-"{disk,stick}.{img,ini}; }

# A boot without faults in layout usb: the update must complete. Records in
# ref[] where the new images landed and the counts from its trace.
reference() {
    local name=ref-usb started=$SECONDS disk stick trace=$work/logs/fault-ref-usb.trace
    [[ -z ${ref[usb]:-} ]] || return 0
    fresh_case_disks "$name"
    rm -f "$trace"
    fault_boot "fault-$name" usb "$disk" "$stick" "" "" "" "$trace"
    # The cases' boots may take five times this one (faults slow them: the
    # kernel retries), and no less than the default.
    local scaled
    scaled=$(awk -v s="$BOOT_SECONDS" 'BEGIN { printf "%d", 5 * s + 1 }')
    ((scaled <= boot_timeout)) || boot_timeout=$scaled
    local tool state
    tool=$(tool_output)
    state=$(sd_state "$disk")
    [[ $BOOTED == v2 && $tool == *"|Update complete." && $state == "$installed_state" ]] ||
        die "the reference boot (usb, no fault) did not install v2: booted $BOOTED, tool '$tool', $state (console: $LOG)"
    ref[usb]=yes
    local image sectors
    for image in current fallback; do
        ref[usb.$image]=$(ext4_ranges "$disk" "kestran_$image.sqsh")
    done
    sectors=$(stick_file_sectors "$stick")
    ref[usb.reads]=$(reads_through "$trace" "${sectors#* }")
    ref[usb.flush.fallback]=$(flush_after_writes_to "$trace" <<<"${ref[usb.fallback]}")
    ref[usb.flush.current]=$(flush_after_writes_to "$trace" <<<"${ref[usb.current]}")
    [[ -n ${ref[usb.reads]} && -n ${ref[usb.flush.fallback]} && -n ${ref[usb.flush.current]} ]] ||
        die "no counts in the trace of the reference boot ($trace)"
    log "reference usb: the stick read ${ref[usb.reads]} times until all of kestran.fir was read; flushes: ${ref[usb.flush.fallback]} after the fallback copy's writes, ${ref[usb.flush.current]} after the install copy's"
    log "reference usb: new fallback at sectors $(tr '\n' ' ' <<<"${ref[usb.fallback]}"), new current at $(tr '\n' ' ' <<<"${ref[usb.current]}")"
    add_row "$row_format" reference-usb "$((SECONDS - started))" "$BOOTED" "$(named_image)" "$state" - - ok
    rows+=("    fault: none; the image partition on the usb" "    tool: $tool" "    reason: $(reason_line)")
    remove_case_disks "$name"
}

# Runs case $1: the faulty boot and the clean one; adds its rows; counts a
# case that breaks a rule in failures.
run_case() {
    local name=$1 started=$SECONDS layout disk_source ballast stick_rules disk_rules fault disk stick
    local want_last want_state want_booted want_reason evidence evidence_after
    setup_case "$name"
    fresh_case_disks "$name" "$disk_source"
    log "case $name: $fault"
    local boot_timeout=$boot_timeout attempt
    for attempt in 1 2; do
        fault_boot "fault-$name" "$layout" "$disk" "$stick" "$stick_rules" "$disk_rules" "$ballast"
        # A boot that only ran out of time, on a machine slower today, is
        # made again on fresh disks with twice the time.
        if [[ $BOOTED != timeout ]] || grep -q 'Kernel panic' "$LOG" || ((attempt == 2)); then
            break
        fi
        log "case $name: the boot ran out of time (${boot_timeout} s): booting again with $((2 * boot_timeout)) s"
        boot_timeout=$((2 * boot_timeout))
        fresh_case_disks "$name" "$disk_source"
    done
    local booted=$BOOTED named tool last reason state problems=() fired=yes
    named=$(named_image)
    tool=$(tool_output)
    last=${tool##*|}
    reason=$(reason_line)
    state=$(sd_state "$disk")
    # The rules for every case.
    [[ $booted == v1 || $booted == v2 ]] || problems+=("did not boot a firmware ($booted)")
    ! grep -q 'Kernel panic' "$LOG" || problems+=("kernel panic")
    if [[ -n $ballast ]] && grep -q -e 'Out of memory' -e 'cannot fill the ballast' "$LOG"; then
        problems+=("the ballast of $ballast MiB left the guest short of memory (KESTRAN_FAULT_BALLAST)")
    fi
    if [[ $tool == *"Update complete."* && " $state " != *" current=v2 "* ]]; then
        problems+=("'Update complete.' with current not v2")
    fi
    if [[ $named == none ]]; then
        problems+=("no image named")
    elif [[ " $state " != *" $named=$booted "* ]]; then
        problems+=("the named $named image is not the whole $booted")
    fi
    [[ $state != *fsck=* && $state != *extra=* ]] || problems+=("partition: $state")
    # This case's own.
    [[ $last == "$want_last" ]] || problems+=("last tool line '$last', expected '$want_last'")
    [[ $booted == "$want_booted" ]] || problems+=("booted $booted, expected $want_booted")
    # shellcheck disable=SC2053 # want_state may be a pattern
    [[ -z $want_state || $state == $want_state ]] || problems+=("partition $state, expected $want_state")
    [[ -z $want_reason || $reason == *"$want_reason"* ]] ||
        problems+=("reason '$reason', expected one naming '$want_reason'")
    # Did the fault strike, and where it was meant to?
    local seen_at after_at
    seen_at=$(console | grep -n -m 1 -E "$evidence" | cut -d: -f1 || true)
    if [[ -z $seen_at ]] && grep -q -s -E "$evidence" "$work/logs/fault-$name.qemu"; then
        seen_at=qemu
    fi
    if [[ -z $seen_at ]]; then
        fired=no
    elif [[ -n $evidence_after ]]; then
        after_at=$(console | grep -n -m 1 -x -F "$evidence_after" | cut -d: -f1 || true)
        if [[ -z $after_at || $seen_at == qemu ]] || ((seen_at < after_at)); then
            fired=early
        fi
    fi
    local retries=$RETRIES qemu_said
    qemu_said=$(sort "$work/logs/fault-$name.qemu" 2>/dev/null | uniq -c |
        sed 's/^ *\([0-9]*\) /\1x /' | paste -sd';' || true)
    local faulty_log=$LOG

    fault_boot "fault-$name-clean" "$layout" "$disk" "$stick" "" "" ""
    retries=$((retries + RETRIES))
    local clean_booted=$BOOTED clean_tool clean_state
    clean_tool=$(tool_output)
    clean_state=$(sd_state "$disk")
    [[ $clean_booted == v2 && $clean_state == "$installed_state" ]] ||
        problems+=("clean boot: booted $clean_booted, $clean_state")
    [[ ${clean_tool##*|} == "Update complete." || $clean_tool == "Firmware update found." ]] ||
        problems+=("clean boot: tool '$clean_tool'")

    local verdict=ok
    case $fired in
    no) verdict="NOT FIRED" ;;
    early) verdict="FIRED EARLY" ;;
    esac
    if ((${#problems[@]} > 0)); then
        verdict="FAIL"
        [[ $fired == yes ]] || verdict+=" ($fired fired)"
    fi
    [[ $verdict == ok ]] || failures=$((failures + 1))
    add_row "$row_format" "$name" "$((SECONDS - started))" "$booted" "$named" "$state" "$clean_booted" \
        "$clean_state" "$verdict"
    rows+=("    fault: $fault" "    tool: $tool" "    reason: $reason")
    [[ -z $qemu_said ]] || rows+=("    qemu: $qemu_said")
    ((retries == 0)) || rows+=("    booted again $retries time(s): the SCSI disks came up the other way round")
    ((${#problems[@]} == 0)) || rows+=("    broken: $(printf '%s; ' "${problems[@]}")(console: $faulty_log)")
    if [[ $fired != yes ]]; then
        local where=${evidence_after:+" after the line \"$evidence_after\""}
        rows+=("    the fault did not show where meant ($fired): no match for /$evidence/$where (console: $faulty_log)")
    fi
    [[ $verdict != ok ]] || remove_case_disks "$name"
}

main() {
    [[ -f $work/stick-v2.img ]] || die "nothing built: run tests/device/build.sh first"
    grep -q kestran_imgdev "$work/initramfs/etc/init-updater/start-up.conf" ||
        die "the start-up in $work predates kestran_imgdev: run tests/device/build.sh"
    local wanted=${KESTRAN_FAULT_CASES:-ci} cases=()
    case $wanted in
    ci) cases=("${ci_cases[@]}") ;;
    all) cases=("${ci_cases[@]}" "${extra_cases[@]}") ;;
    *) read -r -a cases <<<"$wanted" ;;
    esac
    local name
    for name in "${cases[@]}"; do
        [[ " ${ci_cases[*]} ${extra_cases[*]} " == *" $name "* ]] ||
            die "no case $name (cases: ${ci_cases[*]} ${extra_cases[*]})"
    done
    local start=$SECONDS images
    images=$(cat "$work/v1.sqsh" "$work/v2.sqsh" | sha256sum)
    mkdir -p "$work/logs"
    rows=() failures=0
    row_format='%-28s %4s  %-6s %-8s  %-46s  %-6s %-34s %s'
    # The partition with a fallback image beside the current one.
    if [[ " ${cases[*]} " == *" current-unreadable-fallback "* ]]; then
        make_sd "$work/fault-with-fallback.img" "kestran_current.sqsh=$work/v1.sqsh" \
            "kestran_fallback.sqsh=$work/v1.sqsh"
    fi
    # The reference boots the cases need, first.
    for name in "${cases[@]}"; do
        case $name in
        stick-copy | write-install | flush-*) reference ;;
        esac
    done
    for name in "${cases[@]}"; do
        run_case "$name"
    done
    [[ $(cat "$work/v1.sqsh" "$work/v2.sqsh" | sha256sum) == "$images" ]] ||
        die "build/device was built again while the faults ran: run them again"
    rm -f "$work/fault-with-fallback.img"
    print_table "Media faults: each case a boot with the fault, then a clean boot (s: both)." "$row_format" \
        case s booted named "partition after the faulty boot" clean "partition after the clean boot" verdict
    log "media faults: ${#cases[@]} cases in $((SECONDS - start)) s"
    ((failures == 0)) || die "$failures of ${#cases[@]} fault cases broke a rule or did not fire"
    echo "ok: ${#cases[@]} fault cases"
}

main "$@"

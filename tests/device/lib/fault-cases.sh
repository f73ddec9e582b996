# The cases of the media faults (faults.sh): what each injects and what it
# expects. The CI set, then what KESTRAN_FAULT_CASES=all adds:
#   stick-checksum      every read of a sector of kestran.fir fails: "Firmware
#                       update could not be read.", nothing written
#   stick-copy          the stick fails only once the checksum has read it (a
#                       ballast makes the copy read it again): "Update
#                       failed.", v1 kept and booted
#   current-retry       the current image's first checksum fails, the second
#                       reads: "Update complete.", v1 kept as the fallback
#   current-unreadable  the current image never reads and there is no
#                       fallback image: "Update failed.", nothing written
#   write-install       writes of the new current image fail (usb)
#   flush-install       flushes fail from the install copy's on (usb): ext4
#                       goes read-only, the marker keeps the device on v1
#   sd-lost-install     the SD card loses writes of the new current image: the
#                       read-back must catch it
#   sd-lost-fallback    the same for the fallback copy: current untouched,
#                       the spoilt copy removed, no fallback image
#   stick-transient     one failed read of the stick: the kernel's retry hides
#                       it, the update completes
#   current-unreadable-fallback  both checksums of the current image fail
#                       (not every later read, as in current-unreadable), with
#                       a fallback image: the current image is overwritten,
#                       the update completes
#   write-fallback, flush-fallback  as write-install and flush-install, from
#                       the fallback copy on
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings of lib/common.sh and faults.sh
# shellcheck disable=SC2034 # setup_case sets the variables of run_case

readonly ci_cases=(stick-checksum stick-copy current-retry current-unreadable write-install
    flush-install sd-lost-install sd-lost-fallback)
readonly extra_cases=(stick-transient current-unreadable-fallback write-fallback flush-fallback)

# Sets what case $1 needs and expects:
#   layout        sd or usb
#   disk_source   the image disk to start from (the SD card of the build)
#   ballast       MiB of memory taken before the update, or empty
#   stick_rules disk_rules   blkdebug rules (text), or empty
#   fault         what is injected, for the table
#   want_last     the tool's last line ("Update failed." unless set)
#   want_state    the partition after the faulty boot, when it is certain
#   want_booted   v1 or v2 (v1 unless set)
#   want_reason   a pattern for the tool's reason line, or empty
#   evidence      a pattern on the console and QEMU's messages that shows
#                 the fault struck
#   evidence_after  a console line the first evidence must come after
setup_case() {
    layout=usb disk_source=$work/sd.img ballast='' stick_rules='' disk_rules=''
    want_last="Update failed." want_booted=v1 want_state='' want_reason='' evidence_after=''
    local update first last sectors free spread
    sectors=$(stick_file_sectors "$work/stick-v2.img")
    first=${sectors% *} last=${sectors#* }
    # Sectors of the update at percent $1 of its length.
    update_at() { echo $((first + ($2 - first + 1) * $1 / 100)); }
    case $1 in
    stick-checksum)
        update=$(update_at 50 "$last")
        stick_rules=$(inject_io read "$update" read_aio)
        fault="stick: read_aio EIO on every read of sector $update (50% into kestran.fir, sectors $first-$last)"
        want_last="Firmware update could not be read."
        want_state=$unchanged_state
        evidence='I/O error, dev sda, sector [0-9]+ op 0x0:\(READ\)'
        ;;
    stick-transient)
        update=$(update_at 50 "$last")
        stick_rules=$(inject_io read "$update" read_aio "" once)
        fault="stick: read_aio EIO once on sector $update (50% into kestran.fir)"
        want_last="Update complete." want_booted=v2 want_state=$installed_state
        evidence='I/O error, dev sda, sector [0-9]+ op 0x0:\(READ\)'
        ;;
    stick-copy)
        reference
        local n=${ref[usb.reads]}
        sectors="$(update_at 50 "$last") $(update_at 60 "$last") $(update_at 70 "$last")"
        stick_rules="$(count_events read_aio "$n")
$(inject_io read "$sectors" read_aio $((n + 1)))"
        ballast=$ballast_mib
        fault="stick: after $n reads (the checksum's, from the reference boot) read_aio EIO on every read of sectors ${sectors// /, } (50, 60, 70% into kestran.fir); ballast $ballast MiB so that the copy reads the stick again"
        evidence='I/O error, dev sda, sector [0-9]+ op 0x0:\(READ\)'
        evidence_after='Copying the new firmware.'
        ;;
    current-retry | current-unreadable | current-unreadable-fallback)
        [[ $1 != current-unreadable-fallback ]] || disk_source=$work/fault-with-fallback.img
        sectors=$(ext4_block_at "$disk_source" kestran_current.sqsh 50)
        if [[ $1 != current-unreadable ]]; then
            # The first checksum of the image reads the block twice, the
            # read-ahead and then the page alone (each covers its first
            # sector), and a second checksum once or twice: two failing reads
            # fail the first checksum, four the second one too. Later reads
            # succeed (a read-ahead that fails is read again page by page),
            # so a new image that ext4 puts on the same block reads back.
            local failing=2 k
            [[ $1 == current-retry ]] || failing=4
            sectors=${sectors%% *}
            disk_rules=$(for ((k = 0; k < failing; k++)); do inject_io read "$sectors" read_aio "" once; done)
            fault="image disk: read_aio EIO on the first $failing reads of sector $sectors (in the block 50% into kestran_current.sqsh)"
            want_last="Update complete." want_booted=v2 want_state=$installed_state
        else
            disk_rules=$(inject_io read "$sectors" read_aio)
            fault="image disk: read_aio EIO on every read of sectors ${sectors// /, } (the block 50% into kestran_current.sqsh)"
        fi
        if [[ $1 == current-unreadable ]]; then
            want_state=$unchanged_state
            want_reason='could not be read and there is no fallback image'
        elif [[ $1 == current-unreadable-fallback ]]; then
            fault+="; the partition holds a fallback image (v1)"
        fi
        evidence="sha512sum: .*kestran_current.sqsh.*Input/output error"
        ;;
    write-install | write-fallback)
        sectors=$(free_space_sectors "$disk_source")
        read -r -a free <<<"$sectors"
        spread="any of ${#free[@]} sectors, one every 512 KiB of the free space (${free[0]}, ${free[1]}, ...)"
        if [[ $1 == write-fallback ]]; then
            # The first data written to free space is the fallback copy's.
            disk_rules=$(inject_io write "$sectors" write_aio)
            fault="image disk: write_aio EIO on every write of $spread: the fallback copy's writes fail"
            # What the failed copy left at its temporary name is removed.
            want_state=$unchanged_state
            want_reason="kestran_fallback.sqsh"
        else
            # Only once the fallback copy and the marker are flushed: the
            # next data is the install copy's.
            reference
            local k=$((${ref[usb.flush.current]} - 1))
            disk_rules="$(count_events flush_to_disk "$k")
$(inject_io write "$sectors" write_aio $((k + 1)))"
            fault="image disk: after $k flushes (the fallback copy's and the marker's, from the reference boot) write_aio EIO on every write of $spread: the install copy's writes fail"
            want_reason="kestran_current.sqsh"
        fi
        evidence='I/O error, dev sdb, sector [0-9]+ op 0x1:\(WRITE\)'
        evidence_after='Copying the new firmware.'
        ;;
    flush-install | flush-fallback)
        reference
        local image=current
        [[ $1 == flush-fallback ]] && image=fallback
        local k=${ref[usb.flush.$image]}
        disk_rules=$(inject_flush "$k")
        fault="image disk: flush_to_disk EIO on flush $k and every one after (the first after the $image copy's writes in the reference boot)"
        want_reason="cannot flush /mnt/imgpart/kestran_$image.sqsh"
        evidence='I/O error, dev sdb, sector 0 op 0x[0-9a-f]*:\(FLUSH\)|Aborting journal on device sdb1'
        evidence_after='Copying the new firmware.'
        ;;
    sd-lost-install | sd-lost-fallback)
        layout=sd
        sectors=$(free_space_sectors "$disk_source")
        read -r -a free <<<"$sectors"
        spread="any of ${#free[@]} sectors, one every 512 KiB of the free space (${free[0]}, ${free[1]}, ...)"
        if [[ $1 == sd-lost-fallback ]]; then
            # The first data written to free space is the fallback copy's.
            disk_rules=$(inject_io write "$sectors" write_aio)
            fault="SD card: write_aio EIO on every write of $spread, from the start: the fallback copy loses them"
            # The spoilt copy never becomes the fallback image: it is
            # removed from its temporary name.
            want_state=$unchanged_state
            want_reason="kestran_fallback.sqsh.new reads back from the medium other than what was copied"
        else
            # The card reads a 512-byte block per event. Before the fallback
            # copy is read back, it has read the current image once (its
            # checksum) and some metadata; by the end of that read-back, the
            # fallback copy too. Halfway through it no data is being written:
            # the losses start there and strike the install copy. (A tool
            # that did not read the fallback copy back would never open this
            # gate: the case would show as not fired.)
            local size n
            size=$(stat -c %s "$work/v1.sqsh")
            n=$(((size + 511) / 512))
            n=$((n + n / 2))
            disk_rules="$(count_events read_aio "$n")
$(inject_io write "$sectors" write_aio $((n + 1)))"
            fault="SD card: after $n reads (halfway through the read-back of the fallback copy) write_aio EIO on every write of $spread: the install copy loses them"
            want_reason="kestran_current.sqsh reads back from the medium other than what was copied"
        fi
        evidence='sd_blk_write: write error on host side'
        ;;
    *) die "no case $1 (cases: ${ci_cases[*]} ${extra_cases[*]})" ;;
    esac
}

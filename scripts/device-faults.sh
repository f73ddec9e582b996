#!/usr/bin/env bash
# Media faults on the device in a box (scripts/device-box.sh): boots of the
# emulated device with QEMU's blkdebug driver between a disk and its image
# file, injecting read, write and flush errors, judged from the host. Each
# case is a boot with the fault and the stick holding v2, then a clean boot
# (same disks, no blkdebug, the stick in), which must complete the update.
#
# Usage (as root, after `scripts/device-box.sh build`):
#   device-faults.sh                              the CI set
#   KESTRAN_FAULT_CASES=all device-faults.sh      every case
#   KESTRAN_FAULT_CASES="stick-copy flush-install" device-faults.sh
# KESTRAN_FAULT_TIMEOUT (s, default 150) bounds each boot. The consoles are
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
# blkdebug sits under a raw format node, which sends it the read_aio,
# write_aio and flush_to_disk events its rules wait for.
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
# The cases (the CI set, then what KESTRAN_FAULT_CASES=all adds):
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
#   sd-lost-fallback    the same for the fallback copy: current untouched
#   stick-transient     one failed read of the stick: the kernel's retry hides
#                       it, the update completes
#   current-unreadable-fallback  as current-unreadable, with a fallback image:
#                       the current image is overwritten, the update completes
#   write-fallback, flush-fallback  as write-install and flush-install, from
#                       the fallback copy on
#
# Rules for every case: the device boots (no timeout, no kernel panic, no
# failed start-up); the image kestran-boot-image names ("start-up: booting
# ...") is, byte for byte, the v1 or v2 that booted; "Update complete." only
# with a current image that is v2; the file system needs no repair; and the
# fault shows (an I/O error on the console, the checksum's read error, or
# QEMU's SD card message) where it was meant to strike, else the case is
# "NOT FIRED" or "FIRED EARLY", which fails the run too. Each case also has its own expectations. The clean
# boot must then boot v2 with current=v2 fallback=v1 and no marker.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=device-box.sh
source "$here/device-box.sh"

readonly ci_cases=(stick-checksum stick-copy current-retry current-unreadable write-install
    flush-install sd-lost-install sd-lost-fallback)
readonly extra_cases=(stick-transient current-unreadable-fallback write-fallback flush-fallback)
# MiB of the guest's 430 MiB held in a filled tmpfs for stick-copy
# (KESTRAN_FAULT_BALLAST): the page cache left (about 9 MiB) cannot keep the
# update from its checksum to its copy, which then reads the stick again.
# With 384 the copy still came from the cache; 410 ran the guest out of
# memory (kernel panic).
readonly ballast_mib=${KESTRAN_FAULT_BALLAST:-400}
boot_timeout=${KESTRAN_FAULT_TIMEOUT:-150}
readonly part_sector=$((part_offset / 512))
readonly installed="current=v2 fallback=v1 marker=no"

# ---- where things are on the disks

# The first and last sector of kestran.fir on the vfat stick image $1 (it
# must be in one piece, as on a stick made by make_stick).
stick_file_sectors() {
    local info spc reserved fats fatlen chain first last
    info=$(minfo -i "$1@@$part_offset" ::)
    spc=$(sed -n 's/^cluster size: \([0-9]*\) sectors$/\1/p' <<<"$info")
    reserved=$(sed -n 's/^reserved (boot) sectors: \([0-9]*\)$/\1/p' <<<"$info")
    fats=$(sed -n 's/^fats: \([0-9]*\)$/\1/p' <<<"$info")
    fatlen=$(sed -n 's/^Big fatlen=\([0-9]*\)$/\1/p' <<<"$info")
    [[ -n $fatlen ]] || fatlen=$(sed -n 's/^sectors per fat: \([0-9]*\)$/\1/p' <<<"$info")
    chain=$(mshowfat -i "$1@@$part_offset" ::kestran.fir)
    [[ $chain =~ \<([0-9]+)-([0-9]+)\>$ ]] ||
        die "kestran.fir on $1 is not in one piece: $chain"
    first=$((part_sector + reserved + fats * fatlen + (BASH_REMATCH[1] - 2) * spc))
    last=$((part_sector + reserved + fats * fatlen + (BASH_REMATCH[2] - 1) * spc - 1))
    local size
    size=$(stat -c %s "$work/v2.sqsh")
    ((last - first + 1 >= (size + 511) / 512)) || die "kestran.fir on $1 is shorter than v2"
    echo "$first $((first + (size + 511) / 512 - 1))"
}

ext4_block_size() {
    debugfs -R stats "$1?offset=$part_offset" 2>/dev/null | awk -F: '/^Block size/ { print $2 + 0 }'
}

# The extents of /$2 on the ext4 partition of the disk image $1, as sectors
# of the disk: "FIRST LAST" a line.
ext4_ranges() {
    local bs extent physical a b
    bs=$(ext4_block_size "$1")
    for extent in $(debugfs -R "stat /$2" "$1?offset=$part_offset" 2>/dev/null |
        grep -o '([0-9][0-9-]*):[0-9][0-9-]*'); do
        physical=${extent#*:}
        a=${physical%-*} b=${physical#*-}
        echo "$((part_sector + a * bs / 512)) $((part_sector + (b + 1) * bs / 512 - 1))"
    done
}

# The sectors of the block holding $3 percent of the way through /$2 on the
# disk image $1, space-separated.
ext4_block_at() {
    local bs size block first i sectors=()
    bs=$(ext4_block_size "$1")
    size=$(debugfs -R "stat /$2" "$1?offset=$part_offset" 2>/dev/null |
        sed -n 's/.*Size: \([0-9]*\).*/\1/p' | sed -n 1p)
    [[ -n $size && -n $bs ]] || die "no /$2 on $1"
    block=$(debugfs -R "bmap /$2 $((size * $3 / 100 / bs))" "$1?offset=$part_offset" 2>/dev/null)
    [[ $block =~ ^[1-9][0-9]*$ ]] || die "no block at $3% of /$2 on $1"
    first=$((part_sector + block * bs / 512))
    for ((i = 0; i < bs / 512; i++)); do sectors+=($((first + i))); done
    echo "${sectors[*]}"
}

# One sector every 512 KiB of the free space (runs of 64 blocks or more) on
# the ext4 partition of the disk image $1, space-separated: wherever ext4
# puts a new image, it covers some of them. (Where it puts one depends on
# timing: the block bitmaps are read in the background after the mount, and
# the allocator picks other groups before it knows them all.)
free_space_sectors() {
    local bs stride range a b x sectors=()
    bs=$(ext4_block_size "$1")
    stride=$((512 * 1024 / bs))
    for range in $(dumpe2fs "$1?offset=$part_offset" 2>/dev/null |
        sed -n 's/^ *Free blocks: \(.*\)$/\1/p' | tr ',' ' '); do
        a=${range%-*} b=${range#*-}
        ((b - a + 1 >= 64)) || continue
        for ((x = a + (b - a) % stride / 2; x <= b; x += stride)); do
            sectors+=($((part_sector + x * bs / 512)))
        done
    done
    ((${#sectors[@]} > 0)) || die "no free space on $1"
    echo "${sectors[*]}"
}

# The SCSI commands in the QEMU trace $1 (scsi_req_parsed events), in order:
# "LUN OPCODE LBA SECTORS" a line; opcodes in decimal: 40 READ(10), 42
# WRITE(10), 53 SYNCHRONIZE CACHE(10).
trace_commands() {
    awk '{ sub(/^.*scsi_req_parsed/, "scsi_req_parsed") }
        $1 == "scsi_req_parsed" { n++; lun[n] = $5; tag[n] = $7; op[n] = $9; len[n] = $13 }
        $1 == "scsi_req_parsed_lba" && n > 0 && tag[n] == $7 { lba[n] = $11 }
        END { for (i = 1; i <= n; i++) print lun[i], op[i], (i in lba) ? lba[i] : 0, int(len[i] / 512) }' "$1"
}

# How many reads of the stick (LUN 0) in trace $1 come up to the first one
# that covers sector $2.
reads_through() {
    trace_commands "$1" | awk -v s="$2" '$1 == 0 && $2 == 40 && !found {
        n++; if ($3 <= s && s < $3 + $4) { print n; found = 1 } }'
}

# Which flush of the image disk (LUN 1) in trace $1, counted as blkdebug
# counts flush_to_disk events (only a flush with a write before it since the
# last one reaches the disk), is the first after a write into the sectors
# "FIRST LAST" on standard input.
flush_after_writes_to() {
    local ranges
    ranges=$(tr '\n' ' ')
    trace_commands "$1" | awk -v r="$ranges" '
        BEGIN { k = split(r, x, " ") }
        $1 == 1 && $2 == 42 {
            dirty = 1
            for (i = 1; i < k; i += 2) if ($3 <= x[i + 1] && x[i] < $3 + $4) hit = 1
        }
        $1 == 1 && $2 == 53 && dirty && !found { n++; dirty = 0; if (hit) { print n; found = 1 } }'
}

# ---- blkdebug rules

# An error (EIO) on every $1 (read, write) covering each sector in $2, from
# the event $3 (read_aio, write_aio) on; in blkdebug state $4 only, when
# given; once for each sector and rule when $5 is "once".
inject_io() {
    local sector
    for sector in $2; do
        printf '[inject-error]\nevent = "%s"\niotype = "%s"\nerrno = "5"\nsector = "%s"\n' \
            "$3" "$1" "$sector"
        [[ -z ${4:-} ]] || printf 'state = "%s"\n' "$4"
        [[ ${5:-} != once ]] || printf 'once = "on"\n'
    done
}

# State 1 to $2 + 1, one step on each event $1: the rules for state $2 + 1
# apply from the ($2 + 1)th event on.
count_events() {
    local k
    for ((k = 1; k <= $2; k++)); do
        printf '[set-state]\nevent = "%s"\nstate = "%s"\nnew_state = "%s"\n' "$1" "$k" "$((k + 1))"
    done
}

# Every flush fails from the $1th flush_to_disk event on.
inject_flush() {
    count_events flush_to_disk $(($1 - 1))
    printf '[inject-error]\nevent = "flush_to_disk"\niotype = "flush"\nerrno = "5"\nstate = "%s"\n' "$1"
}

# ---- booting

# The -drive value for disk id $1 on image $2 (if=sd when $1 is sd), with
# the blkdebug rules file $3 when given.
drive() {
    local where="if=none,id=$1,werror=report,rerror=report"
    [[ $1 == sd ]] && where="if=sd"
    if [[ -n $3 ]]; then
        echo "$where,cache=$cache_mode,format=raw,file.driver=blkdebug,file.config=$3,file.image.driver=file,file.image.filename=$2"
    else
        echo "$where,cache=$cache_mode,format=raw,file=$2"
    fi
}

# Boots NAME in LAYOUT (sd, usb) from the image disk DISK and the stick
# STICK, with the rules files STICK_RULES and DISK_RULES (either may be
# empty), ballast BALLAST (MiB, or empty), and a trace of the SCSI commands
# in TRACE when given. QEMU's messages go to build/device/logs/NAME.qemu.
# In layout usb the kernel probes the two logical units concurrently and
# now and then names the image disk sda and the stick sdb: the start-up then
# fails to mount the stick's vfat as the ext4 image partition, before
# anything is written. Such a boot is made again (twice at most), and
# RETRIES counts them.
run_boot() {
    local attempt
    RETRIES=0
    for attempt in 1 2 3; do
        run_boot_once "$@"
        if [[ $2 != usb ]] || ((attempt == 3)) ||
            ! grep -q '^mount: mounting /dev/sdb1 on /mnt/imgpart failed: Invalid argument' "$LOG"; then
            break
        fi
        log "$1: the SCSI disks came up the other way round (the stick as sdb); booting again"
        RETRIES=$((RETRIES + 1))
    done
}

run_boot_once() {
    local name=$1 layout=$2 disk=$3 stick=$4 stick_rules=$5 disk_rules=$6 ballast=$7 trace=${8:-}
    local append=(loglevel=4) BOOT_DRIVES
    if [[ $layout == usb ]]; then
        BOOT_DRIVES=(-device "usb-bot,id=bot0"
            -drive "$(drive stick "$stick" "$stick_rules")"
            -device "scsi-hd,bus=bot0.0,scsi-id=0,lun=0,drive=stick"
            -drive "$(drive imgdisk "$disk" "$disk_rules")"
            -device "scsi-hd,bus=bot0.0,scsi-id=0,lun=1,drive=imgdisk")
        append+=(kestran_imgdev=/dev/sdb1)
    else
        BOOT_DRIVES=(-drive "$(drive sd "$disk" "$disk_rules")"
            -drive "$(drive stick "$stick" "$stick_rules")"
            -device "usb-storage,drive=stick")
    fi
    [[ -z $trace ]] || BOOT_DRIVES+=(-trace 'scsi_req_parsed*' -D "$trace")
    [[ -z $ballast ]] || append+=("kestran_ballast=$ballast")
    local said=$work/logs/$name.qemu
    boot "$name" "$disk" "$stick" "" "${append[@]}" 2>"$said"
    if [[ $BOOTED == timeout ]] && (($(awk -v s="$BOOT_SECONDS" 'BEGIN { print (s < 5) }'))); then
        cat "$said" >&2
        die "qemu did not start for $name"
    fi
    [[ -s $said ]] || rm -f "$said"
}

# The console of the last boot, without carriage returns.
console() { tr -d '\r' <"$LOG"; }

# The image the start-up named on the last boot: current, fallback or none.
named_image() {
    local image
    image=$(console | sed -n 's|^start-up: booting /mnt/imgpart/kestran_\(.*\)\.sqsh$|\1|p' | sed -n 1p)
    echo "${image:-none}"
}

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

fresh_case_disks() {
    local name=$1 source=${2:-$work/sd.img}
    cp --sparse=always "$source" "$work/fault-$name-disk.img"
    cp --sparse=always "$work/stick-v2.img" "$work/fault-$name-stick.img"
}

remove_case_disks() { rm -f "$work/fault-$1-disk.img" "$work/fault-$1-stick.img"; }

# A boot without faults in layout $1: the update must complete. Records in
# ref[] where the new images landed and, for usb, the counts from its trace.
reference() {
    local layout=$1 name=ref-$1 started=$SECONDS
    [[ -z ${ref[$layout]:-} ]] || return 0
    fresh_case_disks "$name"
    local disk=$work/fault-$name-disk.img stick=$work/fault-$name-stick.img
    local trace=''
    [[ $layout == usb ]] && trace=$work/logs/fault-$name.trace
    rm -f "$work/logs/fault-$name.trace"
    run_boot "fault-$name" "$layout" "$disk" "$stick" "" "" "" "$trace"
    local tool state
    tool=$(tool_output)
    state=$(sd_state "$disk")
    [[ $BOOTED == v2 && $tool == *"|Update complete." && $state == "$installed" ]] ||
        die "the reference boot ($layout, no fault) did not install v2: booted $BOOTED, tool '$tool', $state (console: $LOG)"
    ref[$layout]=yes
    local image
    for image in current fallback; do
        ref[$layout.$image]=$(ext4_ranges "$disk" "kestran_$image.sqsh")
    done
    if [[ $layout == usb ]]; then
        local sectors last
        sectors=$(stick_file_sectors "$stick")
        last=${sectors#* }
        ref[usb.reads]=$(reads_through "$trace" "$last")
        ref[usb.flush.fallback]=$(flush_after_writes_to "$trace" <<<"${ref[usb.fallback]}")
        ref[usb.flush.current]=$(flush_after_writes_to "$trace" <<<"${ref[usb.current]}")
        [[ -n ${ref[usb.reads]} && -n ${ref[usb.flush.fallback]} && -n ${ref[usb.flush.current]} ]] ||
            die "no counts in the trace of the reference boot ($trace)"
        log "reference usb: the stick read ${ref[usb.reads]} times until all of kestran.fir was read; flushes: ${ref[usb.flush.fallback]} after the fallback copy's writes, ${ref[usb.flush.current]} after the install copy's"
    fi
    log "reference $layout: new fallback at sectors $(tr '\n' ' ' <<<"${ref[$layout.fallback]}"), new current at $(tr '\n' ' ' <<<"${ref[$layout.current]}")"
    # shellcheck disable=SC2059 # the format is the table's
    rows+=("$(printf "$row_format" "reference-$layout" "$((SECONDS - started))" "$BOOTED" \
        "$(named_image)" "$state" - - ok)"
        "    fault: none; the image partition on the $layout" "    tool: $tool"
        "    reason: $(reason_line)")
    remove_case_disks "$name"
}

# ---- the cases

# Sets what case $1 needs and expects:
#   layout        sd or usb
#   disk_source   the image disk to start from (the SD card of the build)
#   ballast       MiB of memory taken before the update, or empty
#   stick_rules disk_rules   blkdebug rules (text), or empty
#   fault         what is injected, for the table
#   want_last     the tool's last line
#   want_state    the partition after the faulty boot, when it is certain
#   want_booted   v1 or v2
#   want_reason   a pattern for the tool's reason line, or empty
#   evidence      a pattern on the console and QEMU's messages that shows
#                 the fault struck
#   evidence_after  a console line the first evidence must come after
setup_case() {
    layout=usb disk_source=$work/sd.img ballast='' stick_rules='' disk_rules=''
    want_state='' want_reason='' evidence_after=''
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
        want_last="Firmware update could not be read." want_booted=v1
        want_state="current=v1 fallback=none marker=no"
        evidence='I/O error, dev sda, sector [0-9]+ op 0x0:\(READ\)'
        ;;
    stick-transient)
        update=$(update_at 50 "$last")
        stick_rules=$(inject_io read "$update" read_aio "" once)
        fault="stick: read_aio EIO once on sector $update (50% into kestran.fir)"
        want_last="Update complete." want_booted=v2 want_state=$installed
        evidence='I/O error, dev sda, sector [0-9]+ op 0x0:\(READ\)'
        ;;
    stick-copy)
        reference usb
        local n=${ref[usb.reads]}
        sectors="$(update_at 50 "$last") $(update_at 60 "$last") $(update_at 70 "$last")"
        stick_rules="$(count_events read_aio "$n")
$(inject_io read "$sectors" read_aio $((n + 1)))"
        ballast=$ballast_mib
        fault="stick: after $n reads (the checksum's, from the reference boot) read_aio EIO on every read of sectors ${sectors// /, } (50, 60, 70% into kestran.fir); ballast $ballast MiB so that the copy reads the stick again"
        want_last="Update failed." want_booted=v1
        evidence='I/O error, dev sda, sector [0-9]+ op 0x0:\(READ\)'
        evidence_after='Copying the new firmware.'
        ;;
    current-retry | current-unreadable | current-unreadable-fallback)
        if [[ $1 == current-unreadable-fallback ]]; then
            disk_source=$work/fault-with-fallback.img
            want_last="Update complete." want_booted=v2 want_state=$installed
        fi
        sectors=$(ext4_block_at "$disk_source" kestran_current.sqsh 50)
        if [[ $1 == current-retry ]]; then
            # Two reads fail: the read-ahead and the read of the page after
            # it, both in the first checksum of the image; the second one
            # reads. (Each read of the block covers its first sector.)
            sectors=${sectors%% *}
            disk_rules="$(inject_io read "$sectors" read_aio "" once)
$(inject_io read "$sectors" read_aio "" once)"
            fault="image disk: read_aio EIO on the first 2 reads of sector $sectors (in the block 50% into kestran_current.sqsh)"
            want_last="Update complete." want_booted=v2 want_state=$installed
        else
            disk_rules=$(inject_io read "$sectors" read_aio)
            fault="image disk: read_aio EIO on every read of sectors ${sectors// /, } (the block 50% into kestran_current.sqsh)"
        fi
        if [[ $1 == current-unreadable ]]; then
            want_last="Update failed." want_booted=v1
            want_state="current=v1 fallback=none marker=no"
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
            want_state="current=v1 fallback=other* marker=no"
            want_reason="kestran_fallback.sqsh"
        else
            # Only once the fallback copy and the marker are flushed: the
            # next data is the install copy's.
            reference usb
            local k=$((${ref[usb.flush.current]} - 1))
            disk_rules="$(count_events flush_to_disk "$k")
$(inject_io write "$sectors" write_aio $((k + 1)))"
            fault="image disk: after $k flushes (the fallback copy's and the marker's, from the reference boot) write_aio EIO on every write of $spread: the install copy's writes fail"
            want_reason="kestran_current.sqsh"
        fi
        want_last="Update failed." want_booted=v1
        evidence='I/O error, dev sdb, sector [0-9]+ op 0x1:\(WRITE\)'
        evidence_after='Copying the new firmware.'
        ;;
    flush-install | flush-fallback)
        reference usb
        local image=current
        [[ $1 == flush-fallback ]] && image=fallback
        local k=${ref[usb.flush.$image]}
        disk_rules=$(inject_flush "$k")
        fault="image disk: flush_to_disk EIO on flush $k and every one after (the first after the $image copy's writes in the reference boot)"
        want_last="Update failed." want_booted=v1
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
            want_state="current=v1 fallback=other* marker=no"
            want_reason="kestran_fallback.sqsh reads back from the medium other than what was copied"
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
        want_last="Update failed." want_booted=v1
        evidence='sd_blk_write: write error on host side'
        ;;
    *) die "no case $1 (cases: ${ci_cases[*]} ${extra_cases[*]})" ;;
    esac
}

# Runs case $1: the faulty boot and the clean one; adds its rows; counts a
# case that breaks a rule in failures.
run_case() {
    local name=$1 started=$SECONDS layout disk_source ballast stick_rules disk_rules fault
    local want_last want_state want_booted want_reason evidence evidence_after
    setup_case "$name"
    fresh_case_disks "$name" "$disk_source"
    local disk=$work/fault-$name-disk.img stick=$work/fault-$name-stick.img
    local stick_config='' disk_config=''
    if [[ -n $stick_rules ]]; then
        stick_config=$work/fault-$name-stick.ini
        echo "$stick_rules" >"$stick_config"
    fi
    if [[ -n $disk_rules ]]; then
        disk_config=$work/fault-$name-disk.ini
        echo "$disk_rules" >"$disk_config"
    fi
    log "case $name: $fault"
    run_boot "fault-$name" "$layout" "$disk" "$stick" "$stick_config" "$disk_config" "$ballast"
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

    run_boot "fault-$name-clean" "$layout" "$disk" "$stick" "" "" ""
    retries=$((retries + RETRIES))
    local clean_booted=$BOOTED clean_tool clean_state
    clean_tool=$(tool_output)
    clean_state=$(sd_state "$disk")
    [[ $clean_booted == v2 && $clean_state == "$installed" ]] ||
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
    # shellcheck disable=SC2059 # the format is the table's
    rows+=("$(printf "$row_format" "$name" "$((SECONDS - started))" "$booted" "$named" "$state" \
        "$clean_booted" "$clean_state" "$verdict")")
    rows+=("    fault: $fault" "    tool: $tool" "    reason: $reason")
    [[ -z $qemu_said ]] || rows+=("    qemu: $qemu_said")
    ((retries == 0)) || rows+=("    booted again $retries time(s): the SCSI disks came up the other way round")
    ((${#problems[@]} == 0)) || rows+=("    broken: $(printf '%s; ' "${problems[@]}")(console: $faulty_log)")
    if [[ $fired != yes ]]; then
        local where=${evidence_after:+" after the line \"$evidence_after\""}
        rows+=("    the fault did not show where meant ($fired): no match for /$evidence/$where (console: $faulty_log)")
    fi
    if [[ $verdict == ok ]]; then
        remove_case_disks "$name"
        rm -f "$work/fault-$name-stick.ini" "$work/fault-$name-disk.ini"
    fi
}

main() {
    ((EUID == 0)) || die "run as root"
    [[ -f $work/initramfs.cpio && -f $work/stick-v2.img ]] ||
        die "nothing built: run scripts/device-box.sh build first"
    grep -q kestran_imgdev "$work/initramfs/init" ||
        die "the start-up in $work predates kestran_imgdev: run scripts/device-box.sh build"
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
        rm -rf "$work/fault-with-fallback-root"
        mkdir -p "$work/fault-with-fallback-root"
        cp "$work/v1.sqsh" "$work/fault-with-fallback-root/kestran_current.sqsh"
        cp "$work/v1.sqsh" "$work/fault-with-fallback-root/kestran_fallback.sqsh"
        make_sd "$work/fault-with-fallback.img" "$work/fault-with-fallback-root"
    fi
    # The reference boots the cases need, first.
    for name in "${cases[@]}"; do
        case $name in
        stick-copy | write-install | flush-*) reference usb ;;
        esac
    done
    for name in "${cases[@]}"; do
        run_case "$name"
    done
    [[ $(cat "$work/v1.sqsh" "$work/v2.sqsh" | sha256sum) == "$images" ]] ||
        die "build/device was built again while the faults ran: run them again"
    rm -rf "$work/fault-with-fallback-root" "$work/fault-with-fallback.img"
    echo
    echo "Media faults: each case a boot with the fault, then a clean boot (s: both)."
    # shellcheck disable=SC2059 # the format is the table's
    printf "$row_format\n" case s booted named "partition after the faulty boot" clean "partition after the clean boot" verdict
    printf '%s\n' "${rows[@]}"
    log "media faults: ${#cases[@]} cases in $((SECONDS - start)) s"
    ((failures == 0)) || die "$failures of ${#cases[@]} fault cases broke a rule or did not fire"
    echo "ok: ${#cases[@]} fault cases"
}

main "$@"

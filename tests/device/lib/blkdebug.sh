# QEMU's blkdebug driver between a disk and its image file, for the media
# faults (faults.sh): the rules that inject errors, and the boot with them.
# blkdebug sits under a raw format node, which sends it the read_aio,
# write_aio and flush_to_disk events its rules wait for.
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings of lib/common.sh, sourced first

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

# Boots NAME in LAYOUT (sd, usb) from the image disk DISK and the stick
# STICK, with the blkdebug rules STICK_RULES and DISK_RULES (text; either
# may be empty), ballast BALLAST (MiB, or empty), and a trace of the SCSI
# commands in TRACE when given (layout usb):
#   fault_boot NAME LAYOUT DISK STICK STICK_RULES DISK_RULES BALLAST [TRACE]
# QEMU's messages go to build/device/logs/NAME.qemu (removed when empty).
# Sets what boot sets, RETRIES included (in layout usb the two logical units
# may come up the other way round); dies when qemu did not start.
fault_boot() {
    local name=$1 layout=$2 disk=$3 stick=$4 STICK_RULES=$5 DISK_RULES=$6 ballast=$7 trace=${8:-}
    local append=(loglevel=4) BOOT_DRIVES=() QEMU_LOG=$work/logs/$1.qemu
    if [[ $layout == usb ]]; then
        BOOT_DRIVES=(-device "usb-bot,id=bot0"
            -drive "$(drive stick "$stick" "$STICK_RULES")"
            -device "scsi-hd,bus=bot0.0,scsi-id=0,lun=0,drive=stick"
            -drive "$(drive imgdisk "$disk" "$DISK_RULES")"
            -device "scsi-hd,bus=bot0.0,scsi-id=0,lun=1,drive=imgdisk")
        [[ -z $trace ]] || BOOT_DRIVES+=(-trace 'scsi_req_parsed*' -D "$trace")
        append+=(kestran_imgdev=/dev/sdb1)
    fi
    [[ -z $ballast ]] || append+=("kestran_ballast=$ballast")
    boot "$name" "$disk" "$stick" "" "${append[@]}"
    if [[ $BOOTED == timeout ]] && (($(awk -v s="$BOOT_SECONDS" 'BEGIN { print (s < 5) }'))); then
        cat "$QEMU_LOG" >&2
        die "qemu did not start for $name"
    fi
    [[ -s $QEMU_LOG ]] || rm -f "$QEMU_LOG"
}

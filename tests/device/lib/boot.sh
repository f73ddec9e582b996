# Booting the emulated device, and reading its console.
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings of lib/common.sh, sourced first
# shellcheck disable=SC2034 # BOOTED, RETRIES and the like are the callers'

# Seconds a boot may take (the faults and the benchmark set their own).
boot_timeout=240

# Sets NOW_US to the microseconds since the epoch (the digits of
# EPOCHREALTIME, whatever the locale's decimal point).
now_us() {
    local t=${EPOCHREALTIME//[!0-9]/}
    NOW_US=$((10#$t))
}

# Seconds in $1 microseconds, to a tenth.
tenths() {
    local t=$(($1 / 100000))
    echo "$((t / 10)).$((t % 10))"
}

# Sets WROTE to the bytes qemu process $1 has written so far (to the disk
# images, and a few to the console file); 0 once it is gone.
written() {
    local key value
    WROTE=0
    while read -r key value; do
        [[ $key != wchar: ]] || {
            WROTE=$value
            return 0
        }
    done 2>/dev/null <"/proc/$1/io" || true
}

# Boots the device and shows the console as it runs, until the firmware
# reports, the start-up gives up, or a timeout.
#   boot NAME SD STICK|- [CUT_BYTES] [APPEND...]
# With CUT_BYTES, qemu is killed (SIGKILL: the power cut) once it has written
# that many bytes to its disks after "Firmware update found." appeared: the
# sweep follows the update's progress, however fast the machine is today.
# The start-up is $INITRAMFS (default: the one with the installed tool).
# Sets BOOTED (v1, v2, t1-t4, failed, cut, bench or timeout), BOOT_SECONDS, LOG,
# UPDATE_SECONDS and UPDATE_BYTES (from "Firmware update found." to "Update
# complete.", when both appeared) and CUT_SECONDS (after that line).
#
# The disks get the blkdebug rules DISK_RULES (the SD card) and STICK_RULES
# when those are set (see drive). The caller's drive and device arguments,
# when BOOT_DRIVES (an array) is set, replace those for SD and STICK; qemu's
# own messages go to the file QEMU_LOG when that is set (each boot made again
# starts it anew).
#
# A boot that nothing can have written from is made again, twice at most:
# one whose console stays empty is a board that never started the start-up
# (before the guest's clock counted instructions, a lost timer interrupt, see
# boot_once; none since); and with the image
# partition on the second logical unit of a USB disk (kestran_imgdev=/dev/sdb1)
# the kernel, which probes the two units concurrently, now and then names the
# image disk sda and the stick sdb: the start-up then fails to mount the
# stick's vfat as the ext4 image partition, before anything is written.
# RETRIES counts the boots made again for the second reason.
boot() {
    local attempt
    RETRIES=0
    for attempt in 1 2 3; do
        boot_once "$@"
        ((attempt < 3)) || break
        if [[ $BOOTED == timeout && ! -s $LOG ]]; then
            echo "--- boot $1: no console output at all: the emulated board did not start; booting again"
        elif grep -q '^mount: mounting /dev/sdb1 on /mnt/imgpart failed: Invalid argument' "$LOG"; then
            log "$1: the SCSI disks came up the other way round (the stick as sdb); booting again"
            RETRIES=$((RETRIES + 1))
        else
            break
        fi
    done
}

# One boot, as boot describes; a console still empty after 90 s ends it
# (but for the benchmark, whose guest prints only when a pair is done).
boot_once() {
    local name=$1 sd=$2 stick=$3 cut=${4:-} append=("${@:5}")
    local initramfs=${INITRAMFS:-$work/initramfs.cpio}
    LOG=$work/logs/$name.log
    rm -f "$LOG"
    : >"$LOG"
    local drives=("${BOOT_DRIVES[@]}")
    if ((${#drives[@]} == 0)); then
        drives=(-drive "$(drive sd "$sd" "${DISK_RULES:-}")")
        [[ $stick == - ]] ||
            drives+=(-drive "$(drive stick "$stick" "${STICK_RULES:-}")" -device "usb-storage,drive=stick")
    fi
    echo "--- boot $name: SD $(basename "$sd"), stick ${stick##*/}${cut:+, power cut after $cut bytes of the update}${INITRAMFS:+, start-up ${initramfs##*/}}"
    local started qemu_said NOW_US WROTE
    now_us
    started=$NOW_US
    if [[ -n ${QEMU_LOG:-} ]]; then
        exec {qemu_said}>"$QEMU_LOG"
    else
        exec {qemu_said}>&2
    fi
    # The guest's clock counts its instructions, 2 ns each (while it idles,
    # it follows the host's). On the host's clock the board hangs when this
    # process is preempted between the kernel's reading of the system timer
    # and its writing of the next compare: the compare lands in the past and
    # fires only when the 32-bit counter wraps, 71 minutes on. Four boots at
    # once beside two CPU hogs: 7 of 24 hung so; under this clock, none.
    # The benchmark keeps the host's clock: it times runs by the guest's.
    local clock=(-icount shift=1)
    [[ " ${append[*]} " != *" kestran_mode=bench "* ]] || clock=()
    qemu-system-arm -M raspi1ap -cpu arm1176 "${clock[@]}" -kernel "$(kernel_image)" \
        -dtb "$cache/target/$dtb_name" -initrd "$initramfs" \
        -append "console=ttyAMA0 rdinit=/init quiet loglevel=3 ${append[*]}" \
        "${drives[@]}" -display none -monitor none -serial "file:$LOG" -no-reboot 2>&"$qemu_said" &
    local qemu=$!
    exec {qemu_said}>&-
    tail -f --pid="$qemu" "$LOG" | strip_cr &

    local shower=$! found_at='' found_bytes='' complete_at='' complete_bytes='' deadline
    local pause_fd log_fd line partial='' finished=no
    deadline=$((started + boot_timeout * 1000000))
    BOOTED=timeout
    CUT_SECONDS=''
    # The loop reads the console as it grows and waits on a pipe no one
    # writes: it starts no process, and leaves the emulator its core.
    exec {pause_fd}<> <(:)
    exec {log_fd}<"$LOG"
    while kill -0 "$qemu" 2>/dev/null; do
        while IFS= read -r -u "$log_fd" line; do
            line=${partial}${line} partial=''
            line=${line%$'\r'}
            if [[ -z $found_at && $line == *'Firmware update found.'* ]]; then
                now_us
                written "$qemu"
                found_at=$NOW_US found_bytes=$WROTE
            fi
            if [[ -z $complete_at && $line == *'Update complete.'* ]]; then
                now_us
                written "$qemu"
                complete_at=$NOW_US complete_bytes=$WROTE
            fi
            # (The trial images say when they have done their confirming, or
            # not, and synced.)
            [[ $line != 'booted firmware v'[0-9]* && $line != *'start-up: boot failed'* &&
                $line != *'Kernel panic'* && $line != *'bench: done'* &&
                $line != 'firmware t'[0-9]': synced'* ]] || finished=yes
        done
        partial+=$line
        [[ -z $cut || -z $found_at ]] || written "$qemu"
        if [[ -n $cut && -n $found_at ]] && ((WROTE - found_bytes >= cut)); then
            kill -KILL "$qemu"
            BOOTED="cut"
            now_us
            CUT_SECONDS=$(tenths $((NOW_US - found_at)))
            break
        fi
        if [[ $finished == yes ]]; then
            # The firmware has synced and powers off; give it a moment.
            read -rt 1 -u "$pause_fd" || true
            break
        fi
        now_us
        ((NOW_US < deadline)) || break
        if [[ ! -s $LOG && " ${append[*]} " != *" kestran_mode=bench "* ]] &&
            ((NOW_US - started >= 90000000)); then
            break
        fi
        read -rt 0.05 -u "$pause_fd" || true
    done
    exec {pause_fd}<&- {log_fd}<&-
    kill -KILL "$qemu" 2>/dev/null || true
    wait "$qemu" 2>/dev/null || true
    wait "$shower" 2>/dev/null || true
    now_us
    BOOT_SECONDS=$(tenths $((NOW_US - started)))
    local firmware
    firmware=$(grep -m 1 -o '^booted firmware \(v[12]\|t[1-4]\)' "$LOG" || true)
    if [[ $BOOTED != cut ]]; then
        if [[ -n $firmware ]]; then
            BOOTED=${firmware##* }
        elif grep -q -e 'start-up: boot failed' -e 'Kernel panic' "$LOG"; then
            BOOTED=failed
        elif grep -q 'bench: done' "$LOG"; then
            BOOTED=bench
        fi
    fi
    UPDATE_SECONDS='' UPDATE_BYTES=''
    if [[ -n $found_at && -n $complete_at ]]; then
        UPDATE_SECONDS=$(tenths $((complete_at - found_at)))
        UPDATE_BYTES=$((complete_bytes - found_bytes))
    fi
    echo "--- boot $name: $BOOTED after ${BOOT_SECONDS}s${UPDATE_SECONDS:+ (update ${UPDATE_SECONDS}s, $UPDATE_BYTES bytes written)}"
}

# The -drive value for disk id $1 on image $2 (if=sd when $1 is sd), with
# the blkdebug rules $3 (see lib/blkdebug.sh) when given, written beside the
# image (IMAGE.ini for IMAGE.img).
drive() {
    local where="if=none,id=$1,werror=report,rerror=report"
    [[ $1 == sd ]] && where="if=sd"
    if [[ -n $3 ]]; then
        echo "$3" >"${2%.img}.ini"
        echo "$where,cache=$cache_mode,format=raw,file.driver=blkdebug,file.config=${2%.img}.ini,file.image.driver=file,file.image.filename=$2"
    else
        echo "$where,cache=$cache_mode,format=raw,file=$2"
    fi
}

# Standard input without the carriage returns of the serial console.
strip_cr() { tr -d '\r'; }

# The console of the last boot, without carriage returns.
console() { strip_cr <"$LOG"; }

# The tool's lines on the last console, one per line, joined by "|".
tool_output() { console | grep -E "$tool_lines" | paste -sd'|' || true; }

# The image the start-up named on the last console: current, fallback or
# none.
named_image() {
    local image
    image=$(console | sed -n 's|^start-up: booting /mnt/imgpart/kestran_\(.*\)\.sqsh$|\1|p' | sed -n 1p)
    echo "${image:-none}"
}

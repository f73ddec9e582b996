# Power cuts: the flash behind a loop device, and the run of a command cut
# off at a moment by killing it and copying the flash. Sourced by
# powercut.sh, inside the namespace of one pass, with scratch space at
# /mnt/w. The flash is /mnt/w/flash, a copy of the partition as it was before
# the run (/mnt/w/pristine); a cut's copy of it is /mnt/w/copy.
# shellcheck shell=bash

# Process groups started and loop devices attached, for the clean-up on exit;
# the loop device attached last; the length of an uncut run in microseconds.
groups=()
loops=()
dev=''
run_us=0

# Kills what is left of a cut run and detaches the loop devices.
clean_up() {
    local loop
    ((${#groups[@]} == 0)) || kill -KILL -- "${groups[@]}" 2>/dev/null || true
    for loop in "${loops[@]}"; do
        losetup -d "$loop" 2>/dev/null || true
    done
}

# Attaches FILE to a free loop device, kept in dev; prints nothing.
attach() {
    dev=$(losetup -f --show "$1")
    loops+=("$dev")
}

# Unmounts the partition, once the killed processes have let go of it, and
# detaches its loop device.
detach() {
    local tries=0
    until umount /mnt/imgpart 2>/dev/null; do
        ((++tries < 500)) || fail "cannot unmount /mnt/imgpart: $(umount /mnt/imgpart 2>&1)"
        pause 0.01
    done
    losetup -d "$dev"
    loops=()
}

# Opens the FIFO that pause reads from (made at /mnt/w/fifo); call once.
open_pause() {
    mkfifo /mnt/w/fifo
    exec {sleep_fd}<>/mnt/w/fifo
}

# Sleeps for SECONDS without starting a process.
pause() {
    read -rt "$1" -u "$sleep_fd" || true
}

# Prints the microseconds since the epoch.
now_us() {
    local t=${EPOCHREALTIME/./}
    echo "$((10#$t))"
}

# Mounts a fresh copy of the partition as it was before the run, with mount
# options OPTS.
fresh_partition() {
    cp /mnt/w/pristine /mnt/w/flash
    attach /mnt/w/flash
    mount -o "$1" "$dev" /mnt/imgpart
}

# Runs COMMAND on the partition, output to /mnt/w/stdout and /mnt/w/stderr.
# With a cut time CUT_US in microseconds, or "exit" for the moment it has
# exited, kills its process group then and copies the flash to /mnt/w/copy.
# With "" for CUT_US, waits for it and sets run_us.
run_cut() {
    local cut_us=$1 start pid ticker wait_us
    shift
    # With job control on, each background job leads a process group of its
    # own from the moment it starts. The command runs as the first process of
    # a PID namespace of its own: when a cut kills it, the kernel kills every
    # process in that namespace, also the commands it started in process
    # groups of their own.
    set -m
    # A writer of an unrelated file, each one-byte write fsynced: every write
    # commits ext4's journal.
    # shellcheck disable=SC2016 # the inner script expands its own arguments
    bash -c 'exec 3<>"$1"
        while :; do printf x; read -rt 0.003 -u 3 || :; done |
            dd of="$2" bs=1 oflag=dsync status=none' ticker /mnt/w/fifo /mnt/imgpart/ticks &
    ticker=$!
    start=$(now_us)
    unshare --pid --fork --kill-child "$@" >/mnt/w/stdout 2>/mnt/w/stderr </dev/null &
    pid=$!
    set +m
    groups=("-$pid" "-$ticker")
    if [[ $cut_us == exit ]]; then
        wait "$pid" || true
    elif [[ -n $cut_us ]]; then
        wait_us=$((start + cut_us - $(now_us)))
        if ((wait_us > 0)); then
            pause "$(printf '%d.%06d' $((wait_us / 1000000)) $((wait_us % 1000000)))"
        fi
    fi
    if [[ -n $cut_us ]]; then
        kill -KILL -- "-$pid" "-$ticker" 2>/dev/null || true
        cp /mnt/w/flash /mnt/w/copy
        wait "$pid" "$ticker" 2>/dev/null || true
        groups=()
    else
        wait "$pid" || fail "the uncut run ended with status $?"
        # shellcheck disable=SC2034 # the pass's length, for the sweep and its report
        run_us=$(($(now_us) - start))
        kill -KILL -- "-$ticker"
        wait "$ticker" 2>/dev/null || true
        groups=()
    fi
}

# Makes the partition before the run, /mnt/w/pristine: a fresh ext4 file
# system holding what PARTITION (partition.sh's notation) and TRIAL (a trial
# state, "-" none) say, and with VERSION, that version floor and recorded
# version; the stick must be mounted.
make_pristine() {
    truncate -s 512M /mnt/w/pristine
    mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 /mnt/w/pristine
    attach /mnt/w/pristine
    mount "$dev" /mnt/imgpart
    place_partition "$1"
    [[ $2 == - ]] || place_trial "$2"
    [[ -z ${3:-} ]] || place_versions "$3" "$3"
    detach
}

# Checks that loop devices and the e2fsprogs commands are there: exits 77
# (skipped) when not, or fails when CI=true.
require_loop_devices() {
    local why=''
    command -v mkfs.ext4 >/dev/null && command -v e2fsck >/dev/null || why="mkfs.ext4 and e2fsck (e2fsprogs)"
    [[ -n $why ]] || losetup -f >/dev/null 2>&1 || why="a free loop device"
    [[ -n $why ]] || return 0
    [[ ${CI:-} == true ]] && fail "$(basename "$0") needs $why"
    echo "SKIP: $(basename "$0") needs $why" >&2
    exit 77
}

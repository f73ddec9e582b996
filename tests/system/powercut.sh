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
# With trial boots (POWERCUT_TRIAL=1, TOOL a build with trial boots,
# BOOT_IMAGE its kestran-boot-image), every cut must also leave no new image
# that looks confirmed: the new image current without the install marker has
# a trial state, and it is never the fallback image. In every mode the
# fallback image a cut leaves is whole or absent. The harness's own calls
# of kestran-boot-image count no boots against the trial (they run a copy
# that allows any number). The pass alone-on-trial updates a current image on
# trial with no fallback image (kept all the same: it is the only image), and
# the pass boot-count cuts kestran-boot-image
# itself while it records a boot (trial state 1 of 2): the state left is the
# old or the new count, whole, and the image named is whole.
#
# Usage: powercut.sh TOOL [RUNNER...]
# Environment:
#   POWERCUT_CUTS    cuts per pass (default 40), more for a soak
#   POWERCUT_PASSES  "name ..." runs only those passes of the table
#   POWERCUT_CUT     runs only that cut (0 as the tool exits, 1..POWERCUT_CUTS
#                    through the sweep), to reproduce one
#   POWERCUT_T_MS    length of the uncut run instead of measuring it
# Exit status: 0 no cut lost anything, 1 a cut did (or the set-up failed),
# 77 no namespace or loop device (never 77 when CI=true: there that fails).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
readonly trial_mode=${POWERCUT_TRIAL:-}
readonly boot_image_built=${BOOT_IMAGE:-$here/../../dist/sbin/kestran-boot-image}
boot_image=$boot_image_built
readonly init_script=$here/../../dist/init.d/init-updater.in
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"

# name | mount options | partition before: current fallback marker
#   | after an uncut run: current fallback
# Images are the random payloads A (installed), O (older) and B (the
# update, always on the stick); "A<" is the first half of A, "-" no file,
# "M" the install marker.
readonly table='
update         | noauto_da_alloc,commit=300 | A  O - | B A
no-current     | noauto_da_alloc,commit=300 | -  O - | B O
resume         | noauto_da_alloc,commit=300 | B< A M | B A
update-default | defaults                   | A  O - | B A
boot-count     | noauto_da_alloc,commit=300 | A  O - | A O
alone-on-trial | noauto_da_alloc,commit=300 | A  - - | B A
'
readonly sizes='A=24M B=32M O=16M'
readonly cur=/mnt/imgpart/kestran_current.sqsh fb=/mnt/imgpart/kestran_fallback.sqsh
readonly marker=/mnt/imgpart/kestran_install.incomplete trial=/mnt/imgpart/kestran_trial

# Process groups started and loop devices attached, for the clean-up on exit.
groups=()
loops=()
clean_up() {
    local dev
    ((${#groups[@]} == 0)) || kill -KILL -- "${groups[@]}" 2>/dev/null || true
    for dev in "${loops[@]}"; do
        losetup -d "$dev" 2>/dev/null || true
    done
}

# Attaches FILE to a free loop device and prints nothing; the device is in
# $dev.
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

# Sleeps for SECONDS without starting a process.
pause() {
    read -rt "$1" -u "$sleep_fd" || true
}

# Microseconds since the epoch.
now_us() {
    local t=${EPOCHREALTIME/./}
    echo "$((10#$t))"
}

# What PATH holds: a payload letter, "X<" a strict prefix of payload X, "X~"
# the size of X but other bytes, "0" empty, "-" nothing, "/" not a regular
# file, "?" anything else.
describe() {
    local path=$1 size ref
    [[ -e $path || -L $path ]] || { echo -; return; }
    [[ -f $path && ! -L $path ]] || { echo /; return; }
    size=$(stat -c %s "$path")
    ((size > 0)) || { echo 0; return; }
    for ref in A B O; do
        ((size != ref_size[$ref])) || ! cmp -s "$path" "/mnt/ref/$ref" || { echo "$ref"; return; }
        ((size >= ref_size[$ref])) || ! cmp -s -n "$size" "$path" "/mnt/ref/$ref" || { echo "$ref<"; return; }
    done
    for ref in A B O; do
        ((size != ref_size[$ref])) || { echo "$ref~"; return; }
    done
    echo '?'
}

# Prints "current", "fallback" or "none" for the image kestran-boot-image
# names, and checks that it names a whole image allowed after a cut.
boot_choice() {
    local named
    if ! named=$(sh "$boot_image" 2>/dev/null); then
        echo none
        return
    fi
    case $named in
    "$cur") echo current ;;
    "$fb") echo fallback ;;
    *) echo "other:$named" ;;
    esac
}

# Runs the tool on the partition. With a cut time in microseconds, or "exit"
# for the moment it has exited, kills its process group then and copies the
# flash to /mnt/w/copy. Without one, waits for it and sets $run_us.
run_tool() {
    local cut_us=${1:-} start pid ticker wait_us
    # With job control on, each background job leads a process group of its
    # own from the moment it starts. The tool runs as the first process of a
    # PID namespace of its own: when a cut kills it, the kernel kills every
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
    unshare --pid --fork --kill-child "${cut_command[@]}" >/mnt/w/stdout 2>/mnt/w/stderr </dev/null &
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
        run_us=$(($(now_us) - start))
        kill -KILL -- "-$ticker"
        wait "$ticker" 2>/dev/null || true
        groups=()
    fi
}

# Mounts a fresh copy of the partition as it was before the run.
fresh_partition() {
    cp /mnt/w/pristine /mnt/w/flash
    attach /mnt/w/flash
    mount -o "$opts" "$dev" /mnt/imgpart
}

declare -A ref_size tally failures

# Records failure KIND for the current cut.
lost() {
    cut_failed+=("$1: $2")
}

# Checks the flash copied at cut $1, described as $2.
check_cut() {
    local i=$1 when=$2 rc=0 c f m boot boot_out whole_allowed
    cut_failed=()
    # How far the cut run got, by its messages: Found, Updating, Copying,
    # Done.
    local said
    said=$(sed -n -e 's/^Firmware update found\.$/F/p' -e 's/^Updating Firmware\.$/U/p' \
        -e 's/^Copying the new firmware\.$/C/p' -e 's/^Update complete\.$/D/p' /mnt/w/stdout | tr -d '\n')
    e2fsck -fy /mnt/w/copy >/mnt/w/fsck.log 2>&1 || rc=$?
    ((rc < 4)) || lost fsck "e2fsck left errors (status $rc): $(tail -n 3 /mnt/w/fsck.log)"
    attach /mnt/w/copy
    mount "$dev" /mnt/imgpart
    c=$(describe "$cur")
    f=$(describe "$fb")
    m=no
    [[ ! -e $marker ]] || m=yes

    if [[ -n $trial_mode ]]; then
        [[ $c != B || $m == yes || -e $trial ]] || lost t "the new image is current without a trial state"
        [[ $f != B ]] || lost t "the new image, never confirmed, is the fallback image"
    fi

    # The fallback image is whole or absent: a copy cut short never stands
    # at its path.
    [[ $f == - || " $before_whole B " == *" $f "* ]] || lost w "the fallback image is not whole: $f"

    # (a) the previous or the new image is whole.
    [[ " $prev B " == *" $c "* || " $prev B " == *" $f "* ]] ||
        lost a "no whole image: current $c, fallback $f"

    # (b) and (d): the image kestran-boot-image names is whole and allowed,
    # with the stick in, and after a start-up (the shipped init script) with
    # the stick removed, which must not write to the partition.
    whole_allowed=" $before_whole B "
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
    local out
    out=$("${RUNNER[@]}" "$TOOL" 2>/dev/null </dev/null | tr '\n' '|') || true
    case $out in
    "Firmware update found.|" | "Firmware update found.|Updating Firmware.|Copying the new firmware.|Update complete.|") ;;
    *) lost c "the next run printed: $out" ;;
    esac
    c=$(describe "$cur")
    f=$(describe "$fb")
    [[ ! -e $fb.new ]] || lost c "after the next run a partial fallback copy is left: $(describe "$fb.new")"
    [[ $c == "$want_cur" && $f == "$want_fb" && ! -e $marker ]] ||
        lost c "after the next run: current $c, fallback $f, marker $([[ -e $marker ]] && echo yes || echo no)"
    [[ $(boot_choice) == current ]] || lost c "after the next run kestran-boot-image names $(boot_choice)"
    [[ -z $trial_mode || $(cat "$trial" 2>/dev/null) == [0-9]* ]] ||
        lost t "after the next run the new image is not on trial"
    detach
    report_cut "$i" "$when"
}

# Reports the failures lost recorded for cut $1, described as $2, with the
# command that repeats it, and counts them.
report_cut() {
    ((${#cut_failed[@]} > 0)) || return 0
    failed_cuts=$((failed_cuts + 1))
    local why
    for why in "${cut_failed[@]}"; do
        echo "FAIL $name cut $1/$cuts $2: $why" >&2
        failures[${why%%:*}]=$((${failures[${why%%:*}]:-0} + 1))
    done
    echo "  reproduce: POWERCUT_PASSES=$name POWERCUT_CUTS=$cuts POWERCUT_CUT=$1" \
        "POWERCUT_T_MS=$((run_us / 1000)) bash $here/powercut.sh $TOOL ${RUNNER[*]}" >&2
}

# Checks the flash copied at cut $1 of the boot-count pass, described as $2:
# the trial state is the old count or the new one, and kestran-boot-image
# (the build's own) names a whole image.
check_count_cut() {
    local i=$1 when=$2 rc=0 state named
    cut_failed=()
    e2fsck -fy /mnt/w/copy >/mnt/w/fsck.log 2>&1 || rc=$?
    ((rc < 4)) || lost fsck "e2fsck left errors (status $rc): $(tail -n 3 /mnt/w/fsck.log)"
    attach /mnt/w/copy
    mount "$dev" /mnt/imgpart
    state=$(cat "$trial" 2>/dev/null || echo none)
    [[ $state == 1 || $state == 2 ]] || lost a "trial state '$state', expected 1 or 2"
    named=$(sh "$boot_image_built" 2>/dev/null) || named=none
    case $named in
    "$cur") [[ $(describe "$cur") == A ]] || lost b "names the current image, $(describe "$cur")" ;;
    "$fb") [[ $(describe "$fb") == O ]] || lost b "names the fallback image, $(describe "$fb")" ;;
    *) lost b "names $named" ;;
    esac
    local key="trial=$state new=no boot=${named##*/}"
    [[ ! -e $trial.new ]] || key=${key/new=no/new=yes}
    tally[$key]=$((${tally[$key]:-0} + 1))
    detach
    report_cut "$i" "$when"
}

# Runs one pass of the table; called inside its own mount namespace.
run_one() {
    local row=$1 before after p i
    IFS='|' read -r name opts before after <<<"$row"
    read -r name <<<"$name"
    read -r opts <<<"$opts"
    local bc bf bm
    read -r bc bf bm <<<"$before"
    read -r want_cur want_fb <<<"$after"
    cuts=${POWERCUT_CUTS:-40}
    ((cuts > 0)) || fail "POWERCUT_CUTS must be positive"

    trap clean_up EXIT
    mount -t tmpfs -o size=1g,mode=0755 scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref /mnt/w
    mkfifo /mnt/w/fifo
    exec {sleep_fd}<>/mnt/w/fifo
    for p in $sizes; do
        head -c "${p#*=}" /dev/urandom >"/mnt/ref/${p%%=*}"
        ref_size[${p%%=*}]=$(stat -c %s "/mnt/ref/${p%%=*}")
    done
    mount -t tmpfs -o mode=0755 usb /mnt/usb
    cp /mnt/ref/B /mnt/usb/kestran.fir

    # The partition before the run, kept as /mnt/w/pristine.
    truncate -s 512M /mnt/w/pristine
    mkfs.ext4 -q -F -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 /mnt/w/pristine
    attach /mnt/w/pristine
    mount "$dev" /mnt/imgpart
    local img path
    prev='' before_whole=''
    for img in "$bc:$cur" "$bf:$fb"; do
        p=${img%%:*} path=${img#*:}
        case $p in
        -) ;;
        ?\<) head -c $((ref_size[${p:0:1}] / 2)) "/mnt/ref/${p:0:1}" >"$path" ;;
        *)
            cp "/mnt/ref/$p" "$path"
            before_whole+=" $p"
            ;;
        esac
    done
    # The previous image: the whole one the device boots before the run.
    prev=$bf
    if [[ $bc == [A-Z] && $bm != M ]]; then
        prev=$bc
    fi
    if [[ $bm == M ]]; then
        : >"$marker"
    fi
    cut_command=("${RUNNER[@]}" "$TOOL")
    case $name in
    boot-count)
        echo 1 >"$trial"
        cut_command=(sh "$boot_image_built")
        ;;
    alone-on-trial) echo 1 >"$trial" ;;
    esac
    if [[ -n $trial_mode && $name != boot-count ]]; then
        sed 's/^trial_boots=.*/trial_boots=1000/' "$boot_image_built" >/mnt/w/boot-image
        boot_image=/mnt/w/boot-image
    fi
    detach

    # Three uncut runs must end as expected; the median of their lengths is
    # the length of the sweep.
    local ticks out runs=()
    for i in 1 2 3; do
        fresh_partition
        run_tool
        ticks=$(stat -c %s /mnt/imgpart/ticks)
        out=$(tr '\n' '|' </mnt/w/stdout)
        if [[ $name == boot-count ]]; then
            [[ $out == "$cur|" && $(cat "$trial") == 2 ]] ||
                fail "$name: an uncut run named '$out' and left trial state $(cat "$trial")"
        else
            [[ $out == *"Update complete.|" && $(describe "$cur") == "$want_cur" && $(describe "$fb") == "$want_fb" ]] ||
                fail "$name: an uncut run ended with '$out', current $(describe "$cur"), fallback $(describe "$fb")"
        fi
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
    failed_cuts=0
    for ((i = 0; i <= cuts; i++)); do
        [[ -z ${POWERCUT_CUT:-} || $POWERCUT_CUT == "$i" ]] || continue
        cut_us=exit when="as the tool exits"
        if ((i > 0)); then
            cut_us=$((run_us * 11 * i / (10 * cuts)))
            when="at $((cut_us / 1000)) ms"
        fi
        fresh_partition
        # (The braces keep bash's notices of the killed jobs off the output.)
        { run_tool "$cut_us"; } 2>/dev/null
        detach
        if [[ $name == boot-count ]]; then
            check_count_cut "$i" "$when"
        else
            check_cut "$i" "$when"
        fi
        made=$((made + 1))
    done

    local state kind
    echo "  cuts: $made, cuts with failures: $failed_cuts"
    for state in "${!tally[@]}"; do
        printf '  %3d  %s\n' "${tally[$state]}" "$state"
    done | sort -k2,2 -k3
    for kind in fsck w a b c d t; do
        [[ -z ${failures[$kind]:-} ]] || echo "  failure $kind: ${failures[$kind]}"
    done
    ((failed_cuts == 0))
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

main() {
    run_one_if_asked "$@"
    require_tool_and_namespace "$@"
    require_loop_devices
    local tool
    tool=$(readlink -f "$1")
    shift

    local passed=0 failed=0 row name
    while IFS= read -r row; do
        [[ -n ${row// /} ]] || continue
        name=$(cut -d'|' -f1 <<<"$row" | tr -d ' ')
        if [[ -n ${POWERCUT_PASSES:-} && " $POWERCUT_PASSES " != *" $name "* ]]; then
            continue
        fi
        [[ $name != boot-count && $name != alone-on-trial || -n $trial_mode ]] || continue
        if ROW=$row unshare --mount --propagation private \
            bash "$here/powercut.sh" --one "$tool" "$@"; then
            passed=$((passed + 1))
        else
            echo "FAIL pass $name"
            failed=$((failed + 1))
        fi
    done <<<"$table"
    echo "power cuts: $passed passes passed, $failed failed"
    ((failed == 0 && passed > 0))
}

main "$@"

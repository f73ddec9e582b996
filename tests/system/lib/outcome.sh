# What a row of the scenario table expects of a run: its output, exit
# status and standard error, what the partition holds after it, what was
# not written, and what its fault says of the run. Sourced by scenarios.sh,
# inside the namespace of one row, with faults.sh and partition.sh.
# shellcheck shell=bash

# shellcheck source-path=SCRIPTDIR source=partition.sh
declare -F place_partition >/dev/null || source "$(dirname "${BASH_SOURCE[0]}")/partition.sh"

# Prints the expected standard output for CODES, one line per letter ("-"
# nothing): F "Firmware update found.", R "Firmware update could not be
# read.", U "Updating Firmware.", C "Copying the new firmware.", D "Update
# complete.", X "Update failed.", J "Firmware update rejected.".
expected_stdout() {
    local codes=$1 i
    [[ $codes == - ]] && return 0
    for ((i = 0; i < ${#codes}; i++)); do
        case ${codes:i:1} in
        F) echo "Firmware update found." ;;
        R) echo "Firmware update could not be read." ;;
        U) echo "Updating Firmware." ;;
        C) echo "Copying the new firmware." ;;
        D) echo "Update complete." ;;
        X) echo "Update failed." ;;
        J) echo "Firmware update rejected." ;;
        *) fail "unknown message code ${codes:i:1}" ;;
        esac
    done
}

# Prints the change time of PATH, or "none".
stamp() {
    stat -c %z "$1" 2>/dev/null || echo none
}

# Prints the change times of the current and fallback images and the update
# file, for check_outcome to compare.
stamps() {
    echo "$(stamp "$current_image")|$(stamp "$fallback_image")|$(stamp "$update_file")"
}

# Prints the events of the strace log LOG of the tool: the copies it
# started, the files it flushed and removed, in order.
flush_events() {
    awk '
        NR == 1 { tool = $1 }
        /execve\(/ && /\["cp", / {
            n = split($0, q, "\"")
            # q[4] is "cp", q[6] the source, q[8] the target
            sub(/.*\//, "", q[6]); sub(/.*\//, "", q[8])
            print "cp " q[6] " " q[8]
        }
        $1 == tool && /openat\(AT_FDCWD, "/ && / = [0-9]+$/ {
            split($0, q, "\""); fd[$NF] = q[2]
        }
        $1 == tool && /rename(at2?)?\(/ && / = 0$/ {
            split($0, q, "\""); print "rename " q[2] " " q[4]
        }
        $1 == tool && /unlink(at)?\(/ && / = 0$/ {
            split($0, q, "\""); print "unlink " q[2]
        }
        $1 == tool && /fsync\([0-9]+\) += 0$/ {
            match($0, /fsync\([0-9]+/); print "fsync " fd[substr($0, RSTART + 6, RLENGTH - 6)]
        }
    ' "$1"
}

# Fails unless the run that ended with exit status GOT matches the row: OUT
# message codes, STATUS (a number, or "killed" for any but 0), ERRTEXT ("-"
# empty standard error, "*" anything, else a text it must contain), AFTER
# the partition in image notation; the update file unwritten and, unless
# OUT has a C, no image written since BEFORE (as stamps printed it).
check_outcome() {
    local got=$1 out=$2 status=$3 errtext=$4 after=$5 before=$6
    if ! diff -u <(expected_stdout "$out") /mnt/stdout >&2; then
        fail "standard output differs"
    fi
    case $status in
    killed) ((got != 0)) || fail "exit status 0, expected the tool killed" ;;
    *) ((got == status)) || fail "exit status $got, expected $status" ;;
    esac
    case $errtext in
    -) [[ ! -s /mnt/stderr ]] || fail "unexpected standard error: $(cat /mnt/stderr)" ;;
    \*) ;;
    *) grep -qF -- "$errtext" /mnt/stderr || fail "standard error lacks '$errtext': $(cat /mnt/stderr)" ;;
    esac
    check_partition "$after"
    # A copy that did not finish leaves nothing at the fallback copy's
    # temporary name.
    if [[ $out == *C* && $status != killed ]]; then
        [[ ! -e $fallback_copy ]] || fail "a partial fallback copy is left"
    fi

    # The update file is never written; nothing is written before the
    # installation is announced.
    local now before_cur before_fb before_upd
    now=$(stamps)
    IFS='|' read -r before_cur before_fb before_upd <<<"$before"
    [[ ${now##*|} == "$before_upd" ]] || fail "update file was written"
    if [[ $out != *C* && $out != - ]]; then
        [[ $(stamp "$current_image") == "$before_cur" ]] || fail "current image was written"
        [[ $(stamp "$fallback_image") == "$before_fb" ]] || fail "fallback image was written"
    fi
}

# Fails unless the run shows what FAULT says of it: after a SIGTERM, no copy
# outlives the tool and a rerun finishes the job; the trial state a trial:
# fault names; under strace, no wait for the kernel's entropy, or the copies
# and flushes in order.
check_fault_outcome() {
    local fault=$1
    case $fault in
    fill-but-8k)
        # A write that failed leaves nothing at its temporary name.
        [[ -z $(find /mnt/imgpart -name '*.new') ]] || fail "left: $(find /mnt/imgpart -name '*.new')"
        ;;
    term-*)
        # Nothing the tool started outlives it; a rerun finishes the job.
        ! kill -0 "$(cat /mnt/cp.pid)" 2>/dev/null || fail "a copy outlived the tool"
        rm /mnt/bin/cp
        local got=0 stamped
        stamped=$(stamps)
        (run_tool /mnt/stdout /mnt/stderr) || got=$?
        (check_outcome "$got" FUCD 0 '*' "B A B -" "$stamped") || fail "the rerun did not finish the job"
        ;;
    trial:*) check_trial "${fault#*>}" ;;
    new-image-left) [[ ! -e $current_new ]] || fail "the new image's temporary name is left" ;;
    second-name) cmp -s /mnt/ref/A /mnt/imgpart/factory.sqsh || fail "the other name lost its bytes" ;;
    mount-*)
        # The mounted image still reads as it did.
        local mounted=A
        [[ $fault == mount-fallback ]] && mounted=O
        cmp -s /mnt/root/data "/mnt/sqfs/$mounted/data" || fail "the mounted image reads other bytes"
        ;;
    man*)
        # The version floor after the run; after an install, the new image's
        # version recorded.
        check_floor "${fault##*>}"
        local version=${fault#man*:}
        version=${version%%:*}
        if [[ -n ${SCENARIO_ROLLBACK:-} ]] && grep -qx "Update complete." /mnt/stdout; then
            [[ $(cat "$version_file" 2>/dev/null) == "$version" ]] ||
                fail "recorded version '$(cat "$version_file" 2>/dev/null)', expected $version"
        fi
        [[ ! -e $version_file.new ]] || fail "the recorded version's temporary file is left"
        ;;
    sig-valid-strace)
        # Nothing waits for the kernel's entropy: no getrandom that may block
        # (glibc's own, for malloc, never does: GRND_NONBLOCK), no random device.
        ! grep 'getrandom(' /mnt/trace | grep -v -E 'GRND_NONBLOCK|,1\) = ' >&2 ||
            fail "the run asked for random numbers that may not be there yet"
        ! grep -E '/dev/u?random' /mnt/trace >&2 || fail "the run opened a random device"
        grep -q 'kestran.fir.sig' /mnt/trace || fail "the trace does not show the signature read"
        ;;
    trace)
        local want
        if [[ $(install_target) == "$current_new" ]]; then
            want=$(printf '%s\n' \
                "fsync /mnt/imgpart" \
                "fsync /mnt/imgpart" \
                "unlink $fallback_image" \
                "fsync /mnt/imgpart" \
                "cp kestran.fir kestran_current.sqsh.new" \
                "fsync $current_new" \
                "fsync /mnt/imgpart" \
                "rename $current_image $fallback_image" \
                "fsync /mnt/imgpart" \
                "fsync $install_marker" \
                "fsync /mnt/imgpart" \
                "rename $current_new $current_image" \
                "fsync /mnt/imgpart")
        else
        want=$(printf '%s\n' \
            "fsync /mnt/imgpart" \
            "unlink $fallback_image" \
            "fsync /mnt/imgpart" \
            "cp kestran_current.sqsh kestran_fallback.sqsh.new" \
            "fsync $fallback_copy" \
            "fsync /mnt/imgpart" \
            "rename $fallback_copy $fallback_image" \
            "fsync /mnt/imgpart" \
            "fsync $install_marker" \
            "fsync /mnt/imgpart" \
            "unlink $current_image" \
            "fsync /mnt/imgpart" \
            "cp kestran.fir kestran_current.sqsh" \
            "fsync $current_image" \
            "fsync /mnt/imgpart")
        fi
        if [[ -n ${SCENARIO_TRIAL:-} ]]; then
            # The trial begins on storage before the marker goes.
            want+=$'\n'$(printf '%s\n' \
                "fsync $trial_file.new" \
                "rename $trial_file.new $trial_file" \
                "fsync /mnt/imgpart")
        fi
        want+=$'\n'$(printf '%s\n' \
            "unlink $install_marker" \
            "fsync /mnt/imgpart")
        # Then, with the event log, the new log and its entry.
        ! grep -a -q 'event log' "$TOOL" || want+=$'\n'"fsync $event_log"$'\n'"fsync /mnt/imgpart"
        diff -u <(echo "$want") <(flush_events /mnt/trace) >&2 ||
            fail "copies and flushes out of order"
        ;;
    esac
}

#!/usr/bin/env bash
# System scenarios for init-updater: each row of the table below runs the
# built tool once, in a private mount namespace of its own, against real
# files on fresh tmpfs mounts at /mnt/usb and /mnt/imgpart, with the real
# /bin/sha512sum and cp (replaced only to inject a fault). The host's /mnt is
# never touched: a scratch tmpfs covers it inside the namespace.
#
# Usage: scenarios.sh TOOL [RUNNER...]
#   TOOL     the init-updater binary
#   RUNNER   optional command that runs it (an emulator, valgrind)
# Environment: SCENARIOS="name ..." runs only those rows.
# Exit status: 0 all passed, 1 a scenario failed, 77 no namespace could be
# set up (never 77 when CI=true: there that is a failure).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"

# name | imgpart tmpfs size | payload sizes | before | fault | expected stdout
#   | exit | stderr | after
#
# The image partition is a tmpfs of the given size, or "ext4": an ext4 file
# system on a loop device, whose file is the medium behind the page cache.
# Rows named signed-* run only on a build with signing keys (SCENARIO_KEYS
# names the directory of their key pairs, test.pub and test.sec and so on,
# SCENARIO_TRUSTED the names of those the build trusts, "test" unless given,
# SIGNIFY the signify command), rows named trial-* only on a build with trial boots
# (SCENARIO_TRIAL=1), which also runs the plain rows. Their fault "trial:S>T"
# puts the trial state S there before the run ("-" none, "R" rejected, "/" a
# directory, else a number of boots; with a "p" after it, a FIFO at the
# temporary path kestran_trial.new) and expects T after it.
# Rows named squashfs-* run only on a build with the squashfs image check
# (SCENARIO_IMAGE_CHECK=1), which runs no other rows.
# Payloads are random bytes named by letter (A, B, O, E) of the given sizes,
# or with the size "sqfs" a squashfs image of a random 64 KiB file (mksquashfs).
# Before and after list the current image, the fallback image, the update
# file and the install marker. Images: a letter is a file with exactly that
# payload, "-" is no file, "A<" is a file holding a strict prefix of A (a copy
# cut short; before a run, the first half of A), "A~" a file of A's size
# holding other bytes, "/" a directory, "p" a FIFO,
# "c" a character device (as /dev/zero), "z" a symbolic link to /dev/zero,
# "d" a dangling link, "l" a link loop, "f" a link to the fallback image. Marker: "M" present, "/" a
# directory, "-" absent.
# Stdout codes, one line each: F "Firmware update found.", R "Firmware
# update could not be read.", U "Updating Firmware.", C "Copying the new
# firmware.", D "Update complete.", X "Update failed.", J "Firmware update
# rejected."; "-" nothing.
# Stderr: "-" empty, "*" anything, else a text it must contain.
readonly table='
identical               | 4m   | A=64k               | A  - A - | -                 | F    | 0      | -                  | A  - A -
identical-with-fallback | 4m   | A=64k O=32k         | A  O A - | -                 | F    | 0      | -                  | A  O A -
different               | 4m   | A=64k B=96k         | A  - B - | -                 | FUCD | 0      | -                  | B  A B -
fallback-replaced       | 4m   | A=64k B=96k O=32k   | A  O B - | -                 | FUCD | 0      | -                  | B  A B -
arguments-ignored       | 4m   | A=64k B=96k         | A  - B - | args              | FUCD | 0      | -                  | B  A B -
arguments-identical     | 4m   | A=64k               | A  - A - | args              | F    | 0      | -                  | A  - A -
no-current-image        | 4m   | B=96k               | -  - B - | -                 | FUCD | 0      | cannot read        | B  - B -
no-current-keeps-old    | 4m   | B=96k O=32k         | -  O B - | -                 | FUCD | 0      | cannot read        | B  O B -
empty-current-keeps-old | 4m   | B=96k O=32k E=0     | E  O B - | -                 | FUCD | 0      | is empty           | B  O B -
current-reads-on-retry  | 4m   | A=64k B=96k O=32k   | A  O B - | sum-fails-current-1 | FUCD | 0    | simulated          | B  A B -
current-unreadable      | 4m   | A=64k B=96k O=32k   | A  O B - | sum-fails-current-2 | FUCD | 0    | simulated          | B  O B -
current-unreadable-only | 4m   | A=64k B=96k         | A  - B - | sum-fails-current-2 | FUX  | 0    | not overwritten    | A  - B -
no-update-file          | 4m   | A=64k O=32k         | A  O - - | -                 | FR   | 0      | cannot read        | A  O - -
empty-update            | 4m   | A=64k O=32k E=0     | A  O E - | -                 | FR   | 0      | is empty           | A  O E -
update-is-directory     | 4m   | A=64k O=32k         | A  O / - | -                 | FR   | 0      | not a regular file | A  O / -
update-is-fifo          | 4m   | A=64k O=32k         | A  O p - | -                 | FR   | 0      | not a regular file | A  O p -
update-is-device        | 4m   | A=64k O=32k         | A  O c - | -                 | FR   | 0      | not a regular file | A  O c -
update-links-to-zero    | 4m   | A=64k O=32k         | A  O z - | -                 | FR   | 0      | not a regular file | A  O z -
update-dangling-link    | 4m   | A=64k O=32k         | A  O d - | -                 | FR   | 0      | cannot read        | A  O d -
update-link-loop        | 4m   | A=64k O=32k         | A  O l - | -                 | FR   | 0      | cannot read        | A  O l -
update-is-the-fallback  | 4m   | A=64k O=32k         | A  O f - | -                 | FUX  | 0      | itself             | A  O f -
current-is-fifo         | 4m   | B=96k O=32k         | p  O B - | -                 | FUX  | 0      | not a regular file | p  O B -
current-is-device       | 4m   | B=96k O=32k         | c  O B - | -                 | FUX  | 0      | not a regular file | c  O B -
current-links-to-zero   | 4m   | B=96k O=32k         | z  O B - | -                 | FUX  | 0      | not a regular file | z  O B -
current-is-directory    | 4m   | B=96k O=32k         | /  O B - | -                 | FUX  | 0      | not a regular file | /  O B -
fallback-is-directory   | 4m   | A=64k B=96k         | A  / B - | -                 | FUX  | 0      | not a regular file | A  / B -
marker-is-directory     | 4m   | A=64k B=96k O=32k   | A  O B / | -                 | FUX  | 0      | not a regular file | A  O B /
no-images-at-all        | 4m   | -                   | -  - - - | -                 | FR   | 0      | cannot read        | -  - - -
checksum-fails          | 4m   | A=64k B=96k O=32k   | A  O B - | sum-fails         | FR   | 0      | simulated          | A  O B -
checksum-prints-garbage | 4m   | A=64k B=96k O=32k   | A  O B - | sum-garbage       | FR   | 0      | printed no digest  | A  O B -
read-only-partition     | 4m   | A=64k B=96k O=32k   | A  O B - | read-only         | FUCX | 0      | Read-only file system | A O B -
full-for-fallback       | 1m   | A=600k B=200k       | A  - B - | -                 | FUCX | 0      | cp:                | A  -  B -
fallback-room-of-the-old | 1m  | A=400k B=150k O=400k | A O B - | -                 | FUCD | 0      | -                  | B  A B -
stale-copy-replaced     | 4m   | A=64k B=96k         | A  - B - | half-copy         | FUCD | 0      | -                  | B  A B -
stale-copy-no-fallback  | 4m   | A=64k B=96k         | A  - B - | half-copy-unreadable | FUX | 0    | not overwritten    | A  - B -
resume-marker-stays     | 4m   | A=64k B=96k         | B  A B M | read-only         | FX   | 0      | Read-only file system | B A B M
current-in-use          | 4m   | A=sqfs B=96k O=32k  | A  O B - | mount-current     | FUX  | 0      | is in use (backs /dev/loop | A O B -
fallback-in-use         | 4m   | A=64k B=96k O=sqfs  | A  O B - | mount-fallback    | FUX  | 0      | kestran_fallback.sqsh is in use | A O B -
in-use-identical        | 4m   | A=sqfs              | A  - A - | mount-current     | F    | 0      | -                  | A  - A -
full-for-install        | 1m   | A=300k B=800k       | A  - B - | -                 | FUCX | 0      | cp:                | A  A B -
full-no-fallback-kept   | 1m   | B=800k O=300k       | -  O B - | fill-300k         | FUCX | 0      | cp:                | B< O B M
killed-during-install   | 4m   | A=64k B=96k O=32k   | A  O B - | kill-install      | FUC  | killed | *                  | B< A B M
rerun-after-kill        | 4m   | A=64k B=96k         | B< A B M | -                 | FUCD | 0      | -                  | B  A B -
rerun-already-complete  | 4m   | A=64k B=96k         | B  A B M | -                 | F    | 0      | -                  | B  A B -
rerun-fails-again       | 1m   | A=300k B=800k       | B< A B M | -                 | FUCX | 0      | cp:                | B< A B M
term-during-fallback    | 4m   | A=64k B=96k O=32k   | A  O B - | term-fallback     | FUCX | 0      | stopped by         | A  -  B -
term-during-install     | 4m   | A=64k B=96k O=32k   | A  O B - | term-install      | FUCX | 0      | stopped by         | B< A B M
two-runs-at-once        | 256m | A=32m B=48m         | A  - B - | second-run        | FUCD | 0      | -                  | B  A B -
waits-for-the-lock      | 4m   | A=64k B=96k         | A  - B - | lock-held         | FUCD | 0      | -                  | B  A B -
sigchld-ignored         | 4m   | A=64k B=96k         | A  - B - | sigchld-ignored   | FUCD | 0      | -                  | B  A B -
stdout-closed           | 4m   | A=64k B=96k         | A  - B - | stdout-closed     | -    | 0      | -                  | B  A B -
flushed-in-order        | 4m   | A=64k B=96k O=32k   | A  O B - | trace             | FUCD | 0      | -                  | B  A B -
stick-serves-other-bytes | 4m  | A=64k B=96k O=32k   | A  O B - | cp-other-bytes    | FUCX | 0      | reads back         | A  A B -
fallback-spoilt-on-medium | ext4 | A=64k B=96k O=32k | A  O B - | medium-fallback   | FUCX | 0      | reads back         | A  -  B -
install-spoilt-on-medium | ext4 | A=64k B=96k O=32k  | A  O B - | medium-install    | FUCX | 0      | reads back         | A  A B -
unsigned-ignores-sig    | 4m   | A=64k B=96k         | A  - B - | sig-fifo          | FUCD | 0      | -                  | B  A B -
signed-valid            | 4m   | A=64k B=96k O=32k   | A  O B - | sig-valid         | FUCD | 0      | -                  | B  A B -
signed-last-key         | 4m   | A=64k B=96k O=32k   | A  O B - | sig-last-key      | FUCD | 0      | -                  | B  A B -
signed-manifest         | 4m   | A=64k B=96k O=32k   | A  O B - | sig-manifest      | FUCD | 0      | -                  | B  A B -
signed-manifest-size    | 4m   | A=64k B=96k O=32k   | A  O B - | sig-manifest-size | FJ   | 0      | 98305 bytes, not 98304 | A  O B -
signed-no-entropy       | 4m   | A=64k B=96k         | A  - B - | sig-valid-strace  | FUCD | 0      | -                  | B  A B -
signed-identical        | 4m   | A=64k               | A  - A - | sig-none          | F    | 0      | -                  | A  - A -
signed-missing          | 4m   | A=64k B=96k O=32k   | A  O B - | sig-none          | FJ   | 0      | no signature       | A  O B -
signed-other-key        | 4m   | A=64k B=96k O=32k   | A  O B - | sig-other-key     | FJ   | 0      | made with key      | A  O B -
signed-tampered         | 4m   | A=64k B=96k O=32k   | A  O B - | sig-tampered      | FJ   | 0      | does not verify    | A  O B -
signed-other-file       | 4m   | A=64k B=96k O=32k   | A  O B - | sig-other-file    | FJ   | 0      | does not verify    | A  O B -
signed-sig-is-fifo      | 4m   | A=64k B=96k O=32k   | A  O B - | sig-fifo          | FJ   | 0      | not a regular file | A  O B -
signed-sig-is-directory | 4m   | A=64k B=96k O=32k   | A  O B - | sig-directory     | FJ   | 0      | not a regular file | A  O B -
signed-sig-is-huge      | 4m   | A=64k B=96k O=32k   | A  O B - | sig-huge          | FJ   | 0      | too large          | A  O B -
signed-resume           | 4m   | A=64k B=96k         | B  A B M | sig-valid         | F    | 0      | -                  | B  A B -
signed-resume-unsigned  | 4m   | A=64k B=96k         | B  A B M | sig-none          | FJ   | 0      | no signature       | B  A B M
trial-confirmed-is-kept | 4m   | A=64k B=96k O=32k   | A  O B - | trial:->0         | FUCD | 0      | -                  | B  A B -
trial-on-trial-not-kept | 4m   | A=64k B=96k O=32k   | A  O B - | trial:1>0         | FUCD | 0      | -                  | B  O B -
trial-rejected-not-kept | 4m   | A=64k B=96k O=32k   | A  O B - | trial:R>0         | FUCD | 0      | -                  | B  O B -
trial-same-stays-on-trial | 4m | A=64k B=96k         | B  A B - | trial:2>2         | F    | 0      | -                  | B  A B -
trial-same-rejected     | 4m   | A=64k B=96k         | B  A B - | trial:R>R         | F    | 0      | -                  | B  A B -
trial-resume-begins     | 4m   | A=64k B=96k         | B  A B M | trial:->0         | F    | 0      | -                  | B  A B -
trial-state-directory   | 4m   | A=64k B=96k O=32k   | A  O B - | trial:/>/         | FUX  | 0      | not a regular file | A  O B -
trial-alone-is-kept     | 4m   | A=64k B=96k         | A  - B - | trial:1>0         | FUCD | 0      | -                  | B  A B -
trial-alone-restored    | 1m   | A=300k B=800k       | A  - B - | trial:1>1         | FUCX | 0      | cp:                | A  A B -
trial-alone-full-for-fallback | 1m | A=600k B=200k | A  - B - | trial:1>1         | FUCX | 0      | cp:                | A  - B -
trial-new-is-fifo       | 4m   | A=64k B=96k O=32k   | A  O B - | trial:-p>-p       | FUX  | 0      | not a regular file | A  O B -
trial-resume-new-is-fifo | 4m  | A=64k B=96k         | B  A B M | trial:-p>-p       | FX   | 0      | not a regular file | B  A B M
squashfs-whole          | 4m   | A=sqfs B=sqfs       | A  - B - | -                 | FUCD | 0      | -                  | B  A B -
squashfs-half           | 4m   | A=sqfs B=sqfs       | A  - B< - | -                | FR   | 0      | cut short          | A  - B< -
squashfs-not-squashfs   | 4m   | A=sqfs B=96k        | A  - B - | -                 | FR   | 0      | no "hsqs" magic    | A  - B -
squashfs-version-3      | 4m   | A=sqfs B=sqfs       | A  - B - | sqfs-v3           | FR   | 0      | version 3.0        | A  - B -
'

# The expected standard output for a string of message codes.
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

# Puts payload LETTER at PATH: nothing for "-", the first half of it for
# "LETTER<".
place() {
    local letter=$1 path=$2 ref
    ref=/mnt/ref/${letter:0:1}
    case $letter in
    -) ;;
    ?\<) head -c $(($(stat -c %s "$ref") / 2)) "$ref" >"$path" ;;
    /) mkdir "$path" ;;
    p) mkfifo "$path" ;;
    c) mknod "$path" c 1 5 ;;
    z) ln -s /dev/zero "$path" ;;
    d) ln -s nowhere "$path" ;;
    l) ln -s "$path" "$path" ;;
    f) ln -s /mnt/imgpart/kestran_fallback.sqsh "$path" ;;
    *) cp "$ref" "$path" ;;
    esac
}

readonly marker=/mnt/imgpart/kestran_install.incomplete

# Checks that PATH holds what the image notation STATE says.
check_image() {
    local name=$1 path=$2 state=$3
    case $state in
    -) [[ ! -e $path && ! -L $path ]] || fail "$name exists, expected none" ;;
    /) [[ -d $path && ! -L $path ]] || fail "$name is not a directory" ;;
    p) [[ -p $path ]] || fail "$name is not a FIFO" ;;
    c) [[ -c $path && ! -L $path ]] || fail "$name is not a character device" ;;
    z) [[ $(readlink "$path") == /dev/zero ]] || fail "$name is not a link to /dev/zero" ;;
    d) [[ $(readlink "$path") == nowhere ]] || fail "$name is not the dangling link" ;;
    l) [[ $(readlink "$path") == "$path" ]] || fail "$name is not the link loop" ;;
    f) [[ $(readlink "$path") == */kestran_fallback.sqsh ]] || fail "$name is not the link" ;;
    ?~)
        local ref=/mnt/ref/${state:0:1}
        [[ -f $path && $(stat -c %s "$path") == "$(stat -c %s "$ref")" ]] ||
            fail "$name is not of ${state:0:1}'s size"
        ! cmp -s "$path" "$ref" || fail "$name holds ${state:0:1}, expected other bytes"
        ;;
    ?\<)
        local ref=/mnt/ref/${state:0:1} size
        [[ -f $path ]] || fail "$name missing, expected a prefix of ${state:0:1}"
        size=$(stat -c %s "$path")
        ((size < $(stat -c %s "$ref"))) || fail "$name is not cut short"
        cmp -s -n "$size" "$path" "$ref" || fail "$name is not a prefix of ${state:0:1}"
        ;;
    *)
        [[ -f $path ]] || fail "$name missing, expected ${state}"
        cmp -s "$path" "/mnt/ref/$state" || fail "$name does not hold ${state}"
        ;;
    esac
}

# Change time of PATH, or "none".
stamp() {
    stat -c %z "$1" 2>/dev/null || echo none
}

# Replaces /bin/sha512sum inside this namespace by a script with BODY; the
# real command stays reachable as /mnt/real-sha512sum.
replace_checksum() {
    local real
    real=$(readlink -f /bin/sha512sum)
    cp "$real" /mnt/real-sha512sum
    printf '#!/bin/sh\n%s\n' "$1" >/mnt/fake-sha512sum
    chmod +x /mnt/fake-sha512sum
    mount --bind /mnt/fake-sha512sum "$real"
}

# Makes the checksum command fail on the current image the next N times.
fail_current_reads() {
    echo "$1" >/mnt/failures-left
    # shellcheck disable=SC2016 # the script expands its own "$1"
    replace_checksum 'if [ "$1" = /mnt/imgpart/kestran_current.sqsh ]; then
    left=$(cat /mnt/failures-left)
    if [ "$left" -gt 0 ]; then
        echo $((left - 1)) >/mnt/failures-left
        echo "sha512sum: simulated failure" >&2; exit 1
    fi
fi
exec /mnt/real-sha512sum "$@"'
}

# Events of an strace log of the tool: the copies it started, the files it
# flushed and removed, in order.
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

# Runs one row of the table; called inside its own mount namespace.
run_one() {
    local row=$1 name size payloads cur fb upd fault out status errtext after
    IFS='|' read -r name size payloads cur fault out status errtext after <<<"$row"
    read -r name <<<"$name"
    read -r size <<<"$size"
    read -r fault <<<"$fault"
    read -r out <<<"$out"
    read -r status <<<"$status"
    read -r errtext <<<"$errtext"
    local mark want_cur want_fb want_upd want_mark
    read -r cur fb upd mark <<<"$cur"
    read -r want_cur want_fb want_upd want_mark <<<"$after"

    mount -t tmpfs -o size=1g,mode=0755 scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref /mnt/bin
    mount -t tmpfs -o mode=0755 usb /mnt/usb
    if [[ $size == ext4 ]]; then
        truncate -s 32m /mnt/imgpart.ext4
        mkfs.ext4 -q -F -b 4096 /mnt/imgpart.ext4
        mount -o loop /mnt/imgpart.ext4 /mnt/imgpart
    else
        mount -t tmpfs -o "size=$size,mode=0755" imgpart /mnt/imgpart
    fi

    local payload
    for payload in $payloads; do
        [[ $payload == - ]] && continue
        if [[ ${payload#*=} == sqfs ]]; then
            mkdir -p "/mnt/sqfs/${payload%%=*}"
            head -c 64k /dev/urandom >"/mnt/sqfs/${payload%%=*}/data"
            mksquashfs "/mnt/sqfs/${payload%%=*}" "/mnt/ref/${payload%%=*}" -quiet -no-progress >/dev/null
        else
            head -c "${payload#*=}" /dev/urandom >"/mnt/ref/${payload%%=*}"
        fi
    done
    place "$cur" /mnt/imgpart/kestran_current.sqsh
    place "$fb" /mnt/imgpart/kestran_fallback.sqsh
    place "$upd" /mnt/usb/kestran.fir
    case $mark in
    M) : >"$marker" ;;
    /) mkdir "$marker" ;;
    esac

    local -a args=() wrap=()
    # The checksum scripts expand their own "$1"; strace takes its syscall
    # list as one argument.
    # shellcheck disable=SC2016,SC2054
    case $fault in
    -) ;;
    args) args=(--force -v /mnt/usb/kestran.fir "two words") ;;
    read-only) mount -o remount,ro /mnt/imgpart ;;
    fill-300k) head -c 300k /dev/zero >/mnt/imgpart/filler ;;
    half-copy | half-copy-unreadable)
        # What a fallback copy cut off by a power cut leaves: part of the
        # current image at the copy's temporary name.
        head -c 32k /mnt/ref/A >/mnt/imgpart/kestran_fallback.sqsh.new
        [[ $fault == half-copy ]] || fail_current_reads 2
        ;;
    mount-current | mount-fallback)
        # The running system's image, loop-mounted read-only.
        local image=/mnt/imgpart/kestran_current.sqsh
        [[ $fault == mount-fallback ]] && image=/mnt/imgpart/kestran_fallback.sqsh
        mkdir /mnt/root
        mount -t squashfs -o loop,ro "$image" /mnt/root
        ;;
    sqfs-v3)
        # A squashfs 3.0 superblock: its major version is 3.
        local file
        for file in /mnt/ref/B /mnt/usb/kestran.fir; do
            printf '\003\000\000\000' | dd of="$file" bs=1 seek=28 conv=notrunc status=none
        done
        ;;
    sum-fails) replace_checksum 'echo "sha512sum: simulated failure" >&2; exit 1' ;;
    sum-garbage) replace_checksum 'echo "not a digest  $1"' ;;
    sum-fails-current-*) fail_current_reads "${fault##*-}" ;;
    cp-other-bytes)
        # A stick that serves other bytes to the install copy than it did to
        # the checksum.
        printf '#!/bin/sh
[ "$1" = /mnt/usb/kestran.fir ] && exec /bin/cp /mnt/ref/O "$2"
exec /bin/cp "$@"
' \
            >/mnt/bin/cp
        chmod +x /mnt/bin/cp
        ;;
    medium-fallback | medium-install)
        # The medium spoils the first block of a copy once it is flushed:
        # before the checksum reads the copy back (the first read of the
        # fallback image; the second of the current image, the install copy),
        # another block is written there through the loop device, behind
        # the page cache.
        local target=/mnt/imgpart/kestran_fallback.sqsh.new nth=1
        [[ $fault == medium-install ]] && target=/mnt/imgpart/kestran_current.sqsh nth=2
        replace_checksum "if [ \"\$1\" = $target ]; then
    echo x >>/mnt/reads
    if [ \$(wc -l </mnt/reads) -eq $nth ]; then
        block=\$(filefrag -v \"\$1\" | awk '\$1 == \"0:\" { sub(/[.][.].*/, \"\", \$4); print \$4 }')
        head -c 4096 /dev/urandom | dd of=\$(findmnt -n -o SOURCE /mnt/imgpart) bs=4096 \\
            seek=\"\$block\" count=1 oflag=direct conv=notrunc status=none
    fi
fi
exec /mnt/real-sha512sum \"\$@\""
        ;;
    trial:*)
        local trial_before=${fault#trial:}
        trial_before=${trial_before%>*}
        if [[ $trial_before == *p ]]; then
            mkfifo /mnt/imgpart/kestran_trial.new
            trial_before=${trial_before%p}
        fi
        case $trial_before in
        -) ;;
        /) mkdir /mnt/imgpart/kestran_trial ;;
        R) echo rejected >/mnt/imgpart/kestran_trial ;;
        *) echo "$trial_before" >/mnt/imgpart/kestran_trial ;;
        esac
        ;;
    sig-*)
        local sig=/mnt/usb/kestran.fir.sig
        /bin/sha512sum /mnt/usb/kestran.fir | cut -c1-128 >/mnt/digest-line
        case $fault in
        sig-valid | sig-valid-strace)
            "$here/../../dist/sign/kestran-sign" "$SCENARIO_KEYS/test.sec" /mnt/usb/kestran.fir 2>/dev/null
            ;;
        sig-last-key)
            local -a trusted
            read -r -a trusted <<<"${SCENARIO_TRUSTED:-test}"
            "$here/../../dist/sign/kestran-sign" "$SCENARIO_KEYS/${trusted[-1]}.sec" \
                /mnt/usb/kestran.fir 2>/dev/null
            ;;
        sig-none) ;;
        sig-other-key)
            "$SIGNIFY" -G -n -p /mnt/other.pub -s /mnt/other.sec
            "$SIGNIFY" -S -s /mnt/other.sec -m /mnt/digest-line -x "$sig"
            ;;
        sig-tampered)
            "$SIGNIFY" -S -s "$SCENARIO_KEYS/test.sec" -m /mnt/digest-line -x "$sig"
            # One bit of the signature itself (its bytes follow "Ed" and the
            # 8-byte key number), the file otherwise well formed.
            sed -n 2p "$sig" | base64 -d >/mnt/sig.bin
            local byte
            byte=$(od -An -tu1 -j40 -N1 /mnt/sig.bin)
            printf '%b' "$(printf '\\0%03o' $((byte ^ 1)))" |
                dd of=/mnt/sig.bin bs=1 seek=40 conv=notrunc status=none
            { sed -n 1p "$sig" && base64 -w0 /mnt/sig.bin && echo; } >/mnt/sig.new
            mv /mnt/sig.new "$sig"
            ;;
        sig-manifest)
            "$here/../../dist/sign/kestran-sign" -V 7 -C test-board "$SCENARIO_KEYS/test.sec" \
                /mnt/usb/kestran.fir 2>/dev/null
            ;;
        sig-manifest-size)
            # An embedded signature of the manifest of an update a byte longer.
            printf 'sha512 %s\nsize %s\n' "$(cat /mnt/digest-line)" \
                $(($(stat -c %s /mnt/usb/kestran.fir) + 1)) >/mnt/manifest
            "$SIGNIFY" -S -e -s "$SCENARIO_KEYS/test.sec" -m /mnt/manifest -x "$sig"
            ;;
        sig-other-file)
            /bin/sha512sum /mnt/ref/O | cut -c1-128 >/mnt/digest-line
            "$SIGNIFY" -S -s "$SCENARIO_KEYS/test.sec" -m /mnt/digest-line -x "$sig"
            ;;
        sig-fifo) mkfifo "$sig" ;;
        sig-directory) mkdir "$sig" ;;
        sig-huge) head -c 1m /dev/urandom >"$sig" ;;
        *) fail "unknown fault $fault" ;;
        esac
        if [[ $fault == sig-valid-strace && ${RUNNER[0]:-} == *qemu-* ]]; then
            # Under qemu's user-mode emulation: the target's own system calls.
            RUNNER+=(-d strace -D /mnt/trace)
        elif [[ $fault == sig-valid-strace ]]; then
            wrap=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -e trace=getrandom,openat,open \
                -o /mnt/trace)
        fi
        ;;
    kill-install)
        # cp that writes part of the update over the current image, then
        # kills the tool and everything it started (the session: each
        # command has a process group of its own), as a power cut would.
        cat >/mnt/bin/cp <<'EOF'
#!/bin/sh
if [ "$1" = /mnt/usb/kestran.fir ]; then
    head -c 4096 "$1" >"$2"
    pkill -KILL -s 0
fi
exec /bin/cp "$@"
EOF
        chmod +x /mnt/bin/cp
        wrap=(setsid -w)
        ;;
    term-fallback | term-install)
        # cp that writes part of its target, sends SIGTERM to the tool (the
        # parent of its process group's leader, the tool's shell) and goes
        # on as a slow copy would, until it is stopped.
        local target=/mnt/imgpart/kestran_fallback.sqsh.new
        [[ $fault == term-install ]] && target=/mnt/imgpart/kestran_current.sqsh
        cat >/mnt/bin/cp <<EOF
#!/bin/sh
if [ "\$2" = $target ]; then
    head -c 4096 "\$1" >"\$2"
    echo \$\$ >/mnt/cp.pid
    kill -TERM \$(ps -o ppid= -p \$(ps -o pgid= -p \$\$))
    exec sleep 600
fi
exec /bin/cp "\$@"
EOF
        chmod +x /mnt/bin/cp
        ;;
    second-run | lock-held) ;;
    stdout-closed)
        # cp that notes what its standard output is: /dev/null, not a
        # descriptor of the tool's own.
        cat >/mnt/bin/cp <<'EOF'
#!/bin/sh
fd1=$(readlink /proc/$$/fd/1)
echo "$fd1" >>/mnt/cp-stdout
exec /bin/cp "$@"
EOF
        chmod +x /mnt/bin/cp
        ;;
    sigchld-ignored)
        # shellcheck disable=SC2016 # perl's own variables
        wrap=(perl -e '$SIG{CHLD} = "IGNORE"; exec @ARGV or die "exec: $!"') ;;
    trace)
        # LeakSanitizer cannot run under ptrace; the other runs check leaks.
        wrap=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -s 256 -e trace=execve,openat,fsync,unlink,unlinkat,rename,renameat,renameat2 \
            -o /mnt/trace) ;;
    *) fail "unknown fault $fault" ;;
    esac

    local before_cur before_fb before_upd
    before_cur=$(stamp /mnt/imgpart/kestran_current.sqsh)
    before_fb=$(stamp /mnt/imgpart/kestran_fallback.sqsh)
    before_upd=$(stamp /mnt/usb/kestran.fir)

    # Runs the tool with standard output to $1 ("closed": closed) and
    # standard error to $2; a run that does not end in time is killed.
    run_tool() {
        if [[ $1 == closed ]]; then exec 1>&-; else exec 1>"$1"; fi
        PATH="/mnt/bin:$PATH" exec timeout -k 5 "$timeout" "${wrap[@]}" "${RUNNER[@]}" \
            "$TOOL" "${args[@]}" 2>"$2" </dev/null
    }
    local timeout=120 got=0
    # (The braces keep bash's own notice of a killed tool off the output.)
    case $fault in
    stdout-closed)
        { (run_tool closed /mnt/stderr); } 2>/dev/null || got=$?
        : >/mnt/stdout
        [[ $(sort -u /mnt/cp-stdout) == /dev/null ]] ||
            fail "the copies' standard output: $(cat /mnt/cp-stdout)"
        ;;
    lock-held)
        # While another holds the partition's lock, the tool waits, having
        # written nothing; then it goes on.
        exec 9</mnt/imgpart
        flock 9
        (exec 9<&-; run_tool /mnt/stdout /mnt/stderr) &
        local waiting=$!
        sleep 1
        diff -u <(expected_stdout F) /mnt/stdout >&2 || fail "went on without the lock"
        check_image "current image while waiting" /mnt/imgpart/kestran_current.sqsh A
        check_image "fallback image while waiting" /mnt/imgpart/kestran_fallback.sqsh -
        exec 9<&-
        wait "$waiting" || got=$?
        ;;
    second-run)
        # A second run started while the first is installing waits for it,
        # then finds nothing to do.
        (run_tool /mnt/stdout /mnt/stderr) &
        local first=$! i
        for ((i = 0; i < 6000; i++)); do
            grep -q "Updating Firmware." /mnt/stdout && break
            sleep 0.01
        done
        (run_tool /mnt/stdout2 /mnt/stderr2) || fail "second run: exit status $?"
        wait "$first" || got=$?
        diff -u <(expected_stdout F) /mnt/stdout2 >&2 || fail "second run: standard output differs"
        [[ ! -s /mnt/stderr2 ]] || fail "second run: standard error: $(cat /mnt/stderr2)"
        ;;
    *) { (run_tool /mnt/stdout /mnt/stderr); } 2>/dev/null || got=$? ;;
    esac
    ((got != 124)) || fail "the tool did not end within $timeout s"

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

    check_image "current image" /mnt/imgpart/kestran_current.sqsh "$want_cur"
    check_image "fallback image" /mnt/imgpart/kestran_fallback.sqsh "$want_fb"
    check_image "update file" /mnt/usb/kestran.fir "$want_upd"
    case $want_mark in
    M) [[ -f $marker ]] || fail "install marker missing" ;;
    /) [[ -d $marker ]] || fail "install marker is not the directory" ;;
    *) [[ ! -e $marker ]] || fail "install marker left behind" ;;
    esac

    # A copy that did not finish leaves nothing at the fallback copy's
    # temporary name; the mounted image still reads as it did.
    if [[ $out == *C* && $status != killed ]]; then
        [[ ! -e /mnt/imgpart/kestran_fallback.sqsh.new ]] || fail "a partial fallback copy is left"
    fi
    if [[ $fault == mount-* ]]; then
        local mounted=A
        [[ $fault == mount-fallback ]] && mounted=O
        cmp -s /mnt/root/data "/mnt/sqfs/$mounted/data" || fail "the mounted image reads other bytes"
    fi

    # The update file is never written; nothing is written before the
    # installation is announced.
    [[ $(stamp /mnt/usb/kestran.fir) == "$before_upd" ]] || fail "update file was written"
    if [[ $out != *C* && $out != - ]]; then
        [[ $(stamp /mnt/imgpart/kestran_current.sqsh) == "$before_cur" ]] ||
            fail "current image was written"
        [[ $(stamp /mnt/imgpart/kestran_fallback.sqsh) == "$before_fb" ]] ||
            fail "fallback image was written"
    fi

    if [[ $fault == term-* ]]; then
        # Nothing the tool started outlives it; a rerun finishes the job.
        ! kill -0 "$(cat /mnt/cp.pid)" 2>/dev/null || fail "a copy outlived the tool"
        rm /mnt/bin/cp
        got=0
        (run_tool /mnt/stdout /mnt/stderr) || got=$?
        ((got == 0)) || fail "rerun: exit status $got"
        diff -u <(expected_stdout FUCD) /mnt/stdout >&2 || fail "rerun: standard output differs"
        check_image "current image after a rerun" /mnt/imgpart/kestran_current.sqsh B
        check_image "fallback image after a rerun" /mnt/imgpart/kestran_fallback.sqsh A
        [[ ! -e $marker ]] || fail "install marker left behind by the rerun"
    fi

    if [[ $fault == trial:* ]]; then
        local trial=/mnt/imgpart/kestran_trial want_trial=${fault#*>}
        if [[ $want_trial == *p ]]; then
            [[ -p $trial.new ]] || fail "the FIFO at $trial.new is gone"
            want_trial=${want_trial%p}
        else
            [[ ! -e $trial.new ]] || fail "the trial state's temporary file is left behind"
        fi
        case $want_trial in
        -) [[ ! -e $trial ]] || fail "trial state '$(cat "$trial")', expected none" ;;
        /) [[ -d $trial ]] || fail "the trial state is no longer the directory" ;;
        R) [[ $(cat "$trial") == rejected ]] || fail "trial state '$(cat "$trial")', expected rejected" ;;
        *) [[ $(cat "$trial") == "$want_trial" ]] || fail "trial state '$(cat "$trial")', expected $want_trial" ;;
        esac
    fi

    if [[ $fault == sig-valid-strace ]]; then
        # Nothing waits for the kernel's entropy: no getrandom that may block
        # (glibc's own, for malloc, never does: GRND_NONBLOCK), no random device.
        ! grep 'getrandom(' /mnt/trace | grep -v -E 'GRND_NONBLOCK|,1\) = ' >&2 ||
            fail "the run asked for random numbers that may not be there yet"
        ! grep -E '/dev/u?random' /mnt/trace >&2 || fail "the run opened a random device"
        grep -q 'kestran.fir.sig' /mnt/trace || fail "the trace does not show the signature read"
    fi

    if [[ $fault == trace ]]; then
        local want
        want=$(printf '%s\n' \
            "fsync /mnt/imgpart" \
            "unlink /mnt/imgpart/kestran_fallback.sqsh" \
            "fsync /mnt/imgpart" \
            "cp kestran_current.sqsh kestran_fallback.sqsh.new" \
            "fsync /mnt/imgpart/kestran_fallback.sqsh.new" \
            "fsync /mnt/imgpart" \
            "rename /mnt/imgpart/kestran_fallback.sqsh.new /mnt/imgpart/kestran_fallback.sqsh" \
            "fsync /mnt/imgpart" \
            "fsync $marker" \
            "fsync /mnt/imgpart" \
            "cp kestran.fir kestran_current.sqsh" \
            "fsync /mnt/imgpart/kestran_current.sqsh" \
            "fsync /mnt/imgpart")
        if [[ -n ${SCENARIO_TRIAL:-} ]]; then
            # The trial begins on storage before the marker goes.
            want+=$'\n'$(printf '%s\n' \
                "fsync /mnt/imgpart/kestran_trial.new" \
                "rename /mnt/imgpart/kestran_trial.new /mnt/imgpart/kestran_trial" \
                "fsync /mnt/imgpart")
        fi
        want+=$'\n'$(printf '%s\n' \
            "unlink $marker" \
            "fsync /mnt/imgpart")
        diff -u <(echo "$want") <(flush_events /mnt/trace) >&2 ||
            fail "copies and flushes out of order"
    fi
}

main() {
    run_one_if_asked "$@"
    require_tool_and_namespace "$@"
    local tool
    tool=$(readlink -f "$1")
    shift

    local passed=0 failed=0 skipped=0 row name fault mode=plain
    # A build with a signing key runs the signed-* rows, one with trial boots
    # the trial-* rows, any other the rest.
    [[ -z ${SCENARIO_KEYS:-} ]] || mode=signed
    [[ -z ${SCENARIO_TRIAL:-} ]] || mode=trial
    [[ -z ${SCENARIO_IMAGE_CHECK:-} ]] || mode=squashfs
    while IFS= read -r row; do
        [[ -n ${row// /} ]] || continue
        name=$(cut -d'|' -f1 <<<"$row" | tr -d ' ')
        fault=$(cut -d'|' -f5 <<<"$row" | tr -d ' ')
        if [[ -n ${SCENARIOS:-} && " $SCENARIOS " != *" $name "* ]]; then
            continue
        fi
        case $name in
        signed-* | trial-* | squashfs-*) [[ ${name%%-*} == "$mode" ]] || continue ;;
        *) [[ $mode != signed && $mode != squashfs ]] || continue ;;
        esac
        if [[ $fault == *trace ]] && ! command -v strace >/dev/null; then
            echo "skip $name: strace is not installed"
            skipped=$((skipped + 1))
            continue
        fi
        if ROW=$row unshare --mount --propagation private \
            bash "$here/scenarios.sh" --one "$tool" "$@"; then
            echo "ok   $name"
            passed=$((passed + 1))
        else
            echo "FAIL $name"
            failed=$((failed + 1))
        fi
    done <<<"$table"
    if [[ $mode == signed ]]; then
        # The version string names the keys the build trusts, for `strings`.
        local -a keys
        local numbers="" key want
        read -r -a keys <<<"${SCENARIO_TRUSTED:-test}"
        for key in "${keys[@]}"; do
            numbers+=" $(sed -n 2p "$SCENARIO_KEYS/$key.pub" | base64 -d | od -An -tx1 -j2 -N8 | tr -d ' \n')"
        done
        want="signed updates, key$numbers"
        ((${#keys[@]} == 1)) || want="signed updates, keys$numbers"
        if strings "$tool" | grep -x "init-updater [0-9.]* ($want)" >/dev/null; then
            echo "ok   version-names-the-keys"
            passed=$((passed + 1))
        else
            echo "FAIL version-names-the-keys: no 'init-updater ... ($want)'"
            failed=$((failed + 1))
        fi
    fi
    echo "scenarios: $passed passed, $failed failed, $skipped skipped"
    ((failed == 0 && passed > 0))
}

main "$@"

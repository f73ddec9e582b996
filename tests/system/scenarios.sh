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
# Payloads are random bytes named by letter (A, B, O) of the given sizes.
# Before and after list the current image, the fallback image, the update
# file and the install marker. Images: a letter is a file with exactly that
# payload, "-" is no file, "A<" is a file holding a strict prefix of A (a copy
# cut short; before a run, the first half of A), "/" is a directory. Marker:
# "M" present, "-" absent.
# Stdout codes, one line each: F "Firmware update found.", R "Firmware
# update could not be read.", U "Updating Firmware.", C "Copying the new
# firmware.", D "Update complete.", X "Update failed.".
# Stderr: "-" empty, "*" anything, else a text it must contain.
readonly table='
identical               | 4m | A=64k               | A  - A - | -                 | F    | 0      | -         | A  - A -
identical-with-fallback | 4m | A=64k O=32k         | A  O A - | -                 | F    | 0      | -         | A  O A -
different               | 4m | A=64k B=96k         | A  - B - | -                 | FUCD | 0      | -         | B  A B -
fallback-replaced       | 4m | A=64k B=96k O=32k   | A  O B - | -                 | FUCD | 0      | -         | B  A B -
empty-update            | 4m | A=64k B=0 O=32k     | A  O B - | -                 | FUCD | 0      | -         | B  A B -
arguments-ignored       | 4m | A=64k B=96k         | A  - B - | args              | FUCD | 0      | -         | B  A B -
arguments-identical     | 4m | A=64k               | A  - A - | args              | F    | 0      | -         | A  - A -
no-current-image        | 4m | B=96k               | -  - B - | -                 | FUCD | 0      | sha512sum | B  - B -
no-current-keeps-old    | 4m | B=96k O=32k         | -  O B - | -                 | FUCD | 0      | sha512sum | B  O B -
current-unreadable      | 4m | A=64k B=96k O=32k   | A  O B - | sum-fails-current | FUCD | 0      | simulated | B  O B -
no-update-file          | 4m | A=64k O=32k         | A  O - - | -                 | FR   | 0      | sha512sum | A  O - -
update-is-directory     | 4m | A=64k O=32k         | A  O - - | update-dir        | FR   | 0      | sha512sum | A  O / -
no-images-at-all        | 4m | -                   | -  - - - | -                 | FR   | 0      | sha512sum | -  - - -
checksum-fails          | 4m | A=64k B=96k O=32k   | A  O B - | sum-fails         | FR   | 0      | simulated | A  O B -
checksum-prints-garbage | 4m | A=64k B=96k O=32k   | A  O B - | sum-garbage       | FR   | 0      | -         | A  O B -
read-only-partition     | 4m | A=64k B=96k O=32k   | A  O B - | read-only         | FUCX | 0      | cp:       | A  O B -
full-for-fallback       | 1m | A=600k B=200k       | A  - B - | -                 | FUCX | 0      | cp:       | A  A< B -
full-for-install        | 1m | A=300k B=800k       | A  - B - | -                 | FUCX | 0      | cp:       | A  A B -
full-no-fallback-kept   | 1m | B=800k O=300k       | -  O B - | fill-300k         | FUCX | 0      | cp:       | B< O B M
killed-during-install   | 4m | A=64k B=96k O=32k   | A  O B - | kill-install      | FUC  | killed | *         | B< A B M
rerun-after-kill        | 4m | A=64k B=96k         | B< A B M | -                 | FUCD | 0      | -         | B  A B -
rerun-already-complete  | 4m | A=64k B=96k         | B  A B M | -                 | F    | 0      | -         | B  A B -
rerun-fails-again       | 1m | A=300k B=800k       | B< A B M | -                 | FUCX | 0      | cp:       | B< A B M
flushed-in-order        | 4m | A=64k B=96k O=32k   | A  O B - | trace             | FUCD | 0      | -         | B  A B -
'

# The expected standard output for a string of message codes.
expected_stdout() {
    local codes=$1 i
    for ((i = 0; i < ${#codes}; i++)); do
        case ${codes:i:1} in
        F) echo "Firmware update found." ;;
        R) echo "Firmware update could not be read." ;;
        U) echo "Updating Firmware." ;;
        C) echo "Copying the new firmware." ;;
        D) echo "Update complete." ;;
        X) echo "Update failed." ;;
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
    *) cp "$ref" "$path" ;;
    esac
}

readonly marker=/mnt/imgpart/kestran_install.incomplete

# Checks that PATH holds what the image notation STATE says.
check_image() {
    local name=$1 path=$2 state=$3
    case $state in
    -) [[ ! -e $path ]] || fail "$name exists, expected none" ;;
    /) [[ -d $path ]] || fail "$name is not a directory" ;;
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

    mount -t tmpfs -o size=64m,mode=0755 scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref /mnt/bin
    mount -t tmpfs -o mode=0755 usb /mnt/usb
    mount -t tmpfs -o "size=$size,mode=0755" imgpart /mnt/imgpart

    local payload
    for payload in $payloads; do
        [[ $payload == - ]] && continue
        head -c "${payload#*=}" /dev/urandom >"/mnt/ref/${payload%%=*}"
    done
    place "$cur" /mnt/imgpart/kestran_current.sqsh
    place "$fb" /mnt/imgpart/kestran_fallback.sqsh
    place "$upd" /mnt/usb/kestran.fir
    if [[ $mark == M ]]; then
        : >"$marker"
    fi

    local -a args=() wrap=()
    # The checksum scripts expand their own "$1"; strace takes its syscall
    # list as one argument.
    # shellcheck disable=SC2016,SC2054
    case $fault in
    -) ;;
    args) args=(--force -v /mnt/usb/kestran.fir "two words") ;;
    read-only) mount -o remount,ro /mnt/imgpart ;;
    update-dir) mkdir /mnt/usb/kestran.fir ;;
    fill-300k) head -c 300k /dev/zero >/mnt/imgpart/filler ;;
    sum-fails) replace_checksum 'echo "sha512sum: simulated failure" >&2; exit 1' ;;
    sum-garbage) replace_checksum 'echo "not a digest  $1"' ;;
    sum-fails-current)
        replace_checksum 'if [ "$1" = /mnt/imgpart/kestran_current.sqsh ]; then
    echo "sha512sum: simulated failure" >&2; exit 1
fi
exec /mnt/real-sha512sum "$@"'
        ;;
    kill-install)
        # cp that writes part of the update over the current image, then
        # kills the tool and everything it started, as a power cut would.
        cat >/mnt/bin/cp <<'EOF'
#!/bin/sh
if [ "$1" = /mnt/usb/kestran.fir ]; then
    head -c 4096 "$1" >"$2"
    kill -KILL 0
fi
exec /bin/cp "$@"
EOF
        chmod +x /mnt/bin/cp
        wrap=(setsid -w)
        ;;
    trace)
        # LeakSanitizer cannot run under ptrace; the other runs check leaks.
        wrap=(env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -s 256 -e trace=execve,openat,fsync,unlink,unlinkat \
            -o /mnt/trace) ;;
    *) fail "unknown fault $fault" ;;
    esac

    local before_cur before_fb before_upd
    before_cur=$(stamp /mnt/imgpart/kestran_current.sqsh)
    before_fb=$(stamp /mnt/imgpart/kestran_fallback.sqsh)
    before_upd=$(stamp /mnt/usb/kestran.fir)

    # (The braces keep bash's own notice of a killed tool off the output.)
    local got=0
    {
        PATH="/mnt/bin:$PATH" "${wrap[@]}" "${RUNNER[@]}" "$TOOL" "${args[@]}" \
            >/mnt/stdout 2>/mnt/stderr </dev/null
    } 2>/dev/null || got=$?

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
    M) [[ -e $marker ]] || fail "install marker missing" ;;
    *) [[ ! -e $marker ]] || fail "install marker left behind" ;;
    esac

    # The update file is never written; nothing is written before the
    # installation is announced.
    [[ $(stamp /mnt/usb/kestran.fir) == "$before_upd" ]] || fail "update file was written"
    if [[ $out != *C* ]]; then
        [[ $(stamp /mnt/imgpart/kestran_current.sqsh) == "$before_cur" ]] ||
            fail "current image was written"
        [[ $(stamp /mnt/imgpart/kestran_fallback.sqsh) == "$before_fb" ]] ||
            fail "fallback image was written"
    fi

    if [[ $fault == trace ]]; then
        local want
        want=$(printf '%s\n' \
            "cp kestran_current.sqsh kestran_fallback.sqsh" \
            "fsync /mnt/imgpart/kestran_fallback.sqsh" \
            "fsync /mnt/imgpart" \
            "fsync $marker" \
            "fsync /mnt/imgpart" \
            "cp kestran.fir kestran_current.sqsh" \
            "fsync /mnt/imgpart/kestran_current.sqsh" \
            "fsync /mnt/imgpart" \
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

    local passed=0 failed=0 skipped=0 row name fault
    while IFS= read -r row; do
        [[ -n ${row// /} ]] || continue
        name=$(cut -d'|' -f1 <<<"$row" | tr -d ' ')
        fault=$(cut -d'|' -f5 <<<"$row" | tr -d ' ')
        if [[ -n ${SCENARIOS:-} && " $SCENARIOS " != *" $name "* ]]; then
            continue
        fi
        if [[ $fault == trace ]] && ! command -v strace >/dev/null; then
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
    echo "scenarios: $passed passed, $failed failed, $skipped skipped"
    ((failed == 0 && passed > 0))
}

main "$@"

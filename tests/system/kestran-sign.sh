#!/usr/bin/env bash
# kestran-sign, run as a device maker runs it, each row of the table below in
# a fresh directory holding key pairs a and b (also as -a.sec and -a.pub) and
# an update, -u.fir, with the real signify and sha512sum. Checks the exit
# status, the reason on standard error, and what is left: the signature read
# back by signify, or nothing at all (no .sig, no .sig.new, nothing in
# TMPDIR).
#
# Usage: kestran-sign.sh KESTRAN_SIGN
# Environment: SIGNIFY, the signify command (default signify-openbsd).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"
# shellcheck source-path=SCRIPTDIR source=lib/rows.sh
source "$here/lib/rows.sh"

# name | arguments (shell words) | exit | stderr | what is left
#
# Stderr: "-" anything, else a text it must contain. What is left: "-" no
# signature, "D" the detached signature, byte for byte what signify makes of
# the update's digest line with the row's secret key, "E" an embedded
# signature of the manifest of -u.fir (sha512 and size), which signify
# verifies with the row's -p key or a.pub, then the lines after "E:",
# separated by "/".
readonly table='
digest-only               | -- a.sec -u.fir                        | 0 | wrote      | D
dash-names                | -- -a.sec -u.fir                       | 0 | wrote      | D
checked-with-its-key      | -p a.pub -- a.sec -u.fir               | 0 | wrote      | D
checked-with-dash-key     | -p -a.pub -- -a.sec -u.fir             | 0 | wrote      | D
checked-with-another-key  | -p b.pub -- a.sec -u.fir               | 1 | not verify | -
version                   | -V 42 -- a.sec -u.fir                  | 0 | wrote      | E:version 42
largest-version           | -V 9223372036854775807 -- a.sec -u.fir | 0 | wrote      | E:version 9223372036854775807
version-0-and-compatible  | -V 0 -C a.B_9+- -p a.pub -- a.sec -u.fir | 0 | wrote    | E:version 0/compatible a.B_9+-
compatible-of-64          | -C xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx -- a.sec -u.fir | 0 | wrote | E:compatible xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx
embedded-another-key      | -C board -p b.pub -- a.sec -u.fir      | 1 | not verify | -
version-leading-zero      | -V 042 -- a.sec -u.fir                 | 2 | -V         | -
version-too-big           | -V 9223372036854775808 -- a.sec -u.fir | 2 | at most    | -
version-far-too-big       | -V 100000000000000000000 -- a.sec -u.fir | 2 | at most  | -
version-not-a-number      | -V 4.2 -- a.sec -u.fir                 | 2 | -V         | -
version-empty             | -V "" -- a.sec -u.fir                  | 2 | -V         | -
compatible-empty          | -C "" -- a.sec -u.fir                  | 2 | -C         | -
compatible-of-65          | -C xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx -- a.sec -u.fir | 2 | at most 64 | -
compatible-with-a-space   | -C "a b" -- a.sec -u.fir               | 2 | -C         | -
no-such-key               | -- c.sec -u.fir                        | 1 | no such    | -
no-such-public-key        | -p c.pub -- a.sec -u.fir               | 1 | no such    | -
one-operand               | a.sec                                  | 2 | usage      | -
'

# Runs the row in $1 in the fresh directory $2.
run_row() {
    local row=$1 dir=$2 name words status errtext left
    read_row "$row" name words status errtext left
    local -a args
    eval "args=($words)"

    local got=0
    (cd "$dir" && TMPDIR=$dir/tmp "$sign" "${args[@]}") >"$dir/out" 2>"$dir/err" || got=$?
    ((got == status)) || fail "$name: exit status $got, expected $status: $(cat "$dir/err")"
    [[ $errtext == - ]] || grep -qF -- "$errtext" "$dir/err" ||
        fail "$name: standard error lacks '$errtext': $(cat "$dir/err")"
    [[ -z $(ls -A "$dir/tmp") ]] || fail "$name: left in TMPDIR: $(ls -A "$dir/tmp")"
    [[ ! -e $dir/-u.fir.sig.new ]] || fail "$name: -u.fir.sig.new left behind"
    cmp -s "$dir/-u.fir" "$dir/update" || fail "$name: the update was changed"

    local sig=$dir/-u.fir.sig public=a.pub i
    for ((i = 0; i + 1 < ${#args[@]}; i++)); do
        [[ ${args[i]} != -p ]] || public=${args[i + 1]}
    done
    case $left in
    -) [[ ! -e $sig ]] || fail "$name: a signature was written" ;;
    D)
        sha512sum "$dir/update" | cut -c1-128 >"$dir/digest"
        (cd "$dir" && "$SIGNIFY" -S -s "./${args[-2]}" -m digest -x reference.sig)
        cmp -s "$sig" "$dir/reference.sig" ||
            fail "$name: the signature is not what signify makes of the digest line"
        ;;
    E:*)
        {
            printf 'sha512 %s\nsize %s\n' "$(sha512sum "$dir/update" | cut -c1-128)" \
                "$(stat -c %s "$dir/update")"
            tr / '\n' <<<"${left#E:}"
        } >"$dir/manifest"
        (cd "$dir" && "$SIGNIFY" -V -e -q -p "./$public" -x -u.fir.sig -m -) >"$dir/signed" ||
            fail "$name: signify -V -e does not verify the signature with $public"
        diff -u "$dir/manifest" "$dir/signed" >&2 || fail "$name: the signed manifest differs"
        ;;
    *) fail "$name: unknown outcome $left" ;;
    esac
}

main() {
    (($# == 1)) || {
        echo "usage: $0 KESTRAN_SIGN" >&2
        exit 2
    }
    sign=$(readlink -f "$1")
    SIGNIFY=${SIGNIFY:-signify-openbsd}
    work=$(mktemp -d)
    trap 'rm -rf -- "$work"' EXIT
    "$SIGNIFY" -G -n -p "$work/a.pub" -s "$work/a.sec"
    "$SIGNIFY" -G -n -p "$work/b.pub" -s "$work/b.sec"
    head -c 100000 /dev/urandom >"$work/update"

    local passed=0 failed=0 row n=0 dir
    while IFS= read -r row; do
        [[ -n ${row// /} ]] || continue
        n=$((n + 1))
        dir=$work/$n
        mkdir -p "$dir/tmp"
        cp "$work"/{a,b}.{pub,sec} "$work/update" "$dir/"
        cp "$dir/a.sec" "$dir/-a.sec"
        cp "$dir/a.pub" "$dir/-a.pub"
        cp "$dir/update" "$dir/-u.fir"
        if (run_row "$row" "$dir"); then
            echo "ok   $(cut -d'|' -f1 <<<"$row" | tr -d ' ')"
            passed=$((passed + 1))
        else
            echo "FAIL $(cut -d'|' -f1 <<<"$row" | tr -d ' ')"
            failed=$((failed + 1))
        fi
    done <<<"$table"
    echo "kestran-sign: $passed passed, $failed failed"
    ((failed == 0 && passed > 0))
}

main "$@"

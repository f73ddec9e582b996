#!/usr/bin/env bash
# Start-up integration: the systemd unit passes `systemd-analyze verify`;
# the init script runs the built tool only when both mount points are
# mounted and the update file is there, and never fails the boot; and
# kestran-boot-image names the image to boot in each state the partition can
# be left in, without writing to it. The scripts run in private mount
# namespaces with tmpfs at /mnt/usb and /mnt/imgpart (the host's /mnt is
# covered by a scratch tmpfs), under every POSIX shell found among sh (dash on
# Debian) and busybox sh.
#
# Usage: integration.sh TOOL [RUNNER...]
# Exit status: 0 passed, 1 failed, 77 no namespace (a failure when CI=true).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
readonly dist=$here/../../dist
# The kestran-boot-image under test: the one a build configured (with its
# number of trial boots), or the source's, which has none.
BOOT_IMAGE=${BOOT_IMAGE:-$dist/sbin/kestran-boot-image}
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"

# name | runs | mounted | partition before | update file | output | images after
# Runs: "init" the init script with the built tool, "boot" kestran-boot-image,
# "confirm" kestran-boot-image --confirm, "status" kestran-boot-image --status
# (an argument it must refuse with exit status 2).
# Mounted: "both", "usb", "imgpart", "ro" both with the partition read-only,
# "loopfb" both with a loop device backed by the fallback image (the system
# runs from it).
# Partition: current, fallback, install marker and trial state: "C" the old
# image, "F" an older fallback image, "E" an empty file, "/" a directory, "L"
# a link to the other image, "M" the marker, "-" nothing; a trial state is a
# number of boots begun, "R" rejected, "X" unreadable text, "/" a directory;
# with a "p" after it, a FIFO stands at the temporary path kestran_trial.new.
# Update file: "yes", "no", "E" empty, "p" a FIFO.
# Output: for init, text the output must contain; for boot, the exact
# standard output ("current" or "fallback" for that image's path; with "+"
# standard error must say why, else it is empty), or "none" for exit status 1
# with one line on standard error; for confirm, text its one line on standard
# error must contain (exit status 0, nothing on standard output).
# After: "new" the update installed (old one kept as fallback), "old" the
# images untouched (and the tool not run), "same" the partition unchanged,
# "T=state" only the trial state changed, to that state.
# Rows named trial-* run only against a build with trial boots (TRIAL_BOOTS=2
# and BOOT_IMAGE, its kestran-boot-image), which runs every row.
readonly table='
update-present          | init | both    | C - - | yes | Update complete.                    | new
no-update-file          | init | both    | C - - | no  | no firmware update on the USB stick | old
empty-update-file       | init | both    | C - - | E   | the firmware update on the USB stick is empty | old
update-is-fifo          | init | both    | C - - | p   | no firmware update on the USB stick | old
usb-not-mounted         | init | imgpart | C - - | yes | /mnt/usb is not mounted             | old
imgpart-not-mounted     | init | usb     | C - - | yes | /mnt/imgpart is not mounted         | old
tool-fails              | init | both    | C - - | yes | ended with status 1                 | old
boot-current-only       | boot | both    | C - - | no  | current                             | same
boot-both               | boot | both    | C F - | yes | current                             | same
boot-marker             | boot | both    | C F M | no  | fallback                            | same
boot-no-current         | boot | both    | - F - | no  | fallback                            | same
boot-marker-no-fallback | boot | both    | C - M | no  | none                                | same
boot-nothing            | boot | both    | - - - | no  | none                                | same
boot-current-directory  | boot | both    | / F - | no  | fallback                            | same
boot-current-empty      | boot | both    | E F - | no  | fallback                            | same
boot-current-link       | boot | both    | L F - | no  | fallback                            | same
boot-marker-directory   | boot | both    | C F / | no  | fallback                            | same
boot-fallback-directory | boot | both    | - / - | no  | none                                | same
trial-first-boot        | boot | both    | C F - 0 | no | current                            | T=1
trial-second-boot       | boot | both    | C F - 1 | no | current                            | T=2
trial-not-confirmed     | boot | both    | C F - 2 | no | fallback+                          | T=R
trial-rejected-before   | boot | both    | C F - R | no | fallback+                          | T=R
trial-no-fallback       | boot | both    | C - - 2 | no | current+                           | T=R
trial-state-unreadable  | boot | both    | C F - X | no | fallback+                          | T=R
trial-state-directory   | boot | both    | C F - / | no | fallback+                          | T=/
trial-marker-first      | boot | both    | C F M 1 | no | fallback                           | T=1
trial-cannot-record     | boot | ro      | C F - 1 | no | fallback+                          | T=1
trial-confirm           | confirm | both | C F - 1 | no | confirmed the current image        | T=-
trial-confirm-last-boot | confirm | both | C F - 2 | no | confirmed the current image        | T=-
trial-confirm-rollback  | confirm | both | C F - R | no | nothing confirmed                  | T=R
trial-confirm-not-booted | confirm | both | C F - 0 | no | nothing confirmed                 | T=0
trial-confirm-marker    | confirm | both | C F M 1 | no | nothing confirmed                  | T=1
trial-confirm-none      | confirm | both | C F - - | no | nothing to confirm                 | T=-
trial-confirm-from-fallback | confirm | loopfb | C F - 1 | no | runs the fallback image     | T=1
trial-new-is-fifo       | boot | both    | C F - 1p | no | current                           | T=2
trial-leading-zero      | boot | both    | C F - 01 | no | fallback+                         | T=R
trial-other-argument    | status | both  | C F - 1 | no | usage:                             | T=1
'

# Puts what the partition notation STATE says at PATH; OTHER is the path
# a link points to.
place() {
    local state=$1 path=$2 other=$3
    case $state in
    -) ;;
    C) cp /mnt/ref/old "$path" ;;
    F) cp /mnt/ref/older "$path" ;;
    E) : >"$path" ;;
    M) : >"$path" ;;
    /) mkdir "$path" ;;
    L) ln -s "$other" "$path" ;;
    *) fail "unknown partition state $state" ;;
    esac
}

# Everything on the image partition, with sizes and times.
listing() {
    find /mnt/imgpart -printf '%p %y %s %T@ %C@ %l\n' | sort
}

# Runs one row with shell SHELL_CMD; called inside its own mount namespace.
run_one() {
    local row=$1 name runs mounted part present want after
    IFS='|' read -r name runs mounted part present want after <<<"$row"
    read -r name <<<"$name"
    read -r runs <<<"$runs"
    read -r mounted <<<"$mounted"
    read -r present <<<"$present"
    want=$(sed 's/^ *//; s/ *$//' <<<"$want")
    read -r after <<<"$after"
    local cur fb mark trial
    read -r cur fb mark trial <<<"$part"

    mount -t tmpfs -o size=16m scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref
    [[ $mounted != imgpart ]] && mount -t tmpfs usb /mnt/usb
    [[ $mounted != usb ]] && mount -t tmpfs imgpart /mnt/imgpart
    echo old >/mnt/ref/old
    echo older >/mnt/ref/older
    echo new >/mnt/ref/new
    local current=/mnt/imgpart/kestran_current.sqsh fallback=/mnt/imgpart/kestran_fallback.sqsh
    place "$cur" "$current" "$fallback"
    place "$fb" "$fallback" "$current"
    place "$mark" /mnt/imgpart/kestran_install.incomplete ""
    local state=/mnt/imgpart/kestran_trial
    if [[ $trial == *p ]]; then
        mkfifo "$state.new"
        trial=${trial%p}
    fi
    case ${trial:--} in
    -) ;;
    /) mkdir "$state" ;;
    R) echo rejected >"$state" ;;
    X) echo "two boots" >"$state" ;;
    *) echo "$trial" >"$state" ;;
    esac
    [[ $mounted != ro ]] || mount -o remount,ro /mnt/imgpart
    local loop=''
    if [[ $mounted == loopfb ]]; then
        loop=$(losetup -f --show -r "$fallback" 2>/dev/null)
        # shellcheck disable=SC2064 # the device is known now
        trap "losetup -d $loop" EXIT
    fi
    # Where the stick is not mounted, the file lies in the bare mount point,
    # as a stale copy would: it must not be taken for an update.
    case $present in
    yes) cp /mnt/ref/new /mnt/usb/kestran.fir ;;
    E) : >/mnt/usb/kestran.fir ;;
    p) mkfifo /mnt/usb/kestran.fir ;;
    esac

    if [[ $runs == boot || $runs == confirm || $runs == status ]]; then
        local before got=0 arg=()
        [[ $runs == boot ]] || arg=("--$runs")
        before=$(listing)
        $SHELL_CMD "$BOOT_IMAGE" "${arg[@]}" >/mnt/out 2>/mnt/err || got=$?
        case $after in
        same) [[ $(listing) == "$before" ]] || fail "kestran-boot-image changed the partition" ;;
        T=*)
            # (The directory's times change with the state's rename.)
            [[ $(listing | sed 1d | grep -v '^/mnt/imgpart/kestran_trial[ .]') == \
                "$(sed 1d <<<"$before" | grep -v '^/mnt/imgpart/kestran_trial[ .]')" ]] ||
                fail "kestran-boot-image changed more than the trial state: $(listing)"
            case ${after#T=} in
            -) [[ ! -e $state ]] || fail "the trial state is still there: $(cat "$state")" ;;
            /) [[ -d $state ]] || fail "the trial state is no longer the directory" ;;
            R) [[ $(cat "$state") == rejected ]] || fail "trial state '$(cat "$state")', expected rejected" ;;
            *) [[ $(cat "$state") == "${after#T=}" ]] || fail "trial state '$(cat "$state")', expected ${after#T=}" ;;
            esac
            ;;
        esac
        case $want in
        none)
            ((got == 1)) || fail "exit status $got, expected 1"
            [[ ! -s /mnt/out ]] || fail "standard output: $(cat /mnt/out)"
            [[ $(wc -l </mnt/err) == 1 ]] || fail "standard error is not one line: $(cat /mnt/err)"
            ;;
        current* | fallback*)
            ((got == 0)) || fail "exit status $got: $(cat /mnt/err)"
            [[ $(cat /mnt/out) == "/mnt/imgpart/kestran_${want%+}.sqsh" ]] ||
                fail "named '$(cat /mnt/out)', expected the ${want%+} image"
            if [[ $want == *+ ]]; then
                [[ -s /mnt/err ]] || fail "standard error does not say why"
            else
                [[ ! -s /mnt/err ]] || fail "standard error: $(cat /mnt/err)"
            fi
            ;;
        *)
            local want_status=0
            [[ $runs != status ]] || want_status=2
            ((got == want_status)) || fail "exit status $got, expected $want_status: $(cat /mnt/err)"
            [[ ! -s /mnt/out ]] || fail "standard output: $(cat /mnt/out)"
            if [[ $(wc -l </mnt/err) != 1 ]] || ! grep -qF -- "$want" /mnt/err; then
                fail "standard error is not one line with '$want': $(cat /mnt/err)"
            fi
            ;;
        esac
        return 0
    fi

    local updater=$TOOL
    if [[ $name == tool-fails ]]; then
        updater=/bin/false
    elif ((${#RUNNER[@]} > 0)); then
        updater=/mnt/run-updater
        printf '#!/bin/sh\nexec %s "%s"\n' "${RUNNER[*]}" "$TOOL" >"$updater"
        chmod +x "$updater"
    fi
    sed "s|@UPDATER_PATH@|/nonexistent/init-updater|" "$dist/init.d/init-updater.in" \
        >/mnt/init-updater

    local got=0
    INIT_UPDATER=$updater $SHELL_CMD /mnt/init-updater start >/mnt/out 2>&1 || got=$?
    ((got == 0)) || fail "init script exited $got: $(cat /mnt/out)"
    grep -qF -- "$want" /mnt/out || fail "output lacks '$want': $(cat /mnt/out)"

    case $after in
    new)
        cmp -s "$current" /mnt/ref/new || fail "update not installed"
        cmp -s "$fallback" /mnt/ref/old || fail "fallback not kept"
        ;;
    old)
        cmp -s "$current" /mnt/ref/old || fail "current image changed"
        [[ ! -e $fallback ]] || fail "fallback image written"
        ! grep -q "Firmware update found." /mnt/out || fail "the tool ran"
        ;;
    esac
}

verify_unit() {
    command -v systemd-analyze >/dev/null || fail "systemd-analyze is not installed"
    local dir
    dir=$(mktemp -d)
    sed "s|@UPDATER_PATH@|$TOOL|" "$dist/systemd/init-updater.service.in" >"$dir/init-updater.service"
    cp "$dist/systemd/kestran-image-pre.target" "$dir/"
    local out status=0
    out=$(systemd-analyze verify --man=no "$dir/init-updater.service" \
        "$dir/kestran-image-pre.target" 2>&1) || status=$?
    rm -rf "$dir"
    # verify exits 0 on some faults, such as an unknown Type=: any word counts.
    [[ $status == 0 && -z $out ]] || fail "systemd-analyze verify: $out"
    echo "ok   systemd unit verified"
}

main() {
    run_one_if_asked "$@"
    require_tool_and_namespace "$@"
    TOOL=$(readlink -f "$1")
    shift
    verify_unit

    local shells=("sh")
    command -v busybox >/dev/null && shells+=("busybox sh")
    local passed=1 failed=0 row name shell # passed: the unit check above
    for shell in "${shells[@]}"; do
        while IFS= read -r row; do
            [[ -n ${row// /} ]] || continue
            name=$(cut -d'|' -f1 <<<"$row" | tr -d ' ')
            [[ $name != trial-* || -n ${TRIAL_BOOTS:-} ]] || continue
            if ROW=$row SHELL_CMD=$shell unshare --mount --propagation private \
                bash "$here/integration.sh" --one "$TOOL" "$@"; then
                echo "ok   $name ($shell)"
                passed=$((passed + 1))
            else
                echo "FAIL $name ($shell)"
                failed=$((failed + 1))
            fi
        done <<<"$table"
    done
    echo "integration: $passed passed, $failed failed"
    ((failed == 0))
}

main "$@"

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
# Environment: INTEGRATION_ROWS="name ..." runs only those rows. The build's
# tags and its kestran-boot-image come from the tool itself (describe_build,
# lib/rows.sh).
# Exit status: 0 passed, 1 failed, 77 no namespace (a failure when CI=true).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
readonly dist=$here/../../dist
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"
# shellcheck source-path=SCRIPTDIR source=lib/rows.sh
source "$here/lib/rows.sh"
# shellcheck source-path=SCRIPTDIR source=lib/partition.sh
source "$here/lib/partition.sh"

# name | runs | mounted | before | trial | output | after | tags
#
# Runs: "init" the init script with the built tool, "boot" kestran-boot-image,
# "confirm" kestran-boot-image --confirm, "status" kestran-boot-image --status,
# "other" kestran-boot-image --other (an argument it must refuse with exit
# status 2).
# Mounted: "both", "usb", "imgpart", "ro" both with the partition read-only,
# "loopfb" both with a loop device backed by the fallback image (the system
# runs from it).
# Before and after: the current image, the fallback image, the update file
# and the install marker, in the notation of lib/partition.sh, with the
# payloads below: A the installed image, O an older one, B the update, E
# empty, G and H images of 2 GiB and more (sparse). Where the stick is not mounted, the update file lies in the bare
# mount point, as a stale copy would: it must not be taken for an update.
# An init row whose partition stays as it was expects the tool not started.
# Trial: "S>T" the trial state S before the run and T after it (notation of
# lib/partition.sh), where kestran-boot-image may change nothing else; "-"
# no trial state, where it must leave the partition exactly as it was.
# "S>T:R:F>G" also puts the current image's recorded version R and the
# version floor F there ("-" none) and expects the floor G after it.
# Output: for init, text the output must contain; for boot, the exact
# standard output ("current" or "fallback" for that image's path; with "+"
# standard error must say why, else it is empty), or "none" for exit status 1
# with one line on standard error; for confirm and status, text its one line
# on standard error must contain (exit status 0, or 2 for other, or 1 for
# a text with "cannot", and nothing on standard output); for status, KEY=GLOB
# words that the values must match, read back by a shell from its output of
# every key once (exit status 0, nothing on standard error, nothing written).
# With the event log (a fifth word in before and after, lib/partition.sh),
# the partition may change by the log alone: check_log says how.
# Tags: what the row needs (lib/rows.sh).
readonly table='
update-present              | init    | both    | A - B - | -    | Update complete.                              | B A B - | unsigned
no-update-file              | init    | both    | A - - - | -    | no firmware update on the USB stick           | A - - - | -
empty-update-file           | init    | both    | A - E - | -    | the firmware update on the USB stick is empty | A - E - | -
update-is-fifo              | init    | both    | A - p - | -    | no firmware update on the USB stick           | A - p - | -
usb-not-mounted             | init    | imgpart | A - B - | -    | /mnt/usb is not mounted                       | A - B - | -
imgpart-not-mounted         | init    | usb     | A - B - | -    | /mnt/imgpart is not mounted                   | A - B - | -
tool-fails                  | init    | both    | A - B - | -    | ended with status 1                           | A - B - | -
boot-current-only           | boot    | both    | A - - - | -    | current                                       | A - - - | -
boot-both                   | boot    | both    | A O B - | -    | current                                       | A O B - | -
boot-marker                 | boot    | both    | A O - M | -    | fallback                                      | A O - M | -
boot-no-current             | boot    | both    | - O - - | -    | fallback                                      | - O - - | -
boot-marker-no-fallback     | boot    | both    | A - - M | -    | none                                          | A - - M | -
boot-nothing                | boot    | both    | - - - - | -    | none                                          | - - - - | -
boot-current-directory      | boot    | both    | / O - - | -    | fallback                                      | / O - - | -
boot-current-empty          | boot    | both    | E O - - | -    | fallback                                      | E O - - | -
boot-current-link           | boot    | both    | f O - - | -    | fallback                                      | f O - - | -
boot-marker-directory       | boot    | both    | A O - / | -    | fallback                                      | A O - / | -
boot-fallback-directory     | boot    | both    | - / - - | -    | none                                          | - / - - | -
boot-large-images           | boot    | both    | G H - M | -    | fallback                                      | G H - M | -
trial-large-image           | boot    | both    | G H - - | 1>2  | current                                       | G H - - | trial
trial-first-boot            | boot    | both    | A O - - | 0>1  | current                                       | A O - - | trial
trial-second-boot           | boot    | both    | A O - - | 1>2  | current                                       | A O - - | trial
trial-not-confirmed         | boot    | both    | A O - - | 2>R  | fallback+                                     | A O - - | trial
trial-rejected-before       | boot    | both    | A O - - | R>R  | fallback+                                     | A O - - | trial
trial-no-fallback           | boot    | both    | A - - - | 2>R  | current+                                      | A - - - | trial
trial-state-unreadable      | boot    | both    | A O - - | X>R  | fallback+                                     | A O - - | trial
trial-state-directory       | boot    | both    | A O - - | />/  | fallback+                                     | A O - - | trial
trial-marker-first          | boot    | both    | A O - M | 1>1  | fallback                                      | A O - M | trial
trial-cannot-record         | boot    | ro      | A O - - | 1>1  | fallback+                                     | A O - - | trial
trial-confirm               | confirm | both    | A O - - | 1>-  | confirmed the current image                   | A O - - | trial
trial-confirm-last-boot     | confirm | both    | A O - - | 2>-  | confirmed the current image                   | A O - - | trial
trial-confirm-rollback      | confirm | both    | A O - - | R>R  | nothing confirmed                             | A O - - | trial
trial-confirm-not-booted    | confirm | both    | A O - - | 0>0  | nothing confirmed                             | A O - - | trial
trial-confirm-marker        | confirm | both    | A O - M | 1>1  | nothing confirmed                             | A O - M | trial
trial-confirm-none          | confirm | both    | A O - - | ->-  | nothing to confirm                            | A O - - | trial
trial-confirm-from-fallback | confirm | loopfb  | A O - - | 1>1  | runs the fallback image                       | A O - - | trial
confirm-raises-floor        | confirm | both    | A O - - | 1>-:9:5>9 | confirmed the current image              | A O - - | trial
confirm-sets-first-floor    | confirm | both    | A O - - | 1>-:9:->9 | confirmed the current image              | A O - - | trial
confirm-keeps-higher-floor  | confirm | both    | A O - - | 1>-:9:12>12 | confirmed the current image            | A O - - | trial
confirm-no-record-no-floor  | confirm | both    | A O - - | 1>-:-:5>5 | confirmed the current image              | A O - - | trial
rejected-leaves-floor       | confirm | both    | A O - - | R>R:9:5>5 | nothing confirmed                        | A O - - | trial
rollback-leaves-floor       | boot    | both    | A O - - | 2>R:9:5>5 | fallback+                                | A O - - | trial
trial-new-is-a-second-name  | boot    | both    | A O - - | 1h>2 | current                                       | A O - - | trial
confirm-whatever-trial-count | confirm | both   | A O - - | 3>-  | confirmed the current image                   | A O - - | -
trial-confirm-unreadable    | confirm | both    | A O - - | X>X  | cannot be confirmed                           | A O - - | trial
trial-new-is-fifo           | boot    | both    | A O - - | 1p>2 | current                                       | A O - - | trial
trial-leading-zero          | boot    | both    | A O - - | 01>R | fallback+                                     | A O - - | trial
trial-other-argument        | other   | both    | A O - - | 1>1  | usage:                                        | A O - - | trial
status-current-only         | status  | both    | A - - - | -    | BOOT=current CURRENT_IMAGE=present CURRENT_SIZE=4096 FALLBACK_IMAGE=absent FALLBACK_SIZE= INSTALL_INTERRUPTED=no CURRENT_VERSION= VERSION_FLOOR= LAST_EVENT= | A - - - | -
status-marker               | status  | both    | A O - M | -    | BOOT=fallback CURRENT_IMAGE=present FALLBACK_SIZE=2048 INSTALL_INTERRUPTED=yes | A O - M | -
status-nothing              | status  | both    | - - - - | -    | BOOT=none CURRENT_IMAGE=absent CURRENT_SIZE= FALLBACK_IMAGE=absent | - - - - | -
status-odd-entries          | status  | both    | p / - / p | />/ | BOOT=none CURRENT_IMAGE=absent FALLBACK_IMAGE=absent INSTALL_INTERRUPTED=yes TRIAL=rejected LAST_EVENT= | p / - / p | trial
status-links                | status  | both    | f l - - l | -  | BOOT=none CURRENT_IMAGE=absent FALLBACK_IMAGE=absent LAST_EVENT= | f l - - l | -
status-large-images         | status  | both    | G H - M | -    | BOOT=fallback CURRENT_SIZE=2148532224 FALLBACK_SIZE=2149580800 | G H - M | -
status-no-trial-boots       | status  | both    | A O - - | 1>1  | BOOT=current TRIAL= | A O - - | confirmed
status-on-trial             | status  | both    | A O - - | 1>1  | BOOT=current TRIAL=1 | A O - - | trial
status-trial-ends           | status  | both    | A O - - | 2>2  | BOOT=fallback TRIAL=2 | A O - - | trial
status-rejected             | status  | both    | A O - - | R>R  | BOOT=fallback TRIAL=rejected | A O - - | trial
status-versions             | status  | both    | A O - - | 1>1:9:5>5 | CURRENT_VERSION=9 VERSION_FLOOR=5 | A O - - | trial
status-last-event           | status  | both    | A O - - C | -  | LAST_EVENT=43?2026-01-01T00:00:00Z?trial-boot?boot=1?of=2 | A O - - = | -
events-log-fallback-boot    | boot    | both    | A O - M - | -  | fallback                                      | A O - M fallback-boot | events
events-log-not-whole        | boot    | both    | E O - - L | -  | fallback                                      | E O - - fallback-boot | events
events-log-trial-boot       | boot    | both    | A O - - C | 0>1 | current                                      | A O - - trial-boot | events trial
events-log-rollback         | boot    | both    | A O - - - | 2>R | fallback+                                    | A O - - rollback | events trial
events-log-rejected-before  | boot    | both    | A O - - L | R>R | fallback+                                    | A O - - = | events trial
events-log-confirmed        | confirm | both    | A O - - L | 1>- | confirmed the current image                  | A O - - confirmed | events trial
events-log-unchanged-boot   | boot    | both    | A O - - - | -  | current                                       | A O - - - | events
events-log-halved-at-boot   | boot    | both    | A O - M F | -  | fallback                                      | A O - M fallback-boot | events
events-log-nul-tail         | boot    | both    | A O - M Z | -  | fallback                                      | A O - M fallback-boot | events
events-log-boot-directory   | boot    | both    | A O - M / | -  | fallback+                                     | A O - M / | events
events-log-boot-fifo        | boot    | both    | A O - M p | -  | fallback+                                     | A O - M p | events
events-log-boot-link        | boot    | both    | A O - M l | -  | fallback+                                     | A O - M l | events
events-log-boot-read-only   | boot    | ro      | A O - M - | -  | fallback+                                     | A O - M - | events
'
readonly payloads='A=4k B=6k O=2k E=0 G=2049ms H=2050ms'
readonly status_keys='BOOT CURRENT_IMAGE CURRENT_SIZE FALLBACK_IMAGE FALLBACK_SIZE INSTALL_INTERRUPTED TRIAL CURRENT_VERSION VERSION_FLOOR LAST_EVENT'

# Everything on the image partition, with sizes and times; but for "all",
# not the event log and the directory's own times where the build keeps the
# log (check_log checks it).
listing() {
    find /mnt/imgpart -printf '%p %y %s %T@ %C@ %l\n' | sort |
        if [[ ${1:-} != all ]] && grep -qx event_log=1 "$BOOT_IMAGE"; then
            grep -v -e '^/mnt/imgpart d' -e "^$event_log "
        else
            cat
        fi
}

# Runs kestran-boot-image as RUNS says, with shell SHELL_CMD, and checks its
# output WANT and that it changed nothing but the trial state as TRIAL says.
check_boot_image() {
    local runs=$1 trial=$2 want=$3 before all got=0 arg=()
    [[ $runs == boot ]] || arg=("--$runs")
    before=$(listing) all=$(listing all)
    # (Nothing at any path may hold it up. SHELL_CMD may be "busybox sh".)
    # shellcheck disable=SC2086
    timeout 60 $SHELL_CMD "$BOOT_IMAGE" "${arg[@]}" >/mnt/out 2>/mnt/err || got=$?
    ((got != 124)) || fail "kestran-boot-image did not end"
    if [[ $trial == - ]]; then
        [[ $(listing) == "$before" ]] || fail "kestran-boot-image changed the partition"
    else
        # (The directory's times change with the state's rename.)
        local state=${trial%%:*}
        # (A second name of the fallback image at the temporary name goes:
        # the image's link count and ctime change, its bytes are checked.)
        local others=(-e '^/mnt/imgpart/kestran_trial[ .]' -e '^/mnt/imgpart/kestran_version_floor' -e "^$event_log ")
        [[ $state != *h* ]] || others+=(-e "^$fallback_image ")
        [[ $(listing | sed 1d | grep -v "${others[@]}") == "$(sed 1d <<<"$before" | grep -v "${others[@]}")" ]] ||
            fail "kestran-boot-image changed more than the trial state and the floor: $(listing)"
        check_trial "${state#*>}"
        [[ $trial != *:* ]] || check_floor "${trial##*>}"
    fi
    case $want in
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
    *=*)
        if ((got != 0)) || [[ -s /mnt/err || $(listing all) != "$all" ]]; then
            fail "exit status $got, or it wrote: $(cat /mnt/err)"
        fi
        [[ $(cut -d= -f1 /mnt/out | paste -sd' ') == "$status_keys" ]] || fail "keys: $(cat /mnt/out)"
        local pair value
        local -a pairs
        read -r -a pairs <<<"$want"
        for pair in "${pairs[@]}"; do
            value=$(sh -c '. /mnt/out && eval "printf %s \"\$$1\""' - "${pair%%=*}")
            # shellcheck disable=SC2053 # a glob
            [[ $value == ${pair#*=} ]] || fail "${pair%%=*} is '$value', expected ${pair#*=}"
        done
        ;;
    *)
        # ("none": exit status 1 and one line on standard error, any.)
        local want_status=0 text=$want
        [[ $runs != other ]] || want_status=2
        [[ $want != *cannot* && $want != none ]] || want_status=1
        [[ $want != none ]] || text=''
        ((got == want_status)) || fail "exit status $got, expected $want_status: $(cat /mnt/err)"
        [[ ! -s /mnt/out ]] || fail "standard output: $(cat /mnt/out)"
        if [[ $(wc -l </mnt/err) != 1 ]] || ! grep -qF -- "$text" /mnt/err; then
            fail "standard error is not one line${text:+ saying "$text"}: $(cat /mnt/err)"
        fi
        ;;
    esac
}

# Runs the init script, with shell SHELL_CMD, starting the tool under test
# (or /bin/false for the row tool-fails), and checks that it exits 0 with
# output that contains WANT.
check_init_script() {
    local name=$1 want=$2 updater=$TOOL got=0
    if [[ $name == tool-fails ]]; then
        updater=/bin/false
    elif ((${#RUNNER[@]} > 0)); then
        updater=/mnt/run-updater
        printf '#!/bin/sh\nexec %s "%s"\n' "${RUNNER[*]}" "$TOOL" >"$updater"
        chmod +x "$updater"
    fi
    sed "s|@UPDATER_PATH@|/nonexistent/init-updater|" "$dist/init.d/init-updater.in" \
        >/mnt/init-updater
    INIT_UPDATER=$updater $SHELL_CMD /mnt/init-updater start >/mnt/out 2>&1 || got=$?
    ((got == 0)) || fail "init script exited $got: $(cat /mnt/out)"
    grep -qF -- "$want" /mnt/out || fail "output lacks '$want': $(cat /mnt/out)"
}

# Runs one row with shell SHELL_CMD; called inside its own mount namespace.
run_one() {
    local row=$1 name runs mounted before trial want after tags
    read_row "$row" name runs mounted before trial want after tags
    # No row of another table with an image loop-mounted while this one
    # runs (harness.sh), and none of this table's loop devices after it.
    lock_loop_devices -x

    mount -t tmpfs -o size=16m scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref
    [[ $mounted != imgpart ]] && mount -t tmpfs usb /mnt/usb
    [[ $mounted != usb ]] && mount -t tmpfs imgpart /mnt/imgpart
    make_payloads "$payloads"
    place_partition "$before"
    if [[ $trial != - ]]; then
        local state=${trial%%:*} record floor
        place_trial "${state%>*}"
        if [[ $trial == *:* ]]; then
            IFS=: read -r _ record floor <<<"$trial"
            place_versions "${floor%>*}" "$record"
        fi
    fi
    [[ $mounted != ro ]] || mount -o remount,ro /mnt/imgpart
    if [[ $mounted == loopfb ]]; then
        local loop
        loop=$(losetup -f --show -r "$fallback_image" 2>/dev/null)
        # shellcheck disable=SC2064 # the device is known now
        trap "losetup -d $loop" EXIT
    fi

    if [[ $runs == init ]]; then
        check_init_script "$name" "$want"
        [[ $after != "$before" ]] || ! grep -q "Firmware update found." /mnt/out || fail "the tool ran"
    else
        check_boot_image "$runs" "$trial" "$want"
    fi
    check_partition "$after"
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

    local shells=("sh") shell
    command -v busybox >/dev/null && shells+=("busybox sh")
    describe_build "$TOOL"
    if [[ -n $SCENARIO_TRIAL && $SCENARIO_TRIAL != 2 ]]; then
        # The trial rows count to 2: a build with another number of trial
        # boots is checked with its kestran-boot-image set to 2.
        counts_to_two=$(mktemp)
        trap 'rm -f "$counts_to_two"' EXIT
        sed "s/^trial_boots=$SCENARIO_TRIAL\$/trial_boots=2/" "$BOOT_IMAGE" >"$counts_to_two"
        grep -qx trial_boots=2 "$counts_to_two" || fail "no line trial_boots=$SCENARIO_TRIAL in $BOOT_IMAGE"
        BOOT_IMAGE=$counts_to_two
    fi
    local passed=0 failed=0 skipped=0 left_out=0
    for shell in "${shells[@]}"; do
        SHELL_CMD=$shell run_rows "$here/integration.sh" "$table" "$BUILD_TAGS" "${INTEGRATION_ROWS:-}" \
            " ($shell)" "$TOOL" "$@"
    done
    close_table integration
}

main "$@"

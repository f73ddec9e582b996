#!/usr/bin/env bash
# Start-up integration: the systemd unit passes `systemd-analyze verify`, and
# the init script runs the built tool only when both mount points are
# mounted and the update file is there, and never fails the boot. The init
# script runs in private mount namespaces with tmpfs at /mnt/usb and
# /mnt/imgpart (the host's /mnt is covered by a scratch tmpfs), under every
# POSIX shell found among sh (dash on Debian) and busybox sh.
#
# Usage: integration.sh TOOL [RUNNER...]
# Exit status: 0 passed, 1 failed, 77 no namespace (a failure when CI=true).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
readonly dist=$here/../../dist
# shellcheck source-path=SCRIPTDIR source=harness.sh
source "$here/harness.sh"

# name | mounted | update file | init script's output must contain | images after
# Images: "new" the update installed (old one kept as fallback), "old" untouched.
readonly table='
update-present     | both    | yes | Update complete.                     | new
no-update-file     | both    | no  | no firmware update on the USB stick  | old
usb-not-mounted    | imgpart | yes | /mnt/usb is not mounted              | old
imgpart-not-mounted| usb     | yes | /mnt/imgpart is not mounted          | old
tool-fails         | both    | yes | ended with status 1                  | old
'

# Runs one row with shell SHELL_CMD; called inside its own mount namespace.
run_one() {
    local row=$1 name mounted present want after
    IFS='|' read -r name mounted present want after <<<"$row"
    read -r name <<<"$name"
    read -r mounted <<<"$mounted"
    read -r present <<<"$present"
    want=$(sed 's/^ *//; s/ *$//' <<<"$want")
    read -r after <<<"$after"

    mount -t tmpfs -o size=16m scratch /mnt
    mkdir /mnt/usb /mnt/imgpart /mnt/ref
    [[ $mounted == both || $mounted == usb ]] && mount -t tmpfs usb /mnt/usb
    [[ $mounted == both || $mounted == imgpart ]] && mount -t tmpfs imgpart /mnt/imgpart
    echo old >/mnt/ref/old
    echo new >/mnt/ref/new
    cp /mnt/ref/old /mnt/imgpart/kestran_current.sqsh
    # Where the stick is not mounted, the file lies in the bare mount point,
    # as a stale copy would: it must not be taken for an update.
    [[ $present == yes ]] && cp /mnt/ref/new /mnt/usb/kestran.fir

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
        cmp -s /mnt/imgpart/kestran_current.sqsh /mnt/ref/new || fail "update not installed"
        cmp -s /mnt/imgpart/kestran_fallback.sqsh /mnt/ref/old || fail "fallback not kept"
        ;;
    old)
        cmp -s /mnt/imgpart/kestran_current.sqsh /mnt/ref/old || fail "current image changed"
        [[ ! -e /mnt/imgpart/kestran_fallback.sqsh ]] || fail "fallback image written"
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

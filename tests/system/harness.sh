# Shared by the system test scripts, which source it. Each script re-runs
# itself inside a private mount namespace per row of its table, as
# `SCRIPT --one TOOL [RUNNER...]` with the row in $ROW, and defines run_one.
# shellcheck shell=bash

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# For `SCRIPT --one TOOL [RUNNER...]`: sets TOOL and RUNNER, runs the row in
# $ROW with run_one, and exits. Returns for any other arguments.
# shellcheck disable=SC2034 # TOOL and RUNNER are the sourcing script's
run_one_if_asked() {
    [[ ${1:-} == --one ]] || return 0
    TOOL=$2
    shift 2
    RUNNER=("$@")
    run_one "$ROW"
    exit 0
}

# lock_loop_devices -s|-x: takes the machine's loop-device lock, shared (-s)
# or exclusive (-x), held until the calling process ends, saying so when it
# must wait. The loop devices are the whole machine's, whatever the mount
# namespace, and kestran-boot-image knows the running image by the files
# behind them: an integration row holds the lock exclusively, a row that
# loop-mounts an image at /mnt/imgpart shares it, so that neither is taken
# for the other's running system when two tables run at once. (A row,
# not a table: a row takes a second or less, a table minutes.)
lock_loop_devices() {
    local dir=/run/lock fd
    [[ -d $dir && -w $dir ]] || dir=/tmp
    exec {fd}>"$dir/kestran-loop-devices.lock"
    if ! flock -n "$1" "$fd"; then
        echo "waiting for $dir/kestran-loop-devices.lock (another table's loop devices)" >&2
        flock "$1" "$fd"
    fi
}

# Checks that the script was given a TOOL, and that private mount namespaces
# can be made: exits 2 on a usage error, 77 (skipped) without namespaces, or
# fails when CI=true, where the tests must run.
require_tool_and_namespace() {
    (($# >= 1)) || {
        echo "usage: $0 TOOL [RUNNER...]" >&2
        exit 2
    }
    if ! unshare --mount --propagation private true 2>/dev/null; then
        [[ ${CI:-} == true ]] && fail "cannot create a private mount namespace (run as root)"
        echo "SKIP: $(basename "$0") needs root for private mount namespaces" >&2
        exit 77
    fi
}

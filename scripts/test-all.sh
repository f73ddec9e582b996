#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, builds everything and runs
# every test: static checks, the host build, the sanitizer build, the fuzz
# targets (libFuzzer, a bounded number of runs each), the ARMv6
# dynamic and static builds under qemu -cpu arm1176, the negative controls
# (power cuts, ARMv6), the device in a box (the static build on an emulated
# ARM1176 board: update, power cuts, sticks, signed updates, trial boots) and
# its media faults (blkdebug), the release built twice in two
# directories and compared, and a vendor-SDK style build tested under qemu
# -cpu arm1176. Run as root (apt-get, mount namespaces).
#
# After the static checks the stages run in two lanes side by side, one a
# core: the host lane (the host's build and tables, the sanitizers) and the
# emulated lane (the ARMv6 runtime, reused when cached, the static ARMv6
# build, the device box's build and stories). The rest (fuzzing, the
# controls, the device box's media faults, the release, the ARMv6 builds'
# tests, the vendor SDK) goes to whichever lane is free first; what needs the
# runtime or the device box's build waits for it. Each stage prints its time; the
# emulated lane's output is kept in build/ci/armv6-lane.log and printed when
# both lanes are done (its stage lines as they come). Exit status: 0 when
# every stage passed.
set -euo pipefail
shopt -s globstar
cd "$(dirname "$0")/.."

bash scripts/install-prerequisites.sh all

# say LINE: LINE on standard error and on the progress descriptor (3).
say() {
    echo "$1" >&2
    echo "$1" >&3
}

# stage LANE COMMAND...: runs COMMAND, saying when it starts and how long it
# took; its failure ends the lane (or the run, outside the lanes), and the
# other lane at its next stage.
stage() {
    local lane=$1 start=$SECONDS what
    shift
    what=$*
    ((${#what} <= 100)) || what="${what:0:96} ..."
    if [[ -e ${failed:-} ]]; then
        say "== $lane: not run, a stage of the other lane failed: $what"
        exit 1
    fi
    say "== $lane: $what"
    "$@" || {
        local status=$?
        say "== $lane: FAILED (exit status $status) after $((SECONDS - start)) s: $what"
        [[ -z ${failed:-} ]] || touch "$failed"
        exit "$status"
    }
    say "== $lane: done in $((SECONDS - start)) s: $what"
}

# (Each lane turns job control off again, so that what it runs stays in the
# lane's process group.)
host_lane() {
    set +m
    stage host cmake --workflow --preset host --fresh
    stage host cmake --workflow --preset sanitize --fresh
    either_lane host
    stage host wait_for "$device_built"
    either_lane host
}

# The emulated lane: the runtime and the static ARMv6 build come first, for
# the device box, whose stories are the longest stage.
armv6_lane() {
    set +m
    trap 'touch "$armv6_ended"' EXIT
    stage armv6 build_runtime
    stage armv6 bash scripts/armv6.sh build armv6-static
    touch "$runtime_ready"
    stage armv6 bash tests/device/build.sh --ci
    touch "$device_built"
    stage armv6 bash tests/device/run.sh stories
    either_lane armv6
}

# Stages either lane may run: the lane that reaches one first takes it, the
# longer ones first. Those that need the ARMv6 runtime and the static build,
# or the device box's build, wait until the emulated lane has made them (the
# host lane waits for the device box's build after its own stages). With the
# caches filled the emulated lane reaches most of these first, after the
# device box's stories; from empty caches the host lane takes most of them
# while the stories run.
either_lane() {
    local lane=$1
    take "$lane" fuzz cmake --workflow --preset fuzz --fresh
    take "$lane" powercut-control bash tests/controls/negative-control.sh powercut
    [[ -e $runtime_ready ]] || return 0
    [[ ! -e $device_built ]] || take "$lane" device-faults bash tests/device/faults.sh
    take "$lane" release bash tests/controls/check-reproducible.sh
    take "$lane" armv6-static-tests bash scripts/armv6.sh test armv6-static
    take "$lane" armv6-dynamic bash scripts/armv6.sh workflow armv6
    take "$lane" vendor-sdk bash scripts/vendor-sdk.sh
    take "$lane" armv6-control bash tests/controls/negative-control.sh armv6
}

# take LANE NAME COMMAND...: runs COMMAND as a stage of LANE unless a lane
# has taken NAME already.
take() {
    local lane=$1 name=$2
    shift 2
    if mkdir "build/ci/took-$name" 2>/dev/null; then
        stage "$lane" "$@"
    fi
}

# The ARMv6 runtime and libsodium in it, built or reused.
build_runtime() {
    local runtime
    runtime=$(bash scripts/build-armv6-runtime.sh | tail -n 1) &&
        bash scripts/build-armv6-libsodium.sh "$runtime" >/dev/null
}

# wait_for MARKER: waits until the emulated lane has made MARKER; fails if
# that lane ended without it.
wait_for() {
    until [[ -e $1 ]]; do
        if [[ -e $armv6_ended ]] || ! kill -0 "$armv6_pid" 2>/dev/null; then
            [[ ! -e $1 ]] || return 0
            echo "the ARMv6 lane ended before $1" >&2
            return 1
        fi
        sleep 5
    done
}

exec 3>/dev/null
start=$SECONDS
stage static shellcheck -x scripts/*.sh tests/**/*.sh .ci/run
stage static shellcheck -s sh tests/device/guest/* dist/initramfs/init
stage static shellcheck -s sh dist/init.d/init-updater.in dist/sbin/kestran-boot-image
stage static shellcheck -s sh dist/sign/kestran-sign tests/fuzz/make-seeds.sh
stage static clang-format --dry-run -Werror src/*.cpp src/*.hpp tests/unit/*.cpp tests/unit/*.hpp \
    tests/fuzz/*.cpp tests/fuzz/*.hpp
stage static mandoc -T lint -W warning man/init-updater.8 man/kestran-boot-image.8 man/kestran-sign.1

mkdir -p build/ci
runtime_ready=build/ci/runtime-ready device_built=build/ci/device-built
armv6_ended=build/ci/armv6-lane-ended failed=build/ci/failed
rm -rf "$runtime_ready" "$device_built" "$armv6_ended" "$failed" build/ci/took-*
armv6_log=build/ci/armv6-lane.log
host_status=0 armv6_status=0
# report: the ARMv6 lane's output and both lanes' outcome, however the run
# ends (a failure, an interrupt, CI's time limit).
report() {
    echo "== the ARMv6 lane's output ($armv6_log):" >&2
    cat "$armv6_log" >&2
    echo "== lanes: host $( ((host_status == 0)) && echo passed || echo "failed ($host_status)")," \
        "ARMv6 $( ((armv6_status == 0)) && echo passed || echo "failed ($armv6_status)")," \
        "$((SECONDS - start)) s in all" >&2
}
exec 3>&2
set -m # each lane a process group of its own, stopped as one
armv6_lane >"$armv6_log" 2>&1 </dev/null &
armv6_pid=$!
host_lane 3>/dev/null </dev/null &
host_pid=$!
set +m
trap report EXIT
trap 'trap - INT TERM HUP; kill -TERM -- "-$host_pid" "-$armv6_pid" 2>/dev/null' INT TERM HUP
wait "$host_pid" || host_status=$?
wait "$armv6_pid" || armv6_status=$?
((host_status == 0 && armv6_status == 0))
echo "stages: all passed"

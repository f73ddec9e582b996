# The device in a box, shared by every story script in tests/device, which
# sources it first: where things are, the knobs, and reporting.
# shellcheck shell=bash
# shellcheck disable=SC2034 # the variables here are the sourcing scripts'

set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
readonly src
readonly device_dir=$src/tests/device
readonly guest=$device_dir/guest
readonly work=$src/build/device
readonly cache=${KESTRAN_DEVICE_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kestran-device}
# The drives use qemu's cache=writeback. A power cut is a SIGKILL of qemu,
# which the host's page cache survives, and qemu's SD card writes each block
# to the image file before it reports the block done, so after a cut the file
# holds exactly what the card had acknowledged, in any cache mode. The other
# modes only add safety against the host itself losing power, at a price: a
# 9 MiB copy onto the SD card took 2.5 s with writeback, 3.6-9 s with none,
# 17-22 s with writethrough and 15-24 s with directsync (a host fdatasync or
# direct write per emulated 512-byte block). KESTRAN_DEVICE_CACHE_MODE
# overrides it.
readonly cache_mode=${KESTRAN_DEVICE_CACHE_MODE:-writeback}
readonly cuts=${KESTRAN_DEVICE_CUTS:-6}
readonly bench_pairs=${KESTRAN_DEVICE_BENCH_PAIRS:-7}
# Random padding in each firmware image (MiB): makes the update long enough
# to cut into at several places.
readonly pad_mib=${KESTRAN_DEVICE_PAD_MIB:-4}
readonly bench_mib=16
readonly part_offset=$((1024 * 1024))
readonly dtb_name=bcm2835-rpi-a-plus.dtb
readonly tool_lines='^(Firmware update found\.|Firmware update could not be read\.|Firmware update rejected\.|Updating Firmware\.|Copying the new firmware\.|Update complete\.|Update failed\.)$'
readonly installed_lines="Firmware update found.|Updating Firmware.|Copying the new firmware.|Update complete."
# The SD card (sd_state) after v2 was installed over the build's v1, and as
# the build made it.
readonly installed_state="current=v2 fallback=v1 marker=no"
readonly unchanged_state="current=v1 fallback=none marker=no"
# The signed tool: one model (test-board) with rollback protection.
readonly signed_tool=$src/build/armv6-static/tests/init-updater-model
readonly signed_keys=$src/build/armv6-static/tests/keys
# The trial tool: trial boots (2) and the event log.
readonly trial_tool=$src/build/armv6-static/tests/init-updater-events
readonly trial_boot_image=$src/build/armv6-static/tests/init-updater-events-boot-image
# The tool that installs by renames, for the update story and the benchmark.
readonly rename_tool=$src/build/armv6-static/tests/init-updater-rename

# Prints "== MESSAGE" on standard error.
log() { echo "== $*" >&2; }

# Prints the failure on standard error and exits 1.
die() {
    echo "device-box: FAIL: $*" >&2
    exit 1
}

# Checks that the value $2 of what $1 names is $3: prints "ok: ..." or dies
# naming the last console.
expect() {
    local what=$1 got=$2 want=$3
    [[ $got == "$want" ]] || die "$what: got '$got', expected '$want' (console: $LOG)"
    echo "ok: $what: $got"
}

# Dies unless run as root.
require_root() { ((EUID == 0)) || die "run as root"; }

# Dies unless run as root, and unless build.sh has made the device (the
# initramfs is there).
require_build() {
    require_root
    [[ -f $work/initramfs.cpio ]] || die "nothing built: run tests/device/build.sh first"
}

# Runs the story function $2 (with the arguments after it) and logs how long
# it took, as "device box: $1 done in N s".
run_story() {
    local name=$1 start=$SECONDS
    shift
    "$@"
    log "device box: $name done in $((SECONDS - start)) s"
}

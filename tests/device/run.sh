#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box as CI runs it: build.sh --ci (a missing signed or
# trial tool fails), then the stories demo, cuts, sticks, signed and trial,
# then the CI set of the media faults, each a script of its own, in that
# order; the first that fails ends the run.
#
# Usage (as root, from anywhere; Debian 12): tests/device/run.sh [stories]
# With "stories", only the stories, after build.sh (CI runs the build, the
# stories and the faults as stages of their own, the faults beside the
# stories).
# The knobs are those of the stories: KESTRAN_DEVICE_CACHE,
# KESTRAN_DEVICE_CACHE_MODE, KESTRAN_DEVICE_CUTS, KESTRAN_DEVICE_PAD_MIB,
# KESTRAN_FAULT_CASES, KESTRAN_FAULT_TIMEOUT, KESTRAN_FAULT_BALLAST.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/common.sh
source "$here/lib/common.sh"

require_root
# Four power cuts (before the update's first byte, in the fallback copy, in
# the install, at its end) where a run by hand makes six.
export KESTRAN_DEVICE_CUTS=${KESTRAN_DEVICE_CUTS:-4}
start=$SECONDS
[[ ${1:-} == stories ]] || bash "$here/build.sh" --ci
for story in demo cuts sticks signed trial; do
    bash "$here/$story.sh"
done
log "device box: ci done in $((SECONDS - start)) s"
[[ ${1:-} == stories ]] || bash "$here/faults.sh"

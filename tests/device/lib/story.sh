# The one preamble of the device box's story scripts (demo.sh, cuts.sh,
# sticks.sh, signed.sh, trial.sh, bench.sh, faults.sh), which source it
# first: the libraries every story uses.
# shellcheck shell=bash
story_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/device/lib/common.sh
source "$story_lib/common.sh"
# shellcheck source=tests/device/lib/target.sh
source "$story_lib/target.sh"
# shellcheck source=tests/device/lib/images.sh
source "$story_lib/images.sh"
# shellcheck source=tests/device/lib/boot.sh
source "$story_lib/boot.sh"
# shellcheck source=tests/device/lib/sdcard.sh
source "$story_lib/sdcard.sh"

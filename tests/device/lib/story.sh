# The one preamble of the device box's story scripts (demo.sh, cuts.sh,
# sticks.sh, signed.sh, trial.sh, bench.sh, faults.sh), which source it
# first: the libraries every story uses, the checks and the tables they
# share; and it dies unless run as root on a device build.sh has made.
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

require_build

# One boot of a story and its checks: boots NAME from the SD card SD with
# the stick STICK (- for none), as boot does, and checks what booted, the
# tool's lines and the SD card after it (sd_state), in that order; WHAT names
# the step in the checks. Sets SD_AFTER to the SD card's state.
#   boot_step WHAT NAME SD STICK BOOTED TOOL STATE
boot_step() {
    local what=$1 sd=$3
    boot "$2" "$sd" "$4"
    expect "$what: booted" "$BOOTED" "$5"
    expect "$what: tool" "$(tool_output)" "$6"
    SD_AFTER=$(sd_state "$sd")
    expect "$what: SD" "$SD_AFTER" "$7"
}

# Checks that the last console has a line matching $2 (a basic regular
# expression), or with $3 = none that it has none; $1 names the case.
console_has() {
    local line
    line=$(console | grep -m 1 -e "$2" || true)
    if [[ ${3:-} == none ]]; then
        [[ -z $line ]] || die "$1: the console says '$line' (console: $LOG)"
        echo "ok: $1: no '$2' on the console"
    else
        [[ -n $line ]] || die "$1: no '$2' on the console (console: $LOG)"
        echo "ok: $1: console: $line"
    fi
}

# Checks that the version string of the tool $2 says $3; $1 names the tool.
version_says() {
    local version
    version=$(strings -a "$2" | grep -F "$3" || true)
    [[ -n $version ]] || die "the $1's version does not say '$3'"
    echo "ok: $1: $version"
}

# A story's table: add_row FORMAT FIELD... adds a row (printf's FORMAT, no
# newline) to the array rows; print_table TITLE FORMAT COLUMN... prints the
# title, the columns' names and the rows.
add_row() {
    # shellcheck disable=SC2059 # the format is the table's
    rows+=("$(printf "$@")")
}
print_table() {
    echo
    echo "$1"
    # shellcheck disable=SC2059 # the format is the table's
    printf "$2\n" "${@:3}"
    printf '%s\n' "${rows[@]}"
}

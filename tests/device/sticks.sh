#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box (see build.sh): sticks with nothing to install. An
# empty kestran.fir and no stick at all both leave the SD card as it was and
# boot v1.
#
# Usage (as root, after tests/device/build.sh): tests/device/sticks.sh
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/story.sh
source "$here/lib/story.sh"

sticks() {
    local sd
    sd=$(fresh_disks sticks)
    boot empty-stick "$sd" "$work/stick-empty.img"
    expect "empty kestran.fir: booted" "$BOOTED" v1
    case $(tool_output) in
    "" | "Firmware update found.|Firmware update could not be read.") echo "ok: empty kestran.fir: tool: '$(tool_output)'" ;;
    *) die "empty kestran.fir: tool said '$(tool_output)' (console: $LOG)" ;;
    esac
    expect "empty kestran.fir: SD" "$(sd_state "$sd")" "$unchanged_state"
    boot_step "no stick" no-stick "$sd" - v1 "" "$unchanged_state"
    console_has "no stick" 'start-up: no USB stick'
    rm -f "$sd"
}

run_story sticks sticks

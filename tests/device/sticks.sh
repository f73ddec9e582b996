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
    local sd=$work/sticks-sd.img unchanged="current=v1 fallback=none marker=no"
    fresh_disks sticks
    boot empty-stick "$sd" "$work/stick-empty.img"
    expect "empty kestran.fir: booted" "$BOOTED" v1
    case $(tool_output) in
    "" | "Firmware update found.|Firmware update could not be read.") echo "ok: empty kestran.fir: tool: '$(tool_output)'" ;;
    *) die "empty kestran.fir: tool said '$(tool_output)' (console: $LOG)" ;;
    esac
    expect "empty kestran.fir: SD" "$(sd_state "$sd")" "$unchanged"
    boot no-stick "$sd" -
    expect "no stick: booted" "$BOOTED" v1
    expect "no stick: tool" "$(tool_output)" ""
    grep -q 'start-up: no USB stick' <(console) || die "no stick: the start-up found one (console: $LOG)"
    expect "no stick: SD" "$(sd_state "$sd")" "$unchanged"
    rm -f "$sd"
}

require_build
run_story sticks sticks

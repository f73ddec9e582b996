#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box (see build.sh): trial boots. The tool with trial boots
# (2), on the start-up of initramfs-trial.cpio, and one SD card starting with
# t1 and no fallback, through six boots, each image printing "booted
# firmware tN": t2 installed and booted unconfirmed twice (trial 1, 2; it
# fails its health check and powers off unconfirmed), rolled back to t1
# (trial rejected; t1 confirms nothing), t1 again with t2 still on the stick,
# t3 installed over the rejected t2 keeping t1 as the fallback and confirmed
# (t1, t3 and t4 run `kestran-boot-image --confirm` from guest/health-check
# on the image partition the start-up moved into the new root), then t4
# installed keeping the confirmed t3 as the fallback. At its end, the SD
# card's status (kestran-boot-image --status) and its event log.
#
# Usage (as root, after tests/device/build.sh with the trial tool built):
#   tests/device/trial.sh
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/story.sh
source "$here/lib/story.sh"

# One boot of the trial story, on the SD card $sd of trial: step $1 with the
# stick holding $2. Checks what booted ($3), the tool's lines ($4) and the SD
# card after it ($5), and adds the row of the step to the table.
trial_boot() {
    local step=$1 stick=$2 said tool
    boot_step "trial $step" "trial-$step" "$sd" "$work/trial-stick-$stick.img" "$3" "$4" "$5"
    tool=$(tool_output | sed -e 's/Firmware update found\./found/' -e 's/Updating Firmware\./updating/' \
        -e 's/Copying the new firmware\./copying/' -e 's/Update complete\./complete/')
    said=$(console | sed -n -e 's/^kestran-boot-image: //p' -e '/^health check failed$/p' |
        awk '{ printf "%s%s", (NR > 1 ? "; " : ""), $0 }')
    add_row "$trial_format" "$step" "$stick" "$BOOT_SECONDS" "$BOOTED" "$tool" "${SD_AFTER/ marker=no/}" \
        "${said:--}"
}

# The tool with trial boots (2), on the start-up of initramfs-trial.cpio, and
# one SD card (t1, no fallback) through six boots: t2, which never confirms,
# installed and booted twice, then rolled back to t1; t3 installed over the
# rejected t2, keeping t1, and confirmed; t4 installed, keeping t3.
trial() {
    local INITRAMFS=$work/initramfs-trial.cpio SD_TRIAL=yes
    [[ -f $INITRAMFS && -f $work/trial-sd.img && -f $work/trial-stick-t4.img ]] ||
        die "nothing built for the trial tool: build $trial_tool (scripts/armv6.sh), then tests/device/build.sh"
    version_says "trial tool" "$work/init-updater-trial" '(trial boots 2; event log)'
    if ! grep -qx 'trial_boots=2' "$trial_boot_image" || ! grep -qx 'event_log=1' "$trial_boot_image"; then
        die "$trial_boot_image is not configured with trial_boots=2 and event_log=1"
    fi

    local sd=$work/trial-story-sd.img rows=()
    local trial_format='%-4s %-5s %5s  %-6s  %-32s  %-37s  %s'
    local nothing="Firmware update found."
    cp --sparse=always "$work/trial-sd.img" "$sd"
    expect "trial: SD at the start" "$(sd_state "$sd")" "current=t1 fallback=none marker=no trial=none"

    # a. t2 installed, on trial: its first boot fails the health check.
    trial_boot a t2 t2 "$installed_lines" "current=t2 fallback=t1 marker=no trial=1"
    console_has "trial a" '^health check failed$'
    console_has "trial a" '^kestran-boot-image: ' none
    # b. Nothing to install; the second trial boot, unconfirmed too.
    trial_boot b t2 t2 "$nothing" "current=t2 fallback=t1 marker=no trial=2"
    console_has "trial b" '^health check failed$'
    console_has "trial b" '^kestran-boot-image: ' none
    # c. Two boots begun without a confirmation: t2 is rejected, t1 boots and
    # cannot confirm t2.
    trial_boot c t2 t1 "$nothing" "current=t2 fallback=t1 marker=no trial=rejected"
    console_has "trial c" '^kestran-boot-image: the current image was not confirmed in 2 trial boot(s): rejected$'
    console_has "trial c" '^kestran-boot-image: booting the fallback image instead'
    console_has "trial c" '^start-up: booting /mnt/imgpart/kestran_fallback\.sqsh$'
    console_has "trial c" '^kestran-boot-image: .*nothing confirmed$'
    # d. With t2 still on the stick: nothing to install, t1 again.
    trial_boot d t2 t1 "$nothing" "current=t2 fallback=t1 marker=no trial=rejected"
    console_has "trial d" '^kestran-boot-image: booting the fallback image instead'
    console_has "trial d" ': rejected$' none
    console_has "trial d" '^kestran-boot-image: .*nothing confirmed$'
    # e. t3 installed over the rejected t2, keeping t1; it confirms itself.
    trial_boot e t3 t3 "$installed_lines" "current=t3 fallback=t1 marker=no trial=none"
    console_has "trial e" '^start-up: booting /mnt/imgpart/kestran_current\.sqsh$'
    console_has "trial e" '^kestran-boot-image: confirmed the current image after 1 trial boot(s)$'
    # f. t4 installed, keeping the confirmed t3 as the fallback.
    trial_boot f t4 t4 "$installed_lines" "current=t4 fallback=t3 marker=no trial=none"
    console_has "trial f" '^kestran-boot-image: confirmed the current image after 1 trial boot(s)$'
    # What support would see at the end: the status and the event log.
    local status
    status=$(sd_status "$sd" "$trial_boot_image")
    echo "$status"
    expect "trial: status" "$(grep -E '^(BOOT|TRIAL|INSTALL_INTERRUPTED)=' <<<"$status" | paste -sd' ')" \
        "BOOT=current INSTALL_INTERRUPTED=no TRIAL=none"
    expect "trial: event log" "$(sed '1,/^kestran_events.log:$/d' <<<"$status" | cut -d' ' -f3 | paste -sd' ')" \
        "install-complete trial-boot trial-boot rollback install-complete trial-boot confirmed install-complete trial-boot confirmed"
    rm -f "$sd"

    print_table "Trial boots (2), one SD card from t1 (t2 never confirms; the others confirm when they boot):" \
        "$trial_format" step stick s booted tool "SD after (no marker)" "kestran-boot-image / health"
    echo "ok: trial boots"
}

run_story trial trial

# The state of an SD card (or of any disk image with the image partition at
# 1 MiB), read from the host without mounting.
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings of lib/common.sh, sourced first

# Which of the images v1, v2 and t1-t4 (those built) the file $1 is, byte
# for byte; fails when it is none of them.
image_name() {
    local version
    for version in v1 v2 t1 t2 t3 t4; do
        if [[ -f $work/$version.sqsh ]] && cmp -s "$1" "$work/$version.sqsh"; then
            echo "$version"
            return 0
        fi
    done
    return 1
}

# What the SD card's image partition holds, read from the host without
# mounting: a copy of the partition gets its journal replayed and is checked
# by e2fsck, then its files are compared with v1 and v2 (and t1-t4). Prints
# e.g. "current=v2 fallback=v1 marker=no", with "extra=NAMES" for any other
# file, "floor=N version=N" for the version files of rollback protection,
# and "fsck=STATUS" when e2fsck found errors. With SD_TRIAL set (by
# trial) the trial state files and the event log are no extras and the state follows the
# marker: "trial=" what kestran_trial holds ("1", "rejected"; "none" without
# it), and "trial.new=..." when there is a kestran_trial.new too.
sd_state() {
    local sd=$1 part=$work/part-$$.img out=$work/part-file-$$ fsck_log=$work/logs/e2fsck-$$.log
    dd if="$sd" of="$part" bs=1M skip=1 conv=sparse status=none
    # A cut leaves the journal to replay, as the next mount would. After that
    # only the free block and inode counts, which ext4 does not keep exact on
    # storage, may be wrong.
    local fsck=0 problems
    e2fsck -E journal_only -y "$part" >"$fsck_log" 2>&1 || true
    e2fsck -fy "$part" >>"$fsck_log" 2>&1 || fsck=$?
    # Any repair counts (Fix?, Clear?, Salvage?, Connect to /lost+found?...),
    # but for the free counts.
    problems=$(grep -B1 -E '\? yes$' "$fsck_log" |
        grep -v -x -E 'Fix\? yes|--' |
        grep -v -e '^Free \(blocks\|inodes\) count wrong' -e '^Pass [0-9]' || true)
    ((fsck < 4)) && [[ -z $problems ]] && fsck=0
    local name which state=()
    for name in current fallback; do
        rm -f "$out"
        debugfs -R "dump /kestran_$name.sqsh $out" "$part" >/dev/null 2>&1 || true
        if [[ ! -f $out ]]; then
            which=none
        else
            which=$(image_name "$out") || which="other($(stat -c %s "$out")B)"
        fi
        state+=("$name=$which")
    done
    local names extra=()
    names=$(debugfs -R 'ls -p /' "$part" 2>/dev/null | awk -F/ 'NF > 5 { print $6 }')
    if grep -qx kestran_install.incomplete <<<"$names"; then
        state+=(marker=yes)
    else
        state+=(marker=no)
    fi
    # With SD_TRIAL the trial state; with rollback protection the version
    # floor and the current image's recorded version, as "floor=N version=N".
    local field file
    for field in trial=kestran_trial trial.new=kestran_trial.new floor=kestran_version_floor \
        version=kestran_current.version; do
        file=${field#*=}
        [[ $file != kestran_trial* || -n ${SD_TRIAL:-} ]] || continue
        if grep -qxF "$file" <<<"$names"; then
            state+=("${field%%=*}=$(debugfs -R "cat /$file" "$part" 2>/dev/null | tr -d '\n')")
        elif [[ $file == kestran_trial ]]; then
            state+=(trial=none)
        fi
    done
    # Nothing else may appear on the partition.
    while IFS= read -r name; do
        case $name in
        . | .. | lost+found | kestran_current.sqsh | kestran_fallback.sqsh | kestran_install.incomplete) ;;
        kestran_version_floor | kestran_current.version) ;;
        kestran_trial | kestran_trial.new | kestran_events.log) [[ -n ${SD_TRIAL:-} ]] || extra+=("$name") ;;
        *) extra+=("$name") ;;
        esac
    done <<<"$names"
    ((${#extra[@]} == 0)) || state+=("extra=${extra[*]}")
    ((fsck == 0)) || state+=("fsck=$fsck")
    rm -f "$part" "$out"
    echo "${state[*]}"
}

# Prints what `kestran-boot-image --status` (the script $2, run by the host's
# sh) says of the SD card $1, and its event log: a copy of its image
# partition, its journal replayed, mounted read-only in a private mount
# namespace.
sd_status() {
    local part=$work/part-status-$$.img
    dd if="$1" of="$part" bs=1M skip=1 conv=sparse status=none
    e2fsck -E journal_only -y "$part" >/dev/null 2>&1 || true
    # shellcheck disable=SC2016 # the inner shell's own $1 and $2
    unshare --mount --propagation private sh -c 'mount -t tmpfs scratch /mnt && mkdir /mnt/imgpart &&
        mount -o loop,ro "$1" /mnt/imgpart && sh "$2" --status && echo "kestran_events.log:" &&
        { [ ! -f /mnt/imgpart/kestran_events.log ] || cat /mnt/imgpart/kestran_events.log; }' - "$part" "$2"
    rm -f "$part"
}

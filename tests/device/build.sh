#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box: a whole ARMv6 device under qemu-system-arm (BCM2835
# board, ARM1176 CPU) with Debian's own kernel for it, an SD card whose ext4
# image partition holds the firmware image, a vfat USB stick with the update,
# and the shipped reference start-up (dist/initramfs/init, as cmake --install
# lays it out, with the bench's settings in guest/start-up.conf) that runs
# the shipped init script and then boots (loop-mounts and switches root into)
# the squashfs image kestran-boot-image names. The initramfs holds what `cmake --install
# build/armv6-static` lays out; nothing of the tool is stubbed. This script
# builds it all into build/device, for the stories beside it (demo.sh,
# cuts.sh, sticks.sh, signed.sh, trial.sh, bench.sh, faults.sh; run.sh runs
# what CI runs).
#
# Usage (as root, from anywhere; Debian 12):
#   tests/device/build.sh [--ci]
# installs the host's packages, downloads the kernel and BusyBox (cached),
# builds build/armv6-static when it is missing (scripts/armv6.sh), and makes
# the images v1 and v2, the start-up, the SD card and the USB sticks, and
# one start-up each with the signed and the trial tool, with their images
# and sticks, when those tools are built. With --ci (or CI=true) a missing
# signed or trial tool is a failure.
#
# The signed tool is the one the test suite builds beside the static tool,
# build/armv6-static/tests/init-updater-model (one model, test-board, with
# rollback protection), trusting the key
# build/armv6-static/tests/keys/test.pub; the sticks for it are signed with
# dist/sign/kestran-sign and the secret key beside that one (signify-openbsd).
#
# The trial tool is the test suite's build with trial boots (N = 2) and the event log,
# build/armv6-static/tests/init-updater-events, with its kestran-boot-image,
# init-updater-events-boot-image beside it. It runs on its own start-up
# (initramfs-trial.cpio) with images of its own, t1 to t4, which also hold
# that kestran-boot-image and guest/health-check: t2 fails its health check,
# the others confirm themselves (see trial.sh).
#
# Downloads (the armel kernel and busybox-static packages) and what is
# unpacked from them are cached in $KESTRAN_DEVICE_CACHE (default
# ~/.cache/kestran-device) and reused. KESTRAN_DEVICE_PAD_MIB (4) is the
# random padding of each image.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/common.sh
source "$here/lib/common.sh"
# shellcheck source=lib/target.sh
source "$here/lib/target.sh"
# shellcheck source=lib/images.sh
source "$here/lib/images.sh"

# Whether the files after $2, of the test suite's build in
# build/armv6-static, are there for $2 (what needs them): without one, a
# failure when $1 is true, else false.
built() {
    local required=$1 what=$2 file
    for file in "${@:3}"; do
        [[ ! -f $file ]] || continue
        $required && die "no $file for $what: the test suite's build/armv6-static makes it (scripts/armv6.sh)"
        log "no $file: nothing for $what"
        return 1
    done
}

# Everything in build/device, made anew; $1 = true when the signed and the
# trial tool must be there.
build() {
    local required=$1 version
    bash "$src/scripts/install-prerequisites.sh" device
    fetch_target
    if [[ ! -x $src/build/armv6-static/init-updater ]]; then
        log "no build/armv6-static: building it with scripts/armv6.sh"
        bash "$src/scripts/armv6.sh"
    fi
    rm -rf "$work"
    mkdir -p "$work/logs"
    log "firmware images v1, v2 (${pad_mib} MiB padding each)"
    build_firmware v1
    build_firmware v2
    log "initramfs"
    build_initramfs
    log "SD card with v1, USB sticks"
    make_sd "$work/sd.img" "kestran_current.sqsh=$work/v1.sqsh"
    make_stick "$work/stick-v2.img" "$work/v2.sqsh"
    : >"$work/empty.fir"
    make_stick "$work/stick-empty.img" "$work/empty.fir"
    if built "$required" "the update by renames" "$rename_tool"; then
        log "initramfs with the tool that installs by renames"
        pack_initramfs_with "$work/initramfs-rename.cpio" \
            "init-updater=$work/initramfs/usr/sbin/init-updater-rename"
    fi
    if built "$required" "the signed boots" "$signed_tool"; then
        log "initramfs with the signed tool (stripped), signed USB sticks"
        strip_like_install "$signed_tool" "$work/init-updater-signed"
        pack_initramfs_with "$work/initramfs-signed.cpio" "init-updater=$work/init-updater-signed"
        # v2 signed as version 2, v2 with the signature of v1 (by the right
        # key), and v1 signed as version 1, older than v2.
        sign "$work/v2.sqsh" 2
        make_stick "$work/stick-v2-signed.img" "$work/v2.sqsh" "$work/v2.sqsh.sig"
        sign "$work/v1.sqsh" 1
        make_stick "$work/stick-v2-wrong-sig.img" "$work/v2.sqsh" "$work/v1.sqsh.sig"
        make_stick "$work/stick-v1-signed.img" "$work/v1.sqsh" "$work/v1.sqsh.sig"
    fi
    # What the trial boots need: their start-up, with the trial tool
    # (stripped) and the trial kestran-boot-image, the images t1-t4 (t2 the
    # bad one), an SD card with t1 and no fallback, and a stick each with t2,
    # t3, t4.
    if built "$required" "the trial boots" "$trial_tool" "$trial_boot_image"; then
        log "initramfs with the trial tool; images t1-t4 (t2 fails its health check), SD card with t1, USB sticks"
        strip_like_install "$trial_tool" "$work/init-updater-trial"
        pack_initramfs_with "$work/initramfs-trial.cpio" "init-updater=$work/init-updater-trial" \
            "kestran-boot-image=$trial_boot_image"
        for version in t1 t2 t3 t4; do
            build_firmware "$version" "$([[ $version == t2 ]] && echo bad || echo good)"
        done
        make_sd "$work/trial-sd.img" "kestran_current.sqsh=$work/t1.sqsh"
        for version in t2 t3 t4; do
            make_stick "$work/trial-stick-$version.img" "$work/$version.sqsh"
        done
    fi
    log "built in $work: $(cd "$work" && echo ./*.img ./*.sqsh ./initramfs*.cpio)"
}

require_root
case ${1:-} in
--ci) required=true ;;
"") required=$([[ ${CI:-} == true ]] && echo true || echo false) ;;
*)
    sed -n '/^# Usage/,/^# signed or trial/p' "$0" >&2
    exit 2
    ;;
esac
run_story build build "$required"

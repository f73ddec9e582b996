#!/usr/bin/env bash
# The device in a box: a whole ARMv6 device under qemu-system-arm (BCM2835
# board, ARM1176 CPU) with Debian's own kernel for it, an SD card whose ext4
# image partition holds the firmware image, a vfat USB stick with the update,
# and a BusyBox start-up that runs the shipped init script and then boots
# (loop-mounts and switches root into) the squashfs image kestran-boot-image
# names. The initramfs holds what `cmake --install build/armv6-static` lays
# out; nothing of the tool is stubbed.
#
# Usage (as root, from anywhere; Debian 12):
#   device-box.sh [ci]   build, demo, cuts, sticks, signed, trial: what CI runs
#                        (the default)
#   device-box.sh build  packages, kernel and BusyBox (cached), images, initramfs
#                        (and one each with the signed and the trial tool, when
#                        they are built)
#   device-box.sh demo   first boot (the update) and second boot (nothing to do)
#   device-box.sh cuts   power cuts over the update, each followed by a boot
#                        without and one with the stick (KESTRAN_DEVICE_CUTS, 6)
#   device-box.sh sticks an empty kestran.fir, and no stick at all
#   device-box.sh signed the tool built with the tests' signing key: an
#                        unsigned update and one whose signature is another
#                        file's (both rejected), then a signed one, twice
#   device-box.sh trial  the tool with trial boots (2): a bad image booted
#                        twice unconfirmed is rolled back, a good one confirms
#                        itself and becomes the fallback of the next
#   device-box.sh bench  tool against a plain shell script inside the guest,
#                        16 MiB images (KESTRAN_DEVICE_BENCH_PAIRS, 7)
# Each subcommand but build expects an earlier build. The console of every
# boot is shown as it runs and kept in build/device/logs/.
#
# The signed tool is the one the test suite builds beside the static tool,
# build/armv6-static/tests/init-updater-signed, trusting the key
# build/armv6-static/tests/keys/test.pub; the sticks for it are signed with
# dist/sign/kestran-sign and the secret key beside that one (signify-openbsd).
# Without that binary build skips what is for it, except in CI (CI=true, or
# the ci subcommand), where that is a failure.
#
# The trial tool is the test suite's build with trial boots (N = 2),
# build/armv6-static/tests/init-updater-trial, with its kestran-boot-image,
# init-updater-trial-boot-image beside it (same rule without them). It runs
# on its own start-up (initramfs-trial.cpio) with images of its own, t1 to t4
# (v1 and v2 stay as the other subcommands know them): each /init prints
# "booted firmware tN"; t2 then fails its health check and powers off
# unconfirmed, while t1, t3 and t4 run `kestran-boot-image --confirm` (the
# trial script, in the image) on the image partition the start-up moved into
# the new root. One SD card, starting with t1 and no fallback, goes through
# six boots: t2 installed and booted unconfirmed twice (trial 1, 2), rolled
# back to t1 (trial rejected; t1 confirms nothing), t1 again with t2 still on
# the stick, t3 installed over the rejected t2 keeping t1 as the fallback and
# confirmed, then t4 installed keeping the confirmed t3 as the fallback.
#
# Downloads (the armel kernel and busybox-static packages) and what is
# unpacked from them are cached in $KESTRAN_DEVICE_CACHE (default
# ~/.cache/kestran-device) and reused.
#
# The drives use qemu's cache=writeback. A power cut is a SIGKILL of qemu,
# which the host's page cache survives, and qemu's SD card writes each block
# to the image file before it reports the block done, so after a cut the file
# holds exactly what the card had acknowledged, in any cache mode. The other
# modes only add safety against the host itself losing power, at a price: a
# 9 MiB copy onto the SD card took 2.5 s with writeback, 3.6-9 s with none,
# 17-22 s with writethrough and 15-24 s with directsync (a host fdatasync or
# direct write per emulated 512-byte block). KESTRAN_DEVICE_CACHE_MODE
# overrides it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
readonly src=$PWD
readonly work=$src/build/device
readonly cache=${KESTRAN_DEVICE_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/kestran-device}
cache_mode=${KESTRAN_DEVICE_CACHE_MODE:-writeback}
readonly cuts=${KESTRAN_DEVICE_CUTS:-6}
readonly bench_pairs=${KESTRAN_DEVICE_BENCH_PAIRS:-7}
# Random padding in each firmware image (MiB): makes the update long enough
# to cut into at several places.
readonly pad_mib=${KESTRAN_DEVICE_PAD_MIB:-4}
readonly bench_mib=16
boot_timeout=240
readonly part_offset=$((1024 * 1024))
readonly dtb_name=bcm2835-rpi-a-plus.dtb
# Kernel modules the start-up loads (with what they depend on): the SD
# partition's ext4, squashfs and loop for the image, the USB stick's SCSI
# disk and vfat with the character sets vfat uses by default.
readonly wanted_modules=(crc32c_generic ext4 squashfs loop sd_mod usb-storage vfat nls_cp437
    nls_ascii)
readonly tool_lines='^(Firmware update found\.|Firmware update could not be read\.|Firmware update rejected\.|Updating Firmware\.|Copying the new firmware\.|Update complete\.|Update failed\.)$'
readonly signed_tool=$src/build/armv6-static/tests/init-updater-signed
readonly signed_keys=$src/build/armv6-static/tests/keys
readonly trial_tool=$src/build/armv6-static/tests/init-updater-trial
readonly trial_boot_image=$src/build/armv6-static/tests/init-updater-trial-boot-image
# Set by main: whether what is for the signed and the trial tool must be built.
in_ci=false

log() { echo "== $*" >&2; }
die() {
    echo "device-box: FAIL: $*" >&2
    exit 1
}

apt() {
    local i
    for i in 1 2 3; do
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "$@" && return 0
        log "apt-get $1 failed (attempt $i); retrying"
        sleep 10
    done
    return 1
}

# The armel kernel package and busybox-static, downloaded and unpacked (not
# installed) into the cache, and the device tree fixed for qemu 7.2.
fetch_target() {
    local target=$cache/target
    if [[ -f $target/.complete ]]; then
        log "reusing the kernel and BusyBox in $target ($(cat "$target/.complete"))"
        return
    fi
    if ! dpkg --print-foreign-architectures | grep -qx armel; then
        dpkg --add-architecture armel
    fi
    local kernel_pkg
    kernel_pkg=$(apt-cache depends linux-image-rpi:armel 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }') || true
    if [[ -z $kernel_pkg ]]; then
        apt update -qq
        kernel_pkg=$(apt-cache depends linux-image-rpi:armel |
            awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
    fi
    [[ -n $kernel_pkg ]] || die "no kernel package behind linux-image-rpi:armel"
    log "downloading $kernel_pkg and busybox-static:armel"
    rm -rf "$cache/debs" "$target"
    mkdir -p "$cache/debs" "$target"
    # (apt-get download warns that _apt cannot write there; it downloads as root.)
    if ! (cd "$cache/debs" && apt-get download -q "$kernel_pkg" busybox-static:armel) \
        >"$cache/download.log" 2>&1; then
        cat "$cache/download.log" >&2
        die "apt-get download failed"
    fi
    local deb
    for deb in "$cache"/debs/linux-image-*.deb; do dpkg-deb -x "$deb" "$target/kernel"; done
    dpkg-deb -x "$cache"/debs/busybox-static_*.deb "$target/busybox"
    [[ -x $target/busybox/bin/busybox ]] || die "busybox-static:armel did not unpack"

    local dtb=$target/$dtb_name
    cp "$target"/kernel/usr/lib/linux-image-*/"$dtb_name" "$dtb"
    # qemu 7.2 does not emulate the "asb" register block; the power-domain
    # driver's read of it is an external abort (panic). Keep only "pm".
    fdtput -t x "$dtb" /soc/watchdog@7e100000 reg 0x7e100000 0x114
    fdtput -t s "$dtb" /soc/watchdog@7e100000 reg-names pm
    # Their clocks read as zero under qemu: the clock driver divides by zero.
    local i2c
    for i2c in i2c@7e205000 i2c@7e804000 i2c@7e805000; do
        fdtput -t s "$dtb" "/soc/$i2c" status disabled
    done
    basename "$cache"/debs/linux-image-*.deb >"$target/.complete"
}

kernel_image() { echo "$cache"/target/kernel/boot/vmlinuz-*; }
module_root() { echo "$cache"/target/kernel/lib/modules/*; }

# Prints the modules to load, each after those it depends on, as paths
# relative to the module tree (the package carries no modules.dep).
module_order() {
    local root
    root=$(module_root)
    declare -A path=() seen=()
    local f name
    while IFS= read -r f; do
        name=$(basename "$f" .ko)
        path[${name//-/_}]=${f#"$root"/}
    done < <(find "$root/kernel" -name '*.ko')
    visit() {
        local n=${1//-/_} deps d
        [[ -n ${seen[$n]:-} ]] && return
        seen[$n]=1
        [[ -n ${path[$n]:-} ]] || die "kernel module $n not in the package"
        deps=$(grep -a -o 'depends=[^[:cntrl:]]*' "$root/${path[$n]}" | head -n 1 | cut -d= -f2)
        for d in ${deps//,/ }; do visit "$d"; done
        echo "${path[$n]}"
    }
    local m
    for m in "${wanted_modules[@]}"; do visit "$m"; done
}

# A firmware image: static BusyBox and an /init that reports which firmware
# booted and powers off, padded with random data.
build_firmware() {
    local version=$1 root=$work/fw-$1
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,mnt/imgpart,mnt/usb}
    cp "$cache/target/busybox/bin/busybox" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
    cat >"$root/init" <<EOF
#!/bin/sh
/bin/busybox echo "booted firmware $version"
/bin/busybox sync
/bin/busybox poweroff -f
EOF
    chmod 755 "$root/init"
    head -c "$((pad_mib * 1024 * 1024))" /dev/urandom >"$root/padding"
    mksquashfs "$root" "$work/$version.sqsh" -noappend -quiet -all-root -no-progress >/dev/null
}

# The start-up: BusyBox, the kernel modules, the installed tool, init script
# and kestran-boot-image, and /init.
build_initramfs() {
    local root=$work/initramfs
    rm -rf "$root"
    mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,mnt/imgpart,mnt/usb,newroot,lib/modules}
    cp "$cache/target/busybox/bin/busybox" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
    # The tool runs /bin/sha512sum; BusyBox's own place for it is /usr/bin.
    ln -s busybox "$root/bin/sha512sum"
    mknod -m 600 "$root/dev/console" c 5 1
    DESTDIR=$root cmake --install "$src/build/armv6-static" --prefix /usr --strip >/dev/null
    local m mroot
    mroot=$(module_root)
    module_order | while IFS= read -r m; do
        cp "$mroot/$m" "$root/lib/modules/"
        basename "$m" >>"$root/lib/modules/load-order"
    done
    cat >"$root/init" <<'EOF'
#!/bin/sh
# Start-up: mounts the image partition and the USB stick, runs the firmware
# update, then boots the image kestran-boot-image names.
/bin/busybox --install -s
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys

stop_here() {
    echo "start-up: $*"
    echo "start-up: boot failed"
    sync
    poweroff -f
    sleep 3600
}

# Waits up to $2 tenths of a second for the block device $1.
wait_for_block() {
    _tenths=0
    while [ ! -b "$1" ]; do
        [ "$_tenths" -ge "$2" ] && return 1
        sleep 0.1
        _tenths=$((_tenths + 1))
    done
}

while read -r module; do
    insmod "/lib/modules/$module" || echo "start-up: cannot load $module"
done </lib/modules/load-order

# kestran_imgdev=DEVICE on the kernel command line: the image partition is
# there rather than on the SD card (a USB disk that reports its errors).
imgdev=${kestran_imgdev:-/dev/mmcblk0p1}
wait_for_block "$imgdev" 100 || stop_here "no image partition at $imgdev"
mount -t ext4 "$imgdev" /mnt/imgpart || stop_here "cannot mount the image partition"
if wait_for_block /dev/sda1 50; then
    mount -t vfat -o ro /dev/sda1 /mnt/usb || echo "start-up: cannot mount the USB stick"
else
    echo "start-up: no USB stick"
fi
# kestran_ballast=MIB: that much memory held in a filled tmpfs, so that the
# page cache cannot keep the update between its checksum and its copy.
if [ -n "${kestran_ballast:-}" ]; then
    mkdir -p /ballast
    { mount -t tmpfs -o "size=${kestran_ballast}m" tmpfs /ballast &&
        dd if=/dev/zero of=/ballast/fill bs=1M count="$kestran_ballast" 2>/dev/null; } ||
        echo "start-up: cannot fill the ballast"
fi

if [ "${kestran_mode:-}" = bench ]; then
    /bench.sh "${kestran_pairs:-5}"
    sync
    poweroff -f
    sleep 3600
fi

/etc/init.d/init-updater start
# The ballast is for the update only: the boot needs the memory.
[ -z "${kestran_ballast:-}" ] || umount /ballast
image=$(kestran-boot-image) || stop_here "no firmware image to boot"
echo "start-up: booting $image"
umount /mnt/usb 2>/dev/null
mount -t squashfs -o loop,ro "$image" /newroot || stop_here "cannot mount $image"
for point in /mnt/imgpart /dev /proc /sys; do
    mount --move "$point" "/newroot$point"
done
exec switch_root /newroot /init
EOF
    cat >"$root/bench.sh" <<'EOF'
#!/bin/sh
# Times init-updater against a plain shell script doing the same work, on the
# images of the bench SD card and stick, alternating which goes first. The
# current image is reset and the caches dropped before every run.
pairs=$1
cat >/reference.sh <<'SCRIPT'
#!/bin/sh
# The tool's work, as sound: each copy is flushed, then read back from the
# medium and checked against the digest taken before; the install copy runs
# between the install marker's durable creation and its durable removal.
marker=/mnt/imgpart/kestran_install.incomplete
# The digest of file $1 as the medium holds it: read with O_DIRECT, past the
# page cache (the tool drops the file's cached pages instead).
on_medium() { dd if="$1" iflag=direct bs=64k 2>/dev/null | /bin/sha512sum | cut -c1-128; }
current=$(/bin/sha512sum /mnt/imgpart/kestran_current.sqsh | cut -c1-128)
update=$(/bin/sha512sum /mnt/usb/kestran.fir | cut -c1-128)
if [ "$current" != "$update" ]; then
    cp /mnt/imgpart/kestran_current.sqsh /mnt/imgpart/kestran_fallback.sqsh &&
        sync /mnt/imgpart/kestran_fallback.sqsh /mnt/imgpart &&
        [ "$(on_medium /mnt/imgpart/kestran_fallback.sqsh)" = "$current" ] &&
        : >"$marker" && sync "$marker" /mnt/imgpart &&
        cp /mnt/usb/kestran.fir /mnt/imgpart/kestran_current.sqsh &&
        sync /mnt/imgpart/kestran_current.sqsh /mnt/imgpart &&
        [ "$(on_medium /mnt/imgpart/kestran_current.sqsh)" = "$update" ] &&
        rm "$marker" && sync /mnt/imgpart
fi
SCRIPT
chmod 755 /reference.sh
centis() { read -r up _ </proc/uptime; echo "${up%.*}${up#*.}"; }
timed() {
    cp /mnt/imgpart/bench_original.sqsh /mnt/imgpart/kestran_current.sqsh
    rm -f /mnt/imgpart/kestran_fallback.sqsh /mnt/imgpart/kestran_install.incomplete
    sync
    echo 3 >/proc/sys/vm/drop_caches
    start=$(centis)
    "$2" >/dev/null
    end=$(centis)
    cmp -s /mnt/usb/kestran.fir /mnt/imgpart/kestran_current.sqsh || echo "bench: $1 did not install"
    cmp -s /mnt/imgpart/bench_original.sqsh /mnt/imgpart/kestran_fallback.sqsh ||
        echo "bench: $1 did not keep the fallback"
    [ ! -e /mnt/imgpart/kestran_install.incomplete ] || echo "bench: $1 did not remove the install marker"
    echo "bench: pair $3 $1 $((end - start))"
}
i=1
while [ "$i" -le "$pairs" ]; do
    if [ $((i % 2)) -eq 1 ]; then
        timed tool /usr/sbin/init-updater "$i"
        timed script /reference.sh "$i"
    else
        timed script /reference.sh "$i"
        timed tool /usr/sbin/init-updater "$i"
    fi
    i=$((i + 1))
done
echo "bench: done"
EOF
    chmod 755 "$root/init" "$root/bench.sh"
    pack_initramfs "$root" "$work/initramfs.cpio"
}

# The archive ($2) of the initramfs tree $1. Not compressed: unpacking it
# would take the emulated CPU over 2 s a boot.
pack_initramfs() {
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$2"
}

# The same start-up with the signed tool in place of the installed one,
# stripped as `cmake --install --strip` strips that (with the build's own
# strip): the tree build_initramfs left, packed again.
build_signed_initramfs() {
    local root=$work/initramfs tool=$work/initramfs/usr/sbin/init-updater strip
    strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$src/build/armv6-static/CMakeCache.txt")
    [[ -x $strip ]] || strip=$(command -v arm-linux-gnueabihf-strip) ||
        die "no strip for ARM (Debian: binutils-arm-linux-gnueabihf)"
    "$strip" -o "$work/init-updater-signed" "$signed_tool"
    chmod 755 "$work/init-updater-signed"
    mv "$tool" "$work/init-updater-installed"
    cp "$work/init-updater-signed" "$tool"
    pack_initramfs "$root" "$work/initramfs-signed.cpio"
    mv -f "$work/init-updater-installed" "$tool"
}

# The same start-up with the trial tool (stripped like the signed one) and the
# trial kestran-boot-image in place of the installed ones: the tree
# build_initramfs left, packed again.
build_trial_initramfs() {
    local sbin=$work/initramfs/usr/sbin strip name
    strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$src/build/armv6-static/CMakeCache.txt")
    [[ -x $strip ]] || strip=$(command -v arm-linux-gnueabihf-strip) ||
        die "no strip for ARM (Debian: binutils-arm-linux-gnueabihf)"
    "$strip" -o "$work/init-updater-trial" "$trial_tool"
    chmod 755 "$work/init-updater-trial"
    for name in init-updater kestran-boot-image; do
        mv "$sbin/$name" "$work/trial-saved-$name"
    done
    cp "$work/init-updater-trial" "$sbin/init-updater"
    install -m 755 "$trial_boot_image" "$sbin/kestran-boot-image"
    pack_initramfs "$work/initramfs" "$work/initramfs-trial.cpio"
    for name in init-updater kestran-boot-image; do
        mv -f "$work/trial-saved-$name" "$sbin/$name"
    done
}

# A firmware image of the trial story, $work/$1.sqsh: like build_firmware's,
# with the trial kestran-boot-image as /usr/sbin/kestran-boot-image (and the
# BusyBox applets it runs). Its /init prints "booted firmware $1", then a good
# image ($2 = good) confirms itself with `kestran-boot-image --confirm`, whose
# one line goes to the console, while a bad one ($2 = bad) says "health check
# failed" and confirms nothing. Once synced it says "firmware $1: synced,
# powering off" (boot() waits for that line) and powers off.
build_trial_firmware() {
    local version=$1 health=$2 root=$work/fw-$1 check applet
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,usr/sbin,mnt/imgpart,mnt/usb}
    cp "$cache/target/busybox/bin/busybox" "$root/bin/busybox"
    for applet in sh cat mv rm sync; do
        ln -s busybox "$root/bin/$applet"
    done
    install -m 755 "$trial_boot_image" "$root/usr/sbin/kestran-boot-image"
    case $health in
    good) check="kestran-boot-image --confirm || echo \"firmware $version: the confirmation failed\"" ;;
    bad) check='echo "health check failed"' ;;
    *) die "build_trial_firmware: health '$health'" ;;
    esac
    cat >"$root/init" <<EOF
#!/bin/sh
# Firmware $version of the trial boots ($health). The start-up moved the image
# partition to /mnt/imgpart here.
export PATH=/usr/sbin:/bin
echo "booted firmware $version"
$check
sync
echo "firmware $version: synced, powering off"
/bin/busybox poweroff -f
EOF
    chmod 755 "$root/init"
    head -c "$((pad_mib * 1024 * 1024))" /dev/urandom >"$root/padding"
    mksquashfs "$root" "$work/$version.sqsh" -noappend -quiet -all-root -no-progress >/dev/null
}

# What the trial boots need: their start-up, the images t1-t4 (t2 the bad
# one), an SD card with t1 and no fallback, and a stick each with t2, t3, t4.
# Without the trial tool nothing (in CI a failure).
build_trial() {
    if [[ ! -f $trial_tool || ! -f $trial_boot_image ]]; then
        if $in_ci; then
            die "no $trial_tool or $trial_boot_image: the trial boots need the test suite's build of build/armv6-static (scripts/armv6.sh)"
        fi
        log "no $trial_tool: nothing for the trial boots"
        return 0
    fi
    log "initramfs with the trial tool; images t1-t4 (t2 fails its health check), SD card with t1, USB sticks"
    build_trial_initramfs
    local version
    for version in t1 t2 t3 t4; do
        build_trial_firmware "$version" "$([[ $version == t2 ]] && echo bad || echo good)"
    done
    rm -rf "$work/trial-sd-root"
    mkdir -p "$work/trial-sd-root"
    cp "$work/t1.sqsh" "$work/trial-sd-root/kestran_current.sqsh"
    make_sd "$work/trial-sd.img" "$work/trial-sd-root"
    for version in t2 t3 t4; do
        make_stick "$work/trial-stick-$version.img" "$work/$version.sqsh"
    done
}

# An SD card image ($1, 512 MiB: qemu wants a power of two) with one ext4
# partition at 1 MiB holding the files of directory $2.
make_sd() {
    rm -f "$1"
    truncate -s 512M "$1"
    echo 'start=2048, type=83' | sfdisk -q "$1" >/dev/null
    mkfs.ext4 -q -F -E offset=$part_offset -L imgpart -d "$2" "$1" 511M
}

# A USB stick image ($1, 64 MiB) with one vfat partition holding $2 as
# kestran.fir (none when $2 is empty) and $3, if given, as kestran.fir.sig.
# Built with mtools: no mount.
make_stick() {
    rm -f "$1"
    truncate -s 64M "$1"
    echo 'start=2048, type=c' | sfdisk -q "$1" >/dev/null
    mkfs.vfat -F 32 --offset=2048 -n KESTRAN "$1" $((63 * 1024)) >/dev/null
    if [[ -n $2 ]]; then
        mcopy -i "$1@@$part_offset" "$2" ::kestran.fir
    fi
    if [[ -n ${3:-} ]]; then
        mcopy -i "$1@@$part_offset" "$3" ::kestran.fir.sig
    fi
}

# Signs $1 as a device maker does: writes $1.sig.
sign() {
    command -v signify-openbsd >/dev/null || die "signing needs signify-openbsd (apt-get install signify-openbsd)"
    local said
    said=$(sh "$src/dist/sign/kestran-sign" "$signed_keys/test.sec" "$1" 2>&1) ||
        die "dist/sign/kestran-sign could not sign $1 with $signed_keys/test.sec: $said"
}

build() {
    bash "$src/scripts/install-prerequisites.sh" device
    fetch_target
    if [[ ! -x $src/build/armv6-static/init-updater ]]; then
        log "no build/armv6-static: building it with scripts/armv6.sh"
        bash "$src/scripts/armv6.sh"
    fi
    rm -rf "$work"
    mkdir -p "$work/logs" "$work/sd-root"
    log "firmware images v1, v2 (${pad_mib} MiB padding each)"
    build_firmware v1
    build_firmware v2
    log "initramfs"
    build_initramfs
    local signed=false
    if [[ -f $signed_tool ]]; then
        signed=true
        log "initramfs with the signed tool"
        build_signed_initramfs
    elif $in_ci; then
        die "no $signed_tool: the signed boots need the test suite's build of build/armv6-static (scripts/armv6.sh)"
    else
        log "no $signed_tool: nothing for the signed boots"
    fi
    log "SD card with v1, USB sticks"
    cp "$work/v1.sqsh" "$work/sd-root/kestran_current.sqsh"
    make_sd "$work/sd.img" "$work/sd-root"
    make_stick "$work/stick-v2.img" "$work/v2.sqsh"
    : >"$work/empty.fir"
    make_stick "$work/stick-empty.img" "$work/empty.fir"
    if $signed; then
        # v2 signed, and v2 with the signature of v1 (by the right key).
        sign "$work/v2.sqsh"
        make_stick "$work/stick-v2-signed.img" "$work/v2.sqsh" "$work/v2.sqsh.sig"
        sign "$work/v1.sqsh"
        make_stick "$work/stick-v2-wrong-sig.img" "$work/v2.sqsh" "$work/v1.sqsh.sig"
    fi
    build_trial
    log "built in $work: $(cd "$work" && echo ./*.img ./*.sqsh ./initramfs*.cpio)"
}

# ---- running the device

# Bytes qemu process $1 has written so far (to the disk images, and a few
# to the console file).
written() {
    local key value
    while read -r key value; do
        [[ $key == wchar: ]] && echo "$value" && return
    done <"/proc/$1/io"
}

# Boots the device and shows the console as it runs, until the firmware
# reports, the start-up gives up, or a timeout.
#   boot NAME SD STICK|- [CUT_BYTES] [APPEND...]
# With CUT_BYTES, qemu is killed (SIGKILL: the power cut) once it has written
# that many bytes to its disks after "Firmware update found." appeared: the
# sweep follows the update's progress, however fast the machine is today.
# The start-up is $INITRAMFS (default: the one with the installed tool).
# Sets BOOTED (v1, v2, t1-t4, failed, cut, bench or timeout), BOOT_SECONDS, LOG,
# UPDATE_SECONDS and UPDATE_BYTES (from "Firmware update found." to "Update
# complete.", when both appeared) and CUT_SECONDS (after that line).
boot() {
    boot_once "$@"
    # A console that stays empty is a board that never started the kernel
    # (seen once in some hundreds of boots): nothing ran, so nothing was
    # written to the disks, and the boot is made again.
    if [[ $BOOTED == timeout && ! -s $LOG ]]; then
        echo "--- boot $1: no console output at all: the emulated board did not start; booting again"
        boot_once "$@"
    fi
}

# One boot, as boot describes; a console still empty after 90 s ends it
# (but for the benchmark, whose guest prints only when a pair is done).
boot_once() {
    local name=$1 sd=$2 stick=$3 cut=${4:-} append=("${@:5}")
    local initramfs=${INITRAMFS:-$work/initramfs.cpio}
    LOG=$work/logs/$name.log
    rm -f "$LOG"
    : >"$LOG"
    local drives=(-drive "if=sd,format=raw,file=$sd,cache=$cache_mode")
    if [[ $stick != - ]]; then
        drives+=(-drive "if=none,id=stick,format=raw,file=$stick,cache=$cache_mode"
            -device "usb-storage,drive=stick")
    fi
    # The caller's own drive and device arguments, when BOOT_DRIVES (an
    # array) is set, replace these.
    if [[ -n ${BOOT_DRIVES[*]:-} ]]; then
        drives=("${BOOT_DRIVES[@]}")
    fi
    echo "--- boot $name: SD $(basename "$sd"), stick ${stick##*/}${cut:+, power cut after $cut bytes of the update}${INITRAMFS:+, start-up ${initramfs##*/}}"
    local started=$EPOCHREALTIME
    qemu-system-arm -M raspi1ap -cpu arm1176 -kernel "$(kernel_image)" \
        -dtb "$cache/target/$dtb_name" -initrd "$initramfs" \
        -append "console=ttyAMA0 rdinit=/init quiet loglevel=3 ${append[*]}" \
        "${drives[@]}" -display none -monitor none -serial "file:$LOG" -no-reboot &
    local qemu=$!
    tail -f --pid="$qemu" "$LOG" | tr -d '\r' &
    local shower=$! found_at='' found_bytes='' complete_at='' complete_bytes='' deadline
    deadline=$(awk -v t="$started" -v d="$boot_timeout" 'BEGIN { printf "%.3f", t + d }')
    BOOTED=timeout
    CUT_SECONDS=''
    while kill -0 "$qemu" 2>/dev/null; do
        if [[ -z $found_at ]] && grep -q 'Firmware update found\.' "$LOG"; then
            found_at=$EPOCHREALTIME
            found_bytes=$(written "$qemu")
        fi
        if [[ -z $complete_at ]] && grep -q 'Update complete\.' "$LOG"; then
            complete_at=$EPOCHREALTIME
            complete_bytes=$(written "$qemu")
        fi
        if [[ -n $cut && -n $found_at ]] && (($(written "$qemu") - found_bytes >= cut)); then
            kill -KILL "$qemu"
            BOOTED="cut"
            CUT_SECONDS=$(awk -v n="$EPOCHREALTIME" -v f="$found_at" 'BEGIN { printf "%.1f", n - f }')
            break
        fi
        # (The trial images say when they have done their confirming, or
        # not, and synced.)
        if grep -q -e '^booted firmware v[0-9]' -e 'start-up: boot failed' -e 'Kernel panic' \
            -e 'bench: done' -e '^firmware t[0-9]: synced' "$LOG"; then
            # The firmware has synced and powers off; give it a moment.
            sleep 1
            break
        fi
        if awk -v n="$EPOCHREALTIME" -v d="$deadline" 'BEGIN { exit !(n >= d) }'; then
            break
        fi
        if [[ ! -s $LOG && " ${append[*]} " != *" kestran_mode=bench "* ]] &&
            awk -v n="$EPOCHREALTIME" -v s="$started" 'BEGIN { exit !(n - s >= 90) }'; then
            break
        fi
        sleep 0.05
    done
    kill -KILL "$qemu" 2>/dev/null || true
    wait "$qemu" 2>/dev/null || true
    wait "$shower" 2>/dev/null || true
    BOOT_SECONDS=$(awk -v s="$started" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.1f", e - s }')
    if [[ $BOOTED != cut ]]; then
        if grep -q '^booted firmware v1' "$LOG"; then
            BOOTED=v1
        elif grep -q '^booted firmware v2' "$LOG"; then
            BOOTED=v2
        elif grep -q '^booted firmware t[1-4]' "$LOG"; then
            BOOTED=$(grep -m 1 -o '^booted firmware t[1-4]' "$LOG")
            BOOTED=${BOOTED##* }
        elif grep -q -e 'start-up: boot failed' -e 'Kernel panic' "$LOG"; then
            BOOTED=failed
        elif grep -q 'bench: done' "$LOG"; then
            BOOTED=bench
        fi
    fi
    UPDATE_SECONDS='' UPDATE_BYTES=''
    if [[ -n $found_at && -n $complete_at ]]; then
        UPDATE_SECONDS=$(awk -v f="$found_at" -v c="$complete_at" 'BEGIN { printf "%.1f", c - f }')
        UPDATE_BYTES=$((complete_bytes - found_bytes))
    fi
    echo "--- boot $name: $BOOTED after ${BOOT_SECONDS}s${UPDATE_SECONDS:+ (update ${UPDATE_SECONDS}s, $UPDATE_BYTES bytes written)}"
}

# The tool's lines on the last console, one per line, joined by "|".
tool_output() { tr -d '\r' <"$LOG" | grep -E "$tool_lines" | paste -sd'|' || true; }

# Which of the trial images t1-t4 the file $1 is, byte for byte; fails when
# it is none of them.
trial_image_name() {
    local version
    for version in t1 t2 t3 t4; do
        if [[ -f $work/$version.sqsh ]] && cmp -s "$1" "$work/$version.sqsh"; then
            echo "$version"
            return 0
        fi
    done
    return 1
}

# The trial state on the partition copy $1, whose top directory holds the
# names $2: "trial=" what kestran_trial holds ("none" without it), and
# "trial.new=..." when there is a kestran_trial.new too.
trial_field() {
    local part=$1 names=$2 name field=()
    for name in kestran_trial kestran_trial.new; do
        if grep -qxF "$name" <<<"$names"; then
            field+=("${name#kestran_}=$(debugfs -R "cat /$name" "$part" 2>/dev/null | tr -d '\n')")
        elif [[ $name == kestran_trial ]]; then
            field+=(trial=none)
        fi
    done
    echo "${field[*]}"
}

# What the SD card's image partition holds, read from the host without
# mounting: a copy of the partition gets its journal replayed and is checked
# by e2fsck, then its files are compared with v1 and v2 (and t1-t4). Prints
# e.g. "current=v2 fallback=v1 marker=no", with "extra=NAMES" for any other
# file and "fsck=STATUS" when e2fsck found errors. With SD_TRIAL set (by
# trial) the trial state files are no extras and the state follows the
# marker: "trial=1", "trial=rejected", "trial=none" (see trial_field).
sd_state() {
    local sd=$1 part=$work/part-$$.img out=$work/part-file-$$
    dd if="$sd" of="$part" bs=1M skip=1 conv=sparse status=none
    # A cut leaves the journal to replay, as the next mount would. After that
    # only the free block and inode counts, which ext4 does not keep exact on
    # storage, may be wrong.
    local fsck=0 problems
    e2fsck -E journal_only -y "$part" >"$work/logs/e2fsck.log" 2>&1 || true
    e2fsck -fy "$part" >>"$work/logs/e2fsck.log" 2>&1 || fsck=$?
    # Any repair counts (Fix?, Clear?, Salvage?, Connect to /lost+found?...),
    # but for the free counts.
    problems=$(grep -B1 -E '\? yes$' "$work/logs/e2fsck.log" |
        grep -v -x -E 'Fix\? yes|--' |
        grep -v -e '^Free \(blocks\|inodes\) count wrong' -e '^Pass [0-9]' || true)
    ((fsck < 4)) && [[ -z $problems ]] && fsck=0
    local name which state=()
    for name in current fallback; do
        rm -f "$out"
        debugfs -R "dump /kestran_$name.sqsh $out" "$part" >/dev/null 2>&1 || true
        if [[ ! -f $out ]]; then
            which=none
        elif cmp -s "$out" "$work/v1.sqsh"; then
            which=v1
        elif cmp -s "$out" "$work/v2.sqsh"; then
            which=v2
        else
            which=$(trial_image_name "$out") || which="other($(stat -c %s "$out")B)"
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
    [[ -z ${SD_TRIAL:-} ]] || state+=("$(trial_field "$part" "$names")")
    # Nothing else may appear on the partition.
    while IFS= read -r name; do
        case $name in
        . | .. | lost+found | kestran_current.sqsh | kestran_fallback.sqsh | kestran_install.incomplete) ;;
        kestran_trial | kestran_trial.new) [[ -n ${SD_TRIAL:-} ]] || extra+=("$name") ;;
        *) extra+=("$name") ;;
        esac
    done <<<"$names"
    ((${#extra[@]} == 0)) || state+=("extra=${extra[*]}")
    ((fsck == 0)) || state+=("fsck=$fsck")
    rm -f "$part" "$out"
    echo "${state[*]}"
}

expect() {
    local what=$1 got=$2 want=$3
    [[ $got == "$want" ]] || die "$what: got '$got', expected '$want' (console: $LOG)"
    echo "ok: $what: $got"
}

fresh_disks() {
    cp --sparse=always "$work/sd.img" "$work/$1-sd.img"
}

demo() {
    fresh_disks demo
    local sd=$work/demo-sd.img stick=$work/stick-v2.img
    boot first-boot "$sd" "$stick"
    expect "first boot: booted" "$BOOTED" v2
    expect "first boot: tool" "$(tool_output)" \
        "Firmware update found.|Updating Firmware.|Copying the new firmware.|Update complete."
    expect "first boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no"
    # The cuts are spread over what this update wrote.
    echo "$UPDATE_BYTES" >"$work/update-bytes"
    boot second-boot "$sd" "$stick"
    expect "second boot: booted" "$BOOTED" v2
    expect "second boot: tool" "$(tool_output)" "Firmware update found."
    expect "second boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no"
}

# Bytes qemu writes to its disks from "Firmware update found." to "Update
# complete.": from the first boot of the demo, or a boot of its own.
update_bytes() {
    if [[ ! -s $work/update-bytes ]]; then
        fresh_disks window
        boot update-size "$work/window-sd.img" "$work/stick-v2.img" >&2
        [[ $BOOTED == v2 && -n $UPDATE_BYTES ]] || die "the update did not complete (console: $LOG)"
        echo "$UPDATE_BYTES" >"$work/update-bytes"
        rm -f "$work/window-sd.img"
    fi
    cat "$work/update-bytes"
}

power_cuts() {
    local total
    total=$(update_bytes)
    log "an update writes $total bytes from 'Firmware update found.' to 'Update complete.'"
    local k rows=() failures=0 format='%-4s %7s %6s  %-26s  %-37s  %-3s  %-3s  %-37s %s\n'
    for ((k = 0; k < cuts; k++)); do
        # Spread from the checksums (nothing written yet) to near the end of
        # the install copy.
        local moment=$((total * 98 * k / (100 * (cuts > 1 ? cuts - 1 : 1))))
        fresh_disks "cut$k"
        local sd=$work/cut$k-sd.img stick=$work/stick-v2.img
        boot "cut$k" "$sd" "$stick" "$moment"
        local cut_booted=$BOOTED cut_seconds=${CUT_SECONDS:--} last after_cut
        last=$(tool_output | awk -F'|' '{ print $NF }')
        after_cut=$(sd_state "$sd")
        boot "cut$k-a-no-stick" "$sd" -
        local booted_a=$BOOTED after_a
        after_a=$(sd_state "$sd")
        boot "cut$k-b-stick" "$sd" "$stick"
        local booted_b=$BOOTED after_b
        after_b=$(sd_state "$sd")
        local verdict=ok image_a
        image_a=$(tr -d '\r' <"$work/logs/cut$k-a-no-stick.log" |
            sed -n 's|^start-up: booting /mnt/imgpart/kestran_\(.*\)\.sqsh$|\1|p')
        [[ $cut_booted == cut ]] || verdict="FAIL (not cut: $cut_booted)"
        # (a) booted the image kestran-boot-image chose: it must be, byte
        # for byte, the v1 or v2 that booted, on a clean file system.
        [[ ($booted_a == v1 || $booted_a == v2) && " $after_a " == *" $image_a=$booted_a "* ]] ||
            verdict="FAIL (a)"
        [[ $after_a != *fsck* && $after_a != *extra* ]] || verdict="FAIL (a) state"
        [[ $booted_b == v2 && $after_b == "current=v2 fallback=v1 marker=no" ]] ||
            verdict="FAIL (b)"
        [[ $verdict == ok ]] || failures=$((failures + 1))
        # shellcheck disable=SC2059 # the format is the table's
        rows+=("$(printf "$format" "$k" "$(awk -v b="$moment" 'BEGIN { printf "%.1f", b / 1048576 }')" \
            "$cut_seconds" "${last:-(none)}" "$after_cut" "$booted_a" "$booted_b" "$after_b" "$verdict")")
        rm -f "$sd"
    done
    echo
    echo "Power cuts: (a) the next boot without the stick, (b) then one with it."
    # shellcheck disable=SC2059 # the format is the table's
    printf '%s\n' "(MiB: written by the device after 'Firmware update found.' when the power was cut; s: seconds after that line)"
    # shellcheck disable=SC2059 # the format is the table's
    printf "$format" cut MiB s "last tool line" "SD after the cut" "(a)" "(b)" "SD after (b)" verdict
    printf '%s\n' "${rows[@]}"
    ((failures == 0)) || die "$failures of $cuts power cuts failed"
    echo "ok: $cuts power cuts"
}

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
    grep -q 'start-up: no USB stick' "$LOG" || die "no stick: the start-up found one (console: $LOG)"
    expect "no stick: SD" "$(sd_state "$sd")" "$unchanged"
    rm -f "$sd"
}

# The first line of the last console matching $2: the tool's reason for
# what it did ($1 names the case).
reason() {
    local line
    line=$(tr -d '\r' <"$LOG" | grep -m 1 -e "$2" || true)
    [[ -n $line ]] || die "$1: the console gives no reason (console: $LOG)"
    echo "ok: $1: reason: $line"
}

# The tool built with the tests' signing key, on the start-up of
# initramfs-signed.cpio: it refuses an update without a signature and one
# whose signature is another file's, and installs a signed one.
signed() {
    local INITRAMFS=$work/initramfs-signed.cpio unchanged="current=v1 fallback=none marker=no"
    [[ -f $INITRAMFS && -f $work/stick-v2-signed.img ]] ||
        die "nothing built for the signed tool: build $signed_tool (scripts/armv6.sh), then $0 build"
    local version
    version=$(strings -a "$work/init-updater-signed" | grep -F '(signed updates, key ' || true)
    [[ -n $version ]] || die "the signed tool's version does not name its key"
    echo "ok: signed tool: $version"

    local sd=$work/unsigned-sd.img
    fresh_disks unsigned
    boot signed-unsigned-stick "$sd" "$work/stick-v2.img"
    expect "no signature: booted" "$BOOTED" v1
    expect "no signature: tool" "$(tool_output)" "Firmware update found.|Firmware update rejected."
    reason "no signature" '^init-updater: no signature'
    expect "no signature: SD" "$(sd_state "$sd")" "$unchanged"
    rm -f "$sd"

    sd=$work/wrong-sig-sd.img
    fresh_disks wrong-sig
    boot signed-wrong-sig "$sd" "$work/stick-v2-wrong-sig.img"
    expect "another file's signature: booted" "$BOOTED" v1
    expect "another file's signature: tool" "$(tool_output)" \
        "Firmware update found.|Firmware update rejected."
    reason "another file's signature" '^init-updater: '
    expect "another file's signature: SD" "$(sd_state "$sd")" "$unchanged"
    rm -f "$sd"

    sd=$work/signed-sd.img
    fresh_disks signed
    boot signed-first-boot "$sd" "$work/stick-v2-signed.img"
    expect "signed, first boot: booted" "$BOOTED" v2
    expect "signed, first boot: tool" "$(tool_output)" \
        "Firmware update found.|Updating Firmware.|Copying the new firmware.|Update complete."
    expect "signed, first boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no"
    boot signed-second-boot "$sd" "$work/stick-v2-signed.img"
    expect "signed, second boot: booted" "$BOOTED" v2
    expect "signed, second boot: tool" "$(tool_output)" "Firmware update found."
    expect "signed, second boot: SD" "$(sd_state "$sd")" "current=v2 fallback=v1 marker=no"
    rm -f "$sd"
}

# Checks that the last console has a line matching $2 (a basic regular
# expression), or with $3 = none that it has none; $1 names the case.
console_has() {
    local line
    line=$(tr -d '\r' <"$LOG" | grep -m 1 -e "$2" || true)
    if [[ ${3:-} == none ]]; then
        [[ -z $line ]] || die "$1: the console says '$line' (console: $LOG)"
        echo "ok: $1: no '$2' on the console"
    else
        [[ -n $line ]] || die "$1: no '$2' on the console (console: $LOG)"
        echo "ok: $1: console: $line"
    fi
}

# One boot of the trial story, on the SD card $sd of trial: step $1 with the
# stick holding $2. Checks what booted ($3), the tool's lines ($4) and the SD
# card after it ($5), and adds the row of the step to trial_rows.
trial_boot() {
    local step=$1 stick=$2 after said tool
    boot "trial-$step" "$sd" "$work/trial-stick-$stick.img"
    expect "trial $step: booted" "$BOOTED" "$3"
    expect "trial $step: tool" "$(tool_output)" "$4"
    after=$(sd_state "$sd")
    expect "trial $step: SD" "$after" "$5"
    tool=$(tool_output | sed -e 's/Firmware update found\./found/' -e 's/Updating Firmware\./updating/' \
        -e 's/Copying the new firmware\./copying/' -e 's/Update complete\./complete/')
    said=$(tr -d '\r' <"$LOG" | sed -n -e 's/^kestran-boot-image: //p' -e '/^health check failed$/p' |
        awk '{ printf "%s%s", (NR > 1 ? "; " : ""), $0 }')
    # shellcheck disable=SC2059 # the format is the table's
    trial_rows+=("$(printf "$trial_format" "$step" "$stick" "$BOOT_SECONDS" "$BOOTED" "$tool" \
        "${after/ marker=no/}" "${said:--}")")
}

# The tool with trial boots (2), on the start-up of initramfs-trial.cpio, and
# one SD card (t1, no fallback) through six boots: t2, which never confirms,
# installed and booted twice, then rolled back to t1; t3 installed over the
# rejected t2, keeping t1, and confirmed; t4 installed, keeping t3.
trial() {
    local INITRAMFS=$work/initramfs-trial.cpio SD_TRIAL=yes
    [[ -f $INITRAMFS && -f $work/trial-sd.img && -f $work/trial-stick-t4.img ]] ||
        die "nothing built for the trial tool: build $trial_tool (scripts/armv6.sh), then $0 build"
    local version
    version=$(strings -a "$work/init-updater-trial" | grep -F '(trial boots 2)' || true)
    [[ -n $version ]] || die "the trial tool's version does not say '(trial boots 2)'"
    echo "ok: trial tool: $version"
    grep -qx 'trial_boots=2' "$trial_boot_image" ||
        die "$trial_boot_image is not configured with trial_boots=2"

    local sd=$work/trial-story-sd.img trial_rows=()
    local trial_format='%-4s %-5s %5s  %-6s  %-32s  %-37s  %s\n'
    local installed="Firmware update found.|Updating Firmware.|Copying the new firmware.|Update complete."
    local nothing="Firmware update found."
    cp --sparse=always "$work/trial-sd.img" "$sd"
    expect "trial: SD at the start" "$(sd_state "$sd")" "current=t1 fallback=none marker=no trial=none"

    # a. t2 installed, on trial: its first boot fails the health check.
    trial_boot a t2 t2 "$installed" "current=t2 fallback=t1 marker=no trial=1"
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
    trial_boot e t3 t3 "$installed" "current=t3 fallback=t1 marker=no trial=none"
    console_has "trial e" '^start-up: booting /mnt/imgpart/kestran_current\.sqsh$'
    console_has "trial e" '^kestran-boot-image: confirmed the current image after 1 trial boot(s)$'
    # f. t4 installed, keeping the confirmed t3 as the fallback.
    trial_boot f t4 t4 "$installed" "current=t4 fallback=t3 marker=no trial=none"
    console_has "trial f" '^kestran-boot-image: confirmed the current image after 1 trial boot(s)$'
    rm -f "$sd"

    echo
    echo "Trial boots (2), one SD card from t1 (t2 never confirms; the others confirm when they boot):"
    # shellcheck disable=SC2059 # the format is the table's
    printf "$trial_format" step stick s booted tool "SD after (no marker)" "kestran-boot-image / health"
    printf '%s\n' "${trial_rows[@]}"
    echo "ok: trial boots"
}

# Median and quartiles (q1-q3) of the numbers on standard input.
stats() {
    sort -g | awk '{ v[NR] = $1 }
        function q(p,  i, f) { i = 1 + (NR - 1) * p; f = int(i); return v[f] + (i - f) * (v[f + (f < NR)] - v[f]) }
        END { printf "%.3f %.3f-%.3f\n", q(0.5), q(0.25), q(0.75) }'
}

bench() {
    local bench_dir=$work/bench
    rm -rf "$bench_dir"
    mkdir -p "$bench_dir/sd-root"
    head -c "$((bench_mib * 1024 * 1024))" /dev/urandom >"$bench_dir/sd-root/kestran_current.sqsh"
    cp "$bench_dir/sd-root/kestran_current.sqsh" "$bench_dir/sd-root/bench_original.sqsh"
    head -c "$((bench_mib * 1024 * 1024))" /dev/urandom >"$bench_dir/update.fir"
    make_sd "$bench_dir/sd.img" "$bench_dir/sd-root"
    make_stick "$bench_dir/stick.img" "$bench_dir/update.fir"
    boot_timeout=$((bench_pairs * 150 + 120))
    boot bench "$bench_dir/sd.img" "$bench_dir/stick.img" "" kestran_mode=bench \
        "kestran_pairs=$bench_pairs"
    [[ $BOOTED == bench ]] || die "the benchmark did not finish (console: $LOG)"
    ! grep -q 'did not' "$LOG" || die "a run did not do the work (console: $LOG)"
    local lines
    lines=$(tr -d '\r' <"$LOG" | grep '^bench: pair ')
    local tool script ratios
    tool=$(awk '$4 == "tool" { print $5 / 100 }' <<<"$lines")
    script=$(awk '$4 == "script" { print $5 / 100 }' <<<"$lines")
    ratios=$(awk '$4 == "tool" { t[$3] = $5 } $4 == "script" { s[$3] = $5 }
        END { for (p in s) if (s[p] > 0) print t[p] / s[p] }' <<<"$lines")
    echo
    echo "In the guest (ARM1176 under qemu), ${bench_mib} MiB images, $bench_pairs pairs:"
    printf '%-8s %-18s %-18s %-12s %s\n' size "tool s (median)" "script s (median)" "median ratio" "ratios q1-q3"
    local t s r
    read -r t _ < <(stats <<<"$tool")
    read -r s _ < <(stats <<<"$script")
    read -r r q < <(stats <<<"$ratios")
    printf '%-8s %-18s %-18s %-12s %s\n' "${bench_mib} MiB" "$t" "$s" "$r" "$q"
    echo "(ratios: $(tr '\n' ' ' <<<"$ratios"))"
}

main() {
    ((EUID == 0)) || die "run as root"
    local what=${1:-ci}
    [[ $what == ci || ${CI:-} == true ]] && in_ci=true
    if [[ $what != build && $what != ci && ! -f $work/initramfs.cpio ]]; then
        die "nothing built: run $0 build first"
    fi
    local start=$SECONDS
    case $what in
    build) build ;;
    demo) demo ;;
    cuts) power_cuts ;;
    sticks) sticks ;;
    signed) signed ;;
    trial) trial ;;
    bench) bench ;;
    ci)
        build
        demo
        power_cuts
        sticks
        signed
        trial
        ;;
    *)
        sed -n '/^# Usage/,/^# Each subcommand/p' "$0" >&2
        exit 2
        ;;
    esac
    log "device box: $what done in $((SECONDS - start)) s"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    main "$@"
fi

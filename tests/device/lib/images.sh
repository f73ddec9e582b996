# Building the device: the firmware images, the start-ups (initramfs
# archives) and the SD card and USB stick images.
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings of lib/common.sh, sourced first

# A root file system anew in $1: static BusyBox as /bin/busybox and /bin/sh,
# the mount points, and the directories after $1 (paths on the host).
busybox_tree() {
    local root=$1
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,mnt/imgpart,mnt/usb} "${@:2}"
    cp "$cache/target/busybox/bin/busybox" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
}

# A firmware image, $work/$1.sqsh: static BusyBox and guest/image-init as
# /init, which says "booted firmware $1" and powers off, padded with random
# data. With $2 (good or bad) an image of the trial boots: it also holds the
# trial kestran-boot-image as /usr/sbin/kestran-boot-image (and the BusyBox
# applets it runs) and guest/health-check, which confirms a good image; a
# bad one carries /etc/fails-health-check and confirms nothing.
build_firmware() {
    local version=$1 health=${2:-} root=$work/fw-$1 applet
    busybox_tree "$root" "$root/etc"
    install -m 755 "$guest/image-init" "$root/init"
    echo "$version" >"$root/etc/firmware-version"
    if [[ -n $health ]]; then
        mkdir -p "$root/usr/sbin"
        for applet in cat mv rm sync dd ls awk date tail sed wc head sort flock; do
            ln -s busybox "$root/bin/$applet"
        done
        install -m 755 "$trial_boot_image" "$root/usr/sbin/kestran-boot-image"
        install -m 755 "$guest/health-check" "$root/usr/sbin/health-check"
        case $health in
        good) ;;
        bad) : >"$root/etc/fails-health-check" ;;
        *) die "build_firmware: health '$health'" ;;
        esac
    fi
    head -c "$((pad_mib * 1024 * 1024))" /dev/urandom >"$root/padding"
    mksquashfs "$root" "$work/$version.sqsh" -noappend -quiet -all-root -no-progress >/dev/null
}

# The start-up, $work/initramfs.cpio from the tree $work/initramfs: BusyBox,
# the kernel modules, what `cmake --install build/armv6-static` lays out (the
# tool, its init script, kestran-boot-image and the reference start-up), that
# start-up as /init with the bench's settings guest/start-up.conf, and the
# benchmark's guest/bench and guest/reference-update as /bench.sh and
# /reference.sh.
build_initramfs() {
    local root=$work/initramfs
    busybox_tree "$root" "$root"/{sbin,usr/bin,usr/sbin,newroot,lib/modules}
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
    # (The tool that installs by renames, beside it, for the benchmark.)
    [[ ! -f $rename_tool ]] || strip_like_install "$rename_tool" "$root/usr/sbin/init-updater-rename"
    # The shipped start-up itself, as cmake --install laid it out.
    ln -s usr/share/init-updater/initramfs-init "$root/init"
    mkdir -p "$root/etc/init-updater"
    install -m 644 "$guest/start-up.conf" "$root/etc/init-updater/start-up.conf"
    install -m 755 "$guest/bench" "$root/bench.sh"
    install -m 755 "$guest/reference-update" "$root/reference.sh"
    pack_initramfs "$root" "$work/initramfs.cpio"
}

# The archive ($2) of the initramfs tree $1. Not compressed: unpacking it
# would take the emulated CPU over 2 s a boot.
pack_initramfs() {
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$2"
}

# Copies the ARM binary $1 to $2 (mode 755) stripped as `cmake --install
# --strip` strips the installed tool: with the build's own strip.
strip_like_install() {
    local strip
    strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$src/build/armv6-static/CMakeCache.txt")
    [[ -x $strip ]] || strip=$(command -v arm-linux-gnueabihf-strip) ||
        die "no strip for ARM (Debian: binutils-arm-linux-gnueabihf)"
    "$strip" -o "$2" "$1"
    chmod 755 "$2"
}

# The start-up with other binaries in /usr/sbin, packed as $1: a copy of
# the tree build_initramfs left, where each further argument NAME=FILE puts
# FILE as NAME.
pack_initramfs_with() {
    local tree=$work/initramfs-with swap
    rm -rf "$tree"
    cp -a "$work/initramfs" "$tree"
    for swap in "${@:2}"; do
        install -m 755 "${swap#*=}" "$tree/usr/sbin/${swap%%=*}"
    done
    pack_initramfs "$tree" "$1"
    rm -rf "$tree"
}

# An SD card image ($1, 512 MiB: qemu wants a power of two) with one ext4
# partition at 1 MiB holding, for each further argument NAME=FILE, FILE as
# NAME.
make_sd() {
    local card=$1 root=$1.root file
    shift
    rm -rf "$card" "$root"
    mkdir -p "$root"
    for file in "$@"; do
        cp "${file#*=}" "$root/${file%%=*}"
    done
    truncate -s 512M "$card"
    echo 'start=2048, type=83' | sfdisk -q "$card" >/dev/null
    mkfs.ext4 -q -F -E offset="$part_offset" -L imgpart -d "$root" "$card" 511M
    rm -rf "$root"
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
    said=$(sh "$src/dist/sign/kestran-sign" -V "$2" -C test-board "$signed_keys/test.sec" "$1" 2>&1) ||
        die "dist/sign/kestran-sign could not sign $1 with $signed_keys/test.sec: $said"
}

# A copy of the build's SD card (v1, no fallback) for a case: makes
# $work/$1-sd.img and prints its name. (Its callers take the name with
# $(...), where set -e does not reach: a failed copy dies here.)
fresh_disks() {
    cp --sparse=always "$work/sd.img" "$work/$1-sd.img" || die "cannot copy the SD card for $1"
    echo "$work/$1-sd.img"
}

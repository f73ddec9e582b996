# The target's kernel and BusyBox: Debian's armel packages, downloaded and
# unpacked (not installed) into the cache $cache, and reused.
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings of lib/common.sh, sourced first

# Kernel modules the start-up loads (with what they depend on): the SD
# partition's ext4, squashfs and loop for the image, the USB stick's SCSI
# disk and vfat with the character sets vfat uses by default.
readonly wanted_modules=(crc32c_generic ext4 squashfs loop sd_mod usb-storage vfat nls_cp437
    nls_ascii)

# Runs apt-get with the arguments, waiting for a lock another holds; tries
# three times, and fails when all three failed.
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
    # The kernel package behind linux-image-rpi:armel, after an update of
    # the package lists when they do not know it yet.
    local kernel_pkg try
    for try in cached updated; do
        [[ $try == cached ]] || apt update -qq
        kernel_pkg=$(apt-cache depends linux-image-rpi:armel 2>/dev/null |
            awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }') || true
        [[ -z $kernel_pkg ]] || break
    done
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


# The kernel image, and the module tree, of the unpacked package.
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

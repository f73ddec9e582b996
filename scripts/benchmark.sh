#!/usr/bin/env bash
# Benchmark (not a test): the time init-updater takes for an update against
# the same work done by a plain shell script (two sha512sum, two cp, each copy
# flushed with its directory and read back by sha512sum, the install marker
# made and removed durably), on images of 1 MiB and 64 MiB in tmpfs. Runs
# alternate between the two (which goes first swaps every pair), the files are
# reset before every run, and the median of the per-pair ratios
# tool/script is printed. Runs as root in a private mount namespace.
# Usage: benchmark.sh [TOOL] [PAIRS]   (default build/host/init-updater, 21)
#
#        benchmark.sh signature TOOL KEYDIR [RUNNER...]
# times a build with a signing key (KEYDIR holds its test.sec) on an update
# whose signature is well formed and by the right key but for another digest
# (read, checked, rejected) against the same run with no signature at all
# (rejected at once), 21 of each alternating; the difference of the medians
# is what reading and checking a signature costs. RUNNER runs the tool, such
# as qemu-arm-static -cpu arm1176 -L RUNTIME for an ARMv6 build. With
# KESTRAN_SIGNATURE=manifest the signature is an embedded one of a manifest
# (version 1, compatible test-board) of the other file: verified, parsed,
# and rejected for its digest.
#
#        benchmark.sh passes TOOL [MiB]
# counts what one update takes from the media: the image partition on ext4
# in one loop device and the stick on ext4 in another, caches dropped, each
# device's /sys/block/loopN/stat read before and after; prints the sectors
# read and written as images of the update's size (default 64 MiB), for an
# update with a confirmed current image and an old fallback image there.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} == passes ]]; then
    (($# >= 2)) || {
        echo "usage: $0 passes TOOL [MiB]" >&2
        exit 2
    }
    exec unshare --mount --propagation private bash "$0" --passes-in-namespace "$(readlink -f "$2")" \
        "${3:-64}"
fi
if [[ ${1:-} == --passes-in-namespace ]]; then
    tool=$2 mib=$3
    mount -t tmpfs -o size=$((mib * 6 + 64))m scratch /mnt
    mkdir /mnt/usb /mnt/imgpart
    truncate -s $((mib * 4 + 64))m /mnt/imgpart.ext4
    truncate -s $((mib * 2 + 32))m /mnt/usb.ext4
    mkfs.ext4 -q -F /mnt/imgpart.ext4
    mkfs.ext4 -q -F /mnt/usb.ext4
    mount -o loop /mnt/imgpart.ext4 /mnt/imgpart
    mount -o loop /mnt/usb.ext4 /mnt/usb
    head -c "${mib}M" /dev/urandom >/mnt/imgpart/kestran_current.sqsh
    head -c "${mib}M" /dev/urandom >/mnt/imgpart/kestran_fallback.sqsh
    head -c "${mib}M" /dev/urandom >/mnt/usb/kestran.fir
    sync
    echo 3 >/proc/sys/vm/drop_caches
    # Sectors read and written by the loop device behind MOUNTPOINT.
    sectors() {
        local dev
        dev=$(basename "$(findmnt -n -o SOURCE "$1")")
        awk '{ print $3, $7 }' "/sys/block/$dev/stat"
    }
    read -r part_r0 part_w0 < <(sectors /mnt/imgpart)
    read -r usb_r0 usb_w0 < <(sectors /mnt/usb)
    "$tool" >/mnt/out
    sync
    grep -qx "Update complete." /mnt/out || {
        echo "benchmark: the update was not installed: $(cat /mnt/out)" >&2
        exit 1
    }
    read -r part_r1 part_w1 < <(sectors /mnt/imgpart)
    read -r usb_r1 usb_w1 < <(sectors /mnt/usb)
    awk -v m="$mib" -v pr=$((part_r1 - part_r0)) -v pw=$((part_w1 - part_w0)) \
        -v ur=$((usb_r1 - usb_r0)) -v uw=$((usb_w1 - usb_w0)) 'BEGIN {
        image = m * 2048
        printf "%s MiB images; in images of that size:\n", m
        printf "image partition: read %.2f, written %.2f\n", pr / image, pw / image
        printf "stick:           read %.2f, written %.2f\n", ur / image, uw / image }'
    exit 0
fi

if [[ ${1:-} == signature ]]; then
    (($# >= 3)) || {
        echo "usage: $0 signature TOOL KEYDIR [RUNNER...]" >&2
        exit 2
    }
    tool=$(readlink -f "$2") keys=$(readlink -f "$3")
    shift 3
    exec unshare --mount --propagation private bash "$0" --signature-in-namespace "$tool" "$keys" "$@"
fi
if [[ ${1:-} == --signature-in-namespace ]]; then
    tool=$2 keys=$3
    shift 3
    mount -t tmpfs -o size=64m scratch /mnt
    mkdir /mnt/usb /mnt/imgpart
    head -c 1M /dev/urandom >/mnt/imgpart/kestran_current.sqsh
    head -c 1M /dev/urandom >/mnt/usb/kestran.fir
    head -c 1M /dev/urandom >/mnt/other
    if [[ ${KESTRAN_SIGNATURE:-} == manifest ]]; then
        dist/sign/kestran-sign -V 1 -C test-board "$keys/test.sec" /mnt/other 2>/dev/null
    else
        dist/sign/kestran-sign "$keys/test.sec" /mnt/other 2>/dev/null
    fi
    : >/mnt/with.times
    : >/mnt/without.times
    for ((i = 0; i < 42; i++)); do
        if (((i + i / 2) % 2 == 0)); then
            cp /mnt/other.sig /mnt/usb/kestran.fir.sig
            times=/mnt/with.times
        else
            rm -f /mnt/usb/kestran.fir.sig
            times=/mnt/without.times
        fi
        start=$(date +%s%N)
        "$@" "$tool" >/mnt/out 2>/dev/null
        echo $(($(date +%s%N) - start)) >>"$times"
        grep -qx "Firmware update rejected." /mnt/out || {
            echo "benchmark: the update was not rejected" >&2
            exit 1
        }
    done
    median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
    with=$(median </mnt/with.times)
    without=$(median </mnt/without.times)
    awk -v w="$with" -v n="$without" 'BEGIN {
        printf "run with a signature to check: %.2f ms, without one: %.2f ms (medians of 21)\n", w / 1e6, n / 1e6
        printf "reading and checking the signature: %.2f ms\n", (w - n) / 1e6 }'
    exit 0
fi

if [[ ${1:-} != --in-namespace ]]; then
    tool=$(readlink -f "${1:-build/host/init-updater}")
    [[ -x $tool ]] || {
        echo "no tool at $tool: cmake --workflow --preset host first" >&2
        exit 2
    }
    exec unshare --mount --propagation private bash "$0" --in-namespace "$tool" "${2:-21}"
fi
tool=$2
pairs=$3

mount -t tmpfs -o size=256m scratch /mnt
mkdir /mnt/usb /mnt/imgpart /mnt/ref
mount -t tmpfs -o size=256m usb /mnt/usb
mount -t tmpfs -o size=512m imgpart /mnt/imgpart

cat >/mnt/reference.sh <<'SCRIPT'
#!/bin/sh
# What the tool does on an update: both digests; the fallback copy, flushed,
# read back from the medium (its cached pages dropped) and compared; the
# install marker, flushed; the install copy, flushed, read back and
# compared; the marker removed, flushed.
img=/mnt/imgpart
digest() { /bin/sha512sum "$1" | cut -c1-128; }
readback() { sync "$1" $img && dd if="$1" iflag=nocache count=0 status=none && digest "$1"; }
current=$(digest $img/kestran_current.sqsh)
update=$(digest /mnt/usb/kestran.fir)
if [ "$current" != "$update" ]; then
    cp $img/kestran_current.sqsh $img/kestran_fallback.sqsh &&
        [ "$(readback $img/kestran_fallback.sqsh)" = "$current" ] &&
        : >$img/kestran_install.incomplete && sync $img/kestran_install.incomplete $img &&
        cp /mnt/usb/kestran.fir $img/kestran_current.sqsh &&
        [ "$(readback $img/kestran_current.sqsh)" = "$update" ] &&
        rm $img/kestran_install.incomplete && sync $img
fi
SCRIPT
chmod +x /mnt/reference.sh

reset_images() {
    rm -f /mnt/imgpart/kestran_fallback.sqsh
    cp /mnt/ref/old /mnt/imgpart/kestran_current.sqsh
}

# Nanoseconds one update by COMMAND takes, from freshly reset images.
time_run() {
    reset_images
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    if ! cmp -s /mnt/imgpart/kestran_current.sqsh /mnt/usb/kestran.fir ||
        [[ -e /mnt/imgpart/kestran_install.incomplete ]]; then
        echo "benchmark: $1 did not install the update" >&2
        exit 1
    fi
    echo $((end - start))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The middle half of the values, "q1-q3": the spread the machine's noise gives.
quartiles() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f-%.3f", v[int((NR + 3) / 4)], v[int((3 * NR + 3) / 4)] }'; }

echo "init-updater against a shell script doing the same work; $pairs pairs per size"
printf '%-8s %12s %12s %13s %14s\n' size "tool (ms)" "script (ms)" "median ratio" "ratios q1-q3"
for size in 1M 64M; do
    head -c "$size" /dev/urandom >/mnt/ref/old
    head -c "$size" /dev/urandom >/mnt/usb/kestran.fir
    : >/mnt/tool.times
    : >/mnt/script.times
    : >/mnt/ratios
    for ((i = 0; i < pairs; i++)); do
        if ((i % 2 == 0)); then
            t=$(time_run "$tool")
            s=$(time_run /mnt/reference.sh)
        else
            s=$(time_run /mnt/reference.sh)
            t=$(time_run "$tool")
        fi
        echo "$t" >>/mnt/tool.times
        echo "$s" >>/mnt/script.times
        awk -v t="$t" -v s="$s" 'BEGIN { print t / s }' >>/mnt/ratios
    done
    printf '%-8s %12.2f %12.2f %13.3f %14s\n' "$size" \
        "$(median </mnt/tool.times | awk '{ print $1 / 1e6 }')" \
        "$(median </mnt/script.times | awk '{ print $1 / 1e6 }')" \
        "$(median </mnt/ratios)" "$(quartiles </mnt/ratios)"
done

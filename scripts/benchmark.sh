#!/usr/bin/env bash
# Benchmark (not a test): the time init-updater takes for an update against
# the same work done by a plain shell script (two sha512sum, two cp, each copy
# flushed with its directory and read back by sha512sum, the install marker
# made and removed durably), on images of 1 MiB and 64 MiB in tmpfs. Runs
# alternate between the two (which goes first swaps every pair), the files are
# reset before every run, and the median of the per-pair ratios
# tool/script is printed. Runs as root in a private mount namespace.
# Usage: benchmark.sh [TOOL] [PAIRS]   (default build/host/init-updater, 21)
set -euo pipefail
cd "$(dirname "$0")/.."

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

#!/usr/bin/env bash
# Builds init-updater for this machine and runs a real update in a private
# mount namespace: a sample USB stick and image partition on tmpfs at
# /mnt/usb and /mnt/imgpart (the host's /mnt is not touched). The first run
# installs the update, the second finds nothing to do; the files are listed
# with their SHA-512 digests after each. Run as root from the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} != --in-namespace ]]; then
    bash scripts/install-prerequisites.sh build
    cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/demo >/dev/null
    exec unshare --mount --propagation private bash "$0" --in-namespace "$PWD/build/demo/init-updater"
fi
tool=$2

mount -t tmpfs -o size=64m demo /mnt
mkdir /mnt/usb /mnt/imgpart
mount -t tmpfs -o size=16m usb /mnt/usb
mount -t tmpfs -o size=32m imgpart /mnt/imgpart

# Sample images: 4 MiB each, the installed release 1.0 and the update 1.1.
{ echo "kestran firmware 1.0"; head -c 4M /dev/urandom; } >/mnt/imgpart/kestran_current.sqsh
{ echo "kestran firmware 1.1"; head -c 4M /dev/urandom; } >/mnt/usb/kestran.fir

show() {
    echo "--- $1"
    local f
    for f in /mnt/usb/kestran.fir /mnt/imgpart/kestran_current.sqsh /mnt/imgpart/kestran_fallback.sqsh; do
        if [[ -f $f ]]; then
            printf '%-36s %-22s sha512 %.32s...\n' "$f" "$(head -n 1 "$f")" "$(sha512sum "$f")"
        else
            printf '%-36s (none)\n' "$f"
        fi
    done
}

show "before"
echo "--- first run: init-updater"
status=0
"$tool" || status=$?
echo "(exit status $status)"
show "after the first run"
echo "--- second run: init-updater"
status=0
"$tool" || status=$?
echo "(exit status $status)"
show "after the second run"

#!/usr/bin/env bash
# From a fresh Debian machine to tested ARMv6 binaries: installs the cross
# compiler and qemu, builds (or reuses) the ARMv6 runtime and libsodium in it,
# then builds the dynamic and the static init-updater for the target and runs
# their tests under qemu-arm-static -cpu arm1176: the unit tests and the
# scenario table, and in the static build (the one the device runs) the
# integration table and the variants' scenarios too. Run as root
# from the source tree. Results: build/armv6/init-updater,
# build/armv6-static/init-updater.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-prerequisites.sh all
runtime=$(bash scripts/build-armv6-runtime.sh | tail -n 1)
bash scripts/build-armv6-libsodium.sh "$runtime" >/dev/null
echo "== ARMv6 runtime: $runtime" >&2
export KESTRAN_ARMV6_CACHE=${runtime%/runtime}
for preset in armv6 armv6-static; do
    echo "== cmake --workflow --preset $preset" >&2
    cmake --workflow --preset "$preset" --fresh
done

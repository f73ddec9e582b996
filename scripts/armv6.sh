#!/usr/bin/env bash
# From a fresh Debian machine to tested ARMv6 binaries: installs the cross
# compiler and qemu, builds (or reuses) the ARMv6 runtime and libsodium in it,
# then builds the dynamic and the static init-updater for the target and runs
# their tests under qemu-arm-static -cpu arm1176: the unit tests and the
# scenario table, and in the static build (the one the device runs) the
# integration table and the variants' scenarios too. Run as root
# from the source tree. Results: build/armv6/init-updater,
# build/armv6-static/init-updater.
#
# Usage: armv6.sh [workflow|build|test] [PRESET...]
#   workflow (the default) configures anew, builds and tests each PRESET
#   (default: armv6 armv6-static); build only configures anew and builds,
#   test only tests what build made. CI builds armv6-static first, for the
#   device box, and tests it beside that.
set -euo pipefail
cd "$(dirname "$0")/.."

step=${1:-workflow}
case $step in
workflow | build | test) shift || true ;;
*)
    echo "usage: $0 [workflow|build|test] [PRESET...]" >&2
    exit 2
    ;;
esac
presets=("$@")
((${#presets[@]} > 0)) || presets=(armv6 armv6-static)

bash scripts/install-prerequisites.sh all
runtime=$(bash scripts/build-armv6-runtime.sh | tail -n 1)
bash scripts/build-armv6-libsodium.sh "$runtime" >/dev/null
echo "== ARMv6 runtime: $runtime" >&2
export KESTRAN_ARMV6_CACHE=${runtime%/runtime}
for preset in "${presets[@]}"; do
    echo "== $step $preset" >&2
    case $step in
    workflow) cmake --workflow --preset "$preset" --fresh ;;
    build)
        cmake --preset "$preset" --fresh
        cmake --build --preset "$preset"
        ;;
    test) ctest --preset "$preset" ;;
    esac
done

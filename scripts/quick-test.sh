#!/usr/bin/env bash
# The first test command: builds the host tool and the unit tests only, and
# runs the unit tests (the walk of decide over every combination of the
# facts among them) and the plain build's scenario table. About two minutes
# on two cores from nothing; no ARMv6 runtime, no emulator. Run as root (the
# scenarios need private mount namespaces) from a checkout on Debian 12.
# The full run, what CI runs, is scripts/test-all.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-prerequisites.sh test
start=$SECONDS
cmake --preset host >/dev/null
cmake --build build/host --target init-updater updater_unit_tests
build/host/tests/unit/updater_unit_tests --gtest_brief=1
bash tests/system/scenarios.sh build/host/init-updater
echo "quick tests: passed in $((SECONDS - start)) s"

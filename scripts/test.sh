#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: the
# host suite, the fault sweeps and the property tests of the uninstaller and
# the collector (with the totals they print), the same host suite built with
# AddressSanitizer and UndefinedBehaviorSanitizer, the image and dry run
# tests built with ThreadSanitizer, and every fuzz target for
# a bounded time (ZAV_FUZZ_SECONDS per target, 60 by default; 0 skips the
# fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset host
cmake --build --preset host
cmake --preset win32
cmake --build --preset win32
cmake --preset win64
cmake --build --preset win64
ctest --preset host -E '^runs\.(FaultSweep|RandomMachines)\.'
# The fault sweeps and the random machines in full, for their totals: the
# uninstaller's runs, and the collector's collections and round trip.
ctest --preset host -R '^runs\.(FaultSweep|RandomMachines)\.' --verbose
# The sanitizer build; Wine scenarios are left out of it (they run the
# Windows program, which the sanitizers do not see).
cmake --preset host-asan
cmake --build --preset host-asan
ctest --preset host-asan
# The threads (the export reader's parser running ahead, the residue scan's
# second thread, --write's writer) under ThreadSanitizer: the image and dry
# run tests, which take every one of them.
cmake --preset host-tsan
cmake --build --preset host-tsan
ctest --preset host-tsan
if [ "${ZAV_FUZZ_SECONDS:-60}" != 0 ]; then
  bash scripts/fuzz.sh "${ZAV_FUZZ_SECONDS:-60}"
fi

#!/usr/bin/env bash
# Installs the dependencies, checks the format of the sources, builds, and runs every test:
# the ARM cross builds (arm64 and armhf) with their unit tests under qemu user emulation,
# the unit and system tests (among them the end-to-end runs of both ARM programs in
# simulated devices), then the unit tests once more under AddressSanitizer and
# UndefinedBehaviorSanitizer, then a short libFuzzer run of every reader of outside data
# (clang; scripts/fuzz-long.sh runs longer).
# Every build treats warnings as errors (UPDATER_WERROR; the ARM builds through
# cross-build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/install-deps.sh

# The sources keep the format of .clang-format (fix with scripts/check-format.sh --fix).
bash scripts/check-format.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_WERROR=ON
cmake --build build -j"$jobs"

arm_start=$(date +%s)
for target in arm64 armhf; do
    bash scripts/cross-build.sh "$target" --test --jobs "$jobs"
done
echo "test.sh: ARM builds and their unit tests took $(( $(date +%s) - arm_start )) s"

# The system tests include the ARM end-to-end tests; here a missing cross build fails them.
(cd build && UPDATER_ARM_REQUIRED=1 ctest -j"$jobs" --output-on-failure)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON -DUPDATER_WERROR=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest -j"$jobs" -L unit --output-on-failure)

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF -DUPDATER_WERROR=ON
cmake --build build-fuzz -j"$jobs" --target fuzz_targets
(cd build-fuzz && ctest -j"$jobs" -L fuzz --output-on-failure)

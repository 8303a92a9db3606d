#!/usr/bin/env bash
# Long fuzzing runs: builds the libFuzzer targets with clang (build-fuzz) and mutates every
# target for the given number of seconds (default 1800) each, one after the other.
#   scripts/fuzz-long.sh [SECONDS] [TARGET...]
# New inputs stay in build-fuzz/fuzz/work/<target>/corpus; an input that crashes, leaks,
# or shows undefined behaviour lands in build-fuzz/fuzz/work/<target>/artifacts/. Keep such
# an input under fuzz/regressions/<target>/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(config proxy credentials repomd primary primary_gzip evr status cpuinfo package_header)

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF
cmake --build build-fuzz -j"$(nproc 2>/dev/null || echo 2)" --target fuzz_targets
sh fuzz/make-seeds.sh "$PWD" build-fuzz/fuzz/seeds

failed=()
for target in "${targets[@]}"; do
    echo "=== fuzz_$target: $seconds s"
    if ! sh fuzz/run-fuzz.sh "build-fuzz/fuzz/fuzz_$target" "$seconds" "build-fuzz/fuzz/work/$target" \
        "fuzz/regressions/$target" "fuzz/corpus/$target" "build-fuzz/fuzz/seeds/$target"; then
        failed+=("$target")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]}" >&2
    exit 1
fi

#!/usr/bin/env bash
# Checks that the C and C++ sources under src/, tests/ and fuzz/ are formatted as the
# project's .clang-format says; prints the files that are not and exits 1.
#
#   scripts/check-format.sh          check (as CI does)
#   scripts/check-format.sh --fix    reformat those files in place
#
# Formatting differs between clang-format releases, so this uses the one of Debian 12
# (clang-format-14) where it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

tool=clang-format
command -v clang-format-14 >/dev/null 2>&1 && tool=clang-format-14
command -v "$tool" >/dev/null 2>&1 || { echo "check-format.sh: $tool not installed" >&2; exit 2; }

mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'src/*.h.in' 'src/*.c' \
    'tests/*.cpp' 'tests/*.h' 'tests/*.c' 'fuzz/*.cpp' 'fuzz/*.h' 'fuzz/*.c')

if [ "${1:-}" = "--fix" ]; then
    "$tool" -i --style=file "${files[@]}"
    exit 0
fi

unformatted=()
for file in "${files[@]}"; do
    if ! "$tool" --style=file --dry-run --Werror "$file" >/dev/null 2>&1; then
        unformatted+=("$file")
    fi
done
if [ ${#unformatted[@]} -gt 0 ]; then
    echo "check-format.sh: not formatted as .clang-format says ($tool; fix with scripts/check-format.sh --fix):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "check-format.sh: ${#files[@]} files formatted as .clang-format says ($tool)"

#!/bin/sh
# One fuzzing run of one target, as the test command does it:
#   run-fuzz.sh BINARY SECONDS WORK_DIR SEED_DIR...
# First every kept regression input (a SEED_DIR named .../regressions/<target>) and every
# seed is replayed once; then the target mutates for SECONDS seconds from a fresh copy of
# the seeds in WORK_DIR/corpus. Crashes, leaks, undefined behaviour and timeouts end the
# run with a failure; the input that caused it is left in WORK_DIR/artifacts/.
set -eu
[ $# -ge 3 ] || { echo "usage: $0 BINARY SECONDS WORK_DIR SEED_DIR..." >&2; exit 2; }
binary=$1
seconds=$2
work=$3
shift 3
rm -rf "$work/corpus"
mkdir -p "$work/corpus" "$work/artifacts"
seeds=
for dir in "$@"; do
    [ -d "$dir" ] || continue
    seeds="$seeds $dir"
done
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
options="-timeout=20 -rss_limit_mb=1536 -malloc_limit_mb=1024 -max_len=65536 -print_final_stats=1 \
-artifact_prefix=$work/artifacts/"

# Replay: every kept input once, so a fixed fault that comes back fails at once.
files=$(for dir in $seeds; do find "$dir" -type f; done)
if [ -n "$files" ]; then
    # shellcheck disable=SC2086
    "$binary" $options -runs=1 $files
fi

# shellcheck disable=SC2086
exec "$binary" $options -max_total_time="$seconds" "$work/corpus" $seeds

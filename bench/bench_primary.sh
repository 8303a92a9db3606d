#!/bin/sh
# Time and peak memory of parsing generated package lists of 1,000, 10,000 and 50,000
# packages with Repository::parsePrimary, next to two references on the same files:
# "xmllint --stream --noout" (streaming the XML and nothing else) and libsolv's
# rpmmd2solv (which reads the uncompressed list from stdin, so it gets "gzip -dc" in front).
#   bench_primary.sh PATH/TO/bench_parse_primary [RUNS]
# Prints a markdown table; each figure is the best of RUNS runs (default 3).
set -eu
[ $# -ge 1 ] || { echo "usage: $0 PATH/TO/bench_parse_primary [RUNS]" >&2; exit 2; }
parser=$1
runs=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-primary.XXXXXX")
trap 'rm -rf "$work"' EXIT

# best_of COMMAND...: prints "seconds max_rss_kib" of the fastest run, the largest RSS seen
best_of() {
    best_time= max_rss=0
    i=0
    while [ "$i" -lt "$runs" ]; do
        /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
            echo "$0: failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
        read -r t m < "$work/time"
        if [ -z "$best_time" ] || awk "BEGIN{exit !($t < $best_time)}"; then best_time=$t; fi
        [ "$m" -gt "$max_rss" ] && max_rss=$m
        i=$((i + 1))
    done
    echo "$best_time $max_rss"
}

echo "| packages | gzip size | parsePrimary s | parsePrimary peak RSS MiB | xmllint --stream s | xmllint peak RSS MiB | rpmmd2solv s | rpmmd2solv peak RSS MiB |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|"
for n in 1000 10000 50000; do
    file="$work/primary-$n.xml.gz"
    /usr/bin/python3 "$here/gen_primary.py" "$n" "$file"
    size=$(du -k "$file" | cut -f1)
    set -- $(best_of "$parser" "$file")
    p_t=$1 p_m=$2
    set -- $(best_of xmllint --stream --noout "$file")
    x_t=$1 x_m=$2
    set -- $(best_of sh -c "gzip -dc '$file' | rpmmd2solv" )
    s_t=$1 s_m=$2
    mib() { awk "BEGIN{printf \"%.1f\", $1/1024}"; }
    echo "| $n | ${size} KiB | $p_t | $(mib "$p_m") | $x_t | $(mib "$x_m") | $s_t | $(mib "$s_m") |"
done

#!/bin/sh
# Verification time of the generated 50,000-package list (gzip-compressed, as stored and
# after decompression) with SHA-1 ("sha") and the SHA-2 types, side by side in one run.
#   bench_checksum.sh PATH/TO/bench_verify_checksum [RUNS]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 PATH/TO/bench_verify_checksum [RUNS]" >&2; exit 2; }
verifier=$1
runs=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-checksum.XXXXXX")
trap 'rm -rf "$work"' EXIT

file="$work/primary-50000.xml.gz"
/usr/bin/python3 "$here/gen_primary.py" 50000 "$file"
gzip -dc "$file" > "$work/primary.xml"
echo "list: $(du -k "$file" | cut -f1) KiB compressed, $(du -k "$work/primary.xml" | cut -f1) KiB uncompressed"
args=
for pair in sha:sha1sum sha1:sha1sum sha224:sha224sum sha256:sha256sum sha384:sha384sum sha512:sha512sum; do
    type=${pair%%:*} tool=${pair#*:}
    stored=$($tool "$file" | cut -d' ' -f1)
    open=$($tool "$work/primary.xml" | cut -d' ' -f1)
    args="$args $type=$stored=$open"
done
# shellcheck disable=SC2086
"$verifier" "$file" "$runs" $args

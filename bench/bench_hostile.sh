#!/bin/sh
# Time and peak memory of refusing two hostile package lists, for one or more builds of
# bench_hostile_lists (for example before and after a change):
#   bench/bench_hostile.sh BENCH_HOSTILE_LISTS...
# - a gzip package list of 30 million nested elements (about 200 KiB, 210 MiB uncompressed);
# - a gzip file of about 10 MiB that inflates to 10 GiB, verified against a wrong
#   uncompressed checksum.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 BENCH_HOSTILE_LISTS..." >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-hostile.XXXXXX")
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import gzip, sys, zlib
work = sys.argv[1]
head = (b'<?xml version="1.0" encoding="UTF-8"?>\n<metadata xmlns="http://linux.duke.edu/metadata/common" '
        b'xmlns:rpm="http://linux.duke.edu/metadata/rpm" packages="1">\n')
packer = zlib.compressobj(9, zlib.DEFLATED, 31)
parts = [packer.compress(head)]
for element in (b"<x>", b"</x>"):
    chunk = element * (1 << 18)
    for _ in range(30000000 // (1 << 18)):
        parts.append(packer.compress(chunk))
parts.append(packer.compress(b"</metadata>\n"))
parts.append(packer.flush())
open(work + "/deep.xml.gz", "wb").write(b"".join(parts))
member = gzip.compress(b"\0" * (64 << 20), compresslevel=9, mtime=0)
with open(work + "/bomb.gz", "wb") as stream:
    for _ in range(160):
        stream.write(member)
PY
printf 'files: deep list %s bytes, bomb %s bytes\n' "$(stat -c %s "$work/deep.xml.gz")" "$(stat -c %s "$work/bomb.gz")"
for binary in "$@"; do
    printf '%s\n  deep list: %s\n  bomb:      %s\n' "$binary" "$("$binary" parse "$work/deep.xml.gz")" \
        "$("$binary" verify "$work/bomb.gz")"
done

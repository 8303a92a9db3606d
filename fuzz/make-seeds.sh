#!/bin/sh
# Builds the seed corpora that come from real files: the index and the package list of
# the test repository (plain and gzip), and the configuration files the project ships.
#   make-seeds.sh SOURCE_DIR OUTPUT_DIR
# OUTPUT_DIR/<target>/ receives the files; without rpmbuild or createrepo_c only the
# checked-in seeds are used.
set -eu
[ $# -eq 2 ] || { echo "usage: $0 SOURCE_DIR OUTPUT_DIR" >&2; exit 2; }
source_dir=$1
out=$2
rm -rf "$out"
for target in config proxy credentials repomd primary primary_gzip evr rich status transaction cpuinfo signature package_header; do
    mkdir -p "$out/$target"
done
cp "$source_dir/packaging/defaults.conf" "$out/config/shipped-defaults.conf"
cp "$source_dir/packaging/updater.conf.example" "$out/config/shipped-example.conf"

if ! command -v rpmbuild >/dev/null 2>&1 || ! command -v createrepo_c >/dev/null 2>&1; then
    echo "$0: no rpmbuild or createrepo_c; checked-in seeds only" >&2
    exit 0
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-seeds.XXXXXX")
trap 'rm -rf "$work"' EXIT
sh "$source_dir/tests/repository/data/make-repo.sh" "$work/repo"
cp "$work/repo/repodata/repomd.xml" "$out/repomd/repomd.xml"
for file in "$work"/repo/repodata/*primary.xml.gz; do
    cp "$file" "$out/primary/primary.xml.gz"
    gzip -dc "$file" > "$out/primary/primary.xml"
    cp "$out/primary/primary.xml" "$out/primary_gzip/primary.xml"
done
# A repository with a single package keeps the inputs small, which mutates faster.
cp "$work"/repo/packages/delta-*.rpm "$out/package_header/"
mkdir -p "$work/small/packages"
cp "$work"/repo/packages/delta-*.rpm "$work/small/packages/"
createrepo_c -q -s sha "$work/small" >/dev/null
cp "$work/small/repodata/repomd.xml" "$out/repomd/repomd-small.xml"
for file in "$work"/small/repodata/*primary.xml.gz; do
    gzip -dc "$file" > "$out/primary/primary-small.xml"
    cp "$out/primary/primary-small.xml" "$out/primary_gzip/primary-small.xml"
done

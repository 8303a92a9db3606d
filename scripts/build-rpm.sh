#!/usr/bin/env bash
# Builds the rpm package of the updater from this source tree.
#
#   scripts/build-rpm.sh [options]
#
#   --outdir DIR         where to put the built package (default: out/rpms of the tree)
#   --version VERSION    package version (default: the version of the CMake project); for
#                        tests only: the program judges "updater-running" requirements by
#                        its compiled-in version, so a real newer updater needs a newer
#                        project version
#   --release RELEASE    package release (default: 1)
#   --source git|tree    make the source tarball from the committed tree (git archive of
#                        HEAD; the default inside a git work tree) or from the files as
#                        they are (default elsewhere)
#   --prebuilt BUILDDIR  do not compile: install from this configured and built CMake tree
#   --target ARCH        build the package for another architecture: aarch64 (from the
#                        cross build of scripts/cross-build.sh arm64) or armv7hl (armhf).
#                        Without --prebuilt, the cross build in build-arm64 or build-armhf
#                        of the tree is made or brought up to date first.
#   --without-autodeps   no automatic requirements on shared libraries (for a device
#                        whose libraries are not managed by rpm, and for tests that install
#                        the package into a simulated device)
#   --define "NAME VALUE", --with NAME, --without NAME
#                        passed on to rpmbuild
#
# The build uses a private rpm top directory and a private rpm database, so it neither
# needs nor touches ~/rpmbuild or the host's rpm database. Build requirements are not
# checked against an rpm database (the host may not keep its packages in one); the CMake
# configure step reports anything missing. The paths of the built packages are printed,
# one per line, on standard output.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
outdir="$root/out/rpms"
version=""
release=""
source_kind=""
prebuilt=""
target=""
extra=()

usage() {
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
        --outdir) outdir=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
        --release) release=$2; shift 2 ;;
        --source) source_kind=$2; shift 2 ;;
        --prebuilt) prebuilt=$(cd "$2" && pwd); shift 2 ;;
        --target) target=$2; shift 2 ;;
        --without-autodeps) extra+=(--without autodeps); shift ;;
        --define) extra+=(--define "$2"); shift 2 ;;
        --with|--without) extra+=("$1" "$2"); shift 2 ;;
        -h|--help) usage ;;
        *) echo "build-rpm.sh: unknown argument '$1'" >&2; usage ;;
    esac
done

if ! command -v rpmbuild >/dev/null 2>&1; then
    echo "build-rpm.sh: rpmbuild not found (scripts/install-deps.sh installs it)" >&2
    exit 1
fi

project_version=$(sed -n 's/^project(updater VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
if [ -z "$project_version" ]; then
    echo "build-rpm.sh: cannot find the project version in $root/CMakeLists.txt" >&2
    exit 1
fi
version=${version:-$project_version}

if [ -n "$target" ]; then
    case "$target" in
        aarch64) debian_arch=arm64; triple=aarch64-linux-gnu; elf_machine=183 ;;
        armv7hl) debian_arch=armhf; triple=arm-linux-gnueabihf; elf_machine=40 ;;
        *) echo "build-rpm.sh: unknown target '$target' (aarch64 or armv7hl)" >&2; exit 2 ;;
    esac
    if [ -z "$prebuilt" ]; then
        bash "$root/scripts/cross-build.sh" "$debian_arch" >&2
        prebuilt="$root/build-$debian_arch"
    fi
    # A package labelled for one architecture must hold that architecture's program.
    program="$prebuilt/src/updater/updater"
    if [ ! -f "$program" ] || [ "$(od -An -tu2 -j18 -N2 "$program" | tr -d ' ')" != "$elf_machine" ]; then
        echo "build-rpm.sh: $program is not built for $target (scripts/cross-build.sh $debian_arch)" >&2
        exit 1
    fi
    # The package's architecture; the host's strip does not know ARM binaries.
    extra+=(--target "$target" --define "__strip $triple-strip" --define "__objdump $triple-objdump")
fi

if [ -z "$source_kind" ]; then
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        source_kind=git
    else
        source_kind=tree
    fi
fi

topdir=$(mktemp -d "${TMPDIR:-/tmp}/updater-rpm.XXXXXX")
trap 'rm -rf "$topdir"' EXIT
mkdir -p "$topdir"/{SOURCES,SPECS,BUILD,RPMS,SRPMS,BUILDROOT,rpmdb}

# The tarball always unpacks into updater-<version>/, which %setup expects.
tarball="$topdir/SOURCES/updater-$version.tar.gz"
case "$source_kind" in
    git)
        git -C "$root" archive --format=tar.gz --prefix="updater-$version/" -o "$tarball" HEAD
        ;;
    tree)
        tar -C "$root" -czf "$tarball" \
            --exclude='./build*' --exclude='./out' --exclude='./.git' \
            --transform="s,^\.,updater-$version," .
        ;;
    *)
        echo "build-rpm.sh: --source must be git or tree" >&2
        exit 2
        ;;
esac

spec="$topdir/SPECS/updater.spec"
sed "s/@VERSION@/$project_version/g" "$root/packaging/updater.spec" > "$spec"

defines=(
    --define "_topdir $topdir"
    --define "_dbpath $topdir/rpmdb"
    --define "updater_version $version"
)
[ -n "$release" ] && defines+=(--define "updater_release $release")
[ -n "$prebuilt" ] && defines+=(--define "prebuilt_dir $prebuilt")

log="$topdir/rpmbuild.log"
if ! rpmbuild -bb --nodeps "${defines[@]}" ${extra[@]+"${extra[@]}"} "$spec" >"$log" 2>&1; then
    cat "$log" >&2
    echo "build-rpm.sh: rpmbuild failed" >&2
    exit 1
fi

mkdir -p "$outdir"
find "$topdir/RPMS" -name '*.rpm' -print0 | while IFS= read -r -d '' rpm; do
    cp "$rpm" "$outdir/"
    echo "$outdir/$(basename "$rpm")"
done

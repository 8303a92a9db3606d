#!/usr/bin/env bash
# Cross-builds the updater for an ARM device on a Debian 12 machine.
#
#   scripts/cross-build.sh arm64|armhf [options]
#
#   --build-dir DIR      build folder (default: build-arm64 or build-armhf of the tree)
#   --build-type TYPE    CMake build type (default: RelWithDebInfo)
#   --test               build the unit tests too and run them, under qemu user emulation
#                        (without it, only the program is built)
#   --jobs N             parallel jobs (default: the number of processors)
#   --no-werror          report compiler warnings without failing the build (by default
#                        they are errors, as in CI: the cross compilers are fixed)
#
# The compilers are Debian's cross compilers (g++-aarch64-linux-gnu,
# g++-arm-linux-gnueabihf); the ARM libraries come from a sysroot of Debian's ARM packages
# that mmdebstrap unpacks into DIR/sysroot (nothing is installed on the host, whose rpm
# packages could not coexist with ARM ones). The sysroot is made once and used again while
# DIR/sysroot.stamp matches the architecture, the package list and the apt sources.
# The sources are the machine's own Debian sources (/etc/apt/sources.list.d/debian.sources
# or /etc/apt/sources.list); UPDATER_SYSROOT_SOURCES=FILE names another file.
# Built programs run through qemu-aarch64-static / qemu-arm-static -L DIR/sysroot.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0" >&2
    exit 2
}

[ $# -ge 1 ] || usage
target=$1
shift
case "$target" in
    arm64) triple=aarch64-linux-gnu ;;
    armhf) triple=arm-linux-gnueabihf ;;
    -h|--help) usage ;;
    *) echo "cross-build.sh: unknown target '$target' (arm64 or armhf)" >&2; usage ;;
esac

builddir="$root/build-$target"
buildtype=RelWithDebInfo
run_tests=0
jobs=$(nproc 2>/dev/null || echo 2)
werror=ON
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) builddir=$(mkdir -p "$2" && cd "$2" && pwd); shift 2 ;;
        --build-type) buildtype=$2; shift 2 ;;
        --test) run_tests=1; shift ;;
        --jobs) jobs=$2; shift 2 ;;
        --no-werror) werror=OFF; shift ;;
        -h|--help) usage ;;
        *) echo "cross-build.sh: unknown argument '$1'" >&2; usage ;;
    esac
done

for tool in "$triple-g++" mmdebstrap "qemu-$( [ "$target" = arm64 ] && echo aarch64 || echo arm )-static"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "cross-build.sh: $tool not found (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
done

# What the build and the unit tests need from the target's Debian.
packages=librpm-dev,libneon27-gnutls-dev,libgnutls28-dev,libxml2-dev,libpopt-dev,zlib1g-dev,libgtest-dev,libgmock-dev,libstdc++-12-dev,libc6-dev

sources=${UPDATER_SYSROOT_SOURCES:-}
if [ -z "$sources" ]; then
    for candidate in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
        if [ -s "$candidate" ]; then sources=$candidate; break; fi
    done
fi
if [ -z "$sources" ] || [ ! -s "$sources" ]; then
    echo "cross-build.sh: no Debian apt sources found (set UPDATER_SYSROOT_SOURCES)" >&2
    exit 1
fi

sysroot="$builddir/sysroot"
stamp="$builddir/sysroot.stamp"
wanted="$target bookworm pruned $packages $(sha256sum < "$sources" | cut -d' ' -f1)"
mkdir -p "$builddir"
if [ ! -d "$sysroot" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    echo "cross-build.sh: making the $target sysroot in $sysroot" >&2
    rm -rf "$sysroot" "$sysroot.new" "$stamp"
    # Unpacked only (no maintainer scripts, no emulation); renamed when complete so an
    # interrupted run never leaves a half sysroot that looks finished.
    mmdebstrap --quiet --variant=extract --arch="$target" --include="$packages" \
        bookworm "$sysroot.new" "$sources"
    # qemu looks up every absolute path in the sysroot first: its device nodes and empty
    # system folders would hide the machine's own (/dev/null, /tmp, /proc).
    rm -rf "$sysroot.new"/{dev,proc,run,sys,tmp,var,home,root}
    mv "$sysroot.new" "$sysroot"
    echo "$wanted" > "$stamp"
fi

cmake -S "$root" -B "$builddir" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$triple.cmake" \
    -DUPDATER_SYSROOT="$sysroot" \
    -DCMAKE_BUILD_TYPE="$buildtype" \
    -DUPDATER_BENCH=OFF \
    -DUPDATER_WERROR="$werror"
if [ "$run_tests" = 1 ]; then
    cmake --build "$builddir" -j"$jobs"
else
    cmake --build "$builddir" -j"$jobs" --target updater
fi

if [ "$run_tests" = 1 ]; then
    (cd "$builddir" && ctest -j"$jobs" -L unit --output-on-failure)
fi
echo "$builddir/src/updater/updater"

#!/bin/sh
# End-to-end benchmark: updater --check-only and a full installing run in a simulated
# device, next to xmllint --stream, rpmmd2solv and a cold dnf check-update, on generated
# repositories of 1,000, 10,000 and 50,000 packages (see e2e_bench.py and gen_e2e.py).
#
#   bench/bench_e2e.sh [BUILD_DIR] [RUNS] [SIZES] [SHAPES]
#
# BUILD_DIR (default build-bench; configured RelWithDebInfo, as the package is built, when
# it is new) is where the updater is built; RUNS (default 5) runs per tool; SIZES a
# comma-separated list (default 1000,10000,50000); SHAPES a comma-separated list of "base"
# (500 installed, 45 updates, one round) and "large" (900 installed, about 300 updates, a
# closure of six rounds that pull), default base. Needs root (the device uses mount
# namespaces). The updater logs at $BENCH_LOG_LEVEL (default info); with $BENCH_LOG_DIR, the
# output of its first run of each shape and size is kept there. $BENCH_TOOLS picks tools
# (default updater,full,xmllint,rpmmd2solv,dnf). The generated data is kept in $BENCH_WORK
# (default /var/tmp/updater-bench-e2e) for later runs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build=${1:-$source_dir/build-bench}
runs=${2:-5}
sizes=${3:-1000,10000,50000}
shapes=${4:-base}
work=${BENCH_WORK:-/var/tmp/updater-bench-e2e}

[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (simulated device)" >&2; exit 2; }

# The peers and tools the benchmark runs.
need=
for pair in xmllint:libxml2-utils rpmmd2solv:libsolv-tools dnf:dnf createrepo_c:createrepo-c \
            rpmbuild:rpm /usr/bin/time:time; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need="$need ${pair#*:}"
done
if [ -n "$need" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends $need >/dev/null
fi

[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target updater >/dev/null
mkdir -p "$work"
stage="$work/stage"
rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "versions: $(xmllint --version 2>&1 | head -1); libsolv-tools $(dpkg-query -W -f='${Version}' libsolv-tools); dnf $(dpkg-query -W -f='${Version}' dnf); rpm $(rpm --version | cut -d' ' -f3)"
exec /usr/bin/python3 "$here/e2e_bench.py" --stage "$stage" --work "$work" --sizes "$sizes" --shapes "$shapes" --runs "$runs" \
    ${BENCH_LOG_DIR:+--log-dir "$BENCH_LOG_DIR"} ${BENCH_LOG_LEVEL:+--log-level "$BENCH_LOG_LEVEL"} ${BENCH_TOOLS:+--tools "$BENCH_TOOLS"}

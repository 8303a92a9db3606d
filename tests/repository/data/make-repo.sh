#!/bin/sh
# Builds a small yum repository of real packages for the repository tests:
#   make-repo.sh REPODIR [ARCH]
# Packages go to REPODIR/packages/, the metadata (createrepo_c -s sha) to REPODIR/repodata/.
# The set covers several versions of one name, epochs, obsoletes, groups, noarch, the
# machine's own architecture (ARCH, by default uname -m; the tests pass rpm's, which differs
# under emulation) and one it cannot install (s390x, or x86_64 on s390x).
# Nothing outside REPODIR is written; the rpm database is never opened.
set -eu
[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 REPODIR [ARCH]" >&2; exit 2; }
repo=$1
mkdir -p "$repo/packages"
work=$(mktemp -d "${TMPDIR:-/tmp}/make-repo.XXXXXX")
trap 'rm -rf "$work"' EXIT

native=${2:-$(uname -m)}
foreign=s390x
[ "$native" = s390x ] && foreign=x86_64

# build NAME VERSION RELEASE ARCH [SPEC LINE]...
build() {
    name=$1 version=$2 release=$3 arch=$4
    shift 4
    spec="$work/$name-$version-$release.spec"
    {
        echo "Name: $name"
        echo "Version: $version"
        echo "Release: $release"
        echo "Summary: repository test package $name"
        echo "License: MIT"
        [ "$arch" = noarch ] && echo "BuildArch: noarch"
        for line in "$@"; do echo "$line"; done
        echo "%description"
        echo "Repository test package $name."
        echo "%files"
    } > "$spec"
    target=
    [ "$arch" != noarch ] && target="--target $arch"
    # shellcheck disable=SC2086
    rpmbuild -bb --quiet $target --define "_topdir $work/top" --define "_dbpath $work/db" \
        "$spec" >/dev/null 2>&1 || { echo "$0: rpmbuild of $name failed" >&2; exit 1; }
    find "$work/top/RPMS" -name "$name-$version-$release.*.rpm" -exec mv {} "$repo/packages/" \;
}

build alpha 1.0 1 noarch "Group: System/Base" "Provides: alpha-api = 1.0" "Requires: beta >= 2.0" \
    "Requires: /bin/sh"
build alpha 1.1 2 noarch "Group: System/Base" "Provides: alpha-api = 1.1" "Requires: beta >= 2.0" \
    "Requires(pre): /bin/sh" "Requires: gamma > 1:1.0" "Obsoletes: alpha-old < 1.0"
build beta 2.0 1 "$native" "Group: System/Libraries" "Provides: libbeta.so.2" "Provides: beta-api(x) = 2" \
    "Requires: alpha-api" "Obsoletes: beta-compat <= 1.9-9" "Obsoletes: betaold"
build gamma 1.5 2 noarch "Epoch: 3" "Group: Applications/Misc" "Provides: gamma-tool = 3:1.5-2" \
    "Provides: gammax < 2.0" "Provides: gammay > 0.5" "Requires: delta = 0.1" "Requires: rpmlib-like-tool"
build delta 0.1 1 noarch "Epoch: 1" "Requires: alpha < 5" "Requires: beta <= 4:9.9"
build foreign 1.0 1 "$foreign" "Group: System/Base" "Provides: foreign-cap"

createrepo_c -q -s sha "$repo" >/dev/null

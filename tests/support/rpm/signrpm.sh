#!/bin/sh
# Signs rpm packages in place with a key made by gpgkey.sh.
#   signrpm.sh GNUPGHOME NAME PACKAGE...
set -eu
[ $# -ge 3 ] || { echo "usage: $0 GNUPGHOME NAME PACKAGE..." >&2; exit 2; }
GNUPGHOME=$1; export GNUPGHOME
name=$2
shift 2
rpmsign --addsign --define "_gpg_name $name" --define "__gpg /usr/bin/gpg" \
        --define "_gpg_sign_cmd_extra_args --batch --pinentry-mode loopback --passphrase ''" \
        "$@" >/dev/null

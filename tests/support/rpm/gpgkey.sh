#!/bin/sh
# Creates a throwaway RSA signing key without a passphrase in a private keyring.
#   gpgkey.sh GNUPGHOME NAME PUBKEY_FILE
# GNUPGHOME is created (mode 700) when missing; the ASCII-armoured public key, ready for
# "rpm --import", is written to PUBKEY_FILE.
set -eu
[ $# -eq 3 ] || { echo "usage: $0 GNUPGHOME NAME PUBKEY_FILE" >&2; exit 2; }
GNUPGHOME=$1; export GNUPGHOME
name=$2
pubkey=$3
mkdir -p "$GNUPGHOME"
chmod 700 "$GNUPGHOME"
gpg --batch --quiet --pinentry-mode loopback --passphrase '' \
    --quick-generate-key "$name <$name@example.invalid>" rsa2048 sign never 2>/dev/null
gpg --batch --quiet --armor --export "$name" > "$pubkey"
[ -s "$pubkey" ] || { echo "$0: no public key exported for $name" >&2; exit 1; }

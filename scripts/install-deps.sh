#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  librpm-dev rpm rpm2cpio
  libneon27-gnutls-dev libgnutls28-dev
  libxml2-dev libxml2-utils libpopt-dev zlib1g-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  createrepo-c gnupg
  python3 python3-pytest python3-cryptography
  lighttpd lighttpd-mod-openssl tinyproxy openssl ca-certificates
  strace util-linux procps iproute2 psmisc
  clang clang-format-14 libclang-rt-14-dev
  libsolv-tools
  man-db groff-base
  systemd
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static mmdebstrap
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests start lighttpd and tinyproxy themselves, on free ports of 127.0.0.1 with
# configurations of their own: the host's services of the same packages are left as the
# host has them.

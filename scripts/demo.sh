#!/usr/bin/env bash
# Builds the updater and shows it at work on a simulated device (a throwaway root folder
# run in a private mount namespace; nothing on this machine changes): an installed base,
# a repository with newer versions served by lighttpd on 127.0.0.1, a check run and an
# update run, and what they left on the device.
# Run as root on Debian 12: bash scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target updater
stage=$PWD/build/demo-stage
rm -rf "$stage"
DESTDIR="$stage" cmake --install build --prefix /usr >/dev/null

UPDATER_STAGE="$stage" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 scripts/demo_device.py

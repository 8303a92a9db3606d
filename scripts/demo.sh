#!/usr/bin/env bash
# Builds the updater and shows it at work on a simulated device (a throwaway root folder
# run in a private mount namespace; nothing on this machine changes): its help, then a
# check-mode run against a local file: repository with one newer package.
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

#!/usr/bin/env bash
# Builds the tester and starts it: the Debian packages it needs, the
# transceiver's udev rule when none is installed, then the build.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/udev-rule.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target qz470-tester
exec build/src/ui/qz470-tester "$@"

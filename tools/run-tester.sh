#!/usr/bin/env bash
# Builds the tester and its companion qz470-probe, and starts the tester: the
# Debian packages the build needs, the transceiver's udev rule when none is
# installed, then the build. Arguments go to the tester.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/udev-rule.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target qz470-tester qz470-probe
exec build/src/ui/qz470-tester "$@"

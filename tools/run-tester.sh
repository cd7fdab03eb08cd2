#!/usr/bin/env bash
# Builds the tester and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target qz470-tester
exec build/src/ui/qz470-tester "$@"

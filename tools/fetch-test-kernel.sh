#!/usr/bin/env bash
# Unpacks Debian's current kernel package into DIR (default build-kernel), for
# the test that runs the link against real hidraw nodes under qemu. Prints the
# directory on success; prints nothing and exits 1 when no kernel can be had.
set -euo pipefail
dir=${1:-build-kernel}
if ls "$dir"/boot/vmlinuz-* >/dev/null 2>&1; then
  echo "$dir"
  exit 0
fi
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
[ -n "$package" ] || exit 1
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
(cd "$download" && apt-get download -qq "$package" >/dev/null 2>&1) || exit 1
mkdir -p "$dir"
dpkg-deb -x "$download"/"$package"_*.deb "$dir"
echo "$dir"

#!/usr/bin/env bash
# Unpacks Debian's current kernel package into DIR (default build-kernel), for
# the tests that run against a real kernel under qemu. Prints the directory on
# success; prints nothing and exits 1 when no kernel can be had. A kernel
# unpacked there before is kept while it is still the current one (or while
# apt cannot say which one is current), and replaced when a newer one came.
set -euo pipefail
dir=${1:-build-kernel}
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
if [ -n "$package" ]; then
  # The image inside is named after the package: vmlinuz-6.12.57+deb13-amd64.
  if [ -e "$dir/boot/vmlinuz-${package#linux-image-}" ]; then
    echo "$dir"
    exit 0
  fi
elif ls "$dir"/boot/vmlinuz-* >/dev/null 2>&1; then
  echo "$dir"
  exit 0
else
  exit 1
fi
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
(cd "$download" && apt-get download -qq "$package" >/dev/null 2>&1) || exit 1
mkdir -p "$dir"
rm -rf "$dir/boot" "$dir/lib" "$dir/usr"
dpkg-deb -x "$download"/"$package"_*.deb "$dir"
echo "$dir"

#!/usr/bin/env bash
# Renders the hicolor PNGs from the SVG sources (needs rsvg-convert, Debian
# package librsvg2-bin). The PNGs are committed, so the build does not need it.
# 16 and 24 pixels have their own drawings on the pixel grid; the larger sizes
# scale the main drawing.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
  source=qz470-tester.svg
  [ -f "qz470-tester-$size.svg" ] && source=qz470-tester-$size.svg
  mkdir -p "hicolor/${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" "$source" -o "hicolor/${size}x${size}/apps/qz470-tester.png"
done

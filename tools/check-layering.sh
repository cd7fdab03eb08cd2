#!/usr/bin/env bash
# Checks that the code keeps its layers apart. Usage: check-layering.sh [BUILD-DIR]
#
# - Logic (the files directly in src/<subsystem>/) includes no platform header
#   and none of our platform realisations (src/<subsystem>/<realisation>/).
# - Each subsystem includes only the subsystems below it: decode only common;
#   timer only common; link only common, decode and timer; keyboard only
#   common; the probe never ui or keyboard. Only the tester's ui may include
#   everything.
# - With a build folder: no logic library refers to a symbol of Qt, libudev,
#   X11, xkbcommon or the emulated-input libraries.
# Prints each violation and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-}
violations=0
fail() {
  echo "layering: $*"
  violations=$((violations + 1))
}

logic_subsystems=(common decode timer link keyboard)
# What each folder of ours may include, besides itself.
declare -A allowed=(
  [common]=""
  [decode]="common"
  [timer]="common"
  [link]="common decode timer"
  [keyboard]="common"
  [probe]="common decode timer link"
  [ui]="common decode timer link keyboard"
)
# Headers of the platform: Qt, X11, xkbcommon, libudev, D-Bus, terminals, the
# emulated-input libraries (libei, libeis, liboeffis), the Linux and POSIX
# system interfaces.
platform='^#include <(Q[A-Za-z]*|Qt[A-Za-z]*/.*|X11/.*|xkbcommon/.*|libudev\.h|dbus/.*|glib.*|gio/.*|n?curses\.h|term\.h|termios\.h|pty\.h|linux/.*|sys/.*|unistd\.h|fcntl\.h|poll\.h|signal\.h|dlfcn\.h|libevdev/.*|libeis?\.h|liboeffis\.h)>'

for folder in src/*/; do
  subsystem=$(basename "$folder")
  [[ -v "allowed[$subsystem]" ]] || { fail "$folder: a folder the check does not know; add its rule"; continue; }
  while IFS= read -r file; do
    relative=${file#src/"$subsystem"/}
    is_logic=0
    [[ "$relative" != */* && " ${logic_subsystems[*]} " == *" $subsystem "* ]] && is_logic=1
    while IFS= read -r line; do
      if [[ "$line" =~ ^#include\ \"([a-z_]+)/([^\"]*)\" ]]; then
        target=${BASH_REMATCH[1]}
        rest=${BASH_REMATCH[2]}
        if [ "$target" != "$subsystem" ] && [[ " ${allowed[$subsystem]} " != *" $target "* ]]; then
          fail "$file: $subsystem may not include $target ($line)"
        fi
        if [ "$is_logic" = 1 ] && [[ "$rest" == */* ]]; then
          fail "$file: logic includes a platform realisation ($line)"
        fi
      elif [ "$is_logic" = 1 ] && [[ "$line" =~ $platform ]]; then
        fail "$file: logic includes a platform header ($line)"
      fi
    done < <(grep -E '^#include' "$file" || true)
  done < <(find "$folder" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
done

if [ -n "$build" ]; then
  [ -d "$build/src" ] || { echo "layering: no build folder at $build"; exit 2; }
  checked=0
  for subsystem in "${logic_subsystems[@]}"; do
    # The logic library and its fakes sit in the subsystem's own build folder;
    # realisations are built in subfolders.
    for library in "$build/src/$subsystem"/*.a; do
      [ -e "$library" ] || continue
      checked=$((checked + 1))
      # Undefined symbols that belong to Qt (C++ names of Q classes, qt_ and
      # q-prefixed helpers), libudev, X11, xkbcommon, libei, libeis or liboeffis.
      foreign=$(nm -u -C "$library" 2>/dev/null | awk '{print $NF}' \
        | grep -E '^(Q[A-Z][A-Za-z]*::|QT?[A-Z][a-z]|qt_|q[A-Z][a-z]|udev_|X[A-Z][a-z]|_X[A-Z]|xkb_|eis?_|oeffis_)|[^A-Za-z_]Q[A-Z][a-z]+[A-Za-z]*::' \
        | sort -u | head -n 5 || true)
      [ -z "$foreign" ] || fail "$library refers to platform symbols: $(echo "$foreign" | tr '\n' ' ')"
    done
  done
  [ "$checked" -gt 0 ] || fail "no logic libraries found under $build/src"
fi

if [ "$violations" -gt 0 ]; then
  echo "layering: $violations violation(s)"
  exit 1
fi
echo "layering: ok"

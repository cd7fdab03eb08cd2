#!/usr/bin/env bash
# Checks that the code keeps its layers apart. Usage: check-layering.sh [BUILD-DIR]
#
# Every folder of our code (src/ and the fakes in tests/fakes) has a kind, and
# may include, besides itself, only the folders the table below names for it:
#   logic        includes no platform header, and none of our realisations
#                or I/O: it gets the platform through an interface;
#   realisation  a platform realisation of the logic in the folder above it:
#                platform headers, that folder, and its other realisations;
#   io           I/O: platform headers allowed;
#   command      one command of a program: its logic, held to the rules of
#                logic, and its command files (<name>_command.*), which do
#                the I/O and may also include what the "io" column names and
#                the command folder's own realisations;
#   program      wires a program together.
# A subfolder the table does not name is a realisation of its parent (so a new
# realisation folder, such as another key sink, needs no line); any other
# folder must be named. Folders are named as our includes name them: src/ and
# tests/ left out.
#
# With a build folder: no logic library (the libraries built from a logic
# folder, and a command folder's libraries but its *_command one) refers to a
# symbol of Qt, libudev, X11, xkbcommon or the emulated-input libraries.
# Prints each violation and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-}
violations=0
fail() {
  echo "layering: $*"
  violations=$((violations + 1))
}

# folder             kind      may include (a pattern may end in /*)
model='
src/common           logic     -
src/decode           logic     common
src/timer            logic     common
src/link             logic     common decode timer
src/keyboard         logic     common
src/ui               program   common decode timer timer/* link link/* keyboard keyboard/* ui/*
src/probe            program   common decode timer link link/* probe/*
src/probe/core       logic     common decode timer link
src/probe/io         io        common decode timer link link/hidraw probe/core
src/probe/list       command   common decode timer link probe/core
src/probe/watch      command   common decode timer link probe/core
src/probe/led        command   common decode timer link probe/core
src/probe/check      command   common decode timer link probe/core
src/probe/emulate    command   common decode timer link probe/core
src/probe/serve      command   common decode timer link probe/core
tests/fakes          logic     common decode timer link keyboard
'
# A command that is I/O throughout is a folder of kind io:
#   src/probe/NAME   io        common decode timer link link/hidraw probe/core probe/io

# What a command file may include besides what its command folder may.
command_io='link/hidraw probe/io'

# Headers of the platform: Qt, X11, xkbcommon, libudev, D-Bus, terminals, the
# Linux and POSIX system interfaces, libevdev, the emulated-input libraries
# (libei, libeis, liboeffis). One pattern a line.
platform_headers=(
  'Q[A-Za-z]*' 'Qt[A-Za-z]*/.*'
  'X11/.*' 'xkbcommon/.*'
  'libudev\.h'
  'dbus/.*' 'glib.*' 'gio/.*'
  'n?curses\.h' 'term\.h' 'termios\.h' 'pty\.h'
  'linux/.*' 'sys/.*' 'unistd\.h' 'fcntl\.h' 'poll\.h' 'signal\.h' 'dlfcn\.h'
  'libevdev/.*'
  'libeis?\.h' 'liboeffis\.h'
)
platform="^#include <($(IFS='|'; echo "${platform_headers[*]}"))>"

declare -A kind allowed
while read -r folder folderKind folderAllowed; do
  [ -n "$folder" ] || continue
  kind[$folder]=$folderKind
  allowed[$folder]=${folderAllowed/#-/}
done <<<"$model"

# The kind and the allowed includes of a folder, into $k and $a; false for a
# folder the model does not know.
describe() {
  local folder=$1 parent=${1%/*}
  if [[ -v "kind[$folder]" ]]; then
    k=${kind[$folder]} a=${allowed[$folder]}
  elif [[ -v "kind[$parent]" && ${kind[$parent]} != realisation ]]; then
    local name=${parent#src/}
    k=realisation a="${allowed[$parent]} $name $name/*"
  else
    return 1
  fi
}

# Whether `target` (a folder of ours, as included: "link/hidraw") matches one
# of the patterns in `list`.
matches() {
  local target=$1 pattern
  for pattern in $2; do
    # shellcheck disable=SC2053 # the pattern is a glob on purpose
    [[ $target == $pattern ]] && return 0
  done
  return 1
}

declare -A unknown
while IFS= read -r file; do
  folder=$(dirname "$file")
  if ! describe "$folder"; then
    [[ -v "unknown[$folder]" ]] || fail "$folder: a folder the check does not know; add its line to the model"
    unknown[$folder]=1
    continue
  fi
  # The folder as our includes name it: "link/hidraw", "fakes".
  own=${folder#src/}
  own=${own#tests/}
  fileKind=$k
  fileAllowed="$a"
  if [ "$k" = command ]; then
    fileKind=logic
    if [[ $(basename "$file") == *_command.* ]]; then
      fileKind=io
      fileAllowed="$a $command_io $own/*"
    fi
  fi
  while IFS= read -r line; do
    if [[ "$line" =~ ^#include\ \"(([a-z_0-9]+/)*[a-z_0-9]+)/[a-z_0-9]+\.h\" ]]; then
      target=${BASH_REMATCH[1]}
      if [ "$target" != "$own" ] && ! matches "$target" "$fileAllowed"; then
        fail "$file: $own may not include $target ($line)"
      elif [ "$fileKind" = logic ] && [[ "$line" == *_command.h\" ]]; then
        fail "$file: logic includes a command file ($line)"
      fi
    elif [ "$fileKind" = logic ] && [[ "$line" =~ $platform ]]; then
      fail "$file: logic includes a platform header ($line)"
    fi
  done < <(grep -E '^#include' "$file" || true)
done < <(find src tests/fakes -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

if [ -n "$build" ]; then
  [ -d "$build/src" ] || { echo "layering: no build folder at $build"; exit 2; }
  checked=0
  for folder in "${!kind[@]}"; do
    [ "${kind[$folder]}" = logic ] || [ "${kind[$folder]}" = command ] || continue
    # A folder's libraries sit in its own build folder; its realisations are
    # built in subfolders.
    for library in "$build/$folder"/*.a; do
      [ -e "$library" ] || continue
      [[ "${kind[$folder]}" == command && "$library" == *_command.a ]] && continue
      checked=$((checked + 1))
      # Undefined symbols that belong to Qt (C++ names of Q classes, qt_ and
      # q-prefixed helpers), libudev, X11, xkbcommon, libei, libeis or liboeffis.
      foreign=$(nm -u -C "$library" 2>/dev/null | awk '{print $NF}' \
        | grep -E '^(Q[A-Z][A-Za-z]*::|QT?[A-Z][a-z]|qt_|q[A-Z][a-z]|udev_|X[A-Z][a-z]|_X[A-Z]|xkb_|eis?_|oeffis_)|[^A-Za-z_]Q[A-Z][a-z]+[A-Za-z]*::' \
        | sort -u | head -n 5 || true)
      [ -z "$foreign" ] || fail "$library refers to platform symbols: $(echo "$foreign" | tr '\n' ' ')"
    done
  done
  [ "$checked" -gt 0 ] || fail "no logic libraries found under $build"
fi

if [ "$violations" -gt 0 ]; then
  echo "layering: $violations violation(s)"
  exit 1
fi
echo "layering: ok"

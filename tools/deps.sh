#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and packaging need, when
# missing. Run by the other scripts; safe to run again. Proven by CI on
# Debian 12 and Debian 13, from a minimal system (debootstrap --variant=minbase).
#
# How the names in QZ_PACKAGES are read:
# - NAME@13+ is wanted on Debian 13 and later only, NAME@12 on Debian 12 only:
#   for what one release has and the other lacks. A release this script does
#   not know (Debian testing, a derivative) counts as newer than all it knows.
# - {clang} stands for the major version of the clang that the package clang
#   brings on this release (apt-cache depends clang: clang-19 gives 19), for
#   names that carry a version: libclang-rt-{clang}-dev.
# - A name that apt knows only as provided by another package (qt6-base-dev
#   provides libqt6opengl6-dev on Debian 13) stands for that package.
# A name that apt does not know is named, with the others, in one line, and
# everything else is installed all the same. On Debian 12 and 13 that is a
# fault of this list, and the exit status is 1; elsewhere it is 0.
set -euo pipefail

QZ_PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config git clang clang-format libclang-rt-{clang}-dev
  qt6-base-dev libqt6opengl6-dev qt6-base-dev-tools libudev-dev libx11-dev libxkbcommon-dev
  libxkbcommon-x11-dev libxcb1-dev libxcb-xkb-dev libxcb-xtest0-dev libevdev-dev
  libcli11-dev nlohmann-json3-dev
  libncurses-dev # qz470-probe check's screen
  libboost-dev # qz470-probe serve's HTTP and WebSocket server (Beast)
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev dbus-daemon procps
  tmux # a real terminal for qz470-probe check's tests
  groff-base # man, for the probe's manual page test
  chromium chromium-driver python3-selenium # qz470-probe serve's page in a browser
  xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-xkb-utils xauth xdotool
  imagemagick fonts-liberation desktop-file-utils appstream
  # the test VM (tests/support/vm): the kernel package's modules come as .ko.xz or .ko.zst
  qemu-system-x86 busybox-static xz-utils zstd
  # the Wayland desktop inside the test VM (tests/ui/wayland)
  weston xwayland wev xkb-data libinput-bin acl
  # typing through the desktop's emulated-input server (libei), from Debian 13 on: the sink, the
  # test EIS server, the portal's real frontend and permission store, and GNOME's and KDE's
  # compositors headless (kwin-common holds KWin's EIS plug-in)
  libei-dev@13+ libeis-dev@13+ xdg-desktop-portal@13+ mutter@13+ kwin-wayland@13+ kwin-common@13+
  # packaging: CPack's .deb generator (file, dpkg-shlibdeps), and lintian on what it makes
  file dpkg-dev lintian
  # run time
  qt6-qpa-plugins libqt6widgets6 libqt6dbus6 udev
)

known_releases=" 12 13 "
release=$(
  . /etc/os-release 2>/dev/null || true
  [ "${ID:-}" = debian ] && echo "${VERSION_ID:-}"
) || true
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# The names wanted on this release, {clang} still in them.
wanted=()
for entry in "${QZ_PACKAGES[@]}"; do
  name=${entry%@*}
  if [ "$name" != "$entry" ]; then
    condition=${entry#*@}
    if [ "${condition%+}" != "$condition" ]; then
      [ -z "$release" ] || [ "$release" -ge "${condition%+}" ] || continue
    else
      [ "$release" = "$condition" ] || continue
    fi
  fi
  wanted+=("$name")
done

# clang's major version: from the installed clang, else from apt.
clang_version() {
  local depends
  depends=$(dpkg-query -W -f='${Depends}' clang 2>/dev/null || apt-cache depends clang 2>/dev/null || true)
  grep -o 'clang-[0-9][0-9]*' <<<"$depends" | head -n 1 | sed 's/clang-//'
}
expand() {
  local version="" name
  for name in "$@"; do
    if [[ "$name" == *"{clang}"* ]]; then
      [ -n "$version" ] || version=$(clang_version)
      [ -n "$version" ] || { echo "$name"; continue; }
      name=${name//\{clang\}/$version}
    fi
    echo "$name"
  done
}
# The names among the arguments that dpkg has installed.
installed() {
  { dpkg-query -W -f='${db:Status-Status} ${Package}\n' "$@" 2>/dev/null || true; } | awk '$1 == "installed" { print $2 }'
}
# Those of the arguments that are not installed.
not_installed() {
  local have
  have=" $(installed "$@" | tr '\n' ' ') "
  for name in "$@"; do
    [[ "$have" == *" $name "* ]] || echo "$name"
  done
}
# NAME as apt can install it: itself, the package that provides it, or
# nothing when apt does not know it.
resolve() {
  if [ -n "$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -vx '(none)')" ]; then
    echo "$1"
  else
    apt-cache showpkg "$1" 2>/dev/null | sed -n '/^Reverse Provides:/,$p' | sed 1d | awk 'NF { print $1; exit }'
  fi
}

mapfile -t missing < <(not_installed $(expand "${wanted[@]}"))
[ ${#missing[@]} -gt 0 ] || exit 0

# Names that apt knows only through a provider are settled without apt-get
# update when the provider is installed already (a virtual name is never
# installed itself).
mapfile -t missing < <(
  for name in "${missing[@]}"; do
    provider=$([[ "$name" == *"{"* ]] || resolve "$name")
    if [ -n "$provider" ] && [ "$provider" != "$name" ] && [ -z "$(not_installed "$provider")" ]; then
      continue
    fi
    echo "$name"
  done
)
[ ${#missing[@]} -gt 0 ] || exit 0

if [ -n "$SUDO" ] && ! command -v sudo >/dev/null; then
  some="${missing[*]:0:3}"
  [ ${#missing[@]} -le 3 ] || some="$some and $((${#missing[@]} - 3)) more"
  echo "tools/deps.sh: the build needs packages that are not installed ($some); installing them needs root, and there is no sudo here: run the same command as root (su -), or install sudo and add yourself to the group sudo." >&2
  exit 1
fi
$SUDO apt-get update -qq
to_install=() unknown=()
for name in $(expand "${missing[@]}"); do
  provider=$([[ "$name" == *"{"* ]] || resolve "$name")
  if [ -z "$provider" ]; then
    unknown+=("$name")
  elif [ -n "$(not_installed "$provider")" ] && [[ " ${to_install[*]} " != *" $provider "* ]]; then
    to_install+=("$provider")
  fi
done
status=0
if [ ${#unknown[@]} -gt 0 ]; then
  echo "deps.sh: apt knows no package ${unknown[*]} on this release ($(. /etc/os-release 2>/dev/null; echo "${PRETTY_NAME:-unknown}")); going on without."
  [[ "$known_releases" != *" $release "* ]] || status=1
fi
if [ ${#to_install[@]} -gt 0 ]; then
  echo "Installing: ${to_install[*]}"
  # Another apt (a test that installs the package) may hold the lock for a while.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends \
    "${to_install[@]}" || status=1
fi
exit $status

#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Sourced or run by the other scripts; safe to run again.
set -euo pipefail

QZ_PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config clang clang-format libclang-rt-14-dev
  qt6-base-dev libqt6opengl6-dev qt6-base-dev-tools libudev-dev libx11-dev libxkbcommon-dev
  libxkbcommon-x11-dev libxcb1-dev libxcb-xkb-dev libxcb-xtest0-dev libevdev-dev
  libcli11-dev nlohmann-json3-dev
  libncurses-dev # qz470-probe check's screen
  libboost-dev # qz470-probe serve's HTTP and WebSocket server (Beast)
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev dbus-daemon
  tmux # a real terminal for qz470-probe check's tests
  chromium chromium-driver python3-selenium # qz470-probe serve's page in a browser
  xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils x11-xkb-utils xauth xdotool
  imagemagick fonts-liberation desktop-file-utils appstream
  qemu-system-x86 busybox-static
  # the Wayland desktop inside the test VM (tests/ui/wayland)
  weston xwayland wev xkb-data libinput-bin acl
  # run time
  qt6-qpa-plugins libqt6widgets6 libqt6dbus6 udev
)

missing=()
for p in "${QZ_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

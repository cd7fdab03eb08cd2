#!/usr/bin/env bash
# Lets the person at the computer open a plugged-in transceiver without root,
# for a tester built from source: when no rules directory holds the
# transceiver's udev rule, installs the file the package ships into
# /etc/udev/rules.d, then udev reloads its rules and replays the events of the
# hidraw devices present, as the package's postinst does. Says so in one line;
# silent when the rule is there (the package's, an install from source's, or
# a copy). Run by tools/run-tester.sh; a failure here never stops it, since
# the tester runs without the rule too (it then names the fix itself).
set -uo pipefail

name=60-qz470-tester.rules
rule=$(dirname "$0")/../packaging/$name
target=/etc/udev/rules.d/$name
me=$(basename "$0")

for dir in /etc/udev/rules.d /run/udev/rules.d /usr/local/lib/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d; do
  [ -e "$dir/$name" ] && exit 0
done

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "$me: the transceiver's udev rule is not installed, and there is no sudo to install it: as root, copy packaging/$name to /etc/udev/rules.d/ (until then only root may open the transceiver)."
    exit 0
  fi
  SUDO=(sudo)
fi
if ! "${SUDO[@]}" install -D -m 644 "$rule" "$target"; then
  echo "$me: could not install the transceiver's udev rule as $target (until it is there, only root may open the transceiver)."
  exit 0
fi
# Where udev is not running (a container, a chroot) there is nothing to
# reload; udev reads the rule when it starts.
if [ ! -S /run/udev/control ]; then
  applied="udev is not running here, so it applies once udev starts"
elif "${SUDO[@]}" udevadm control --reload-rules 2>/dev/null &&
  "${SUDO[@]}" udevadm trigger --subsystem-match=hidraw --action=change 2>/dev/null; then
  applied="udev applied it to the transceiver if it is plugged in"
else
  applied="udev could not apply it at once, so replug the transceiver"
fi
echo "$me: installed the transceiver's udev rule as $target, so that you may open the transceiver without root; $applied. To remove it: sudo rm $target && sudo udevadm control --reload-rules"

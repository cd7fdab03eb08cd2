#!/usr/bin/env bash
# A package's postinst and postrm, run as dpkg runs them, with a stand-in
# udevadm (and modprobe) that records its calls: where udev runs they reload
# the rules and replay the events of the package's devices (given as the
# arguments of udevadm trigger), and load the module those devices need when
# it is not loaded yet; where udev does not run, or where the tools fail or
# are missing, they do nothing and still succeed, so that installing and
# removing never fail because of udev. The "udev runs" case needs udev's
# control socket in /run, and the "module loaded" case the module's device in
# /sys, so everything runs in a private mount namespace.
#
# Usage: maintainer_scripts_test.sh SCRIPTS_DIR "TRIGGER_ARGUMENTS" [MODULE MISC_DEVICE]
#   the main package:  packaging "--subsystem-match=hidraw --action=change"
#   the uinput rule:   packaging/wayland-keys "--subsystem-match=misc --sysname-match=uinput --action=change" uinput uinput
set -euo pipefail

. "$(dirname "$0")/lib.sh"

dir=$(readlink -f "$1")
trigger=$2
module=${3:-}
misc_device=${4:-}

if [ "${QZ_SCRIPTS_SANDBOX:-}" != 1 ]; then
  for tool in unshare mount perl; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  if [ "$(id -u)" -eq 0 ]; then
    ns=(unshare --mount --propagation private)
  else
    ns=(unshare --map-root-user --mount --propagation private)
  fi
  "${ns[@]}" true 2>/dev/null || skip "cannot create a private mount namespace here"
  exec env QZ_SCRIPTS_SANDBOX=1 "${ns[@]}" bash "$0" "$@"
fi

# ---- inside the namespace ----
mount -n -t tmpfs qz-run /run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/nobin"
for tool in udevadm modprobe; do
  cat >"$work/bin/$tool" <<FAKE
#!/bin/sh
echo "$tool \$*" >>"\$QZ_UDEVADM_LOG"
exit "\${QZ_UDEVADM_STATUS:-0}"
FAKE
  chmod 755 "$work/bin/$tool"
done

udev_running() {
  mkdir -p /run/udev
  perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => "/run/udev/control", Listen => 1) or die "$!\n"'
}
udev_stopped() {
  rm -rf /run/udev
}
# The module's device in /sys: there (loaded) or not.
misc=/sys/devices/virtual/misc
module_loaded() {
  mount -n -t tmpfs qz-misc "$misc"
  mkdir "$misc/$misc_device"
}
module_unloaded() {
  umount -n "$misc" 2>/dev/null || true
  mount -n -t tmpfs qz-misc "$misc"
}

failures=0
# run SCRIPT ARG PATH_DIR UDEVADM_STATUS EXPECTED_CALLS(one per line, or empty)
run() {
  local script=$1 arg=$2 pathdir=$3 status=$4 want=$5 got rc=0
  : >"$work/log"
  env -i PATH="$pathdir" QZ_UDEVADM_LOG="$work/log" QZ_UDEVADM_STATUS="$status" \
    /bin/sh "$dir/$script" "$arg" >"$work/out" 2>&1 || rc=$?
  got=$(cat "$work/log")
  local tool="tools exit $status"
  [ -x "$pathdir/udevadm" ] || tool="no tools"
  local loaded=""
  [ -z "$module" ] || loaded=", $module $([ -e "$misc/$misc_device" ] && echo loaded || echo not loaded)"
  local what="$script $arg (udev $([ -S /run/udev/control ] && echo running || echo stopped), $tool$loaded)"
  if [ "$rc" -ne 0 ]; then
    echo "FAIL: $what: exit status $rc"
    sed 's/^/    /' "$work/out"
    failures=$((failures + 1))
  elif [ "$got" != "$want" ]; then
    echo "FAIL: $what: udevadm calls"
    echo "  want: ${want:-(none)}"
    echo "  got:  ${got:-(none)}"
    failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}

reload_and_trigger="udevadm control --reload-rules
udevadm trigger $trigger"
# What postinst does where udev runs: with a module, also loads it when its
# device is not there yet (udev applies a static node rule only at its start).
install_calls=$reload_and_trigger
if [ -n "$module" ]; then
  [ -d "$misc" ] || skip "no $misc to stand in for"
  module_unloaded
  install_calls="udevadm control --reload-rules
modprobe -q $module
udevadm trigger $trigger"
fi

for script in postinst postrm; do
  [ -x "$dir/$script" ] || {
    echo "FAIL: $dir/$script is missing or not executable"
    failures=$((failures + 1))
  }
done

udev_running
run postinst configure "$work/bin" 0 "$install_calls"
run postinst configure "$work/bin" 1 "$install_calls"
run postinst configure "$work/nobin" 0 ""
run postinst abort-upgrade "$work/bin" 0 ""
run postrm remove "$work/bin" 0 "$reload_and_trigger"
run postrm purge "$work/bin" 1 "$reload_and_trigger"
run postrm upgrade "$work/bin" 0 ""
if [ -n "$module" ]; then
  module_loaded
  run postinst configure "$work/bin" 0 "$reload_and_trigger"
  module_unloaded
fi
udev_stopped
run postinst configure "$work/bin" 0 ""
run postrm remove "$work/bin" 0 ""
run postrm purge "$work/bin" 0 ""

finish "maintainer scripts behave with and without udev"

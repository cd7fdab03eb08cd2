#!/usr/bin/env bash
# The package's postinst and postrm, run as dpkg runs them, with a stand-in
# udevadm that records its calls: where udev runs they reload the rules and
# replay the hidraw devices; where it does not, or where udevadm fails or is
# missing, they do nothing and still succeed, so that installing and removing
# never fail because of udev. The "udev runs" case needs udev's control socket
# in /run, so everything runs in a private mount namespace with its own /run.
#
# Usage: maintainer_scripts_test.sh PACKAGING_DIR
set -euo pipefail

. "$(dirname "$0")/lib.sh"

dir=$(readlink -f "$1")

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
cat >"$work/bin/udevadm" <<'FAKE'
#!/bin/sh
echo "udevadm $*" >>"$QZ_UDEVADM_LOG"
exit "${QZ_UDEVADM_STATUS:-0}"
FAKE
chmod 755 "$work/bin/udevadm"

udev_running() {
  mkdir -p /run/udev
  perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => "/run/udev/control", Listen => 1) or die "$!\n"'
}
udev_stopped() {
  rm -rf /run/udev
}

failures=0
# run SCRIPT ARG PATH_DIR UDEVADM_STATUS EXPECTED_CALLS(one per line, or empty)
run() {
  local script=$1 arg=$2 pathdir=$3 status=$4 want=$5 got rc=0
  : >"$work/log"
  env -i PATH="$pathdir" QZ_UDEVADM_LOG="$work/log" QZ_UDEVADM_STATUS="$status" \
    /bin/sh "$dir/$script" "$arg" >"$work/out" 2>&1 || rc=$?
  got=$(cat "$work/log")
  local tool="udevadm exits $status"
  [ -x "$pathdir/udevadm" ] || tool="no udevadm"
  local what="$script $arg (udev $([ -S /run/udev/control ] && echo running || echo stopped), $tool)"
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

reload_and_trigger='udevadm control --reload-rules
udevadm trigger --subsystem-match=hidraw --action=change'

for script in postinst postrm; do
  [ -x "$dir/$script" ] || {
    echo "FAIL: $dir/$script is missing or not executable"
    failures=$((failures + 1))
  }
done

udev_running
run postinst configure "$work/bin" 0 "$reload_and_trigger"
run postinst configure "$work/bin" 1 "$reload_and_trigger"
run postinst configure "$work/nobin" 0 ""
run postinst abort-upgrade "$work/bin" 0 ""
run postrm remove "$work/bin" 0 "$reload_and_trigger"
run postrm purge "$work/bin" 1 "$reload_and_trigger"
run postrm upgrade "$work/bin" 0 ""
udev_stopped
run postinst configure "$work/bin" 0 ""
run postrm remove "$work/bin" 0 ""
run postrm purge "$work/bin" 0 ""

finish "maintainer scripts behave with and without udev"

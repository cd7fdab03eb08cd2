#!/usr/bin/env bash
# Runs udev's own rules engine with one of our rules on emulated devices: an
# umockdev test bed for `udevadm test` (which devices get the "uaccess" tag),
# and udevd itself for the static nodes it sets up when it starts. CASES_FILE
# (under udev_cases/) describes the devices and what each must get. Everything
# runs in a private mount namespace with only this rule (and the system's seat
# rule, to show that it sees the tag) in the rules directory, and with /dev
# and /run on scratch file systems, because udev writes its database and
# /dev/char links just as for a real event.
#
# Usage: udev_rule_test.sh RULES_FILE CASES_FILE
set -euo pipefail

. "$(dirname "$0")/lib.sh"

rule=$(readlink -f "$1")
cases=$(readlink -f "$2")
[ -f "$rule" ] || { echo "FAIL: no rules file $1"; exit 1; }
[ -f "$cases" ] || { echo "FAIL: no cases file $2"; exit 1; }

if [ "${QZ_UDEV_SANDBOX:-}" != 1 ]; then
  for tool in udevadm umockdev-run unshare mount; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  if [ "$(id -u)" -eq 0 ]; then
    ns=(unshare --mount --propagation private)
  else
    ns=(unshare --map-root-user --mount --propagation private)
  fi
  "${ns[@]}" true 2>/dev/null || skip "cannot create a private mount namespace here"
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  QZ_UDEV_SANDBOX=1 QZ_SCRATCH="$scratch" "${ns[@]}" bash "$0" "$rule" "$cases"
  exit $?
fi

# ---- inside the namespace from here on ----
scratch=$QZ_SCRATCH
seat_rule=/usr/lib/udev/rules.d/73-seat-late.rules
[ -f "$seat_rule" ] || seat_rule=/lib/udev/rules.d/73-seat-late.rules

mkdir "$scratch/rules" "$scratch/empty" "$scratch/dev"
cp "$rule" "$scratch/rules/"
have_seat=0
if [ -f "$seat_rule" ]; then
  cp "$seat_rule" "$scratch/rules/"
  have_seat=1
fi

# Every directory udev reads rules from: ours replaces the system one, the rest are emptied.
for dir in /etc/udev/rules.d /run/udev/rules.d /usr/local/lib/udev/rules.d /lib/udev/rules.d /usr/lib/udev/rules.d; do
  [ -d "$dir" ] && mount -n --bind "$scratch/empty" "$dir"
done
mount -n --bind "$scratch/rules" "$(readlink -f /usr/lib/udev/rules.d 2>/dev/null || echo /lib/udev/rules.d)"
mount -n -t tmpfs qz-run /run
# A /dev with just the basic nodes, so that udev's /dev/char links land in scratch.
for node in null zero full random urandom tty; do
  if [ -e "/dev/$node" ]; then
    : >"$scratch/dev/$node"
    mount -n --bind "/dev/$node" "$scratch/dev/$node"
  fi
done
# umockdev makes the device nodes from pseudo-terminals: a private devpts instance.
mkdir "$scratch/dev/pts" "$scratch/dev/shm"
mount -n -t devpts -o newinstance,ptmxmode=0666,mode=0620 qz-pts "$scratch/dev/pts"
ln -s pts/ptmx "$scratch/dev/ptmx"
mount -n --rbind "$scratch/dev" /dev

failures=0
# expect DEVICE_UNDER_/sys  yes|no  WHAT
# (the devices come from $scratch/devices.umockdev, which the cases file writes)
expect() {
  local sys=$1 want=$2 what=$3 out tags run
  out=$(umockdev-run -d "$scratch/devices.umockdev" -- udevadm test --action=add "$sys" 2>&1) || {
    echo "FAIL: udevadm test $sys did not run:"
    echo "$out" | tail -20
    failures=$((failures + 1))
    return
  }
  # systemd 252 prints the properties at the start of a line and each
  # program to run as "run: 'uaccess'"; systemd 257 indents the properties
  # under "Properties:" and lists "RUN{builtin} : uaccess" under "Queued
  # commands:".
  if ! grep -Eq '^ *DEVPATH=' <<<"$out"; then
    echo "FAIL: udevadm test $sys printed no device:"
    echo "$out" | tail -20
    failures=$((failures + 1))
    return
  fi
  tags=no
  grep -Eq '^ *TAGS=.*:uaccess:' <<<"$out" && tags=yes
  run=no
  grep -Eq "^run: 'uaccess'|^ *RUN\{builtin\} *: *uaccess\$" <<<"$out" && run=yes
  if [ "$tags" != "$want" ]; then
    echo "FAIL: $what ($sys): uaccess tag expected '$want', got '$tags'"
    failures=$((failures + 1))
  elif [ "$have_seat" = 1 ] && [ "$run" != "$want" ]; then
    echo "FAIL: $what ($sys): the seat rule's uaccess step expected '$want', got '$run' (rule number not below 73?)"
    failures=$((failures + 1))
  else
    echo "ok: $what: uaccess=$tags"
  fi
}

# expect_static_nodes "NAME MAJOR MINOR yes|no WHAT"...
# Nodes that exist before their module loads (as kmod's static nodes do):
# udevd, when it starts, applies a rule's static_node= to them and exports
# their tags under /run/udev/static_node-tags, where logind finds them. One
# udevd start deals with all of them at once.
expect_static_nodes() {
  local entry name major minor want what got pid
  [ -x /lib/systemd/systemd-udevd ] || {
    echo "note: no systemd-udevd here; static nodes not checked"
    return
  }
  for entry in "$@"; do
    read -r name major minor want what <<<"$entry"
    mknod -m 600 "/dev/$name" c "$major" "$minor" 2>/dev/null || {
      echo "note: cannot make device nodes here (run as root to check static nodes)"
      rm -f /dev/"$name"
      return
    }
  done
  /lib/systemd/systemd-udevd >"$scratch/udevd.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    local waiting=0
    for entry in "$@"; do
      read -r name major minor want what <<<"$entry"
      [ "$want" = yes ] && [ ! -L "/run/udev/static_node-tags/uaccess/$name" ] && waiting=1
    done
    [ "$waiting" = 0 ] && break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  for entry in "$@"; do
    read -r name major minor want what <<<"$entry"
    got=no
    [ -L "/run/udev/static_node-tags/uaccess/$name" ] && got=yes
    rm -f "/dev/$name"
    if [ "$got" != "$want" ]; then
      echo "FAIL: $what: static node /dev/$name tagged uaccess expected '$want', got '$got'"
      sed 's/^/    /' "$scratch/udevd.log"
      failures=$((failures + 1))
    else
      echo "ok: $what: static node tagged uaccess=$got"
    fi
  done
}

. "$cases"

[ "$have_seat" = 1 ] || echo "note: no 73-seat-late.rules on this machine; checked the tag only"
finish "all udev rule checks passed"

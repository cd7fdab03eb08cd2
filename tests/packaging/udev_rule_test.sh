#!/usr/bin/env bash
# Runs udev's own rules engine (`udevadm test`) with the transceiver rule on
# emulated devices (an umockdev test bed): the hidraw nodes of both transceiver
# models must get the "uaccess" tag, and no other device may. Everything runs in
# a private mount namespace with only this rule (and the system's seat rule, to
# show that it sees the tag) in the rules directory, and with /dev and /run on
# scratch file systems, because `udevadm test` writes the udev database and
# /dev/char links just as a real event would.
#
# Usage: udev_rule_test.sh RULES_FILE
set -euo pipefail

. "$(dirname "$0")/lib.sh"

rule=$(readlink -f "$1")
[ -f "$rule" ] || { echo "FAIL: no rules file $1"; exit 1; }

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
  QZ_UDEV_SANDBOX=1 QZ_SCRATCH="$scratch" "${ns[@]}" bash "$0" "$rule"
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

usb=/devices/pci0000:00/0000:00:14.0/usb1
cat >"$scratch/devices.umockdev" <<DEVICES
P: $usb/1-1
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=0003
A: idProduct=1001

P: $usb/1-1/1-1:1.0/0003:0003:1001.0001
E: SUBSYSTEM=hid
E: HID_ID=0003:00000003:00001001
E: MODALIAS=hid:b0003g0001v00000003p00001001

P: $usb/1-1/1-1:1.0/0003:0003:1001.0001/hidraw/hidraw0
N: hidraw0
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw0
E: MAJOR=240
E: MINOR=0

P: $usb/1-2
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=0003
A: idProduct=1003

P: $usb/1-2/1-2:1.0/0003:0003:1003.0002
E: SUBSYSTEM=hid
E: HID_ID=0003:00000003:00001003
E: MODALIAS=hid:b0003g0001v00000003p00001003

P: $usb/1-2/1-2:1.0/0003:0003:1003.0002/hidraw/hidraw1
N: hidraw1
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw1
E: MAJOR=240
E: MINOR=1

P: $usb/1-2/1-2:1.0/0003:0003:1003.0002/input/input7/event7
N: input/event7
E: SUBSYSTEM=input
E: DEVNAME=/dev/input/event7
E: MAJOR=13
E: MINOR=71

P: $usb/1-3
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=0004
A: idProduct=1001

P: $usb/1-3/1-3:1.0/0003:0004:1001.0003
E: SUBSYSTEM=hid
E: HID_ID=0003:00000004:00001001

P: $usb/1-3/1-3:1.0/0003:0004:1001.0003/hidraw/hidraw2
N: hidraw2
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw2
E: MAJOR=240
E: MINOR=2

P: $usb/1-4
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=046d
A: idProduct=1001

P: $usb/1-4/1-4:1.0/0003:046D:1001.0004
E: SUBSYSTEM=hid
E: HID_ID=0003:0000046D:00001001

P: $usb/1-4/1-4:1.0/0003:046D:1001.0004/hidraw/hidraw3
N: hidraw3
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw3
E: MAJOR=240
E: MINOR=3

P: $usb/1-5
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=1001
A: idProduct=0003

P: $usb/1-5/1-5:1.0/0003:1001:0003.0005
E: SUBSYSTEM=hid
E: HID_ID=0003:00001001:00000003

P: $usb/1-5/1-5:1.0/0003:1001:0003.0005/hidraw/hidraw4
N: hidraw4
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw4
E: MAJOR=240
E: MINOR=4

P: /devices/virtual/misc/uhid/0005:0003:1001.0006
E: SUBSYSTEM=hid
E: HID_ID=0005:00000003:00001001

P: /devices/virtual/misc/uhid/0005:0003:1001.0006/hidraw/hidraw5
N: hidraw5
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw5
E: MAJOR=240
E: MINOR=5
DEVICES

failures=0
# expect DEVICE_UNDER_/sys  yes|no  WHAT
expect() {
  local sys=$1 want=$2 what=$3 out tags run
  out=$(umockdev-run -d "$scratch/devices.umockdev" -- udevadm test --action=add "$sys" 2>&1) || {
    echo "FAIL: udevadm test $sys did not run:"
    echo "$out" | tail -20
    failures=$((failures + 1))
    return
  }
  if ! grep -q '^DEVPATH=' <<<"$out"; then
    echo "FAIL: udevadm test $sys printed no device:"
    echo "$out" | tail -20
    failures=$((failures + 1))
    return
  fi
  tags=no
  grep -q '^TAGS=.*:uaccess:' <<<"$out" && tags=yes
  run=no
  grep -q "^run: 'uaccess'" <<<"$out" && run=yes
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

expect /sys/class/hidraw/hidraw0 yes "transceiver 0003:1001 on USB"
expect /sys/class/hidraw/hidraw1 yes "transceiver 0003:1003 on USB"
expect "/sys$usb/1-2/1-2:1.0/0003:0003:1003.0002/input/input7/event7" no "the transceiver's input event node"
expect /sys/class/hidraw/hidraw2 no "vendor 0004, product 1001"
expect /sys/class/hidraw/hidraw3 no "USB (bus 0003), vendor 046D, product 1001"
expect /sys/class/hidraw/hidraw4 no "vendor 1001, product 0003 (fields swapped)"
expect /sys/class/hidraw/hidraw5 no "vendor 0003, product 1001 on Bluetooth (bus 0005)"

[ "$have_seat" = 1 ] || echo "note: no 73-seat-late.rules on this machine; checked the tag only"
finish "all udev rule checks passed"

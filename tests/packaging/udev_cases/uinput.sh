# The uinput rule's cases, sourced by udev_rule_test.sh: /dev/uinput gets the
# uaccess tag, both as the device of a loaded module and as the static node
# that exists before; other misc devices, and the input devices that programs
# make through uinput, do not.
cat >"$scratch/devices.umockdev" <<'DEVICES'
P: /devices/virtual/misc/uinput
N: uinput
E: SUBSYSTEM=misc
E: DEVNAME=/dev/uinput
E: MAJOR=10
E: MINOR=223

P: /devices/virtual/misc/uhid
N: uhid
E: SUBSYSTEM=misc
E: DEVNAME=/dev/uhid
E: MAJOR=10
E: MINOR=239

P: /devices/virtual/misc/fuse
N: fuse
E: SUBSYSTEM=misc
E: DEVNAME=/dev/fuse
E: MAJOR=10
E: MINOR=229

P: /devices/virtual/input/input9
E: SUBSYSTEM=input
E: NAME="QZ470 Tester keys"

P: /devices/virtual/input/input9/event9
N: input/event9
E: SUBSYSTEM=input
E: DEVNAME=/dev/input/event9
E: MAJOR=13
E: MINOR=73
DEVICES

expect /sys/devices/virtual/misc/uinput yes "uinput, module loaded"
expect /sys/devices/virtual/misc/uhid no "uhid, another misc device"
expect /sys/devices/virtual/misc/fuse no "fuse, another misc device"
expect /sys/devices/virtual/input/input9/event9 no "an input device made through uinput"
expect_static_nodes "uinput 10 223 yes uinput before its module loads" "uhid 10 239 no uhid before its module loads"

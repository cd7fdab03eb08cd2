# The transceiver rule's cases, sourced by udev_rule_test.sh: the hidraw nodes
# of both transceiver models on USB get the uaccess tag; the transceiver's
# input node, other vendors' and products' nodes, swapped IDs and the same IDs
# on Bluetooth do not.
. "$(dirname "$cases")/transceiver_devices.sh"

expect /sys/class/hidraw/hidraw0 yes "transceiver 0003:1001 on USB"
expect /sys/class/hidraw/hidraw1 yes "transceiver 0003:1003 on USB"
expect "/sys$usb/1-2/1-2:1.0/0003:0003:1003.0002/input/input7/event7" no "the transceiver's input event node"
expect /sys/class/hidraw/hidraw2 no "vendor 0004, product 1001"
expect /sys/class/hidraw/hidraw3 no "USB (bus 0003), vendor 046D, product 1001"
expect /sys/class/hidraw/hidraw4 no "vendor 1001, product 0003 (fields swapped)"
expect /sys/class/hidraw/hidraw5 no "vendor 0003, product 1001 on Bluetooth (bus 0005)"


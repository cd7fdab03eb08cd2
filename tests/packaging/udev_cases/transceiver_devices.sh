# The devices of the transceiver rule's cases, for umockdev: both transceiver
# models on USB (with the 0x1003's input node), other vendors' and products'
# hidraw nodes, swapped IDs, and the same IDs on Bluetooth. Sourced by the
# cases that use them; writes $scratch/devices.umockdev.
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

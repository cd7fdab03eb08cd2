#!/bin/sh
# Boots a Linux kernel under qemu with one test program as its only process,
# so that the program can make HID devices through /dev/uhid and talk to them
# through real hidraw nodes. Usage: run_in_qemu.sh TEST-PROGRAM
#
# The VM comes from the shared harness (tests/support/vm/run_in_vm.sh), which
# says what it needs; without it the test is skipped (exit 77).
exec "$(dirname "$0")/../../support/vm/run_in_vm.sh" --module hid-generic --module uhid -- "$1"

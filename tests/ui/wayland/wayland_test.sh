#!/bin/sh
# The whole chain on a real Wayland desktop: a pad press, emulated through the
# kernel's uhid by qz470-probe emulate, read by the real qz470-tester under Xwayland, typed through
# its uinput keyboard, and turned by weston into characters in wev, a native
# Wayland window. Everything runs inside one qemu VM (tests/support/vm), whose
# root file system is made from this machine's own Debian packages; what runs
# there, and what is checked, is in_vm.sh.
#
# Usage: wayland_test.sh QZ470_TESTER QZ470_PROBE TEST_KEYBOARD
#
# The VM's programs and data come from this machine's Debian packages
# (tools/deps.sh installs them): weston, xwayland, wev, udev, xkb-data,
# libinput-bin, acl, xdotool, x11-xserver-utils, x11-xkb-utils, util-linux,
# coreutils, fonts-liberation, qt6-qpa-plugins, with qemu-system-x86,
# busybox-static and a kernel (QZ_KERNEL_DIR). Without any of them the test
# is skipped (exit 77) and says what is missing.
#
# Wall time on the development machine (2 shared cores, plain emulation):
# docs/PERFORMANCE.md, "The whole chain on Wayland".
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../../.." && pwd)
[ $# -eq 3 ] || { echo "usage: $0 QZ470_TESTER QZ470_PROBE TEST_KEYBOARD" >&2; exit 2; }
tester=$(readlink -f "$1") probe=$(readlink -f "$2") keyboard=$(readlink -f "$3")
lib=/usr/lib/x86_64-linux-gnu

# A VM of the size a compositor needs, with std VGA for weston's DRM backend
# (the bochs module drives it), input devices, uinput and uhid.
set -- --memory 1536 --cpus 2 --vga std \
  --module evdev --module uinput --module uhid --module hid-generic --module bochs
# The program under test (Qt's X11 platform, fonts, Xlib's locale data), the
# probe whose emulate makes the transceiver, and the test's own keyboard.
set -- "$@" --elf "$tester" --elf $lib/qt6/plugins/platforms/libqxcb.so \
  --tree /usr/share/fonts/truetype/liberation --tree /etc/fonts --tree /usr/share/X11/locale \
  --elf "$probe" --elf "$keyboard"
# weston with its DRM backend and kiosk-shell, Xwayland, and wev, the native
# window (stdbuf, because wev does not flush its output).
# Its plug-ins sit in a folder named after libweston's major version
# (libweston-10 on Debian 12, libweston-14 on Debian 13): the one that the
# installed weston links.
libweston=$(ldd /usr/bin/weston 2>/dev/null | grep -o 'libweston-[0-9]*' | head -n 1 || true)
[ -n "$libweston" ] && [ -f "$lib/$libweston/drm-backend.so" ] ||
  { echo "SKIP: weston's DRM backend is not installed (Debian: weston)"; exit 77; }
set -- "$@" --elf /usr/bin/weston --elf $lib/$libweston/drm-backend.so --elf $lib/weston/kiosk-shell.so \
  --elf $lib/$libweston/xwayland.so --tree /usr/share/weston \
  --elf /usr/bin/Xwayland --elf /usr/bin/xkbcomp --elf $lib/libEGL.so.1 --elf $lib/libGL.so.1 \
  --tree /usr/share/X11/xkb --tree /usr/share/libinput \
  --elf /usr/bin/wev --elf /usr/bin/stdbuf --elf /usr/libexec/coreutils/libstdbuf.so
# udev with the rules libinput and weston need and the seat rule that turns
# the "uaccess" tag into an ACL; our packages' rules and the opt-in one's
# postinst.
set -- "$@" --elf /bin/udevadm --elf /lib/systemd/systemd-udevd
# The rules go where the host keeps them: /usr/lib/udev/rules.d on a merged
# /usr, the one folder of rules that systemd 257's udevd still reads.
for rule in 50-udev-default 60-input-id 60-drm 70-mouse 70-touchpad 73-seat-late; do
  set -- "$@" --file "$(readlink -f /lib/udev/rules.d/$rule.rules)"
done
set -- "$@" --file "$source/packaging/60-qz470-tester.rules" \
  --file "$source/packaging/wayland-keys/60-qz470-tester-wayland-keys.rules" \
  --file "$source/packaging/wayland-keys/postinst"
# The test's tools: the window and focus, X access, another user, ACLs.
set -- "$@" --elf /usr/bin/xdotool --elf /usr/bin/xhost --elf /usr/bin/setpriv --elf /bin/getfacl

exec "$source/tests/support/vm/run_in_vm.sh" "$@" --env LANG=C.UTF-8 \
  -- "$here/in_vm.sh" "$tester" "$probe" "$keyboard" "$source/packaging"

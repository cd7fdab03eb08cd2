#!/bin/sh
# Boots a Linux kernel under qemu with one test program as its only process,
# so that the program can make HID devices through /dev/uhid and talk to them
# through real hidraw nodes. Usage: run_in_qemu.sh TEST-PROGRAM
#
# Needs qemu-system-x86_64, a static busybox (Debian: busybox-static) and an
# unpacked Debian kernel package named by QZ_KERNEL_DIR, for example:
#   apt-get download linux-image-6.1.0-57-amd64
#   dpkg-deb -x linux-image-6.1.0-57-amd64_*.deb /var/tmp/qz-kernel
#   QZ_KERNEL_DIR=/var/tmp/qz-kernel ctest -R link_kernel_test
# Without them the test is skipped (exit 77).
set -eu
test_program=$1
skip() { echo "SKIP: $*"; exit 77; }

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 || skip "no static busybox (Debian: busybox-static)"
[ -n "${QZ_KERNEL_DIR:-}" ] || skip "QZ_KERNEL_DIR does not name an unpacked kernel package"
kernel=$(ls "$QZ_KERNEL_DIR"/boot/vmlinuz-* 2>/dev/null | head -n 1)
hid_dir=$(ls -d "$QZ_KERNEL_DIR"/lib/modules/*/kernel/drivers/hid 2>/dev/null | head -n 1)
[ -n "$kernel" ] && [ -n "$hid_dir" ] || skip "no kernel image or HID modules under $QZ_KERNEL_DIR"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/run" "$root/modules"
cp "$busybox" "$root/bin/busybox"
for tool in sh mount insmod poweroff; do ln -s busybox "$root/bin/$tool"; done
cp "$test_program" "$root/bin/test"
# The program's shared libraries, at the paths its loader expects.
for lib in $(ldd "$test_program" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
for module in hid hid-generic uhid; do
  cp "$hid_dir/$module.ko"* "$root/modules/" || skip "no $module module in the kernel package"
done
cat > "$root/init" <<'INIT'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
for module in hid hid-generic uhid; do insmod /modules/$module.ko*; done
ASAN_OPTIONS=detect_leaks=0 /bin/test
echo "=== test exit $?"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1 > "$work/initrd.gz")

# Plain emulation: it boots in seconds, and nested KVM is not always usable.
timeout 180 qemu-system-x86_64 -m 1024 -nographic -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1" > "$work/console.log" 2>&1 || true
tr -d '\r' < "$work/console.log" | sed -n '/Running main/,$p'
code=$(tr -d '\r' < "$work/console.log" | sed -n 's/^=== test exit \([0-9]*\).*/\1/p' | tail -n 1)
[ -n "$code" ] || { echo "the VM did not report a result"; tail -n 30 "$work/console.log"; exit 1; }
exit "$code"

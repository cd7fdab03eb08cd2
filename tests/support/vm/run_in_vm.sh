#!/bin/sh
# Boots a Linux kernel under qemu with one test program as the only process
# that matters: an initramfs with busybox, the program and its shared
# libraries, the kernel modules it needs, and any further programs and data
# it asks for. The program's exit status becomes this script's.
#
# Usage: run_in_vm.sh [OPTION]... [--] PROGRAM [ARGUMENT]...
#   --module NAME   load this module of the kernel package (and what it
#                   depends on, first); may be repeated
#   --elf FILE      also copy this program or library, with its libraries,
#                   to the same path in the VM
#   --tree DIR      also copy this directory tree to the same path (data
#                   such as /usr/share/X11/xkb)
#   --file FILE     also copy this one file (data, a script) to the same path
#   --env NAME=VALUE  set this in the program's environment
#   --memory MB     the VM's memory (default 1024)
#   --cpus N        its virtual CPUs (default 1), emulated in N host threads
#   --vga TYPE      its display card, for a compositor's DRM backend (qemu's
#                   -vga: std is the card the bochs module drives)
#
# Needs qemu-system-x86_64, a static busybox (Debian: busybox-static) and an
# unpacked Debian kernel package named by QZ_KERNEL_DIR, for example:
#   apt-get download linux-image-6.1.0-57-amd64
#   dpkg-deb -x linux-image-6.1.0-57-amd64_*.deb /var/tmp/qz-kernel
#   QZ_KERNEL_DIR=/var/tmp/qz-kernel ctest -L kernel
# (tools/fetch-test-kernel.sh does both). Without them the test is skipped
# (exit 77). Plain emulation (TCG): a boot takes a few seconds.
set -eu
skip() { echo "SKIP: $*"; exit 77; }
die() { echo "run_in_vm.sh: $*" >&2; exit 2; }

modules="" elves="" trees="" files="" envs="" memory=1024 cpus=1 vga=""
while [ $# -gt 0 ]; do
  case $1 in
    --module) modules="$modules $2"; shift 2 ;;
    --elf) elves="$elves $2"; shift 2 ;;
    --tree) trees="$trees $2"; shift 2 ;;
    --file) files="$files $2"; shift 2 ;;
    --env) envs="$envs $2"; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --cpus) cpus=$2; shift 2 ;;
    --vga) vga=$2; shift 2 ;;
    --) shift; break ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || die "no test program given"
test_program=$(readlink -f "$1")
shift

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 || skip "no static busybox (Debian: busybox-static)"
[ -n "${QZ_KERNEL_DIR:-}" ] || skip "QZ_KERNEL_DIR does not name an unpacked kernel package"
kernel=$(ls "$QZ_KERNEL_DIR"/boot/vmlinuz-* 2>/dev/null | head -n 1)
# Debian 12 keeps the modules under lib/modules, Debian 13 under usr/lib/modules.
module_dir=$(ls -d "$QZ_KERNEL_DIR"/lib/modules/* "$QZ_KERNEL_DIR"/usr/lib/modules/* 2>/dev/null | head -n 1)
[ -n "$kernel" ] && [ -n "$module_dir" ] || skip "no kernel image or modules under $QZ_KERNEL_DIR"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/run" "$root/tmp" "$root/modules"
# /tmp as on any system: every user may write there.
chmod 1777 "$root/tmp"
cp "$busybox" "$root/bin/busybox"
# Every busybox tool, for tests that run a script of their own in the VM.
for tool in $("$busybox" --list); do [ -e "$root/bin/$tool" ] || ln -s busybox "$root/bin/$tool"; done

# A program or library and the shared libraries it loads, at the same paths.
add_elf() {
  mkdir -p "$root$(dirname "$1")"
  [ -e "$root$1" ] || cp -L "$1" "$root$1"
  for lib in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*'); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
add_elf "$test_program"
ln -s "$test_program" "$root/test-program"
for elf in $elves; do
  [ -e "$elf" ] || skip "$elf is not installed"
  add_elf "$elf"
done
for tree in $trees; do
  [ -d "$tree" ] || skip "$tree is not installed"
  mkdir -p "$root$(dirname "$tree")"
  cp -a "$tree" "$root$tree"
done
for file in $files; do
  [ -f "$file" ] || skip "$file is not installed"
  mkdir -p "$root$(dirname "$file")"
  cp -L "$file" "$root$file"
done

# Modules in load order: what each depends on (its modinfo "depends=") first.
# A compressed module (Debian 13's .ko.xz; .ko.zst, .ko.gz elsewhere) is
# uncompressed first: its depends= cannot be read otherwise, and busybox's
# insmod loads plain .ko files only.
load_order=""
add_module() {
  case " $load_order " in *" $1 "*) return ;; esac
  file=$(find "$module_dir" -name "$1.ko" -o -name "$1.ko.*" | head -n 1)
  [ -n "$file" ] || skip "no $1 module in the kernel package"
  case $file in
    *.ko) unpack=cat ;;
    *.ko.xz) unpack="xz -dc" ;;
    *.ko.zst) unpack="zstd -dcq" ;;
    *.ko.gz) unpack="gzip -dc" ;;
    *) skip "$file: a compression this harness does not know" ;;
  esac
  command -v "${unpack%% *}" >/dev/null || skip "${unpack%% *} is not installed, for $file"
  $unpack <"$file" >"$root/modules/$1.ko" || die "cannot uncompress $file"
  for dep in $(tr '\0' '\n' <"$root/modules/$1.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
    add_module "$dep"
  done
  load_order="$load_order $1"
}
for module in $modules; do add_module "$module"; done

printf '%s\n' "$@" >"$root/arguments"
{
  echo '#!/bin/sh'
  echo 'mount -t proc proc /proc'
  echo 'mount -t sysfs sys /sys'
  echo 'mount -t devtmpfs dev /dev'
  echo 'mount -t tmpfs run /run'
  # No tmpfs over /tmp: the initramfs is writable already, and the programs
  # may have been copied there from a build under /tmp.
  # Terminals and shared memory, for programs that run others (an X server, a compositor).
  echo 'mkdir -p /dev/pts /dev/shm && mount -t devpts devpts /dev/pts && mount -t tmpfs shm /dev/shm'
  echo "for module in $load_order; do insmod /modules/\$module.ko || echo \"insmod \$module failed\"; done"
  echo 'export PATH=/bin:/usr/bin ASAN_OPTIONS=detect_leaks=0'
  for assignment in $envs; do echo "export '$assignment'"; done
  # Arguments one a line, so that spaces in them survive.
  echo 'set --; while IFS= read -r a; do set -- "$@" "$a"; done </arguments'
  echo 'echo "=== test start"'
  echo '/test-program "$@"'
  echo 'status=$?'
  echo 'echo'
  echo 'echo "=== test exit $status"'
  echo 'poweroff -f'
} >"$root/init"
chmod +x "$root/init"
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")

# Plain emulation: it boots in seconds, and nested KVM is not always usable.
# Several virtual CPUs run in as many host threads. no_timer_check: on a busy
# host the emulated clock lags, and the kernel's check of the IO-APIC timer
# then fails and panics ("IO-APIC + timer doesn't work!").
machine="-m $memory -smp $cpus"
[ "$cpus" -gt 1 ] && machine="$machine -accel tcg,thread=multi"
[ -n "$vga" ] && machine="$machine -vga $vga"
# shellcheck disable=SC2086 # $machine is a list of options
timeout "${QZ_VM_TIMEOUT:-180}" qemu-system-x86_64 $machine -nographic -no-reboot -nic none \
  -kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1 no_timer_check" >"$work/console.log" 2>&1 || true
tr -d '\r' <"$work/console.log" | sed -n '/=== test start/,$p' | sed 1d
code=$(tr -d '\r' <"$work/console.log" | sed -n 's/.*=== test exit \([0-9]*\).*/\1/p' | tail -n 1)
[ -n "$code" ] || { echo "the VM did not report a result"; tail -n 30 "$work/console.log"; exit 1; }
exit "$code"

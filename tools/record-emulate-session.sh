#!/bin/sh
# Records the terminal session of docs/emulate-session.* for real: boots the
# test VM (tests/support/vm/run_in_vm.sh), runs a short session there under
# script(1) from util-linux, with qz470-probe emulate as the transceiver and
# the probe's list, watch and led against it, and keeps the output and its
# timing in docs/. Play it back with
#   scriptreplay --log-timing docs/emulate-session.timing --log-out docs/emulate-session.log
#
# Usage: QZ_KERNEL_DIR=... tools/record-emulate-session.sh [QZ470_PROBE]
# (default: build/src/probe/qz470-probe; tools/fetch-test-kernel.sh gets a kernel).
set -eu
cd "$(dirname "$0")/.."
probe=$(readlink -f "${1:-build/src/probe/qz470-probe}")
[ -x "$probe" ] || { echo "record-emulate-session.sh: build the probe first ($probe)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What runs inside the VM, as root: the session under script(1), then both
# files in base64 between markers on the console.
cat >"$work/record.sh" <<'INNER'
#!/bin/sh
mkdir -p /dev/pts /usr/local/bin
mount -t devpts devpts /dev/pts
ln -s "$QZ_PROBE" /usr/local/bin/qz470-probe
# Root already: sudo does nothing more here.
printf '#!/bin/sh\nexec "$@"\n' >/usr/local/bin/sudo
chmod +x /usr/local/bin/sudo
export PATH=/usr/local/bin:$PATH TERM=xterm-256color
cd /tmp
sed -n '/^#SESSION/,$p' "$0" | sed 1d >session.sh
script -q -E never --log-timing demo.timing --log-out demo.log -c 'sh session.sh'
echo "=== log"; base64 demo.log; echo "=== timing"; base64 demo.timing; echo "=== end"
exit 0
#SESSION
show() { printf '\033[1m$ %s\033[0m\n' "$*"; sleep 1; }
cat >demo.txt <<'SCRIPT'
# Pad 5 buzzes first, pad 12 answers B, then a low battery on pad 30.
5 buzz
wait 700
12 b
wait 700
30 power
wait 60000
SCRIPT
show cat demo.txt; cat demo.txt; sleep 1.5
show 'sudo qz470-probe emulate --script demo.txt &'
sudo qz470-probe emulate --script demo.txt &
sleep 1.5
show qz470-probe list; qz470-probe list; sleep 1.5
show qz470-probe watch; timeout -s INT 4 qz470-probe watch; sleep 1
show qz470-probe led short 12; qz470-probe led short 12; sleep 1.5
show qz470-probe led flash all; qz470-probe led flash all; sleep 1.5
show 'kill -INT $!'; kill -INT $!; wait; sleep 1
INNER
chmod +x "$work/record.sh"

tests/support/vm/run_in_vm.sh --module hid-generic --module uhid --elf "$probe" --elf /usr/bin/script \
  --env "QZ_PROBE=$probe" -- "$work/record.sh" >"$work/console.txt"
sed -n '/^=== log$/,/^=== timing$/p' "$work/console.txt" | sed '1d;$d' | base64 -d >docs/emulate-session.log
sed -n '/^=== timing$/,/^=== end$/p' "$work/console.txt" | sed '1d;$d' | base64 -d >docs/emulate-session.timing
[ -s docs/emulate-session.log ] && [ -s docs/emulate-session.timing ] ||
  { echo "record-emulate-session.sh: the VM gave no recording:" >&2; tail -n 30 "$work/console.txt" >&2; exit 1; }
echo "recorded docs/emulate-session.log and docs/emulate-session.timing"

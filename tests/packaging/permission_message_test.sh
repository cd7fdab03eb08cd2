#!/usr/bin/env bash
# A transceiver is plugged in but its hidraw node belongs to root, as it does
# without the udev rule: started by an ordinary user, the program must say so
# on standard error, in exactly one line that names the node and tells how to
# fix it, however often it retries; it must not crash, and its window must
# come up all the same.
#
# The transceiver is emulated with umockdev (a HID parent with HID_ID and a
# report descriptor, a hidraw child with a device node); the display is Xvfb.
# Run as root (CI), the program runs as the user "nobody"; run as anyone else,
# it runs as that user, with the node's permissions taken away.
#
# Usage: permission_message_test.sh QZ470_TESTER_EXECUTABLE
set -euo pipefail

. "$(dirname "$0")/lib.sh"

app=$(readlink -f "$1")
[ -x "$app" ] || skip "$1 is not built (build qz470-tester first)"
for tool in umockdev-run Xvfb xdotool timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
prepare_run_as_user

# A 0x1003 transceiver on USB: 8-byte input, output and feature reports on a
# vendor-defined usage page, no report IDs.
cat >"$work/transceiver.umockdev" <<'DEVICES'
P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:0003:1003.0001
E: SUBSYSTEM=hid
E: HID_ID=0003:00000003:00001003
E: HID_NAME=QZ470 Transceiver
E: MODALIAS=hid:b0003g0001v00000003p00001003
H: report_descriptor=06A0FF0901A1010901150026FF0075089508810209019508910209029508B102C0

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:0003:1003.0001/hidraw/hidraw0
N: hidraw0
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw0
E: MAJOR=240
E: MINOR=0
DEVICES

start_xvfb

# Runs inside the test bed, as the test's own user: the test bed is readable
# to the program's user, its node is not; then the program starts as that user.
cat >"$work/inside.sh" <<'INSIDE'
set -eu
node=$(readlink -f "$UMOCKDEV_DIR/dev/hidraw0")
chmod -R a+rX "$UMOCKDEV_DIR"
# umockdev's own ioctl sockets, which its preload library connects to.
find "$UMOCKDEV_DIR" -type s -exec chmod a+w {} +
chmod 600 "$node"
[ -n "${QZ_AS_USER:-}" ] || chmod 000 "$node"
# The fixture itself: the program's user must really be shut out.
if $QZ_AS_USER sh -c 'exec 3<>/dev/hidraw0' 2>/dev/null; then
  echo "FIXTURE: the program's user can open the emulated node" >&2
  exit 99
fi
exec $QZ_AS_USER env PATH=/usr/bin:/bin HOME="$QZ_WORK/home" XDG_RUNTIME_DIR="$QZ_WORK/runtime" \
  DISPLAY="$QZ_DISPLAY" QT_QPA_PLATFORM=xcb LANG=C.UTF-8 \
  ASAN_OPTIONS="$QZ_ASAN_OPTIONS" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" LSAN_OPTIONS="$QZ_LSAN_OPTIONS" \
  LD_PRELOAD="$LD_PRELOAD" UMOCKDEV_DIR="$UMOCKDEV_DIR" "$QZ_WORK/qz470-tester"
INSIDE

# A sanitizer build runs with umockdev's preload library in front of its
# runtime; the sanitizers' own options pass through to the program.
cp "$(dirname "$0")/../support/lsan.supp" "$work/lsan.supp"
QZ_ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
  QZ_LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$work/lsan.supp:print_suppressions=0" \
  QZ_AS_USER="${as_user[*]}" QZ_WORK="$work" QZ_DISPLAY="$display" \
  umockdev-run -d "$work/transceiver.umockdev" -- sh "$work/inside.sh" >"$work/stdout" 2>"$work/stderr" &
app_pid=$!

window=$(DISPLAY=$display timeout 60 xdotool search --sync --onlyvisible --name '^QZ470 Tester$' 2>/dev/null | head -1 || true)
if [ -z "$window" ]; then
  cat "$work/stderr"
  grep -q '^FIXTURE:' "$work/stderr" && die "the test bed does not shut the user out"
  die "no visible window named \"QZ470 Tester\" appeared"
fi

# The program tries a refused node again for a while before it tells the
# user; wait for the line, then long enough for many more searches.
for _ in $(seq 300); do
  [ -s "$work/stderr" ] && break
  sleep 0.1
done
sleep 3
kill -0 "$app_pid" 2>/dev/null || die "the program ended by itself (status $(wait "$app_pid" || echo $?)):
$(cat "$work/stderr")"

lines=$(grep -c '' "$work/stderr" || true)
echo "standard error ($lines line(s)):"
sed 's/^/    /' "$work/stderr"
if [ "$lines" -ne 1 ]; then
  fail "want exactly one line on standard error, got $lines"
fi
line=$(head -1 "$work/stderr")
grep -q '/dev/hidraw0' <<<"$line" || fail "the line does not name the node /dev/hidraw0"
grep -Eq '60-qz470-tester\.rules|udev' <<<"$line" || fail "the line does not tell how to fix it (the udev rule)"
grep -q 'qz470-tester' <<<"$line" || fail "the line does not say which program speaks"
# The README shows the user this very line, for the same node and transceiver.
grep -qxF "    $line" "$(dirname "$0")/../../README.md" || fail "README.md does not quote the line word for word"

# End it as a person would: "Exit" is centred at (472, 549) in the window.
click_exit_and_expect_success "$window"
after=$(grep -c '' "$work/stderr" || true)
[ "$after" -eq "$lines" ] || fail "the program wrote more to standard error while closing:
$(tail -n +$((lines + 1)) "$work/stderr")"

finish "one clear line about the refused node, and the window came up"

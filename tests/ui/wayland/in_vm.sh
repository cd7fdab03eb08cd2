#!/bin/sh
# Runs inside the VM that wayland_test.sh boots (busybox sh, as root). One boot
# for every case; weston starts again for each keyboard layout.
#
#   us, tester as root:         pad 7 BUZZ types exactly "7BUZZ" into wev, and
#                               the LED frame for pad 7 reaches the transceiver
#   us, user, no uinput rule:   the one line naming the fix; nothing in wev
#   us, user, with the rule:    "7BUZZ" in wev through the user's own access
#   fr, tester as root:         "7BUZZ" (the digit needs Shift on fr)
#   de, tester as root, with the lock-out: "7BUZZ"; a second press within
#                               5 s types nothing; a press after 5 s types again
#
# The boxes are ticked as a person without a mouse would: Tab and Space, from a
# keyboard of the test's own (test_keyboard, a uinput device). The tester's
# window has the focus first; then wev starts and kiosk-shell gives it the
# focus, as a quiz program would have it.
#
# Access to /dev/uinput for the ordinary user: logind does not run here (it
# needs systemd as the init and a system bus), so nothing would act on the
# "uaccess" tag. The test writes the record that logind keeps for a user
# logged in at the local screen (/run/systemd/seats/seat0, ACTIVE_UID), so
# that udev's own uaccess step, run by 73-seat-late.rules for every device
# that our rules tag, sets the ACL as on a desktop. The ACLs are checked with
# getfacl. No setfacl: the grant comes from the rules alone.
#
# Usage: in_vm.sh QZ470_TESTER QZ470_PROBE TEST_KEYBOARD PACKAGING_DIR
set -u
tester=$1 probe=$2 keyboard=$3 packaging=$4
user=quizhost uid=1000
failures=0
ok() { echo "ok: $*"; }
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
now() { cut -d' ' -f1 /proc/uptime; }
# past SECONDS SINCE: SECONDS have gone by since the time SINCE (of now).
past() { awk -v a="$(now)" -v b="$2" -v s="$1" 'BEGIN { exit !(a - b >= s) }'; }
note() { echo "--- $(now) $*"; }

# wait_for SECONDS WHAT CONDITION: evaluates the shell CONDITION every 0.1 s
# until it holds; after SECONDS, says what it waited for and fails. The
# limits are generous: they only turn a hang into a clear message.
wait_for() {
  local tries=$(($1 * 10))
  until eval "$3" 2>/dev/null; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then
      echo "timed out after $1 s waiting for $2"
      return 1
    fi
    sleep 0.1
  done
}

# ---- the system: users, udev, the seat, the two devices of the test
printf 'root:x:0:0:root:/root:/bin/sh\n%s:x:%s:%s:Quiz host:/home/%s:/bin/sh\n' $user $uid $uid $user >/etc/passwd
printf 'root:x:0:\ntty:x:5:\nvideo:x:44:\ninput:x:101:\nrender:x:105:\nkvm:x:106:\n%s:x:%s:\n' $user $uid >/etc/group
mkdir -p /home/$user /run/user/$uid /run/xdg /tmp/.X11-unix /etc/udev/rules.d /var/cache/fontconfig
chmod 1777 /tmp/.X11-unix
chmod 700 /run/user/$uid /run/xdg
chown $user:$user /home/$user /run/user/$uid

# The transceiver rule of the main package is installed from the start; the
# uinput rule of qz470-tester-wayland-keys comes later.
cp "$packaging/60-qz470-tester.rules" /etc/udev/rules.d/
mkdir -p /run/systemd/seats
printf 'IS_SEAT0=1\nCAN_GRAPHICAL=1\nACTIVE=c1\nACTIVE_UID=%s\nSESSIONS=c1\nUIDS=%s\n' $uid $uid \
  >/run/systemd/seats/seat0
ln -s /bin/udevadm /usr/bin/udevadm 2>/dev/null
/lib/systemd/systemd-udevd --daemon 2>/tmp/udevd.log
udevadm trigger --action=add --type=subsystems
udevadm trigger --action=add --type=devices
udevadm settle --timeout=60
note "udev running"

# Our own keyboard, for Tab and Space (commands on fd 3).
mkfifo /tmp/keys.fifo
"$keyboard" </tmp/keys.fifo >/tmp/keyboard.log 2>&1 &
exec 3>/tmp/keys.fifo
wait_for 30 "the test keyboard" 'grep -q ready /tmp/keyboard.log' || { cat /tmp/keyboard.log; exit 1; }
keys_sent=0
# press_keys NAME...: presses each key in turn, and waits until all are done.
press_keys() {
  for key in "$@"; do echo "$key" >&3; done
  keys_sent=$((keys_sent + $#))
  wait_for 30 "the test keyboard to press $*" '[ "$(grep -c ^sent /tmp/keyboard.log)" -ge $keys_sent ]'
}

# The transceiver: qz470-probe emulate (0x1003), its commands typed on fd 4.
# It prints every output report with its reading ("LED short pad 7").
mkfifo /tmp/pads.fifo
"$probe" emulate </tmp/pads.fifo >/tmp/emulate.log 2>&1 &
emulate_pid=$!
exec 4>/tmp/pads.fifo
wait_for 30 "the transceiver's hidraw node" '[ -e /dev/hidraw0 ]' || exit 1
udevadm settle --timeout=60
note "transceiver and test keyboard made"
if getfacl -cp /dev/hidraw0 2>/dev/null | grep -q "^user:$user:rw-"; then
  ok "the transceiver rule gave the user at the seat access to /dev/hidraw0"
else
  fail "no ACL for $user on /dev/hidraw0: $(getfacl -cp /dev/hidraw0 2>&1 | tr '\n' ' ')"
fi

# ---- weston, one run per layout
export XDG_RUNTIME_DIR=/run/xdg WAYLAND_DISPLAY=wayland-0 DISPLAY=:0
weston_pid=""
layout_name=""
# weston 10 (Debian 12) opens its devices itself and needs a VT; weston 11
# and later (Debian 13 has 14) go through libseat, whose built-in seat
# manager serves root here, where neither logind nor seatd runs.
seat_options="--tty=2"
if ! weston --help 2>&1 | grep -q -- '--tty'; then
  seat_options=""
  export LIBSEAT_BACKEND=builtin
fi
# start_weston LAYOUT NAME: weston with that keyboard layout (NAME is its
# name in the keymap).
start_weston() {
  layout_name=$2
  printf '[keyboard]\nkeymap_layout=%s\n' "$1" >/tmp/weston.ini
  weston --config=/tmp/weston.ini --backend=drm-backend.so --use-pixman --shell=kiosk-shell.so $seat_options \
    --idle-time=0 --socket=wayland-0 --xwayland --log=/tmp/weston-"$1".log &
  weston_pid=$!
  wait_for 120 "weston and its X display" '[ -S /run/xdg/wayland-0 ] && [ -S /tmp/.X11-unix/X0 ]' || {
    tail -n 30 /tmp/weston-"$1".log
    exit 1
  }
  # weston runs as root here (its direct launcher needs a VT), and so does
  # its Xwayland; on a desktop both run as the user, whose X clients are
  # then welcome. Let the user in by name, as that would.
  xhost +si:localuser:$user >/dev/null
  note "weston runs with layout $1"
}
stop_weston() {
  kill "$weston_pid"
  wait "$weston_pid"
  rm -f /tmp/.X11-unix/X0 /tmp/.X0-lock
}

# ---- one round: the tester, its boxes ticked, wev, presses
tester_pid="" wev_pid=""
# start_tester root|user: starts the tester as that user on a Wayland
# session, and waits until its window has the focus.
start_tester() {
  local as="" runtime=/run/xdg window
  if [ "$1" = user ]; then
    as="/usr/bin/setpriv --reuid=$uid --regid=$uid --clear-groups"
    runtime=/run/user/$uid
  fi
  $as env HOME=/home/$user XDG_RUNTIME_DIR=$runtime XDG_SESSION_TYPE=wayland QZ470_NO_NOTIFY=1 \
    "$tester" >/tmp/tester.out 2>/tmp/tester.err &
  tester_pid=$!
  window=$(timeout 120 xdotool search --sync --onlyvisible --name '^QZ470 Tester$' 2>/dev/null | head -n 1)
  [ -n "$window" ] || {
    fail "no window \"QZ470 Tester\" appeared"
    cat /tmp/tester.err
    return 1
  }
  wait_for 60 "the tester's window to have the focus" '[ "$(xdotool getactivewindow)" = "$window" ]' || return 1
  # The window is active; give Qt a moment to take the keyboard focus.
  sleep 1
  note "tester's window has the focus"
}
keymap_group() { sed -n 's/.*name\[[Gg]roup1\] *= *"\([^"]*\)".*/\1/p' /tmp/keymap.xkb; }
# start_wev: the native window; kiosk-shell gives it the focus. The keymap
# that weston hands it must be of the layout weston was started with, or the
# round would not show that the tester followed that layout.
start_wev() {
  rm -f /tmp/keymap.xkb
  stdbuf -oL wev -M /tmp/keymap.xkb >/tmp/wev.log 2>&1 &
  wev_pid=$!
  wait_for 60 "wev to have the keyboard focus" "grep -q 'wl_keyboard\] enter' /tmp/wev.log" || return 1
  # wev writes the file as the keymap comes, which may be a moment later.
  wait_for 10 "wev's keymap" '[ -n "$(keymap_group)" ]'
  local group
  group=$(keymap_group)
  [ "$group" = "$layout_name" ] || fail "wev's keymap from weston is \"$group\", not \"$layout_name\""
  note "wev has the focus; its keymap is \"$group\""
}
# end_round: ends wev and the tester.
end_round() {
  for pid in $wev_pid $tester_pid; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  wev_pid="" tester_pid=""
  sanitizer_report /tmp/tester.err "the tester"
}
# sanitizer_report LOG WHO: in a sanitizer build, what the sanitizers
# reported in LOG fails the test.
sanitizer_report() {
  if grep -qE 'ERROR: AddressSanitizer|runtime error:' "$1" 2>/dev/null; then
    fail "the sanitizers reported on $2:"
    grep -A20 -E 'ERROR: AddressSanitizer|runtime error:' "$1" | head -n 40
  fi
}
# The text wev received: the characters of the keys pressed, in order.
typed() {
  awk '/wl_keyboard\] key:.*pressed/ { p = 1; next }
       p && /utf8:/ { s = $0; sub(/.*utf8: ./, "", s); sub(/.$/, "", s); text = text s; p = 0 }
       END { print text }' /tmp/wev.log
}
leds() { grep -c "LED short pad $1\$" /tmp/emulate.log; }
# press PAD BUTTON: the transceiver sends the press.
press() {
  echo "$1 $2" >&4
  note "pressed pad $1 $2"
}
typed_at_least() { [ "$(typed | tr -d '\n' | wc -c)" -ge "$1" ]; }
# expect_typed TEXT WHAT: waits until wev has as many characters as TEXT,
# then a moment more for any that should not come, and compares.
expect_typed() {
  wait_for 60 "${#1} characters in wev" "typed_at_least ${#1}"
  sleep 1
  got=$(typed)
  if [ "$got" = "$1" ]; then ok "$2: wev got \"$got\""; else fail "$2: wev got \"$got\", want \"$1\""; fi
}
# expect_led PAD COUNT WHAT: the transceiver has had COUNT LED frames for PAD.
expect_led() {
  if wait_for 30 "LED frame for pad $1" "[ \"\$(leds $1)\" -ge $2 ]"; then
    ok "$3: the LED frame came back: $(grep "LED short pad $1\$" /tmp/emulate.log | tail -n 1)"
  else
    fail "$3: $(leds "$1") LED frame(s) for pad $1, want $2"
  fi
}
# tester_lines: the tester's own lines on standard error.
tester_lines() { grep '^qz470-tester:' /tmp/tester.err; }

# Tab order: Exit (focused at start), Clear, Enable Keypress Events,
# Lockout buzzers for 5 seconds, Turn on LED lights.
tick_keys_and_lights() { press_keys tab tab space tab tab space; }
tick_all_three() { press_keys tab tab space tab space tab space; }

# typing_round LAYOUT root|user: keys and lights ticked, pad 7 BUZZ.
typing_round() {
  local what="$1, tester as $2" before
  start_tester "$2" && tick_keys_and_lights && start_wev || {
    fail "$what: the round could not start"
    end_round
    return
  }
  before=$(leds 7)
  press 7 buzz
  expect_typed 7BUZZ "$what"
  expect_led 7 $((before + 1)) "$what"
  end_round
}

start_weston us "English (US)"
typing_round us root
if [ -n "$(tester_lines)" ]; then fail "us, root: the tester said: $(tester_lines)"; fi

# Without the uinput rule the user cannot open /dev/uinput: one line names the
# fix, and the keys go through XTest to X clients only, so wev gets nothing.
what="us, user without the uinput rule"
if start_tester user && tick_keys_and_lights && start_wev; then
  before=$(leds 7)
  press 7 buzz
  expect_led 7 $((before + 1)) "$what"
  sleep 2 # the keys would come right after the LED frame
  got=$(typed)
  if [ -z "$got" ]; then ok "$what: nothing arrived in wev"; else fail "$what: wev got \"$got\""; fi
  lines=$(tester_lines | grep -c '')
  # A tester built with libei names the desktop's portal first (weston has none).
  if [ "$lines" -eq 1 ] && tester_lines | grep -q "X11 programs only: \(.*, and \)\?/dev/uinput.*qz470-tester-wayland-keys"; then
    ok "$what: one line: $(tester_lines)"
  else
    fail "$what: want the one line that names qz470-tester-wayland-keys, got $lines: $(tester_lines)"
  fi
else
  fail "$what: the round could not start"
fi
end_round

# The opt-in package: its rule, and its postinst as dpkg runs it.
cp "$packaging/wayland-keys/60-qz470-tester-wayland-keys.rules" /etc/udev/rules.d/
sh "$packaging/wayland-keys/postinst" configure || fail "the postinst of qz470-tester-wayland-keys failed"
udevadm settle --timeout=60
if getfacl -cp /dev/uinput 2>/dev/null | grep -q "^user:$user:rw-"; then
  ok "the uinput rule gave the user at the seat access to /dev/uinput"
else
  fail "no ACL for $user on /dev/uinput: $(getfacl -cp /dev/uinput 2>&1 | tr '\n' ' ')"
fi
typing_round us user
if [ -n "$(tester_lines)" ]; then fail "us, user with the rule: the tester said: $(tester_lines)"; fi
stop_weston

start_weston fr French
typing_round fr root
stop_weston

# The lock-out: the first press types, a second one within 5 s is dropped
# whole (no keys, no LED), and one after the 5 s types again.
start_weston de German
what="de, tester as root, with the lock-out"
if start_tester root && tick_all_three && start_wev; then
  before=$(leds 7)
  press 7 buzz
  wait_for 60 "the first press in wev" "typed_at_least 5"
  # As soon as the first press has been typed (the lock-out began before
  # that): the tester reads the second within one poll interval.
  first=$(now)
  press 12 a
  # The lock-out runs 5 s from the first press; wait until past it.
  until past 6 "$first"; do sleep 0.2; done
  got=$(typed)
  if [ "$got" = 7BUZZ ] && [ "$(leds 12)" -eq 0 ]; then
    ok "$what: the first press typed \"7BUZZ\", the second, within 5 s, typed nothing and lit nothing"
  else
    fail "$what: wev got \"$got\" and $(leds 12) LED frame(s) for pad 12, want \"7BUZZ\" and none"
  fi
  press 7 buzz
  expect_typed 7BUZZ7BUZZ "$what, press after 5 s"
  expect_led 7 $((before + 2)) "$what"
else
  fail "$what: the round could not start"
fi
end_round
stop_weston

echo "end" >&4
# Ended: gone, or a zombie not yet waited for.
ended() { [ ! -e /proc/"$1" ] || grep -q ') Z ' /proc/"$1"/stat; }
if wait_for 30 "qz470-probe emulate to end" 'ended $emulate_pid'; then
  wait "$emulate_pid" || fail "qz470-probe emulate ended with status $?"
else
  fail "qz470-probe emulate did not end at \"end\""
fi
sanitizer_report /tmp/emulate.log "qz470-probe emulate"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; the logs:"
  for log in /tmp/weston-*.log; do
    echo "=== $log"
    grep -iE 'error|warn|fail|input|keyboard' "$log" | tail -n 20
  done
  echo "=== transceiver"; cat /tmp/emulate.log
  echo "=== tester's standard error (last round)"; cat /tmp/tester.err
  echo "=== wev (last round)"; grep -E 'wl_keyboard|sym:' /tmp/wev.log | tail -n 40
  exit 1
fi
note "all checks passed"

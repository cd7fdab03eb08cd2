#!/usr/bin/env bash
# The tester picks the sink its session calls for and says, in one line on
# standard error, when that sink cannot be had: started as an ordinary user
# without access to /dev/uinput, on a session that says it is Wayland, and
# with QZ470_KEY_SINK forcing one sink or the other. Its window comes up
# every time; XTest on its own says nothing. (The line about the missing
# transceiver, which every run prints here, is not counted.)
#
# The display is Xvfb. Run as root (CI), the program runs as the user
# "nobody", who may not open /dev/uinput (where the machine has one at all).
#
# Usage: sink_message_test.sh QZ470_TESTER_EXECUTABLE
set -euo pipefail

. "$(dirname "$0")/../packaging/lib.sh"

app=$(readlink -f "$1")
[ -x "$app" ] || skip "$1 is not built (build qz470-tester first)"
for tool in Xvfb xdotool timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
prepare_run_as_user
if "${as_user[@]}" sh -c 'exec 3<>/dev/uinput' 2>/dev/null; then
  skip "this user may open /dev/uinput here, so the messages for a refused one cannot be shown"
fi

cp "$(dirname "$0")/../support/lsan.supp" "$work/lsan.supp"
start_xvfb

# run WHAT EXPECTED_LINES PATTERN... -- ENVIRONMENT...
# Starts the program with the environment, waits for its window, ends it with
# a click on Exit, and checks its standard error: EXPECTED_LINES lines, each
# pattern found in them.
run() {
  local what=$1 want=$2
  shift 2
  local patterns=()
  while [ "$1" != -- ]; do
    patterns+=("$1")
    shift
  done
  shift
  "${as_user[@]}" env PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" DISPLAY="$display" \
    LANG=C.UTF-8 ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" \
    LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$work/lsan.supp:print_suppressions=0" \
    QZ470_NO_NOTIFY=1 "$@" "$work/qz470-tester" >"$work/stdout" 2>"$work/stderr.all" &
  app_pid=$!
  local window
  window=$(DISPLAY=$display timeout 60 xdotool search --sync --onlyvisible --name '^QZ470 Tester$' 2>/dev/null | head -1 || true)
  if [ -z "$window" ]; then
    cat "$work/stderr.all"
    die "$what: no visible window named \"QZ470 Tester\" appeared"
  fi
  sleep 1
  click_exit_and_expect_success "$window"
  # There is no transceiver here, which the program says in a line of its own.
  grep -v '^qz470-tester: no transceiver found' "$work/stderr.all" >"$work/stderr" || true
  local lines
  lines=$(grep -c '' "$work/stderr" || true)
  if [ "$lines" -ne "$want" ]; then
    fail "$what: want $want line(s) on standard error, got $lines:"
    sed 's/^/    /' "$work/stderr"
    return
  fi
  for pattern in "${patterns[@]}"; do
    grep -q -- "$pattern" "$work/stderr" || fail "$what: standard error lacks \"$pattern\": $(cat "$work/stderr")"
  done
  echo "ok: $what$([ -s "$work/stderr" ] && echo ": $(cat "$work/stderr")")"
}

run "X11 session" 0 -- XDG_SESSION_TYPE=x11
run "Wayland session without access to uinput" 1 "^qz470-tester: " "X11 programs only" "/dev/uinput" \
  "qz470-tester-wayland-keys" "log in again" -- XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0
# The README shows the user this very line; the system's reason in brackets
# (here the machine may have no /dev/uinput at all) may differ, and so may
# the reason the desktop's portal cannot be had (a tester built with libei).
reasonless() { sed -e 's/cannot be opened ([^)]*)/cannot be opened (...)/' -e 's|only: [^/]*, and /dev/uinput|only: (...), and /dev/uinput|'; }
line=$(reasonless <"$work/stderr")
sed -n 's/^ *\(qz470-tester: keystrokes will reach X11 programs only\)/\1/p' "$(dirname "$0")/../../README.md" |
  reasonless | grep -qxF "$line" || fail "README.md does not quote the Wayland line word for word"
run "uinput forced" 1 "^qz470-tester: QZ470_KEY_SINK=uinput" "/dev/uinput" "no keystrokes" -- \
  QZ470_KEY_SINK=uinput XDG_SESSION_TYPE=x11
run "XTest forced on Wayland" 0 -- QZ470_KEY_SINK=xtest XDG_SESSION_TYPE=wayland
run "a sink not understood" 1 "QZ470_KEY_SINK=udev" "xtest or uinput" -- QZ470_KEY_SINK=udev

finish "the sink messages are one line each, and only where a sink is missing"

# Helpers the packaging tests share; sourced, not run.

skip() {
  echo "SKIP: $*"
  exit 77
}

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

die() {
  echo "FAIL: $*"
  exit 1
}

# Ends the test: status 1 when any check failed, else prints $1.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "$1"
}

# Starts Xvfb on a display number it picks itself; sets $display and
# $xvfb_pid (the caller's cleanup kills it). Needs $work.
start_xvfb() {
  Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp 8>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 300); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$work/display" ] || {
    cat "$work/xvfb.log"
    die "Xvfb did not start"
  }
  display=":$(head -1 "$work/display")"
}

# Ends the program in window $1 as a person would, with a click on "Exit"
# (6090,7800 twips, 1995x885 twips, 15 twips a pixel: centred at (472, 549)),
# and expects it to end with status 0. Uses $display and $app_pid.
click_exit_and_expect_success() {
  DISPLAY=$display xdotool mousemove --window "$1" 472 549 click 1
  for _ in $(seq 300); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$app_pid" 2>/dev/null; then
    fail "the program is still running 30 s after the click on Exit"
    kill "$app_pid" 2>/dev/null || true
  fi
  local status=0
  wait "$app_pid" || status=$?
  app_pid=""
  [ "$status" -eq 0 ] || fail "the program ended with status $status"
}

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

# Sets up a run of $app by an ordinary user. As root (CI), that is the user
# "nobody", through setpriv ($as_user); as anyone else, that user
# ($as_user empty). Makes $work, removed at exit with the program ($app_pid)
# and Xvfb ($xvfb_pid) ended; in it, a copy of the program that the user can
# run wherever the build tree lives, and a home and runtime folder of the
# user's own.
prepare_run_as_user() {
  as_user=()
  if [ "$(id -u)" -eq 0 ]; then
    command -v setpriv >/dev/null || skip "setpriv is not installed"
    id nobody >/dev/null 2>&1 || skip "there is no user 'nobody' to run the program as"
    as_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --reset-env)
  fi
  work=$(mktemp -d)
  chmod 755 "$work"
  app_pid=""
  xvfb_pid=""
  trap end_run_as_user EXIT
  cp "$app" "$work/qz470-tester"
  chmod 755 "$work/qz470-tester"
  mkdir -m 700 "$work/home" "$work/runtime"
  [ ${#as_user[@]} -eq 0 ] || chown nobody "$work/home" "$work/runtime"
}
end_run_as_user() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
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

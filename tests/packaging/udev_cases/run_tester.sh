# The udev step of tools/run-tester.sh (tools/udev-rule.sh), sourced by
# udev_rule_test.sh with the transceiver rule, which it takes away first. With
# no rule in any rules directory, the step installs the packaged file into
# /etc/udev/rules.d, where udev finds it, has udev reload its rules and replay
# the hidraw events, and says so in one line. Run again, or with the package's
# rule in place, it says nothing and changes nothing. The step runs under
# umockdev, so that its replay reaches the test's devices only.
. "$(dirname "$cases")/transceiver_devices.sh"
step=$(dirname "$cases")/../../../tools/udev-rule.sh
installed=/etc/udev/rules.d/60-qz470-tester.rules
mv "$scratch/rules/60-qz470-tester.rules" "$scratch/packaged.rules"

run_step() {
  umockdev-run -d "$scratch/devices.umockdev" -- "$step" 2>&1 || echo "(exit status $?)"
}

# udevd, in debug mode, logs the reload it is asked for; where it cannot run,
# the step must say that the rule applies once udev starts.
if start_udevd --debug; then
  applied="udev applied it to the transceiver if it is plugged in"
else
  applied="udev is not running here, so it applies once udev starts"
fi
out=$(run_step)
sleep 0.2
if [ -n "$udevd_pid" ]; then
  # Inside a chroot (CI's Debian 13 root) udevadm ignores every request and
  # says so, with status 0: there the reload cannot be seen.
  chroot_note=$(udevadm control --ping 2>&1 | grep -i chroot || true)
  stop_udevd
  if [ -n "$chroot_note" ]; then
    echo "note: the reload is not checked here: udevadm says \"$chroot_note\""
  else
    grep -q 'RELOAD' "$scratch/udevd.log" || fail "udevd was not asked to reload its rules"
  fi
fi
expected="udev-rule.sh: installed the transceiver's udev rule as $installed, so that you may open the transceiver without root; $applied. To remove it: sudo rm $installed && sudo udevadm control --reload-rules"
[ "$out" = "$expected" ] || fail "the first run printed:
$out
instead of:
$expected"
cmp -s "$scratch/packaged.rules" "$installed" || fail "$installed is not the packaged rule"
[ "$(stat -c %a "$installed" 2>/dev/null)" = 644 ] || fail "$installed does not have mode 644"
expect /sys/class/hidraw/hidraw1 yes "transceiver 0003:1003, by the rule the step installed"

before=$(stat -c %i.%Y "$installed")
out=$(run_step)
[ -z "$out" ] || fail "with the rule installed, the step printed: $out"
[ "$(stat -c %i.%Y "$installed")" = "$before" ] || fail "with the rule installed, the step wrote it again"

rm "$installed"
mv "$scratch/packaged.rules" "$scratch/rules/60-qz470-tester.rules"
out=$(run_step)
[ -z "$out" ] || fail "with the package's rule in place, the step printed: $out"
[ ! -e "$installed" ] || fail "with the package's rule in place, the step installed a copy"
[ "$failures" -ne 0 ] || echo "ok: the udev step installs the rule once, and is silent when a rule is there"

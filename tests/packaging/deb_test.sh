#!/usr/bin/env bash
# The Debian package, end to end, on this machine: build it with CPack, check
# both packages with lintian (against lintian.overrides), install it with apt,
# start the installed program under Xvfb, end it as a person would (a click
# on "Exit"), expect exit status 0 and a silent standard error, then purge the
# package and expect every file it brought to be gone.
#
# Needs root, apt, cpack, lintian, Xvfb and xdotool; otherwise skipped. Refuses to touch
# a machine where the package is already installed.
#
# Usage: deb_test.sh BUILD_DIR
set -euo pipefail

. "$(dirname "$0")/lib.sh"

build=$(readlink -f "$1")
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in apt-get dpkg dpkg-deb cpack lintian Xvfb xdotool flock timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -f "$build/CPackConfig.cmake" ] || skip "no CPackConfig.cmake in $build (configure first)"
[ -x "$build/src/ui/qz470-tester" ] || skip "qz470-tester is not built in $build (build it first)"
if command -v readelf >/dev/null && readelf -d "$build/src/ui/qz470-tester" | grep -Eq 'NEEDED.*lib(a|ub|t)san'; then
  skip "this is a sanitizer build; packages are made from a normal build"
fi

# One run at a time on a machine: apt holds its own lock, but the checks
# around it must not see another run's package.
exec 9>/tmp/qz470-tester-deb-test.lock
flock -w 600 9 || skip "another run of this test holds the lock"

if dpkg-query -W -f='${Status}' qz470-tester 2>/dev/null | grep -q 'install ok installed'; then
  skip "qz470-tester is already installed here; this test will not remove it"
fi

work=$(mktemp -d)
installed=0
app_pid=""
xvfb_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  if [ "$installed" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq qz470-tester-wayland-keys qz470-tester >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT


# ---- build ----
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  die "cpack failed"
}
deb=$(ls "$work"/out/qz470-tester_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || die "cpack made no qz470-tester_*.deb"
echo "built ${deb##*/}"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Qt's platform plugin and the fonts are loaded at run time; the linked libraries
# come from dpkg-shlibdeps, so their presence shows that it ran.
for dep in qt6-qpa-plugins fonts-liberation libqt6widgets6 libqt6dbus6 libc6; do
  grep -Eq "(^|, )$dep( |,|$)" <<<"$depends" || fail "Depends lacks $dep"
done
for script in postinst postrm; do
  # dpkg-deb --info, not a pipe into tar: tar stops before the end of the
  # archive, and the writer's broken pipe failed this check now and then.
  dpkg-deb --info "$deb" "$script" >/dev/null 2>&1 || fail "the package has no $script"
done
grep -q 'qz470-tester-wayland-keys' <<<"$(dpkg-deb -f "$deb" Suggests)" || fail "Suggests lacks qz470-tester-wayland-keys"

# The opt-in package: the uinput rule alone, for any architecture, tied to
# this very version of the tester, with maintainer scripts of its own.
keys_deb=$(ls "$work"/out/qz470-tester-wayland-keys_*_all.deb 2>/dev/null | head -1)
[ -n "$keys_deb" ] || die "cpack made no qz470-tester-wayland-keys_*_all.deb"
echo "built ${keys_deb##*/}"
version=$(dpkg-deb -f "$deb" Version)
keys_depends=$(dpkg-deb -f "$keys_deb" Depends)
grep -Eq "(^|, )qz470-tester \(= $version\)" <<<"$keys_depends" || fail "qz470-tester-wayland-keys Depends: $keys_depends"
[ "$(dpkg-deb -c "$keys_deb" | awk '!/\/$/ {print $6}' | sort | tr '\n' ' ')" = \
  "./usr/lib/udev/rules.d/60-qz470-tester-wayland-keys.rules ./usr/share/doc/qz470-tester-wayland-keys/changelog.gz " ] ||
  fail "qz470-tester-wayland-keys holds more or less than its rule and changelog: $(dpkg-deb -c "$keys_deb")"
for script in postinst postrm; do
  dpkg-deb --info "$keys_deb" "$script" >/dev/null 2>&1 || fail "qz470-tester-wayland-keys has no $script"
done

# ---- lintian: each finding is mended, or listed with its reason in lintian.overrides ----
lintian "$deb" "$keys_deb" >"$work/lintian.log" 2>&1 || true
findings=0
while IFS= read -r line; do
  finding=${line#?: }
  listed=0
  while IFS= read -r entry; do
    [ -n "$entry" ] && [[ "$entry" != \#* ]] || continue
    if [ "$finding" = "$entry" ] || [[ "$finding" == "$entry "* ]]; then listed=1; fi
  done <"$(dirname "$0")/lintian.overrides"
  if [ "$listed" = 0 ]; then
    fail "lintian: $line"
    findings=$((findings + 1))
  fi
done < <(grep -E '^[EW]: ' "$work/lintian.log")
[ "$findings" -eq 0 ] && echo "lintian: nothing beyond lintian.overrides ($(grep -cE '^[EW]: ' "$work/lintian.log") listed)"

# ---- install ----
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" >"$work/apt-install.log" 2>&1 || {
  cat "$work/apt-install.log"
  die "apt-get install failed (postinst must not fail where udev is not running)"
}
installed=1
dpkg -L qz470-tester >"$work/files"
for f in /usr/bin/qz470-tester /usr/lib/udev/rules.d/60-qz470-tester.rules \
  /usr/share/applications/qz470-tester.desktop /usr/share/icons/hicolor/scalable/apps/qz470-tester.svg \
  /usr/bin/qz470-probe /usr/share/man/man1/qz470-probe.1.gz /usr/share/bash-completion/completions/qz470-probe; do
  grep -qx "$f" "$work/files" || fail "the package does not install $f"
done

# The opt-in package on top, then away again, leaving the tester as it was.
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$keys_deb" >"$work/apt-keys.log" 2>&1 || {
  cat "$work/apt-keys.log"
  die "apt-get install of qz470-tester-wayland-keys failed"
}
[ -f /usr/lib/udev/rules.d/60-qz470-tester-wayland-keys.rules ] || fail "qz470-tester-wayland-keys did not install its rule"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q qz470-tester-wayland-keys >"$work/apt-keys.log" 2>&1 || {
  cat "$work/apt-keys.log"
  die "apt-get purge of qz470-tester-wayland-keys failed"
}
[ ! -e /usr/lib/udev/rules.d/60-qz470-tester-wayland-keys.rules ] || fail "the uinput rule is left after the purge"
dpkg-query -W -f='${Status}' qz470-tester 2>/dev/null | grep -q 'install ok installed' ||
  fail "purging qz470-tester-wayland-keys took qz470-tester with it"

# ---- the installed probe: its version, and a verdict on this machine ----
version=$(env -i PATH=/usr/bin:/bin /usr/bin/qz470-probe --version 2>&1) || fail "qz470-probe --version failed"
[ "$version" = "qz470-probe $(dpkg-deb -f "$deb" Version)" ] || fail "qz470-probe --version says: $version"
status=0
env -i PATH=/usr/bin:/bin /usr/bin/qz470-probe list >"$work/probe.out" 2>"$work/probe.err" || status=$?
case $status in
0 | 3 | 4) ;; # a transceiver usable, none, or one that may not be opened
*) fail "qz470-probe list ended with status $status" ;;
esac
# Each message is one line of its own.
grep -qv '^qz470-probe: ' "$work/probe.err" && fail "qz470-probe list wrote other than its messages: $(cat "$work/probe.err")"

# ---- run the installed program and click "Exit" ----
mkdir -m 700 "$work/runtime" "$work/home"
start_xvfb

env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" DISPLAY="$display" \
  QT_QPA_PLATFORM=xcb LANG=C.UTF-8 /usr/bin/qz470-tester >"$work/stdout" 2>"$work/stderr" &
app_pid=$!

window=$(DISPLAY=$display timeout 60 xdotool search --sync --onlyvisible --name '^QZ470 Tester$' 2>/dev/null | head -1 || true)
if [ -z "$window" ]; then
  cat "$work/stderr"
  die "no visible window named \"QZ470 Tester\" appeared"
fi
eval "$(DISPLAY=$display xdotool getwindowgeometry --shell "$window")"
echo "main window $window at $X,$Y, ${WIDTH}x${HEIGHT}"
# Give the window a moment to take input first.
sleep 1
click_exit_and_expect_success "$window"
# Without a transceiver it says so in one line, and nothing else (no session
# bus here, so no notification and no word about one either).
expected="qz470-tester: no transceiver found (USB 0003:1001 or 0003:1003). Plug it in, then start qz470-tester again."
if [ "$(cat "$work/stderr")" != "$expected" ]; then
  fail "without a transceiver, standard error should hold exactly the line: $expected; it held:"
  sed 's/^/    /' "$work/stderr"
fi

# ---- purge, and nothing may be left ----
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q qz470-tester >"$work/apt-purge.log" 2>&1 || {
  cat "$work/apt-purge.log"
  die "apt-get purge failed"
}
installed=0
dpkg-query -W -f='${Status}' qz470-tester 2>/dev/null | grep -q 'installed' && fail "dpkg still lists the package"
while IFS= read -r path; do
  [ "$path" = "/." ] && continue
  if [ -L "$path" ] || [ -f "$path" ]; then
    fail "left behind: $path"
  elif [ -d "$path" ]; then
    # Shared directories stay while another package owns them or has files in them.
    if ! dpkg -S "$path" >/dev/null 2>&1 && [ -z "$(ls -A "$path")" ]; then
      fail "left behind: empty directory $path"
    fi
  fi
done <"$work/files"

finish "the package builds, installs, runs, exits on Exit and purges cleanly"

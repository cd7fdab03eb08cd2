#!/usr/bin/env bash
# Installs the build into a scratch root as the package does (DESTDIR, prefix
# /usr) and checks what lands there: every file a desktop expects, in its place
# and with its mode, nothing else; the desktop entry and the AppStream data
# pass their validators and point at each other, at the binary and at the
# icons; the icons have the sizes their directories claim; the man page renders
# without warnings.
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

. "$(dirname "$0")/lib.sh"

build=$1
src=$2
for tool in cmake desktop-file-validate appstreamcli gzip; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -x "$build/src/ui/qz470-tester" ] || skip "qz470-tester is not built in $build (build it first)"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
umask 022
DESTDIR=$stage cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 || {
  cat "$stage.log"
  rm -f "$stage.log"
  echo "FAIL: cmake --install failed"
  exit 1
}
rm -f "$stage.log"
root=$stage/usr


declare -A expected=()
# expect_file PATH_UNDER_/usr MODE
expect_file() {
  local path=$1 mode=$2 actual
  expected[$path]=1
  if [ ! -f "$root/$path" ] || [ -L "$root/$path" ]; then
    fail "/usr/$path is not installed as a regular file"
    return 1
  fi
  actual=$(stat -c %a "$root/$path")
  [ "$actual" = "$mode" ] || fail "/usr/$path has mode $actual, want $mode"
  return 0
}

# PNG: width and height are the big-endian words at bytes 16 and 20 of the IHDR chunk.
png_size() {
  local w h
  w=$(od -An -tu1 -j16 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
  h=$(od -An -tu1 -j20 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
  echo "${w}x${h}"
}

# ---- the program ----
if expect_file bin/qz470-tester 755; then
  [ "$(head -c4 "$root/bin/qz470-tester" | od -An -c | tr -d ' ')" = '177ELF' ] ||
    fail "/usr/bin/qz470-tester is not an ELF executable"
fi

# ---- the probe: a terminal program that links no Qt ----
if expect_file bin/qz470-probe 755; then
  [ "$(head -c4 "$root/bin/qz470-probe" | od -An -c | tr -d ' ')" = '177ELF' ] ||
    fail "/usr/bin/qz470-probe is not an ELF executable"
  if command -v readelf >/dev/null; then
    readelf -d "$root/bin/qz470-probe" | grep -q 'NEEDED.*libQt' && fail "/usr/bin/qz470-probe links Qt"
  fi
fi
completion=share/bash-completion/completions/qz470-probe
if expect_file "$completion" 644; then
  bash -n "$root/$completion" || fail "$completion is not valid bash"
  grep -q 'complete -F [_a-z0-9]* qz470-probe' "$root/$completion" || fail "$completion completes no qz470-probe"
fi

# ---- desktop entry ----
desktop=share/applications/qz470-tester.desktop
if expect_file "$desktop" 644; then
  desktop-file-validate "$root/$desktop" || fail "desktop-file-validate rejects $desktop"
  grep -qx 'Name=QZ470 Tester' "$root/$desktop" || fail "$desktop: Name is not \"QZ470 Tester\""
  exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$root/$desktop")
  [ -x "$root/bin/${exec_cmd##*/}" ] || fail "$desktop: Exec=$exec_cmd is not the installed program"
  icon=$(sed -n 's/^Icon=//p' "$root/$desktop")
  [ -f "$root/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
    fail "$desktop: Icon=$icon has no scalable icon in the hicolor theme"
fi

# ---- icons ----
for size in 16 24 32 48 64 128 256; do
  png=share/icons/hicolor/${size}x${size}/apps/qz470-tester.png
  if expect_file "$png" 644; then
    [ "$(head -c8 "$root/$png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || fail "$png is not a PNG"
    actual=$(png_size "$root/$png")
    [ "$actual" = "${size}x${size}" ] || fail "$png is $actual pixels"
  fi
done
svg=share/icons/hicolor/scalable/apps/qz470-tester.svg
if expect_file "$svg" 644; then
  grep -q '<svg' "$root/$svg" || fail "$svg is not an SVG image"
fi

# ---- AppStream metadata ----
metainfo=$(cd "$root" && ls share/metainfo/*.metainfo.xml 2>/dev/null || true)
if [ "$(echo "$metainfo" | grep -c .)" -ne 1 ]; then
  fail "want exactly one metainfo file under /usr/share/metainfo, found: ${metainfo:-none}"
elif expect_file "$metainfo" 644; then
  appstreamcli validate --no-net "$root/$metainfo" || fail "appstreamcli rejects $metainfo"
  id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$root/$metainfo")
  [ "share/metainfo/$id.metainfo.xml" = "$metainfo" ] || fail "$metainfo: file name does not match its id '$id'"
  grep -q "<launchable type=\"desktop-id\">${desktop##*/}</launchable>" "$root/$metainfo" ||
    fail "$metainfo: launchable does not name ${desktop##*/}"
  for binary in qz470-tester qz470-probe; do
    grep -q "<binary>$binary</binary>" "$root/$metainfo" || fail "$metainfo: does not provide the binary $binary"
  done
  grep -q '@[A-Z_]*@' "$root/$metainfo" && fail "$metainfo: unsubstituted @VARIABLE@ left"
  for shot in screenshot-main.png screenshot-secondary.png; do
    grep -q "<image>[^<]*/docs/$shot</image>" "$root/$metainfo" || fail "$metainfo: no screenshot docs/$shot"
  done
fi

# ---- udev rule: below 73, so that the seat rules see its tag ----
rule=lib/udev/rules.d/60-qz470-tester.rules
expect_file "$rule" 644 || true
for f in "$root"/lib/udev/rules.d/*qz470*; do
  number=${f##*/}
  number=${number%%-*}
  [ "$number" -lt 73 ] 2>/dev/null || fail "${f#"$stage"}: number $number is not below 73"
done

# ---- man pages ----
for page in qz470-tester qz470-probe; do
  man=share/man/man1/$page.1.gz
  if expect_file "$man" 644; then
    if ! gzip -t "$root/$man"; then
      fail "$man is not gzip data"
    elif command -v groff >/dev/null; then
      warnings=$(gzip -dc "$root/$man" | groff -man -Tutf8 -ww -z 2>&1 || true)
      [ -z "$warnings" ] || fail "$man: groff warns: $warnings"
      text=$(gzip -dc "$root/$man" | groff -man -Tutf8 -P-cbou 2>/dev/null || true)
      grep -q "$page" <<<"$text" && grep -q 'NAME' <<<"$text" || fail "$man renders no NAME section"
      grep -q '@[A-Z_]*@' <<<"$text" && fail "$man: unsubstituted @VARIABLE@ left"
    else
      echo "note: groff is not installed; the man page was not rendered"
    fi
  fi
done

# ---- documentation ----
expect_file share/doc/qz470-tester/README.md 644 || true
expect_file share/doc/qz470-tester/websocket.md 644 || true # qz470-probe serve's protocol
changelog=share/doc/qz470-tester/changelog.gz
if expect_file "$changelog" 644; then
  gzip -dc "$root/$changelog" 2>/dev/null | head -1 | grep -Eq '^qz470-tester \([0-9][^)]*\) [a-z]+; urgency=' ||
    fail "$changelog does not start with a changelog entry of qz470-tester"
  gzip -dc "$root/$changelog" 2>/dev/null | grep -q '@[A-Za-z_0-9]*@' && fail "$changelog: unsubstituted @VARIABLE@ left"
fi
for shot in screenshot-main.png screenshot-secondary.png; do
  if [ -f "$src/docs/$shot" ]; then
    expect_file "share/doc/qz470-tester/docs/$shot" 644 || true
  else
    echo "note: docs/$shot is not in the source tree yet"
  fi
done
# The recorded emulate session the README points to.
for recording in emulate-session.log emulate-session.timing; do
  expect_file "share/doc/qz470-tester/docs/$recording" 644 || true
done

# ---- nothing else, and nothing writable by others ----
while IFS= read -r -d '' f; do
  rel=${f#"$root"/}
  [ -n "${expected[$rel]:-}" ] || fail "unexpected file installed: /usr/$rel"
done < <(find "$root" \( -type f -o -type l \) -print0)
while IFS= read -r -d '' d; do
  fail "directory /usr/${d#"$root"/} has mode $(stat -c %a "$d"), want 755"
done < <(find "$root" -type d ! -perm 755 -print0)
while IFS= read -r -d '' d; do
  fail "empty directory installed: ${d#"$stage"}"
done < <(find "$root" -type d -empty -print0)
[ -d "$stage/etc" ] && fail "files installed under /etc: configuration is none of the package's business"
[ "$(find "$stage" -mindepth 1 -maxdepth 1 ! -name usr | wc -l)" -eq 0 ] || fail "files installed outside /usr"

# ---- the opt-in uinput rule: only with its component, and nothing else with it but its changelog ----
keys_stage=$(mktemp -d)
DESTDIR=$keys_stage cmake --install "$build" --prefix /usr --component wayland_keys >"$keys_stage.log" 2>&1 || {
  cat "$keys_stage.log"
  fail "cmake --install --component wayland_keys failed"
}
rm -f "$keys_stage.log"
keys_files=$(cd "$keys_stage" && find . \( -type f -o -type l \) | sort)
[ "$keys_files" = "./usr/lib/udev/rules.d/60-qz470-tester-wayland-keys.rules
./usr/share/doc/qz470-tester-wayland-keys/changelog.gz" ] ||
  fail "the wayland_keys component installs: ${keys_files:-nothing}"
[ ! -e "$root/lib/udev/rules.d/60-qz470-tester-wayland-keys.rules" ] ||
  fail "a plain install brings the opt-in uinput rule"
keys_rule=$keys_stage/usr/lib/udev/rules.d/60-qz470-tester-wayland-keys.rules
if [ -f "$keys_rule" ]; then
  [ "$(stat -c %a "$keys_rule")" = 644 ] || fail "the uinput rule has mode $(stat -c %a "$keys_rule")"
fi
rm -rf "$keys_stage"

finish "install layout checks passed (${#expected[@]} files, and the opt-in rule on its own)"

#!/usr/bin/env bash
# What the programs' command lines accept, what the probe's bash completion
# offers and what the man pages document must agree: every option of each
# probe command's --help is completed and documented, nothing is completed
# that the program would refuse, the commands that emulate takes on its input
# are documented, and the man page lists the exit statuses word for word. The
# tester answers --help and --version without a display, and its man page
# documents each option and environment variable that its --help names.
#
# Usage: docs_test.sh QZ470_PROBE QZ470_TESTER PACKAGING_DIR
set -euo pipefail

. "$(dirname "$0")/../packaging/lib.sh"

probe=$1
tester=$2
packaging=$3
completion=$packaging/qz470-probe.bash-completion
man=$packaging/qz470-probe.1.in
tester_man=$packaging/qz470-tester.1.in
[ -x "$probe" ] || skip "$probe is not built"
[ -x "$tester" ] || skip "$tester is not built"

# What the completion offers for the words given, the cursor on the last.
complete_words() {
  bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _qz470_probe
    printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$completion" qz470-probe "$@"
}

# The long options in a help text, one per line, sorted.
options_of() {
  grep -oE '^ +(-h, ?)?--[a-z][a-z-]*' | grep -oE -- '--[a-z][a-z-]*$' | sort -u
}

commands=$("$probe" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF {print $1}' | sort)
[ "$commands" = "$(complete_words "" | grep -v '^-')" ] ||
  fail "the completion's commands differ from the program's: $(echo $commands)"

for command in $commands; do
  help=$("$probe" "$command" --help)
  accepted=$( (echo "$help" | options_of; echo --version) | sort -u)
  offered=$(complete_words "$command" "-")
  [ "$accepted" = "$offered" ] ||
    fail "$command: completion offers $(echo $offered), the program takes $(echo $accepted)"
  for option in $accepted; do
    grep -q -- "${option//-/\\\\-}" "$man" || fail "the man page does not document $option"
  done
done

actions=$("$probe" led --help | grep -oE '\{[a-z,]+\}' | tr -d '{}' | tr ',' '\n' | sort)
[ "$actions" = "$(complete_words led "")" ] || fail "led: the completion's actions differ: $(complete_words led "" | tr '\n' ' ')"
[ "$(complete_words led on "")" = all ] || fail "led on: the completion does not offer all"
[ "$(complete_words led on 7 "")" = "" ] || fail "led on 7: the completion offers a third argument"

# What emulate reads, one a line: each command its --help lists has its entry
# under "Commands of emulate".
typed=$("$probe" emulate --help | sed -n '/^Commands, one a line/,/^$/p' | awk 'NR > 1 && NF {print $1}')
[ -n "$typed" ] || fail "emulate --help lists no commands"
commands_section=$(sed -n '/^\.SS Commands of emulate/,/^\.SS /p' "$man")
for word in $typed; do
  grep -Eq "^\.(B|BI|I) $word( |\$)" <<<"$commands_section" || fail "the man page does not document emulate's command $word"
done

# The tester: --help and --version answer with no display at all, and exit 0.
tester_help=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= "$tester" --help) ||
  fail "qz470-tester --help without a display did not exit 0"
grep -q '^Usage: qz470-tester' <<<"$tester_help" || fail "qz470-tester --help prints no usage line"
version=$("$probe" --version)
[ "$(env -u DISPLAY "$tester" --version)" = "qz470-tester ${version#qz470-probe }" ] ||
  fail "qz470-tester --version does not print the version the probe prints ($version)"
for option in $(options_of <<<"$tester_help"); do
  grep -q -- "${option//-/\\\\-}" "$tester_man" || fail "the tester's man page does not document $option"
done
variables=$(sed -n '/^Environment:/,/^$/p' <<<"$tester_help" | grep -oE '^  [A-Z][A-Z0-9_]+' || true)
[ -n "$variables" ] || fail "qz470-tester --help names no environment variable"
environment_section=$(sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p' "$tester_man")
for variable in $variables; do
  grep -Eq "^\.BR? .*\b$variable\b" <<<"$environment_section" ||
    fail "the tester's man page does not document $variable under ENVIRONMENT"
done

# The exit statuses, exactly as the program promises them.
render=$(groff -man -Tutf8 -rHY=0 -rLL=400n -P-cbou "$man" 2>/dev/null | tr -s ' \n' ' ' || true)
[ -n "$render" ] || skip "groff is not installed"
for status in \
  "0 success" \
  "1 the command failed (an LED report that cannot be built or written, or a check that ended with pads missing)" \
  "2 a usage error (also for what the argument parser rejects)" \
  "3 no transceiver found" \
  "4 a transceiver found but not openable"; do
  grep -qF -- "$status" <<<"$render" || fail "the man page does not say: $status"
done

finish "completion, --help and the man pages agree"

#!/usr/bin/env bash
# What the probe's command line accepts, what its bash completion offers and
# what its man page documents must agree: every option of each command's
# --help is completed and documented, nothing is completed that the program
# would refuse, and the man page lists the exit statuses word for word.
#
# Usage: docs_test.sh QZ470_PROBE PACKAGING_DIR
set -euo pipefail

. "$(dirname "$0")/../packaging/lib.sh"

probe=$1
packaging=$2
completion=$packaging/qz470-probe.bash-completion
man=$packaging/qz470-probe.1.in
[ -x "$probe" ] || skip "$probe is not built"

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
  grep -oE '^ +(-h,)?--[a-z][a-z-]*' | sed 's/.*,--/--/; s/^ *//' | sort -u
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

finish "completion, --help and the man page agree"

#!/bin/sh
# --help, the manual page and the README name the same commands, options and
# exit codes.
#
#   help_agrees.sh <kestrivane-cli> <kestrivane-cli.1> <README.md>
set -eu
[ $# -eq 3 ] || { echo "usage: $0 <kestrivane-cli> <kestrivane-cli.1> <README.md>" >&2; exit 2; }
program=$1
man=$2
readme=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

help=$(ASAN_OPTIONS=detect_leaks=0 "$program" --help)
commands=$(echo "$help" | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z]*\) .*/\1/p')
[ "$(echo "$commands" | wc -l)" -eq 8 ] || fail "--help lists these commands: $commands"
for c in $commands; do
  grep -q "^| \`$c[ \`]" "$readme" || grep -q "^| \`[a-z]* SEGMENT\`, \`$c SEGMENT\`" "$readme" ||
    fail "README's command table lacks $c"
  grep -q "^$c\$" "$man" || fail "the manual page lacks $c"
done
options=$(echo "$help" | sed -n 's/^  \(--[a-z]*\).*/\1/p')
for o in $options; do
  grep -q -- "$o" "$readme" || fail "README lacks $o"
  grep -q -- "$(echo "$o" | sed 's/-/\\\\-/g')" "$man" || fail "the manual page lacks $o"
done
codes=$(echo "$help" | sed -n '/^Exit codes:/,$p' | sed -n 's/^  \([0-9][0-9]*\) .*/\1/p')
[ -n "$codes" ] || fail "--help lists no exit codes"
for code in $codes; do
  grep -q "^| $code |" "$readme" || fail "README's exit code table lacks $code"
  grep -q "^$code\\b" "$man" || grep -q "^\\.IP $code\\b" "$man" || grep -q "^ *$code  " "$man" ||
    fail "the manual page lacks exit code $code"
done
readme_codes=$(sed -n '/^Exit codes:/,/^Examples:/p' "$readme" | sed -n 's/^| \([0-9][0-9]*\) |.*/\1/p')
[ "$(echo "$readme_codes" | tr '\n' ' ')" = "$(echo "$codes" | tr '\n' ' ')" ] ||
  fail "README's exit codes ($readme_codes) differ from --help ($codes)"
echo "ok: --help, manual page and README agree"

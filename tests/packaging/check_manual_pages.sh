#!/usr/bin/env bash
# Checks each manual page against its program's help: the options listed with their
# argument names are the same set in both, and every environment variable the help
# names is described in the page. The programs are run for their help, so the page
# cannot fall behind them.
#   check_manual_pages.sh man_dir program...
set -euo pipefail

man_dir=$1
shift
skip=77
if ! command -v groff >/dev/null; then
  echo "SKIPPED: groff is not installed"
  exit $skip
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# "-j, --jsonport=port" from lines such as "  -j, --jsonport=port    Port for TCP JSON ...".
option_heads() { sed -nE 's/^ +(-[A-Za-z], --[a-z][-a-z]*(=[^ ]+)?).*/\1/p' | sort -u; }

for program in "$@"; do
  name=$(basename "$program")
  page="$man_dir/$name.1"
  [ -f "$page" ] || { fail "no manual page $page"; continue; }
  # The help shows settings in force: run it without any of ours from the environment.
  help=$(env -i PATH="$PATH" "$program" -h) || { fail "$name -h failed"; continue; }
  rendered=$(groff -man -Tascii -P-c -P-b -P-u -rLL=200n -ww "$page" 2>"$work/warnings") || {
    fail "groff cannot render $page"
    continue
  }
  [ ! -s "$work/warnings" ] || fail "groff warns about $page: $(cat "$work/warnings")"

  in_help=$(option_heads <<<"$help")
  in_page=$(option_heads <<<"$rendered")
  [ -n "$in_help" ] || fail "no options found in the help of $name"
  missing=$(comm -23 <(echo "$in_help") <(echo "$in_page"))
  extra=$(comm -13 <(echo "$in_help") <(echo "$in_page"))
  [ -z "$missing" ] || fail "$name(1) lacks options of the help:" $missing
  [ -z "$extra" ] || fail "$name(1) lists options the program does not have:" $extra
  echo "$name: $(echo "$in_help" | wc -l) options in the help and the page"

  # The page's ENVIRONMENT section describes every variable the help names.
  environment=$(sed -n '/^ENVIRONMENT/,/^[A-Z]/p' <<<"$rendered")
  for variable in $(grep -oE '\b[A-Z][A-Z0-9]*_[A-Z0-9_]+\b' <<<"$help" | sort -u); do
    grep -qw "$variable" <<<"$environment" || fail "$name(1) does not describe $variable"
  done
done

[ $failures -eq 0 ] || exit 1
echo "manual pages OK"

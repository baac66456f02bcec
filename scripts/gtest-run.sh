#!/usr/bin/env bash
# Runs a command that runs one GoogleTest program (the program itself, or wine-run.sh,
# wine-pty-test.sh, xvfb-run ... in front of it) and passes only when the program ran every test
# it holds to the end and all passed: exit status 0, and GoogleTest's report of the whole run,
# which it writes only after its last test, with at least one test and no failure in it. A program
# that dies half-way never passes, whatever status it ends with.
#
#   gtest-run.sh COMMAND...
set -uo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
# A relative name: the program finds it in the working directory it shares with this script, also
# under Wine, where an absolute Unix path could name another place.
report="gtest-run-$$.xml"
rm -f "$report"
trap 'rm -f "$report"' EXIT
status=0
GTEST_OUTPUT="xml:$report" "$@" || status=$?
[ "$status" -eq 0 ] || exit "$status"
if [ ! -s "$report" ]; then
  echo "$0: no GoogleTest report: the program ended before its last test" >&2
  exit 1
fi
# The first element's counts: <testsuites tests="N" failures="F" disabled="D" errors="E" ...>
summary=$(grep -m1 -o '<testsuites [^>]*>' "$report")
count() { grep -o " $1=\"[0-9]*\"" <<<"$summary" | grep -o '[0-9]*'; }
tests=$(count tests)
failures=$(count failures)
errors=$(count errors)
if [ "${tests:-0}" -lt 1 ] || [ "${failures:-1}" -ne 0 ] || [ "${errors:-1}" -ne 0 ]; then
  echo "$0: the report says tests=${tests:-?} failures=${failures:-?} errors=${errors:-?}" >&2
  exit 1
fi

#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix, quietly. The exit status is
# the program's. A crash always fails: Wine's debugger prints the backtrace and ends the program,
# whose status Wine now and then reports as 0 (about one crash in seven here).
set -euo pipefail
# shellcheck source=wine-prefix.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
# Stderr goes to a file, followed onto this script's stderr as it grows, and is looked at for
# Wine's crash report afterwards. Not a pipe: the Wine processes a first program starts (the
# prefix's services, its desktop) inherit the program's stderr and would hold a pipe open.
errors=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$errors"' EXIT
tail -n +1 -s 0.1 -f --pid=$$ "$errors" >&2 &
# Now and then Wine cannot lay out a new process's address space ("failed to map the shared user
# data"): the process ends before any of the program's code has run, so it is started again.
for attempt in 1 2 3; do
  from=$(($(stat -c %s "$errors") + 1))
  status=0
  wine "$@" 2>>"$errors" || status=$?
  if [ "$status" -ne 0 ] && tail -c +"$from" "$errors" | grep -q 'failed to map the shared user data'; then
    echo "$0: Wine could not start $1 (try $attempt of 3)" >&2
    continue
  fi
  break
done
if [ "$status" -eq 0 ] && grep -q '^wine: Unhandled ' "$errors"; then
  echo "$0: $1 crashed (Wine reported exit status 0)" >&2
  status=1
fi
exit "$status"

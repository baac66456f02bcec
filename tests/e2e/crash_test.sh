#!/usr/bin/env bash
# A crash fails at once, loudly, with its backtrace: tests/e2e/crash.cpp, run through each way the
# tests run a Windows program (wine-run.sh, wine-pty-test.sh on a display, gtest-run.sh, the e2e
# scripts' start of Ombrelo.exe), must fail within 10 s with Wine's backtrace in its output: no
# crash dialog may hold it and no exit status 0 may hide it.
#
#   crash_test.sh CRASH_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 CRASH_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR" >&2; exit 2; }
crash=$1 driver=$2 sim=$3 out=$4
repo=$(cd "$(dirname "$0")/../.." && pwd)
failed=0

# expect_crash NAME LIMIT COMMAND...
expect_crash() {
  local name=$1 limit=$2 status=0 started=$SECONDS output
  shift 2
  output=$(timeout "$limit" "$@" 2>&1) || status=$?
  if [ "$status" -eq 0 ] || [ "$status" -eq 124 ] || ! grep -q '^Backtrace:' <<<"$output" ||
    grep -q 'stopped by the watchdog' <<<"$output"; then
    echo "FAIL: $name: exit status $status after $((SECONDS - started)) s (124: still running)" >&2
    printf '%s\n' "$output" | tail -n 20 >&2
    failed=1
  else
    echo "$name: exit status $status after $((SECONDS - started)) s, with a backtrace"
  fi
}

# On a display, as the window tests run. Wine shows its crash dialog when the prefix's Wine
# started on a display, so it starts here: none may still run from before.
# shellcheck source=../../scripts/wine-prefix.sh
. "$repo/scripts/wine-prefix.sh"
wineserver -w
expect_crash "xvfb-run wine-pty-test.sh" 10 xvfb-run -a "$repo/scripts/wine-pty-test.sh" COM9 "$sim" --on -- "$crash"
expect_crash wine-run.sh 10 "$repo/scripts/wine-run.sh" "$crash"
expect_crash gtest-run.sh 10 "$repo/scripts/gtest-run.sh" "$repo/scripts/wine-run.sh" "$crash"
# The private prefix and display are made first; the 10 s count from the program's start, kept by
# the e2e scripts' own watchdog.
# shellcheck disable=SC2016
expect_crash e2e 60 bash -c '. "$1/tests/e2e/e2e_lib.sh"; e2e_init e2e_crash "$2" "$3" "$4" "$5" 60
  e2e_make_prefix; e2e_start_xvfb
  kill "$e2e_watchdog_pid"; (sleep 10; kill -TERM $$) </dev/null >/dev/null 2>&1 & e2e_watchdog_pid=$!
  trap '\''e2e_fail "stopped by the watchdog: still running 10 s after the start"'\'' TERM
  e2e_start_ombrelo' _ "$repo" "$crash" "$driver" "$sim" "$out"
exit "$failed"

#!/usr/bin/env bash
# A crash fails at once, loudly, with its backtrace: tests/e2e/crash.cpp, run through each way the
# tests run a Windows program (wine-run.sh, wine-pty-test.sh on a display, gtest-run.sh, the e2e
# scripts' start of Ombrelo.exe), must fail within 10 s with Wine's backtrace in its output: no
# crash dialog may hold it and no exit status 0 may hide it.
#
#   crash_test.sh CRASH_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 CRASH_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR" >&2; exit 2; }
# shellcheck source=../lib.sh
. "$(dirname "$0")/../lib.sh"
t_name=harness_crash
crash=$1 repo=$T_REPO

# expect_crash NAME LIMIT COMMAND...
expect_crash() {
  local name=$1 limit=$2 status=0 started=$SECONDS output
  shift 2
  output=$(timeout "$limit" "$@" 2>&1) || status=$?
  if [ "$status" -ne 0 ] && [ "$status" -ne 124 ] && grep -q '^Backtrace:' <<<"$output" &&
    ! grep -q 'stopped by the watchdog' <<<"$output"; then
    t_say "$name: exit status $status after $((SECONDS - started)) s, with a backtrace"
    return
  fi
  t_fail "$name: exit status $status after $((SECONDS - started)) s (124: still running)"
  printf '%s\n' "$output" | tail -n 20 >&2
}

# On a display, as the window tests run. Wine shows its crash dialog when the prefix's Wine
# started on a display, so it starts here: none may still run from before.
# shellcheck source=../../scripts/wine-prefix.sh
. "$repo/scripts/wine-prefix.sh"
wineserver -w
expect_crash "xvfb-run wine-pty-test.sh" 10 xvfb-run -a "$repo/scripts/wine-pty-test.sh" COM9 "$3" --on -- "$crash"
expect_crash wine-run.sh 10 "$repo/scripts/wine-run.sh" "$crash"
expect_crash gtest-run.sh 10 "$repo/scripts/gtest-run.sh" "$repo/scripts/wine-run.sh" "$crash"
# The private prefix and display are made first; the 10 s count from the program's start, kept by
# a watchdog of its own in place of the e2e scripts' one.
# shellcheck disable=SC2016
expect_crash e2e 60 bash -c '. "$1/tests/e2e/e2e_lib.sh"; e2e_init e2e_crash "$2" "$3" "$4" "$5" 60
  e2e_make_prefix; e2e_start_xvfb
  t_kill "$t_watchdog"; (sleep 10; kill -TERM $$) </dev/null >/dev/null 2>&1 & t_watchdog=$!
  trap '\''t_die "stopped by the watchdog: still running 10 s after the start"'\'' TERM
  e2e_start_ombrelo' _ "$repo" "$crash" "$2" "$3" "$4"
t_end

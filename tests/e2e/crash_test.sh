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

# expect_crash NAME COMMAND...
expect_crash() {
  local name=$1 status=0 started=$SECONDS output
  shift
  output=$(timeout 10 "$@" 2>&1) || status=$?
  if [ "$status" -eq 0 ] || [ "$status" -eq 124 ] || ! grep -q '^Backtrace:' <<<"$output"; then
    echo "FAIL: $name: exit status $status after $((SECONDS - started)) s (124: still running at 10 s)" >&2
    printf '%s\n' "$output" | tail -n 20 >&2
    failed=1
  else
    echo "$name: exit status $status after $((SECONDS - started)) s, with a backtrace"
  fi
}

expect_crash wine-run.sh "$repo/scripts/wine-run.sh" "$crash"
# On a display, as the window tests run, where a crash dialog could show.
expect_crash "xvfb-run wine-pty-test.sh" xvfb-run -a "$repo/scripts/wine-pty-test.sh" COM9 "$sim" --on -- "$crash"
expect_crash gtest-run.sh "$repo/scripts/gtest-run.sh" "$repo/scripts/wine-run.sh" "$crash"
# shellcheck disable=SC2016
expect_crash e2e bash -c '. "$1/tests/e2e/e2e_lib.sh"; e2e_init e2e_crash "$2" "$3" "$4" "$5" 10
  e2e_make_prefix; e2e_start_xvfb; e2e_start_ombrelo' _ "$repo" "$crash" "$driver" "$sim" "$out"
exit "$failed"

#!/usr/bin/env bash
# End-to-end checks of ombrelo-console against the simulated tester: a one-time read, a tester
# that does not answer, and a monitored connection that is lost.
# usage: console_test.sh CONSOLE SIM
set -u
console=$1
sim=$2
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Starts a simulator with the given options; sets $pty.
start_sim() {
  local out=$work/sim$RANDOM
  mkfifo "$out.in"
  "$sim" "$@" < "$out.in" > "$out" 2>&1 &
  pids+=($!)
  exec {hold}> "$out.in"   # keeps its stdin open until this script ends
  for _ in $(seq 50); do
    pty=$(grep -o '/dev/pts/[0-9]*' "$out" 2>/dev/null | head -n1)
    [ -n "$pty" ] && return 0
    sleep 0.1
  done
  return 1
}

start_sim --on || { echo "simulator did not start"; exit 1; }
out=$("$console" --once "$pty"); rc=$?
[ $rc -eq 0 ] || fail "--once on a tester exits $rc"
grep -q "firmware version bytes 2 11" <<<"$out" || fail "--once does not print the firmware bytes"
grep -q "^Power: ON" <<<"$out" || fail "--once does not print the power status"
grep -Eq "^12V1 +12\.[0-9]{2} " <<<"$out" || fail "--once does not print the 12V1 voltages"
grep -Eq "^3\.3V SATA .*(PASS|FAIL|N/A)" <<<"$out" || fail "--once prints no verdict for 3.3V SATA"

start_sim --silent || exit 1
"$console" --once "$pty" > /dev/null 2> "$work/err"; rc=$?
[ $rc -ne 0 ] || fail "--once on a silent tester exits 0"
grep -q "Device not found" "$work/err" || fail "--once on a silent tester gives no clear message"

start_sim --firmware 1.10 || exit 1
"$console" --once "$pty" > /dev/null 2> "$work/err"; rc=$?
[ $rc -ne 0 ] || fail "--once accepts firmware byte 10"
grep -q "firmware needs to be updated" "$work/err" || fail "no firmware message"

start_sim --ignore 0f || exit 1
timeout 20 "$console" "$pty" < /dev/null > "$work/mon" 2>&1; rc=$?
[ $rc -eq 1 ] || fail "monitor of a lost tester exits $rc"
grep -q "Connection lost" "$work/mon" || fail "monitor does not show Connection lost"

start_sim || exit 1
(sleep 2; echo p; sleep 2; echo q) | timeout 20 "$console" "$pty" > "$work/mon" 2>&1; rc=$?
[ $rc -eq 0 ] || fail "monitor quit by q exits $rc"
grep -q "Power: ON" "$work/mon" || fail "the power key did not switch the supply on"
grep -q "PASS" "$work/mon" || fail "the monitor shows no verdicts"

[ $failures -eq 0 ] && echo "all console checks passed"
exit $failures

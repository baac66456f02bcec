#!/usr/bin/env bash
# End-to-end checks of ombrelo-console against the simulated tester: a one-time read, UTF-8
# device paths, a monitored connection that is lost, the monitor's power key, and a port held by
# a monitor, which is busy for every other run. The exit codes of every mode and the files the
# console writes are the table cases of console_test_run.sh.
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

# A device path is UTF-8 too, on its own (--once) and through the connection worker (--test).
ln -s "$pty" "$work/tester-ü"
for mode in --once --test; do
  timeout 30 "$console" $mode "$work/tester-ü" > /dev/null 2> "$work/err"; rc=$?
  [ $rc -eq 0 ] || fail "$mode on a device path with ü: exit $rc, $(cat "$work/err")"
done

# A monitor whose keys go in once its screen shows what is awaited, however slow the machine:
# start_monitor ARGS..., then send KEYLINE and wait_for PATTERN, then finish_monitor.
start_monitor() {
  rm -f "$work/keys"; mkfifo "$work/keys"
  timeout 60 "$console" "$@" < "$work/keys" > "$work/mon" 2>&1 &
  monitor=$!
  exec {keys}> "$work/keys"
}
wait_for() {
  for _ in $(seq 300); do grep -q "$1" "$work/mon" && return 0; sleep 0.1; done
  fail "the monitor never showed '$1'"
}
send() { echo "$1" >&$keys; }
finish_monitor() { send q; wait $monitor; rc=$?; exec {keys}>&-; }

start_sim || exit 1
start_monitor "$pty"
wait_for "Power: OFF"
send p
wait_for "Power: ON"
finish_monitor
[ $rc -eq 0 ] || fail "monitor quit by q exits $rc"
grep -q "Power: ON" "$work/mon" || fail "the power key did not switch the supply on"
grep -q "PASS" "$work/mon" || fail "the monitor shows no verdicts"

# While a monitor holds the port, every other run is refused as busy (root too) and ends with 3.
start_sim --on || exit 1
start_monitor --log-interval 1 "$pty"
wait_for "Readings log: [1-9] rows"
for mode in --once --test ""; do
  # shellcheck disable=SC2086
  timeout 30 "$console" $mode "$pty" < /dev/null > /dev/null 2> "$work/err"; rc=$?
  [ $rc -eq 3 ] && grep -q "cannot open $pty: the device is busy" "$work/err" ||
    fail "'$mode' on a held port: exit $rc, $(cat "$work/err")"
done
finish_monitor

[ $failures -eq 0 ] && echo "all console checks passed"
exit $failures

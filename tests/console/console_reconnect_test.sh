#!/usr/bin/env bash
# The console monitor's --reconnect against the simulated tester: after a lost connection (the
# first current minima/maxima reply withheld) and after the tester hangs up and comes back under
# the same device path, the monitor connects again and goes on polling, and each JSON cycle line
# carries the account of its requests. Without --reconnect the same loss ends the monitor.
# usage: console_reconnect_test.sh CONSOLE SIM
set -u
console=$1
sim=$2
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Starts a simulator behind the link $work/tester; stopped by the cleanup.
start_sim() {
  rm -f "$work/tester"
  "$sim" "$@" --link "$work/tester" < /dev/null > "$work/sim.out" 2>&1 &
  pids+=($!)
  sim_pid=$!
  for _ in $(seq 50); do [ -e "$work/tester" ] && return 0; sleep 0.1; done
  echo "simulator did not start"; exit 1
}
stop_sim() { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }

# "failed steadyMs" of each cycle line.
accounts() { sed -n 's/.*"link":{[^}]*"failed":\([0-9]*\)[^}]*"steadyMs":\([0-9]*\)}.*/\1 \2/p' "$1"; }
# Clean cycles (no failed request) counted after the first failed one, or after a given time.
clean_after_failure() { accounts "$1" | awk '$1 > 0 {seen = 1; next} seen && $1 == 0 {n++} END {print n + 0}'; }
clean_after_time() { accounts "$1" | awk -v t="$2" '$2 > t && $1 == 0 {n++} END {print n + 0}'; }

"$console" --test --reconnect /dev/null > /dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "--reconnect with --test exits $rc, not the usage error 2"

# Without --reconnect a lost connection ends the monitor.
start_sim --on --drop-once 0f
timeout 20 "$console" --json "$work/tester" < /dev/null > "$work/plain.jsonl" 2> "$work/plain.err"; rc=$?
[ $rc -eq 1 ] || fail "the monitor without --reconnect exits $rc after a lost connection"
stop_sim

# With it, the monitor connects again and polls on.
start_sim --on --drop-once 0f
"$console" --json --reconnect "$work/tester" < /dev/null > "$work/lost.jsonl" 2> "$work/lost.err" &
console_pid=$!
pids+=($console_pid)
for _ in $(seq 200); do [ "$(clean_after_failure "$work/lost.jsonl")" -ge 3 ] && break; sleep 0.1; done
[ "$(clean_after_failure "$work/lost.jsonl")" -ge 3 ] || fail "no clean cycles after the lost connection"
grep -q "Connection lost" "$work/lost.err" || fail "the lost connection was not reported"
grep -q "trying .* again every second" "$work/lost.err" || fail "the monitor did not say it tries again"
grep -q '"link":{"requests":[0-9]*,"failed":1,' "$work/lost.jsonl" || fail "no cycle line counts the withheld reply"
kill -TERM "$console_pid"; wait "$console_pid"; rc=$?
[ $rc -eq 0 ] || fail "the reconnecting monitor exits $rc on SIGTERM"
stop_sim

# A tester that hangs up (its terminal closes) and comes back under the same path: the first
# hang-up 1.5 to 4.5 s after the start, the next at least 3 s after its return.
start_sim --on --chaos 1 --chaos-rate 0 --chaos-hang-up 3 --fault-log "$work/faults.log"
"$console" --json --reconnect "$work/tester" < /dev/null > "$work/hang.jsonl" 2> "$work/hang.err" &
console_pid=$!
pids+=($console_pid)
ok=0
for _ in $(seq 400); do
  if [ "$(grep -c hang-up "$work/faults.log" 2>/dev/null)" -ge 2 ]; then
    second=$(awk '/hang-up/ {t = $1} END {print t}' "$work/faults.log")
    [ "$(clean_after_time "$work/hang.jsonl" "$second")" -ge 2 ] && ok=1 && break
  fi
  sleep 0.1
done
[ $ok -eq 1 ] || fail "the monitor did not poll on after two hang-ups of the tester"
grep -q "back on" "$work/sim.out" || fail "the simulator did not come back"
kill -0 "$console_pid" 2>/dev/null || fail "the monitor ended"
kill -TERM "$console_pid"; wait "$console_pid"; rc=$?
[ $rc -eq 0 ] || fail "the monitor exits $rc on SIGTERM after the hang-ups"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"; exit 1
fi
echo "console --reconnect checks passed"

#!/usr/bin/env bash
# The console monitor's --reconnect against the simulated tester: after a lost connection (the
# first current minima/maxima reply withheld) and after the tester hangs up and comes back under
# the same device path, the monitor connects again and goes on polling, and each JSON cycle line
# carries the account of its requests. Without --reconnect the same loss ends the monitor.
# usage: console_reconnect_test.sh CONSOLE SIM
# shellcheck disable=SC2317  # the conditions are called through t_wait_until
set -u
console=$1
sim=$2
# shellcheck source-path=SCRIPTDIR source=../lib.sh
. "$(dirname "$0")/../lib.sh"
t_init console-reconnect 150
cd "$t_work" || t_die "no scratch folder"

# "failed steadyMs" of each cycle line.
accounts() { sed -n 's/.*"link":{[^}]*"failed":\([0-9]*\)[^}]*"steadyMs":\([0-9]*\)}.*/\1 \2/p' "$1"; }
# Three clean cycles (no failed request) after the first failed one.
recovered() { accounts lost.jsonl | awk '$1 > 0 {seen = 1; next} seen && $1 == 0 {n++} END {exit n < 3}'; }
# Two hang-ups of the tester, and two clean cycles after the second.
polls_after_hang_ups() {
  local second
  [ "$(grep -c hang-up faults.log 2> /dev/null)" -ge 2 ] || return 1
  second=$(awk '/hang-up/ {t = $1} END {print t}' faults.log)
  accounts hang.jsonl | awk -v t="$second" '$2 > t && $1 == 0 {n++} END {exit n < 2}'
}

"$console" --test --reconnect /dev/null > /dev/null 2>&1
t_expect "--reconnect with --test: exit (usage)" 2 $?

# Without --reconnect a lost connection ends the monitor.
t_start_sim plain "$sim" --on --drop-once 0f
timeout 20 "$console" --json "${t_pty[plain]}" < /dev/null > plain.jsonl 2> plain.err
t_expect "the monitor without --reconnect after a lost connection: exit" 1 $?

# With it, the monitor connects again and polls on.
t_start_sim lost "$sim" --on --drop-once 0f
"$console" --json --reconnect "${t_pty[lost]}" < /dev/null > lost.jsonl 2> lost.err &
pid=$!
t_pids+=("$pid")
t_wait_until 30 recovered || t_fail "no clean cycles after the lost connection"
grep -q "Connection lost" lost.err || t_fail "the lost connection was not reported"
grep -q "trying .* again every second" lost.err || t_fail "the monitor did not say it tries again"
grep -q '"link":{"requests":[0-9]*,"failed":1,' lost.jsonl || t_fail "no cycle line counts the withheld reply"
t_kill $pid
wait $pid
t_expect "the reconnecting monitor on SIGTERM: exit" 0 $?

# A tester that hangs up (its terminal closes) and comes back under the same path: the first
# hang-up 1.5 to 4.5 s after the start, the next at least 3 s after its return.
t_start_sim hang "$sim" --on --chaos 1 --chaos-rate 0 --chaos-hang-up 3 --fault-log faults.log --link "$t_work/tester"
"$console" --json --reconnect "${t_pty[hang]}" < /dev/null > hang.jsonl 2> hang.err &
pid=$!
t_pids+=("$pid")
t_wait_until 40 polls_after_hang_ups || t_fail "the monitor did not poll on after two hang-ups of the tester"
grep -q "back on" "${t_simout[hang]}" || t_fail "the simulator did not come back"
t_kill $pid 0 || t_fail "the monitor ended"
t_kill $pid
wait $pid
t_expect "the monitor on SIGTERM after the hang-ups: exit" 0 $?
t_end

#!/usr/bin/env bash
# End-to-end checks of ombrelo-console against the simulated tester: a one-time read, a tester
# that does not answer, a monitored connection that is lost, and a monitored session that keeps
# the readings log and saves it and the test report, with a chart of each saved log (--plot); a
# port held by a monitor is busy for every other run, and saving takes and prints UTF-8 names and
# says "saved" only for a file written whole.
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

# Saving: rows every second, the log under a remembered name, the report by a path of its own,
# and a chart of each saved log beside it.
export HOME=$work/home
mkdir -p "$HOME"
start_sim --on || exit 1
start_monitor --log-interval 1 --plot run-chart.svg "$pty"
wait_for "Readings log: [2-9] rows"
send "l run7"
wait_for "readings log saved to"
wait_for "written to $HOME/Documents/Zentarix/Ombrelo/run-chart.svg"
cp "$HOME/Documents/Zentarix/Ombrelo/run-chart.svg" "$work/first-chart.svg" 2>/dev/null
send "t $work/report.txt"
wait_for "test report saved to"
send l
wait_for "readings log saved to $HOME/Documents/Zentarix/Ombrelo/report.txt"
finish_monitor
[ $rc -eq 0 ] || fail "monitor with saving exits $rc"
folder=$HOME/Documents/Zentarix/Ombrelo
log=$folder/run7.txt
[ -f "$log" ] || fail "Save Log wrote no $log"
if [ -f "$log" ]; then
  lines=$(grep -c $'\r$' "$log")
  [ "$lines" -eq "$(wc -l < "$log")" ] || fail "a log line does not end in CR LF"
  rows=$(sed -n '3s/^Number of records logged: \([0-9]*\)\r$/\1/p' "$log")
  [ -n "$rows" ] && [ "$rows" -ge 2 ] || fail "the log holds too few rows: '$rows'"
  [ "$lines" -eq $((rows + 5)) ] || fail "the log has $lines lines for $rows rows"
  bad=$(tail -n +6 "$log" | awk -F, 'NF != 34' | wc -l)
  [ "$bad" -eq 0 ] || fail "$bad data lines do not have 34 fields"
  tail -n +6 "$log" | grep -Eq '^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4},12\.[0-9]{2},' ||
    fail "log rows do not start with a time stamp and the 12V voltage"
fi
report=$work/report.txt
[ -f "$report" ] || fail "Save Report wrote no file"
if [ -f "$report" ]; then
  [ "$(wc -l < "$report")" -eq 34 ] || fail "the report does not have 34 lines"
  head -n1 "$report" | grep -q $'^ZENTARIX Ombrelo Report file\r$' || fail "the report's first line"
  grep -q $'^Power Status: ON\r$' "$report" || fail "the report does not say the supply is on"
fi
# The report's name, chosen in another folder, is offered to the next Save Log in the output folder.
grep -q "readings log saved to $folder/report.txt" "$work/mon" || fail "the remembered name was not offered again"
[ -f "$folder/report.txt" ] && head -n1 "$folder/report.txt" | grep -q "Log file" ||
  fail "the second Save Log did not write the log under the remembered name"

# --plot: the chart of each saved log, beside it, of exactly the rows saved.
chart_rows() { xmllint --xpath 'string(//*[@data-summary])' "$1" 2>/dev/null | sed -n 's/.*|  \([0-9,]*\) rows\{0,1\}  |.*/\1/p' | tr -d ,; }
if ! command -v xmllint > /dev/null; then
  fail "xmllint is needed (apt-get install libxml2-utils)"
elif [ -f "$work/first-chart.svg" ] && [ -f "$folder/run-chart.svg" ]; then
  xmllint --noout "$work/first-chart.svg" "$folder/run-chart.svg" 2> /dev/null || fail "a --plot chart is not well-formed"
  [ "$(chart_rows "$work/first-chart.svg")" = "$rows" ] ||
    fail "the first chart shows '$(chart_rows "$work/first-chart.svg")' rows, the log $rows"
  second=$(sed -n '3s/^Number of records logged: \([0-9]*\)\r$/\1/p' "$folder/report.txt")
  [ "$(chart_rows "$folder/run-chart.svg")" = "$second" ] ||
    fail "the second chart shows '$(chart_rows "$folder/run-chart.svg")' rows, its log $second"
else
  fail "--plot wrote no chart beside the saved log"
fi
[ "$(grep -c "chart of [0-9]* rows" "$work/mon")" -eq 2 ] || fail "not one chart per saved log"
# A chart that would take the log's own name is refused; the log stays.
start_sim --on || exit 1
start_monitor --log-interval 1 --plot same.txt "$pty"
wait_for "Readings log: [1-9] rows"
send "l same.txt"
wait_for "chart not written: the chart would replace the log"
finish_monitor
head -n1 "$folder/same.txt" | grep -q "Log file" || fail "--plot with the log's name damaged the log"
"$console" --once --plot x.svg "$pty" > /dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "--once with --plot exits $rc, not 2"

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
# File names are UTF-8 both ways; a save that did not write the whole file says so.
mkdir "$work/folder.txt"
ln -s /dev/full "$work/full.txt"
saves=(
  "l Prüfung.txt|readings log saved to $folder/Prüfung.txt"
  "t $work/Bericht-ü.txt|test report saved to $work/Bericht-ü.txt"
  "t $work/folder.txt|test report could not be written to $work/folder.txt"
  "l $work/full.txt|readings log could not be written to $work/full.txt"
)
for row in "${saves[@]}"; do
  send "${row%%|*}"
  wait_for "${row#*|}"
done
finish_monitor
head -n1 "$folder/Prüfung.txt" 2> /dev/null | grep -q "Log file" || fail "no log saved as $folder/Prüfung.txt"
head -n1 "$work/Bericht-ü.txt" 2> /dev/null | grep -q "Report file" || fail "no report saved as Bericht-ü.txt"
grep -q "saved to $work/\(folder\|full\)" "$work/mon" && fail "a save that failed was reported as saved"

[ $failures -eq 0 ] && echo "all console checks passed"
exit $failures

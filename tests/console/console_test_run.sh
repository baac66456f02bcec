#!/usr/bin/env bash
# End-to-end checks of ombrelo-console's unattended test run (--test) and JSON lines (--json)
# against the simulated tester: the exit code of every outcome, the failing cells named on stderr,
# the settle cycles counted in the simulator's request log, every JSON line parsed by jq, the
# files of a test run against those of the monitor's l and t, and the message for a device the
# user may not open.
# usage: console_test_run.sh CONSOLE SIM
set -u
console=$1
sim=$2
work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
command -v jq > /dev/null || { echo "jq is needed (apt-get install jq)"; exit 1; }

# Starts a simulator with the given options and a request log of its own; sets $pty and $simlog.
start_sim() {
  local out=$work/sim$RANDOM
  simlog=$out.requests
  mkfifo "$out.in"
  "$sim" --log "$simlog" "$@" < "$out.in" > "$out" 2>&1 &
  pids+=($!)
  exec {hold}> "$out.in"   # keeps its stdin open until this script ends
  for _ in $(seq 50); do
    pty=$(grep -o '/dev/pts/[0-9]*' "$out" 2>/dev/null | head -n1)
    [ -n "$pty" ] && return 0
    sleep 0.1
  done
  echo "simulator did not start"
  exit 1
}

# Requests of one command byte in the simulator's log; with a second byte, only those after the
# last request of that one.
count_requests() {
  awk -v cmd="$1" -v after="${2:-}" '
    after != "" && $1 == after { n = 0; seen = 1; next }
    (after == "" || seen) && $1 == cmd { n++ }
    END { print n + 0 }' "$simlog"
}

# ---- outcomes and their exit codes ------------------------------------------------------------
# simulator options | console options | exit code | text expected on stderr ("" for none)
outcomes=(
  "--on|--settle 2|0|"
  "--on --rail-offset 5V:+400|--settle 2|7|FAIL: 5V Min Volt., 5V Volt., 5V Max Volt., tester voltages"
  "--on --timed-out|--settle 2|7|12V1 T6"
  "|--power on --settle 2|0|"
  "--refuse-on|--power on --settle 2|9|refused to switch the supply on"
  "--silent|--settle 2|4|Device not found!"
  "--firmware 1.10|--settle 2|5|firmware needs to be updated"
  "--on --ignore 0f|--settle 2|1|Connection lost"
  # Replies longer than their layouts, one of them missed: the run still passes on exact values.
  "--on --pad 9 --drop-once 0c|--settle 2|0|"
  "--pad 9 --drop-once 0b|--power on --settle 2|0|"
)
for row in "${outcomes[@]}"; do
  IFS='|' read -r simopts opts code text <<<"$row"
  # shellcheck disable=SC2086
  start_sim $simopts
  # shellcheck disable=SC2086
  timeout 30 "$console" --test $opts "$pty" > "$work/out" 2> "$work/err"; rc=$?
  [ "$rc" -eq "$code" ] || fail "sim '$simopts', --test $opts: exit $rc, expected $code ($(tr '\n' ' ' < "$work/err"))"
  if [ -n "$text" ]; then
    grep -qF -- "$text" "$work/err" || fail "sim '$simopts': stderr lacks '$text': $(cat "$work/err")"
  fi
  if [ "$code" -eq 0 ]; then
    grep -q "^Verdict: PASS$" "$work/out" || fail "sim '$simopts': no PASS verdict on stdout"
    [ ! -s "$work/err" ] || fail "sim '$simopts': a passing run wrote to stderr: $(cat "$work/err")"
  fi
done

# --power on switches a supply that is off, once; then the minima and maxima, which hold the
# switch-on, are reset, and the settle cycles follow.
start_sim
timeout 30 "$console" --test --power on --settle 3 "$pty" > /dev/null 2>&1; rc=$?
[ $rc -eq 0 ] || fail "--power on: exit $rc"
[ "$(grep -c '^20 01$' "$simlog")" -eq 1 ] || fail "--power on did not send exactly one switch-on"
awk '/^20 01$/ {on = NR} /^21$/ {reset = NR} END {exit !(on && reset > on)}' "$simlog" ||
  fail "--power on: no minima/maxima reset after the switch-on"
polls=$(count_requests 0f 21)
[ "$polls" -eq 3 ] || fail "--power on --settle 3 made $polls poll cycles after the reset"

# ---- usage and device errors --------------------------------------------------------------------
usage_cases=(
  "--test --settle 0 /dev/null"
  "--test --settle x /dev/null"
  "--test --power maybe /dev/null"
  "--settle 3 /dev/null"
  "--test --report"
  "--once --test /dev/null"
)
for args in "${usage_cases[@]}"; do
  # shellcheck disable=SC2086
  "$console" $args > /dev/null 2>&1; rc=$?
  [ $rc -eq 2 ] || fail "'$args' exits $rc, expected 2 (usage)"
done
"$console" --test /dev/ombrelo-no-such-tty > /dev/null 2> "$work/err"; rc=$?
[ $rc -eq 3 ] || fail "a missing device exits $rc, expected 3"
grep -q "no such device" "$work/err" || fail "a missing device is not named as such: $(cat "$work/err")"
"$console" --test --report /nonexistent-dir/r.txt /dev/null > /dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "--report into a missing folder exits $rc, expected 2"
"$console" --help 2>&1 | grep -q "7 FAIL" || fail "--help does not list the exit codes"
# A report that cannot be created (the name is a folder) is its own outcome, after the verdict.
start_sim --on
timeout 30 "$console" --test --settle 1 --report "$work" "$pty" > "$work/out" 2> "$work/err"; rc=$?
[ $rc -eq 8 ] || fail "an unwritable --report exits $rc, expected 8"
grep -q "^Verdict: PASS$" "$work/out" && grep -q "test report could not be written" "$work/err" ||
  fail "an unwritable --report: no verdict or no message: $(cat "$work/err")"

# Permission: the simulator's terminal is the owner's only, so another user is refused. Run as
# that other user when we are root; as an ordinary user, forbid the terminal to ourselves.
start_sim --on
if [ "$(id -u)" -eq 0 ]; then
  chmod 600 "$pty"
  run_as_other() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
else
  chmod 000 "$pty"
  run_as_other() { "$@"; }
fi
run_as_other "$console" --test "$pty" > /dev/null 2> "$work/err"; rc=$?
[ $rc -eq 3 ] || fail "a device without permission exits $rc, expected 3"
grep -q 'permission denied' "$work/err" && grep -q '"dialout"' "$work/err" &&
  grep -q "70-ombrelo-tester.rules" "$work/err" ||
  fail "the permission message names neither the group nor the rule: $(cat "$work/err")"
run_as_other "$console" --once "$pty" > /dev/null 2> "$work/err"; rc=$?
[ $rc -eq 3 ] && grep -q '"dialout"' "$work/err" || fail "--once without permission: exit $rc, $(cat "$work/err")"
chmod 600 "$pty"

# ---- --settle: exactly N poll cycles after the minima/maxima reset, in the simulator's log ------
for settle in 1 2 5; do
  start_sim --on
  timeout 30 "$console" --test --settle "$settle" "$pty" > /dev/null 2>&1; rc=$?
  [ $rc -eq 0 ] || fail "--settle $settle: exit $rc"
  resets=$(count_requests 21)
  polls=$(count_requests 0f 21)
  volts=$(count_requests 0c 21)
  [ "$resets" -eq 1 ] && [ "$polls" -eq "$settle" ] && [ "$volts" -eq "$settle" ] ||
    fail "--settle $settle: $resets resets, then $polls current min/max and $volts voltage requests"
done
# Declared cables are written before the reset, so every judged cycle measures with them.
start_sim --on
timeout 30 "$console" --test --cpu-cable --settle 2 "$pty" > /dev/null 2>&1; rc=$?
[ $rc -eq 0 ] || fail "--cpu-cable: exit $rc"
awk '/^41/ {write = NR} /^21$/ {reset = NR} END {exit !(write && reset > write)}' "$simlog" ||
  fail "--cpu-cable: the settings were not written before the reset"
[ "$(count_requests 0f 21)" -eq 2 ] || fail "--cpu-cable --settle 2: not 2 poll cycles after the reset"

# ---- JSON lines ---------------------------------------------------------------------------------
cycle_filter='
  .type == "cycle" and (.cycle | type) == "number"
  and (.time | test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z$"))
  and (.power | IN("ON", "OFF", "N/A")) and (.powerStatus | type) == "number"
  and (.totalPower | type) == "number"
  and (.cables.cpu12v | type) == "boolean" and (.cables.pcie12v | type) == "boolean"
  and (.tester.voltages | IN("PASS", "FAIL")) and (.tester.timings | IN("PASS", "FAIL", "N/A"))
  and (.verdict | IN("PASS", "FAIL")) and (.failing | type) == "array"
  and ([.rails[].rail] == ["12V1","5V","3.3V","12V CPU","-12V","5VSB","12V PCIe","12V SATA","5V SATA","3.3V SATA"])
  and all(.rails[]; all(.minVolt, .volt, .maxVolt, .minCurrent, .current, .maxCurrent, .power, .ripple;
        (.value | type | IN("number", "null")) and (.text | type) == "string" and (.state | IN("PASS", "FAIL", "N/A"))))
  and all(.rails[0:4][]; all(.t1, .t2, .t3, .t6, .slewRate, .turnOnSlope, .vSeq, .tSeq;
        (.value | type | IN("number", "null")) and (.state | IN("PASS", "FAIL", "N/A"))))
  and all(.rails[4:][]; has("t1") | not)'
summary_filter='.type == "summary" and (.verdict | IN("PASS", "FAIL", "ERROR")) and (.exitCode | type) == "number"
  and (.cycles | type) == "number" and (.failing | type) == "array"'

# Checks every line of a JSON output; $1 the file, $2 what it is.
check_json_lines() {
  local n=0 line
  while IFS= read -r line; do
    n=$((n + 1))
    if ! jq -e . > /dev/null 2>&1 <<<"$line"; then
      fail "$2: line $n is not JSON: ${line:0:120}"
      continue
    fi
    jq -e "($cycle_filter) or ($summary_filter)" > /dev/null <<<"$line" ||
      fail "$2: line $n lacks a documented field: ${line:0:200}"
  done < "$1"
  [ "$n" -gt 0 ] || fail "$2: no JSON lines"
}

start_sim --on --rail-offset 5V:+400
LC_ALL=de_DE.UTF-8 timeout 30 "$console" --test --json --settle 3 "$pty" > "$work/json" 2> "$work/err"; rc=$?
[ $rc -eq 7 ] || fail "--test --json on a failing supply exits $rc"
check_json_lines "$work/json" "--test --json"
# A cycle line for every poll cycle: the judged three and those before the reset.
cycle_lines=$(jq -s '[.[] | select(.type == "cycle")] | length' "$work/json")
[ "$cycle_lines" -ge 3 ] || fail "--test --json --settle 3: $cycle_lines cycle lines"
tail -n1 "$work/json" | jq -e '.type == "summary" and .verdict == "FAIL" and .exitCode == 7
  and .failing == ["5V Min Volt.", "5V Volt.", "5V Max Volt."] and .tester.voltages == "FAIL"' > /dev/null ||
  fail "the summary does not carry the FAIL verdict and the failing cells: $(tail -n1 "$work/json")"
tail -n1 "$work/json" | jq -e ".cycles == $cycle_lines" > /dev/null || fail "the summary does not count the cycles"
jq -s -e 'map(select(.type == "cycle")) | all(.rails[1].volt.state == "FAIL" and .rails[1].volt.value > 5.25
  and .rails[0].volt.state == "PASS" and .verdict == "FAIL" and (.failing | index("5V Volt.")))' \
  "$work/json" > /dev/null || fail "the cycle lines do not show the failing 5V Volt. cell"
grep -q "FAIL: 5V Min Volt., 5V Volt." "$work/err" || fail "--json: the failing cells are not on stderr"

start_sim --silent
timeout 30 "$console" --test --json "$pty" > "$work/json" 2> /dev/null; rc=$?
[ $rc -eq 4 ] || fail "--test --json without a tester exits $rc"
jq -e '.type == "summary" and .verdict == "ERROR" and .exitCode == 4 and .error == "Device not found!"' \
  "$work/json" > /dev/null || fail "no ERROR summary without a tester: $(cat "$work/json")"

# The monitor: JSON lines only on stdout, one per cycle, while keys still work. Keys go in once
# the output shows what is awaited, however slow the machine.
wait_for_file() { # pattern file
  for _ in $(seq 300); do grep -q "$1" "$2" && return 0; sleep 0.1; done
  fail "'$1' never appeared in $2"
}
start_sim --on
mkfifo "$work/json-keys"
timeout 60 "$console" --json "$pty" < "$work/json-keys" > "$work/json" 2> "$work/err" &
monitor=$!
exec {keys}> "$work/json-keys"
wait_for_file '"cycle":3,' "$work/json"
echo r >&$keys
wait_for_file "min/max reset requested" "$work/err"
echo q >&$keys
wait $monitor; rc=$?
exec {keys}>&-
[ $rc -eq 0 ] || fail "monitor --json quit by q exits $rc"
check_json_lines "$work/json" "monitor --json"
jq -s -e '[.[].cycle] | length >= 3 and . == (sort | unique)' "$work/json" > /dev/null ||
  fail "monitor --json: fewer than 3 cycle lines, or a cycle repeated"
grep -q '"powerStatus"' "$work/err" && fail "monitor --json: a JSON line went to stderr"

# Voltages and timings answered late and out of order, after the requests behind them: in every one
# of 20 cycles each decoded value is one the simulator sent for its field or the value before it,
# never another reply's; from the third cycle on only those two requests fail.
start_sim --on --late-unordered 0c:250 --late-unordered 11:150 --state-log "$work/states.jsonl"
rm -f "$work/json-keys"; mkfifo "$work/json-keys"
timeout 90 "$console" --json "$pty" < "$work/json-keys" > "$work/json" 2> "$work/err" &
monitor=$!
exec {keys}> "$work/json-keys"
wait_for_file '"cycle":20,' "$work/json"
echo q >&$keys
wait $monitor || fail "the monitor of late unordered replies exits $?"
exec {keys}>&-
python3 "$(dirname "$0")/../../scripts/soak_check.py" --cycles "$work/json" --states "$work/states.jsonl" \
  > "$work/check" || fail "late unordered replies: $(cat "$work/check")"
jq -s -e 'map(select(.type == "cycle" and .cycle >= 3)) | length >= 18 and all(.link.failed == 2)' "$work/json" \
  > /dev/null || fail "late unordered replies: requests other than voltages and timings failed"

# ---- files: --test writes what the monitor's t and l write for the same supply ----------------
export HOME=$work/home
mkdir -p "$HOME"
start_sim --on --steady
timeout 30 "$console" --test --settle 6 --log-interval 1 --report "$work/test-report.txt" \
  --log "$work/test-log.txt" --plot test-chart.svg "$pty" > /dev/null 2> "$work/err"; rc=$?
[ $rc -eq 0 ] || fail "--test with files exits $rc"
# --plot: the chart of the --log file, beside it, of all its rows.
if ! command -v xmllint > /dev/null; then
  fail "xmllint is needed (apt-get install libxml2-utils)"
elif [ -f "$work/test-chart.svg" ]; then
  xmllint --noout "$work/test-chart.svg" 2> /dev/null || fail "the --test chart is not well-formed"
  logged=$(sed -n '3s/^Number of records logged: \([0-9]*\)\r$/\1/p' "$work/test-log.txt")
  xmllint --xpath 'string(//*[@data-summary])' "$work/test-chart.svg" | grep -q "|  $logged rows\{0,1\}  |" ||
    fail "the --test chart does not show the log's $logged rows"
  grep -q "written to $work/test-chart.svg" "$work/err" || fail "--test does not say where the chart went"
else
  fail "--test --plot wrote no chart beside the log: $(cat "$work/err")"
fi
timeout 30 "$console" --test --plot x.svg "$pty" > /dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "--test --plot without --log exits $rc, not 2"
# The monitor's keys go in once its screen shows what is awaited, however slow the machine.
mkfifo "$work/keys"
timeout 60 "$console" --log-interval 1 "$pty" < "$work/keys" > "$work/mon" 2>&1 &
monitor=$!
exec {keys}> "$work/keys"
wait_for_monitor() { wait_for_file "$1" "$work/mon"; }
wait_for_monitor "Readings log: [2-9] rows"
echo "t $work/mon-report.txt" >&$keys
wait_for_monitor "test report saved"
echo "l $work/mon-log.txt" >&$keys
wait_for_monitor "readings log saved"
echo q >&$keys
wait $monitor || fail "the monitor with saving exits $?"
exec {keys}>&-
cmp -s "$work/test-report.txt" "$work/mon-report.txt" ||
  fail "the --test report differs from the monitor's: $(diff "$work/test-report.txt" "$work/mon-report.txt" | head -5)"
[ "$(wc -l < "$work/test-report.txt")" -eq 34 ] || fail "the --test report does not have 34 lines"
for f in test-log mon-log; do
  [ -f "$work/$f.txt" ] || { fail "no $f.txt"; continue; }
  rows=$(sed -n '3s/^Number of records logged: \([0-9]*\)\r$/\1/p' "$work/$f.txt")
  [ "$(wc -l < "$work/$f.txt")" -eq $((rows + 5)) ] || fail "$f: $rows rows announced, $(wc -l < "$work/$f.txt") lines"
  [ "$rows" -ge 2 ] || fail "$f holds $rows rows"
  [ "$(grep -c $'\r$' "$work/$f.txt")" -eq "$(wc -l < "$work/$f.txt")" ] || fail "$f: a line without CR LF"
done
# Same heading; the rows equal behind their time stamps (24 characters and a comma).
cmp -s <(sed -n '1,2p;4,5p' "$work/test-log.txt") <(sed -n '1,2p;4,5p' "$work/mon-log.txt") ||
  fail "the --test log heading differs from the monitor's"
[ "$(tail -n1 "$work/test-log.txt" | cut -c26-)" = "$(tail -n1 "$work/mon-log.txt" | cut -c26-)" ] ||
  fail "the --test log's last row differs from the monitor's"
tail -n +6 "$work/test-log.txt" | cut -c26- | sort -u | wc -l | grep -qx 1 ||
  fail "the rows of a steady supply differ within the --test log"

[ $failures -eq 0 ] && echo "all console test-run checks passed"
exit $failures

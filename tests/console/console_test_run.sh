#!/usr/bin/env bash
# End-to-end checks of ombrelo-console against the simulated tester, as tables of cases: the exit
# code of every outcome in every mode with its message said once, the usage errors of the three
# programs, the files the monitor and --test write (where a bare name goes, no file replaced
# unasked, every path checked before the tester is touched, the system's reason for a failure),
# the failing cells named on stderr, the settle cycles counted in the simulator's request log,
# every JSON line parsed by jq, the files of a test run against those of the monitor's l and t,
# and the message for a device the user may not open.
# usage: console_test_run.sh CONSOLE SIM PLOT
set -u
console=$1
sim=$2
plot=$3
work=$(mktemp -d)
chmod 755 "$work"
# Bare file names land in the current folder.
cd "$work" || exit 1
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

# ---- outcomes and their exit codes, in every mode ---------------------------------------------
# mode (--test, --once, "" the monitor) | simulator options | console options | exit code |
# text expected on stderr, on one line only ("" for an empty stderr)
outcomes=(
  "--test|--on|--settle 2|0|"
  "--test|--on --rail-offset 5V:+400|--settle 2|7|FAIL: 5V Min Volt., 5V Volt., 5V Max Volt., tester voltages"
  "--test|--on --timed-out|--settle 2|7|12V1 T6"
  "--test||--power on --settle 2|0|"
  "--test|--refuse-on|--power on --settle 2|9|refused to switch the supply on"
  "--test|--silent|--settle 2|4|no tester answers on PTY (Device not found!)"
  "--test|--firmware 1.10|--settle 2|5|Device firmware needs to be updated!"
  "--test|--on --ignore 0f|--settle 2|1|Connection lost"
  "--once|--silent||4|no tester answers on PTY (Device not found!)"
  "--once|--firmware 1.10||5|Device firmware needs to be updated!"
  "|--silent||4|no tester answers on PTY (Device not found!)"
  "|--firmware 1.10||5|Device firmware needs to be updated!"
  "|--on --ignore 0f||1|Connection lost"
  # Replies longer than their layouts, one of them missed: the run still passes on exact values.
  "--test|--on --pad 9 --drop-once 0c|--settle 2|0|"
  "--test|--pad 9 --drop-once 0b|--power on --settle 2|0|"
)
for row in "${outcomes[@]}"; do
  IFS='|' read -r mode simopts opts code text <<<"$row"
  # shellcheck disable=SC2086
  start_sim $simopts
  text=${text//PTY/$pty}
  # shellcheck disable=SC2086
  timeout 30 "$console" $mode $opts "$pty" < /dev/null > "$work/out" 2> "$work/err"; rc=$?
  what="'$mode' on sim '$simopts'"
  [ "$rc" -eq "$code" ] || fail "$what, $opts: exit $rc, expected $code ($(tr '\n' ' ' < "$work/err"))"
  if [ -n "$text" ]; then
    [ "$(grep -cF -- "${text%%(*}" "$work/err")" -eq 1 ] && grep -qF -- "$text" "$work/err" ||
      fail "$what: stderr does not say '$text' once: $(cat "$work/err")"
  elif [ -s "$work/err" ]; then
    fail "$what: a passing run wrote to stderr: $(cat "$work/err")"
  fi
  if [ "$mode" = --test ] && [ "$code" -eq 0 ]; then
    grep -q "^Verdict: PASS$" "$work/out" || fail "$what: no PASS verdict on stdout"
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
# Every program: one line that names the problem, then where the help is; exit 2. The help
# itself goes to stdout.
# program | arguments | the problem named
usage_cases=(
  "console|--test --settle 0 /dev/null|--settle takes a number of poll cycles from 1 to"
  "console|--test --power maybe /dev/null|--power takes on or off"
  "console|--settle 3 /dev/null|belong to --test"
  "console|--test --report|--report needs a value"
  "console|--once --test /dev/null|--once goes without --test"
  "console|--bogus /dev/null|unknown option '--bogus'"
  "console||no DEVICE given"
  "console|/dev/null /dev/zero|one DEVICE only"
  "plot|--bogus|unknown option '--bogus'"
  "plot||no LOG given"
  "plot|a.txt -o|-o needs a file name"
  "sim|--bogus|unknown option '--bogus'"
  "sim|--cooling soon|--cooling takes a whole number"
)
for row in "${usage_cases[@]}"; do
  IFS='|' read -r program args problem <<<"$row"
  # shellcheck disable=SC2086
  "${!program}" $args > "$work/out" 2> "$work/err"; rc=$?
  [ $rc -eq 2 ] || fail "$program '$args' exits $rc, expected 2 (usage)"
  [ "$(wc -l < "$work/err")" -eq 2 ] && grep -qF -- "$problem" "$work/err" &&
    tail -n1 "$work/err" | grep -qx "Try 'ombrelo-$program --help' for more information." ||
    fail "$program '$args': not the problem and the hint: $(cat "$work/err")"
  [ ! -s "$work/out" ] || fail "$program '$args' wrote to stdout"
done
for program in console plot sim; do
  "${!program}" --help > "$work/out" 2> "$work/err"; rc=$?
  [ $rc -eq 0 ] && [ -s "$work/out" ] && [ ! -s "$work/err" ] || fail "$program --help: exit $rc, not on stdout alone"
done
"$console" --test /dev/ombrelo-no-such-tty > /dev/null 2> "$work/err"; rc=$?
[ $rc -eq 3 ] || fail "a missing device exits $rc, expected 3"
grep -q "no such device" "$work/err" || fail "a missing device is not named as such: $(cat "$work/err")"
"$console" --help | grep -q "7 FAIL" || fail "--help does not list the exit codes"

# ---- files of --test: every path checked before the tester is touched -----------------------
# console options | exit code | text expected on stderr (W: the current folder)
mkdir "$work/folder"
printf 'old\n' > "$work/existing.txt"
file_cases=(
  "--report folder|2|--report: W/folder is a folder"
  "--report nodir/r.txt|2|--report: the folder W/nodir does not exist"
  "--log existing.txt|2|--log: W/existing.txt exists (give --force to replace it)"
  "--report r.txt --log ./r.txt|2|--report and --log name the same file W/r.txt"
  "--log l.txt --plot l.txt|2|--log and --plot name the same file W/l.txt"
  "--plot x.svg|2|--plot in a test run draws the --log file"
  "--force --log /dev/full|8|the readings log could not be written to /dev/full: No space left on device"
  "--force --report existing.txt|0|test report written to W/existing.txt"
)
start_sim --on
for row in "${file_cases[@]}"; do
  IFS='|' read -r opts code text <<<"$row"
  requests=$(wc -l < "$simlog")
  # shellcheck disable=SC2086
  timeout 30 "$console" --test --settle 1 $opts "$pty" > "$work/out" 2> "$work/err"; rc=$?
  [ $rc -eq "$code" ] || fail "--test $opts: exit $rc, expected $code: $(cat "$work/err")"
  grep -qF -- "${text//W/$work}" "$work/err" || fail "--test $opts: stderr lacks '${text//W/$work}': $(cat "$work/err")"
  if [ "$code" -eq 2 ] && [ "$(wc -l < "$simlog")" -ne "$requests" ]; then
    fail "--test $opts: the tester was asked before the usage error"
  fi
done
head -n1 "$work/existing.txt" | grep -q "Report file" || fail "--force did not replace existing.txt with the report"

# ---- files of the monitor: from a pipe nothing is replaced; every path printed in full --------
# key line | what the monitor must say next (W: the current folder)
mkdir "$work/folder.txt"
saves=(
  "l|readings log saved to W/OmbreloLog.txt"
  "t|test report saved to W/OmbreloReport.txt"
  "l|readings log not saved: W/OmbreloLog.txt exists"
  "t OmbreloLog.txt|test report not saved: W/OmbreloLog.txt exists"
  "l run7|readings log saved to W/run7.txt"
  "l Prüfung|readings log saved to W/Prüfung.txt"
  "t folder.txt|test report not saved: W/folder.txt is a folder"
  "t sub/r|test report not saved: the folder W/sub does not exist"
)
mkfifo "$work/save-keys"
timeout 60 "$console" --log-interval 1 --plot chart.svg "$pty" < "$work/save-keys" > "$work/mon" 2>&1 &
monitor=$!
exec {keys}> "$work/save-keys"
for _ in $(seq 300); do grep -q "Readings log: [1-9] rows" "$work/mon" && break; sleep 0.1; done
for row in "${saves[@]}"; do
  expect=${row#*|}
  expect=${expect//W/$work}
  before=$(grep -cF -- "$expect" "$work/mon")
  echo "${row%%|*}" >&$keys
  for _ in $(seq 300); do [ "$(grep -cF -- "$expect" "$work/mon")" -gt "$before" ] && break; sleep 0.1; done
  [ "$(grep -cF -- "$expect" "$work/mon")" -gt "$before" ] || fail "after '${row%%|*}' the monitor did not say '$expect'"
done
echo q >&$keys
wait $monitor || fail "the monitor with saving exits $?"
exec {keys}>&-
head -n1 "$work/OmbreloLog.txt" | grep -q "Log file" || fail "OmbreloLog.txt is no longer the log"
head -n1 "$work/OmbreloReport.txt" | grep -q "Report file" || fail "OmbreloReport.txt is not the report"
# --plot: a chart per saved log; this run's own chart is replaced by the next without asking.
[ "$(grep -c "written to $work/chart.svg" "$work/mon")" -eq 3 ] || fail "not one chart per saved log"
logged=$(sed -n '3s/^Number of records logged: \([0-9]*\)\r$/\1/p' "$work/Prüfung.txt")
xmllint --xpath 'string(//*[@data-summary])' "$work/chart.svg" 2> /dev/null | grep -q "|  $logged rows\{0,1\}  |" ||
  fail "the chart does not show the last saved log's $logged rows"

# On a terminal the monitor asks before it replaces a file, n by default; the answer stays on the
# screen's status line.
mkfifo "$work/tty-keys"
script -qfec "$(printf '%q ' "$console" --log-interval 1 "$pty")" "$work/tty" < "$work/tty-keys" > /dev/null 2>&1 &
monitor=$!
exec {keys}> "$work/tty-keys"
# tty_step KEYS PATTERN: sends the keys, then waits for one more PATTERN on the terminal.
tty_step() {
  local before
  before=$(grep -acF -- "$2" "$work/tty")
  printf '%b' "$1" >&$keys
  for _ in $(seq 300); do [ "$(grep -acF -- "$2" "$work/tty")" -gt "$before" ] && return 0; sleep 0.1; done
  fail "on the terminal, after '$1' no '$2'"
}
log_sum=$(md5sum < "$work/OmbreloLog.txt")
tty_step "" "Readings log: "
tty_step l "File name [OmbreloLog.txt]: "
tty_step '\n' "$work/OmbreloLog.txt exists. Replace it? [y/N] "
tty_step '\n' "> readings log not saved: $work/OmbreloLog.txt kept as it was"
[ "$(md5sum < "$work/OmbreloLog.txt")" = "$log_sum" ] || fail "the answer n replaced the log"
tty_step l "File name [OmbreloLog.txt]: "
tty_step '\n' "Replace it? [y/N] "
tty_step 'y\n' "> readings log saved to $work/OmbreloLog.txt"
[ "$(md5sum < "$work/OmbreloLog.txt")" != "$log_sum" ] || fail "the answer y did not replace the log"
printf q >&$keys
wait $monitor || fail "the monitor on a terminal exits $?"
exec {keys}>&-

# Permission: the simulator's terminal is the owner's only, so another user is refused. Run as
# that other user when we are root; as an ordinary user, forbid the terminal to ourselves. The
# message names the group "dialout" only for a device of that group, else its owner and group.
start_sim --on
if [ "$(id -u)" -eq 0 ]; then
  chmod 600 "$pty"
  run_as_other() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
  groups=(dialout "$(stat -c %G "$pty")")
else
  chmod 000 "$pty"
  run_as_other() { "$@"; }
  groups=("$(stat -c %G "$pty")")
fi
for group in "${groups[@]}"; do
  chgrp "$group" "$pty"
  expect="It belongs to the user \"$(stat -c %U "$pty")\" and the group \"$group\""
  [ "$group" = dialout ] && expect='It belongs to the group "dialout": join it'
  for mode in --test --once; do
    run_as_other "$console" $mode "$pty" > /dev/null 2> "$work/err"; rc=$?
    [ $rc -eq 3 ] && grep -qF "permission denied. $expect" "$work/err" ||
      fail "$mode on a device of the group $group without permission: exit $rc, $(cat "$work/err")"
    [ "$group" = dialout ] || ! grep -q dialout "$work/err" || fail "dialout named for a device of $group"
  done
done
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
start_sim --on --steady
timeout 30 "$console" --test --settle 6 --log-interval 1 --report "$work/test-report.txt" \
  --log "$work/test-log.txt" --plot test-chart.svg "$pty" > /dev/null 2> "$work/err"; rc=$?
# Every file the run wrote is named with its full path.
for f in test-report.txt test-log.txt test-chart.svg; do
  grep -q "written to $work/$f\$" "$work/err" || fail "--test does not say it wrote $work/$f: $(cat "$work/err")"
done
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

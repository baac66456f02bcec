#!/usr/bin/env bash
# End-to-end checks of ombrelo-console against the simulated tester, as tables of cases, in
# sections that run on their own (each its own scratch folder and simulators, so that CTest runs
# them side by side):
#   outcomes   the exit code of every outcome in every mode, with its message said once; the files
#              of --test, every path checked before the tester is touched
#   usage      the usage errors of the three programs, a missing device, a forbidden one
#   saves      the files of the monitor's l and t from a pipe: nothing replaced, paths in full
#   tty        on a terminal the monitor asks before it replaces a file
#   settle     the poll cycles after the minima/maxima reset, in the simulator's request log
#   json       every JSON line parsed by jq, of --test and of the monitor
#   unordered  replies answered late and out of order never land in another reply's fields
#   compare    the files of a test run against those of the monitor's t and l
# usage: console_test_run.sh SECTION CONSOLE SIM PLOT
# shellcheck disable=SC2317  # the sections are called by name
set -u
section=$1
console=$2
sim=$3
# shellcheck disable=SC2034  # the usage table calls the programs by name
plot=$4
# shellcheck source-path=SCRIPTDIR source=../lib.sh
. "$(dirname "$0")/../lib.sh"
t_init "console-$section" 240
# Bare file names land in the current folder.
cd "$t_work" || t_die "no scratch folder"
for tool in jq xmllint; do command -v "$tool" > /dev/null || t_die "$tool is needed (jq, libxml2-utils)"; done

# count TEXT FILE: the lines of FILE with TEXT, 0 while there is no FILE yet.
count() { cat -- "$2" 2> /dev/null | grep -acF -- "$1"; }
# more_than COUNT TEXT FILE: FILE holds more than COUNT lines with TEXT.
more_than() { [ "$(count "$2" "$3")" -gt "$1" ]; }
# The number of rows a readings log announces on its third line.
logged_rows() { sed -n '3s/^Number of records logged: \([0-9]*\)\r$/\1/p' "$1"; }
# chart_shows_rows SVG N: the chart's summary names the N rows of its log.
chart_shows_rows() { xmllint --xpath 'string(//*[@data-summary])' "$1" 2> /dev/null | grep -q "|  $2 rows\{0,1\}  |"; }

section_outcomes() {
  # mode (--test, --once, "" the monitor) | simulator options | console options | exit code |
  # text expected on stderr, on one line only ("" for an empty stderr; PTY the tester, W/ the
  # current folder). A usage error (2) leaves the tester unasked.
  local rows=(
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
    "--test|--on|--settle 1 --report folder|2|--report: W/folder is a folder"
    "--test|--on|--settle 1 --report nodir/r.txt|2|--report: the folder W/nodir does not exist"
    "--test|--on|--settle 1 --log existing.txt|2|--log: W/existing.txt exists (give --force to replace it)"
    "--test|--on|--settle 1 --report r.txt --log ./r.txt|2|--report and --log name the same file W/r.txt"
    "--test|--on|--settle 1 --log l.txt --plot l.txt|2|--log and --plot name the same file W/l.txt"
    "--test|--on|--settle 1 --plot x.svg|2|--plot in a test run draws the --log file"
    "--test|--on|--settle 1 --force --log /dev/full|8|the readings log could not be written to /dev/full: No space left on device"
    "--test|--on|--settle 1 --force --report existing.txt|0|test report written to W/existing.txt"
  )
  mkdir folder
  printf 'old\n' > existing.txt
  local row mode simopts opts code text what rc
  for row in "${rows[@]}"; do
    IFS='|' read -r mode simopts opts code text <<<"$row"
    # shellcheck disable=SC2086
    t_start_sim tester "$sim" $simopts
    text=${text//PTY/${t_pty[tester]}}
    text=${text//W\//$t_work/}
    what="'$mode' on sim '$simopts'"
    # shellcheck disable=SC2086
    timeout 30 "$console" $mode $opts "${t_pty[tester]}" < /dev/null > out 2> err; rc=$?
    t_stop_sim tester
    [ "$rc" -eq "$code" ] || t_fail "$what, $opts: exit $rc, expected $code ($(tr '\n' ' ' < err))"
    [ "$code" -ne 2 ] || [ ! -s "${t_simlog[tester]}" ] || t_fail "$what, $opts: the tester was asked before the usage error"
    if [ -n "$text" ]; then
      [ "$(grep -cF -- "${text%%(*}" err)" -eq 1 ] && grep -qF -- "$text" err ||
        t_fail "$what: stderr does not say '$text' once: $(cat err)"
    elif [ -s err ]; then
      t_fail "$what: a passing run wrote to stderr: $(cat err)"
    fi
    if [ "$mode" = --test ] && [ "$code" -eq 0 ]; then
      grep -q "^Verdict: PASS$" out || t_fail "$what: no PASS verdict on stdout"
    fi
  done
  head -n1 existing.txt | grep -q "Report file" || t_fail "--force did not replace existing.txt with the report"
}

section_usage() {
  # Every program: one line that names the problem, then where the help is; exit 2. The help
  # itself goes to stdout.
  # program | arguments | the problem named
  local rows=(
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
  local row program args problem rc
  for row in "${rows[@]}"; do
    IFS='|' read -r program args problem <<<"$row"
    # shellcheck disable=SC2086
    "${!program}" $args > out 2> err; rc=$?
    [ $rc -eq 2 ] || t_fail "$program '$args' exits $rc, expected 2 (usage)"
    [ "$(wc -l < err)" -eq 2 ] && grep -qF -- "$problem" err &&
      tail -n1 err | grep -qx "Try 'ombrelo-$program --help' for more information." ||
      t_fail "$program '$args': not the problem and the hint: $(cat err)"
    [ ! -s out ] || t_fail "$program '$args' wrote to stdout"
  done
  for program in console plot sim; do
    "${!program}" --help > out 2> err; rc=$?
    [ $rc -eq 0 ] && [ -s out ] && [ ! -s err ] || t_fail "$program --help: exit $rc, not on stdout alone"
  done
  "$console" --help | grep -q "7 FAIL" || t_fail "--help does not list the exit codes"
  "$console" --test /dev/ombrelo-no-such-tty > /dev/null 2> err; rc=$?
  [ $rc -eq 3 ] && grep -q "no such device" err || t_fail "a missing device: exit $rc (expected 3), $(cat err)"

  # Permission: the simulator's terminal is the owner's only, so another user is refused. Run as
  # that other user when we are root; as an ordinary user, forbid the terminal to ourselves. The
  # message names the group "dialout" only for a device of that group, else its owner and group.
  t_start_sim tester "$sim" --on
  local pty=${t_pty[tester]} groups other=() group expect mode
  if [ "$(id -u)" -eq 0 ]; then
    chmod 600 "$pty"
    other=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    groups=(dialout "$(stat -c %G "$pty")")
  else
    chmod 000 "$pty"
    groups=("$(stat -c %G "$pty")")
  fi
  for group in "${groups[@]}"; do
    chgrp "$group" "$pty"
    expect="It belongs to the user \"$(stat -c %U "$pty")\" and the group \"$group\""
    [ "$group" = dialout ] && expect='It belongs to the group "dialout": join it'
    for mode in --test --once; do
      "${other[@]}" "$console" $mode "$pty" > /dev/null 2> err; rc=$?
      [ $rc -eq 3 ] && grep -qF "permission denied. $expect" err ||
        t_fail "$mode on a device of the group $group without permission: exit $rc, $(cat err)"
      [ "$group" = dialout ] || ! grep -q dialout err || t_fail "dialout named for a device of $group"
    done
  done
}

section_saves() {
  # key line | what the monitor must say next (W: the current folder)
  local rows=(
    "l|readings log saved to W/OmbreloLog.txt"
    "t|test report saved to W/OmbreloReport.txt"
    "l|readings log not saved: W/OmbreloLog.txt exists"
    "t OmbreloLog.txt|test report not saved: W/OmbreloLog.txt exists"
    "l run7|readings log saved to W/run7.txt"
    "l Prüfung|readings log saved to W/Prüfung.txt"
    "t folder.txt|test report not saved: W/folder.txt is a folder"
    "t sub/r|test report not saved: the folder W/sub does not exist"
  )
  mkdir folder.txt
  t_start_sim tester "$sim" --on
  t_start_fed mon "$console" --log-interval 1 --plot chart.svg "${t_pty[tester]}" > mon 2>&1
  t_wait_for "Readings log: [1-9] rows" mon || t_fail "the monitor logged no rows"
  local row keys expect before
  for row in "${rows[@]}"; do
    IFS='|' read -r keys expect <<<"$row"
    expect=${expect//W/$t_work}
    # The saves before this one may have said the same.
    before=$(count "$expect" mon)
    t_feed mon "$keys\n"
    t_wait_until 30 more_than "$before" "$expect" mon || t_fail "after '$keys' the monitor did not say '$expect'"
  done
  t_feed mon 'q\n'
  t_end_fed mon || t_fail "the monitor with saving exits $?"
  head -n1 OmbreloLog.txt | grep -q "Log file" || t_fail "OmbreloLog.txt is no longer the log"
  head -n1 OmbreloReport.txt | grep -q "Report file" || t_fail "OmbreloReport.txt is not the report"
  # --plot: a chart per saved log; this run's own chart is replaced by the next without asking.
  [ "$(grep -c "written to $t_work/chart.svg" mon)" -eq 3 ] || t_fail "not one chart per saved log"
  chart_shows_rows chart.svg "$(logged_rows Prüfung.txt)" || t_fail "the chart does not show the last saved log's rows"
}

section_tty() {
  # On a terminal the monitor asks before it replaces a file, n by default; the answer stays on
  # the screen's status line.
  # keys | what the terminal must show once more (W: the current folder) | the log file then
  local rows=(
    "|Readings log: |"
    "l|File name [OmbreloLog.txt]: |"
    "\n|W/OmbreloLog.txt exists. Replace it? [y/N] |"
    "\n|> readings log not saved: W/OmbreloLog.txt kept as it was|kept"
    "l|File name [OmbreloLog.txt]: |"
    "\n|Replace it? [y/N] |"
    "y\n|> readings log saved to W/OmbreloLog.txt|replaced"
  )
  printf 'old\r\n' > OmbreloLog.txt
  local old row keys expect file before
  old=$(md5sum < OmbreloLog.txt)
  t_start_sim tester "$sim" --on
  t_start_fed tty script -qfec "$(printf '%q ' "$console" --log-interval 1 "${t_pty[tester]}")" tty > /dev/null 2>&1
  for row in "${rows[@]}"; do
    IFS='|' read -r keys expect file <<<"$row"
    expect=${expect//W/$t_work}
    before=$(count "$expect" tty)
    t_feed tty "$keys"
    t_wait_until 30 more_than "$before" "$expect" tty || t_fail "on the terminal, after '$keys' no '$expect'"
    case $file in
      kept) [ "$(md5sum < OmbreloLog.txt)" = "$old" ] || t_fail "the answer n replaced the log" ;;
      replaced) [ "$(md5sum < OmbreloLog.txt)" != "$old" ] || t_fail "the answer y did not replace the log" ;;
    esac
  done
  t_feed tty q
  t_end_fed tty || t_fail "the monitor on a terminal exits $?"
}

section_settle() {
  # Exactly N poll cycles after the minima/maxima reset. A request the run makes first, once, and
  # before the reset: --power on switches a supply that is off (the minima and maxima hold the
  # switch-on), and declared cables are written so that every judged cycle measures with them.
  # simulator options | console options | N | the request before the reset
  local rows=(
    "--on|--settle 1|1|"
    "--on|--settle 2|2|"
    "--on|--settle 5|5|"
    "--on|--cpu-cable --settle 2|2|41"
    "|--power on --settle 3|3|20 01"
  )
  local row simopts opts n first rc counts
  for row in "${rows[@]}"; do
    IFS='|' read -r simopts opts n first <<<"$row"
    # shellcheck disable=SC2086
    t_start_sim tester "$sim" $simopts
    # shellcheck disable=SC2086
    timeout 30 "$console" --test $opts "${t_pty[tester]}" > /dev/null 2>&1; rc=$?
    t_stop_sim tester
    [ $rc -eq 0 ] || t_fail "$opts: exit $rc"
    counts="$(t_requests tester 21) $(t_requests tester 0f 21) $(t_requests tester 0c 21)"
    t_expect "$opts: resets, then current min/max and voltage requests" "1 $n $n" "$counts"
    [ -z "$first" ] || awk -v first="$first" 'index($0, first) == 1 {n++; at = NR} /^21$/ {reset = NR}
        END {exit !(n == 1 && reset > at)}' "${t_simlog[tester]}" ||
      t_fail "$opts: not one request '$first' before the reset"
  done
}

# check_json_lines FILE WHAT: FILE holds JSON lines, one at least, of poll cycles and summaries
# only. Their fields are pinned byte for byte by golden/json_lines.txt.
check_json_lines() {
  jq -e -s 'length > 0 and all(.type | IN("cycle", "summary"))' "$1" > /dev/null ||
    t_fail "$2: not JSON lines of cycles and summaries: $(head -c 300 "$1")"
}

section_json() {
  local rc cycles
  t_start_sim fail "$sim" --on --rail-offset 5V:+400
  LC_ALL=de_DE.UTF-8 timeout 30 "$console" --test --json --settle 3 "${t_pty[fail]}" > json 2> err; rc=$?
  t_expect "--test --json on a failing supply: exit" 7 "$rc"
  check_json_lines json "--test --json"
  # A cycle line for every poll cycle: the judged three and those before the reset.
  cycles=$(jq -s '[.[] | select(.type == "cycle")] | length' json)
  [ "$cycles" -ge 3 ] || t_fail "--test --json --settle 3: $cycles cycle lines"
  tail -n1 json | jq -e --argjson cycles "$cycles" '.type == "summary" and .verdict == "FAIL" and .exitCode == 7
    and .failing == ["5V Min Volt.", "5V Volt.", "5V Max Volt."] and .tester.voltages == "FAIL"
    and .cycles == $cycles' > /dev/null || t_fail "the summary does not carry the verdict, failing cells and cycles: $(tail -n1 json)"
  jq -s -e 'map(select(.type == "cycle")) | all(.rails[1].volt.state == "FAIL" and .rails[1].volt.value > 5.25
    and .rails[0].volt.state == "PASS" and .verdict == "FAIL" and (.failing | index("5V Volt.")))' \
    json > /dev/null || t_fail "the cycle lines do not show the failing 5V Volt. cell"
  grep -q "FAIL: 5V Min Volt., 5V Volt." err || t_fail "--json: the failing cells are not on stderr"

  t_start_sim silent "$sim" --silent
  timeout 30 "$console" --test --json "${t_pty[silent]}" > json 2> /dev/null; rc=$?
  t_expect "--test --json without a tester: exit" 4 "$rc"
  jq -e '.type == "summary" and .verdict == "ERROR" and .exitCode == 4 and .error == "Device not found!"' \
    json > /dev/null || t_fail "no ERROR summary without a tester: $(cat json)"

  # The monitor: JSON lines only on stdout, one per cycle, while keys still work.
  t_start_sim on "$sim" --on
  t_start_fed mon "$console" --json "${t_pty[on]}" > json 2> err
  t_wait_for '"cycle":3,' json || t_fail "monitor --json: no third cycle"
  t_feed mon 'r\n'
  t_wait_for "min/max reset requested" err || t_fail "monitor --json: the key r was not taken"
  t_feed mon 'q\n'
  t_end_fed mon || t_fail "monitor --json quit by q exits $?"
  check_json_lines json "monitor --json"
  jq -s -e '[.[].cycle] | length >= 3 and . == (sort | unique)' json > /dev/null ||
    t_fail "monitor --json: fewer than 3 cycle lines, or a cycle repeated"
  ! grep -q '"powerStatus"' err || t_fail "monitor --json: a JSON line went to stderr"
}

section_unordered() {
  # Voltages and timings answered late and out of order, after the requests behind them: in every
  # one of 20 cycles each decoded value is one the simulator sent for its field or the value before
  # it, never another reply's; from the third cycle on only those two requests fail.
  t_start_sim tester "$sim" --on --late-unordered 0c:250 --late-unordered 11:150 --state-log states.jsonl
  t_start_fed mon "$console" --json "${t_pty[tester]}" > json 2> err
  t_wait_for '"cycle":20,' json 90 || t_fail "late unordered replies: no 20th cycle"
  t_feed mon 'q\n'
  t_end_fed mon || t_fail "the monitor of late unordered replies exits $?"
  python3 "$T_REPO/scripts/soak_check.py" --cycles json --states states.jsonl > check ||
    t_fail "late unordered replies: $(cat check)"
  # A request of a busy host may miss its 100 ms now and then; one that follows a late reply and
  # fails with it fails in every cycle.
  jq -s -e 'map(select(.type == "cycle" and .cycle >= 3)) | length >= 18 and all(.link.failed >= 2)
      and (map(select(.link.failed == 2)) | length) >= length - 2' json \
    > /dev/null || t_fail "late unordered replies: requests other than voltages and timings failed"
}

section_compare() {
  # --test writes what the monitor's t and l write for the same supply.
  local rc f rows
  t_start_sim tester "$sim" --on --steady
  timeout 30 "$console" --test --settle 6 --log-interval 1 --report "$t_work/test-report.txt" \
    --log "$t_work/test-log.txt" --plot test-chart.svg "${t_pty[tester]}" > /dev/null 2> err; rc=$?
  t_expect "--test with files: exit" 0 "$rc"
  # Every file the run wrote is named with its full path.
  for f in test-report.txt test-log.txt test-chart.svg; do
    grep -q "written to $t_work/$f\$" err || t_fail "--test does not say it wrote $t_work/$f: $(cat err)"
  done
  # --plot: the chart of the --log file, beside it, of all its rows.
  if [ -f test-chart.svg ]; then
    xmllint --noout test-chart.svg 2> /dev/null || t_fail "the --test chart is not well-formed"
    chart_shows_rows test-chart.svg "$(logged_rows test-log.txt)" || t_fail "the --test chart does not show the log's rows"
  else
    t_fail "--test --plot wrote no chart beside the log: $(cat err)"
  fi
  t_start_fed mon "$console" --log-interval 1 "${t_pty[tester]}" > mon 2>&1
  t_wait_for "Readings log: [2-9] rows" mon || t_fail "the monitor logged fewer than 2 rows"
  t_feed mon "t $t_work/mon-report.txt\n"
  t_wait_for "test report saved" mon || t_fail "the monitor did not save its report"
  t_feed mon "l $t_work/mon-log.txt\n"
  t_wait_for "readings log saved" mon || t_fail "the monitor did not save its log"
  t_feed mon 'q\n'
  t_end_fed mon || t_fail "the monitor with saving exits $?"
  cmp -s test-report.txt mon-report.txt ||
    t_fail "the --test report differs from the monitor's: $(diff test-report.txt mon-report.txt | head -5)"
  t_expect "lines of the --test report" 34 "$(wc -l < test-report.txt)"
  for f in test-log mon-log; do
    [ -f "$f.txt" ] || { t_fail "no $f.txt"; continue; }
    rows=$(logged_rows "$f.txt")
    t_expect "$f: lines for the $rows rows it announces" $((rows + 5)) "$(wc -l < "$f.txt")"
    [ "$rows" -ge 2 ] || t_fail "$f holds $rows rows"
    [ "$(grep -c $'\r$' "$f.txt")" -eq "$(wc -l < "$f.txt")" ] || t_fail "$f: a line without CR LF"
  done
  # Same heading; the rows equal behind their time stamps (24 characters and a comma).
  cmp -s <(sed -n '1,2p;4,5p' test-log.txt) <(sed -n '1,2p;4,5p' mon-log.txt) ||
    t_fail "the --test log heading differs from the monitor's"
  t_expect "the --test log's last row against the monitor's" "$(tail -n1 mon-log.txt | cut -c26-)" \
    "$(tail -n1 test-log.txt | cut -c26-)"
  t_expect "different rows of a steady supply in the --test log" 1 "$(tail -n +6 test-log.txt | cut -c26- | sort -u | wc -l)"
}

declare -F "section_$section" > /dev/null || t_die "no section '$section'"
"section_$section"
t_end

#!/usr/bin/env bash
# The ombrelo-plot command line: the writer's golden logs become well-formed, self-contained SVG
# (checked with xmllint), a log given alone is charted beside itself, broken logs give a message
# and exit 1, and one chart of a long log is rendered to PNG to prove that it draws.
# usage: plot_cli_test.sh GOLDEN_DIR NATIVE_PLOT|"" PLOT_COMMAND...
#   PLOT_COMMAND may be an emulator followed by the program (wine-run.sh ombrelo-plot.exe); then
#   its charts are also compared with those of NATIVE_PLOT, when given.
set -u
golden=$1
native=$2
shift 2
plot=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export LC_ALL=C.UTF-8

windows=0
[[ "${plot[-1]}" == *.exe ]] && windows=1
# A path as the program sees it.
arg_path() { if [ $windows = 1 ]; then winepath -w "$1" 2>/dev/null; else printf '%s' "$1"; fi; }
run_plot() { "${plot[@]}" "$@" </dev/null; }

command -v xmllint >/dev/null || { echo "xmllint is missing (apt: libxml2-utils)"; exit 1; }

# A self-contained SVG: well-formed, an svg root, no script and nothing fetched from elsewhere.
check_svg() { # file, what
  xmllint --noout "$1" 2>"$work/xml.err" || fail "$2: not well-formed XML: $(head -n 3 "$work/xml.err")"
  [ "$(xmllint --xpath 'local-name(/*)' "$1" 2>/dev/null)" = svg ] || fail "$2: the root is not svg"
  grep -Eiq '<script|href=|url\(|@import|<image|<foreignObject' "$1" && fail "$2: refers outside itself or scripts"
  return 0
}

# A burn-in of 3,600 rows, one a second from 01:00:00: the rails breathe with the load, the 12 V
# rail sags out of its band twice and the 5 V rail drifts up through its limit in the last minutes.
make_long_log() {
  awk 'BEGIN {
    printf "ZENTARIX Ombrelo Log file\r\n============================\r\nNumber of records logged: 3600\r\n\r\n";
    printf "Time,12V Voltage,12V Current,12V Power,12V Ripple,5V Voltage,5V Current,5V Power,5V Ripple,3.3V Voltage,3.3V Current,3.3V Power,3.3V Ripple,12V CPU Voltage,12V CPU Current,12V CPU Power,12V CPU Ripple,-12V Voltage,5VSB Voltage,5VSB Current,5VSB Power,12V PCIe Voltage,12V PCIe Current,12V PCIe Power,12V SATA Voltage,12V SATA Current,12V SATA Power,5V SATA Voltage,5V SATA Current,5V SATA Power,3.3V SATA Voltage,3.3V SATA Current,3.3V SATA Power,Status\r\n";
    for (i = 0; i < 3600; i++) {
      load = 1 + 0.3 * sin(i / 300);
      v12 = 12.05 - 0.1 * (load - 1) + 0.02 * sin(i * 7.1);
      if ((i >= 1200 && i < 1230) || i == 2500) v12 = 11.2;
      v5 = 5.02 + (i > 3300 ? (i - 3300) * 0.001 : 0);
      v33 = 3.31 + 0.01 * sin(i * 3.3);
      fail = (v12 < 11.4 || v5 > 5.25) ? "FAIL" : "PASS";
      printf "Sat Dec  5 %02d:%02d:%02d 2026,%.2f,%.2f,%.2f,8.00,%.2f,%.2f,%.2f,12.00,%.2f,%.2f,%.2f,9.00,", \
        1 + int(i / 3600), int(i / 60) % 60, i % 60, v12, 3.4 * load, v12 * 3.4 * load, v5, 2.1 * load, v5 * 2.1 * load, v33, 1.5 * load, v33 * 1.5 * load;
      printf "%.2f,%.2f,%.2f,15.00,-11.98,5.01,0.50,2.50,%.2f,4.00,%.2f,%.2f,0.27,%.2f,%.2f,0.89,%.2f,%.2f,0.12,%.2f,%s\r\n", \
        v12 - 0.04, 6.2 * load, (v12 - 0.04) * 6.2 * load, v12 - 0.03, (v12 - 0.03) * 4, v12, v12 * 0.27, v5, v5 * 0.89, v33, v33 * 0.12, fail;
    }
  }'
}

# ---- Golden logs ----
for name in empty_log log_three_rows; do
  out="$work/$name.svg"
  run_plot "$(arg_path "$golden/$name.txt")" -o "$(arg_path "$out")" >"$work/out" 2>&1; rc=$?
  [ $rc -eq 0 ] || fail "$name exits $rc: $(cat "$work/out")"
  [ -s "$out" ] || { fail "$name: no chart"; continue; }
  check_svg "$out" "$name"
done
if [ -s "$work/empty_log.svg" ]; then
  summary=$(xmllint --xpath 'string(//*[@data-summary])' "$work/empty_log.svg" 2>/dev/null)
  [ "$summary" = "no rows  |  0 rows  |  0 FAIL" ] || fail "empty log's title: '$summary'"
fi
if [ -s "$work/log_three_rows.svg" ]; then
  summary=$(xmllint --xpath 'string(//*[@data-summary])' "$work/log_three_rows.svg" 2>/dev/null)
  grep -q "Sat Dec 5 01:06:16 2026 to Tue Dec 15 23:59:59 2026" <<<"$summary" || fail "three rows' span: '$summary'"
  grep -q "3 rows  |  1 FAIL" <<<"$summary" || fail "three rows' counts: '$summary'"
fi

# ---- A log given alone is charted beside itself (a log dropped onto the .exe) ----
mkdir -p "$work/drop folder"
drop="$work/drop folder/run 7 Prüfung.txt"
cp "$golden/log_three_rows.txt" "$drop"
run_plot "$(arg_path "$drop")" >"$work/out" 2>&1; rc=$?
[ $rc -eq 0 ] || fail "a log given alone exits $rc: $(cat "$work/out")"
[ -s "$work/drop folder/run 7 Prüfung.svg" ] || fail "a log given alone is not charted beside itself: $(ls "$work/drop folder")"
[ -s "$work/drop folder/run 7 Prüfung.svg" ] && check_svg "$work/drop folder/run 7 Prüfung.svg" "dropped log"
grep -q "written to" "$work/out" || fail "no word on where the chart went: $(cat "$work/out")"

# ---- Broken logs: the message names the file and line, exit 1, and no chart ----
sed '7s/,0\.40,FAIL/,FAIL/' "$golden/log_three_rows.txt" >"$work/short-row.txt"
sed '6s/^Sat Dec/Sat Dez/' "$golden/log_three_rows.txt" >"$work/bad-stamp.txt"
sed '7s/,3\.41,/,3;41,/' "$golden/log_three_rows.txt" >"$work/bad-number.txt"
cp "$golden/report_sample.txt" "$work/not-a-log.txt"
printf 'Time,Voltage\n01:00,12.0\n' >"$work/spreadsheet.csv"
: >"$work/empty-file.txt"
while IFS='|' read -r name expect; do
  rm -f "$work/chart.svg"
  run_plot "$(arg_path "$work/$name")" -o "$(arg_path "$work/chart.svg")" >"$work/out" 2>"$work/err"; rc=$?
  [ $rc -eq 1 ] || fail "$name exits $rc, not 1"
  grep -q "ombrelo-plot: .*$name: $expect" "$work/err" || fail "$name: message '$(cat "$work/err")' lacks '$expect'"
  [ -e "$work/chart.svg" ] && fail "$name: a chart was written anyway"
done <<'CASES'
short-row.txt|line 7: expected 34 fields, found 33
bad-stamp.txt|line 6: bad time stamp "Sat Dez  5 01:06:16 2026"
bad-number.txt|line 7: field 3 is not a number
not-a-log.txt|this is a test report, not a readings log
spreadsheet.csv|not a readings log (line 1
empty-file.txt|not a readings log (line 1
CASES

# ---- Usage and files ----
run_plot >/dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "no arguments exit $rc, not 2"
run_plot "$(arg_path "$golden/empty_log.txt")" "$(arg_path "$golden/empty_log.txt")" >/dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "two logs exit $rc, not 2"
run_plot "$(arg_path "$golden/empty_log.txt")" -o >/dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "-o without a name exits $rc, not 2"
run_plot "$(arg_path "$work/missing.txt")" >/dev/null 2>"$work/err"; rc=$?
[ $rc -eq 3 ] || fail "a missing log exits $rc, not 3"
grep -q "missing.txt: cannot be opened: No such file or directory" "$work/err" || fail "missing log: '$(cat "$work/err")'"
run_plot "$(arg_path "$golden/empty_log.txt")" -o "$(arg_path "$work/no folder/x.svg")" >/dev/null 2>"$work/err"; rc=$?
[ $rc -eq 4 ] && grep -q "x.svg: cannot be created: No such file or directory" "$work/err" ||
  fail "an unwritable chart: exit $rc, '$(cat "$work/err")'"

# ---- A long log: well-formed, and the same chart from both builds ----
make_long_log >"$work/burn-in.txt"
run_plot "$(arg_path "$work/burn-in.txt")" -o "$(arg_path "$work/burn-in.svg")" >"$work/out" 2>&1; rc=$?
[ $rc -eq 0 ] || fail "the long log exits $rc: $(cat "$work/out")"
check_svg "$work/burn-in.svg" "long log"
grep -q 'data-out="v12v"' "$work/burn-in.svg" || fail "the 12 V sags are not marked"
grep -q 'data-out="v5v"' "$work/burn-in.svg" || fail "the 5 V drift is not marked"
grep -q 'data-out="v3v3"' "$work/burn-in.svg" && fail "the 3.3 V rail is marked though it stayed in its band"
if [ $windows = 1 ] && [ -n "$native" ]; then
  "$native" "$work/burn-in.txt" -o "$work/burn-in-native.svg" >/dev/null 2>&1
  cmp -s "$work/burn-in.svg" "$work/burn-in-native.svg" || fail "the Windows chart differs from the native one"
fi

# ---- Rendered to PNG (natively): it draws, the sags show in red ----
if [ $windows = 0 ]; then
  if ! command -v rsvg-convert >/dev/null || ! command -v convert >/dev/null; then
    fail "rsvg-convert or ImageMagick is missing (apt: librsvg2-bin imagemagick)"
  else
    rsvg-convert -o "$work/burn-in.png" "$work/burn-in.svg" 2>"$work/err" || fail "rsvg-convert: $(cat "$work/err")"
    size=$(identify -format '%wx%h' "$work/burn-in.png" 2>/dev/null)
    [[ "$size" == 1200x* ]] || fail "the PNG is '$size', not 1200 wide"
    colours=$(identify -format '%k' "$work/burn-in.png" 2>/dev/null)
    [ "${colours:-0}" -gt 50 ] || fail "the PNG has only ${colours:-0} colours: nothing drawn"
    convert "$work/burn-in.png" -format %c histogram:info:- 2>/dev/null | grep -qi '#D62728' ||
      fail "no red marks in the rendered chart"
    [ -n "${OMBRELO_PLOT_KEEP_PNG:-}" ] && cp "$work/burn-in.png" "$OMBRELO_PLOT_KEEP_PNG"
  fi
fi

[ $failures -eq 0 ] && echo "all plot command-line checks passed"
exit $failures

#!/usr/bin/env bash
# The ombrelo-plot command line: the writer's golden logs become the golden charts byte for byte
# (so the Windows build draws and writes as the native one), every golden chart is well-formed, self-contained
# SVG (xmllint) and one renders to PNG with its red marks; a log given alone is charted beside
# itself; broken logs and wrong command lines give a message and their exit code, and no chart.
# usage: plot_cli_test.sh GOLDEN_DIR PLOT_COMMAND...
#   PLOT_COMMAND may be an emulator followed by the program (wine-run.sh ombrelo-plot.exe).
set -u
golden=$1
shift
plot=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export LC_ALL=C.UTF-8

[[ "${plot[-1]}" == *.exe ]] && windows=1 || windows=0
# A path as the program sees it.
arg_path() { if [ $windows = 1 ]; then winepath -w "$1" 2>/dev/null; else printf '%s' "$1"; fi; }
run_plot() { "${plot[@]}" "$@" </dev/null; }

command -v xmllint >/dev/null || { echo "xmllint is missing (apt: libxml2-utils)"; exit 1; }

# A self-contained SVG: well-formed, an svg root, no script and nothing fetched from elsewhere.
for chart in "$golden"/chart_*.svg; do
  xmllint --noout "$chart" 2>"$work/xml.err" || fail "$chart: not well-formed XML: $(head -n 3 "$work/xml.err")"
  [ "$(xmllint --xpath 'local-name(/*)' "$chart" 2>/dev/null)" = svg ] || fail "$chart: the root is not svg"
  grep -Eiq '<script|href=|url\(|@import|<image|<foreignObject' "$chart" && fail "$chart: refers outside itself or scripts"
done

# ---- A log charted where -o says, and a log given alone beside itself (dropped onto the .exe) ----
mkdir -p "$work/drop folder"
drop="$work/drop folder/run 7 Prüfung"
cp "$golden/log_three_rows.txt" "$drop.txt"
for out in "$work/empty_log.svg" "$drop.svg"; do
  if [ "$out" = "$drop.svg" ]; then set -- "$(arg_path "$drop.txt")"; else set -- "$(arg_path "$golden/empty_log.txt")" -o "$(arg_path "$out")"; fi
  run_plot "$@" >"$work/out" 2>"$work/err" || fail "$* exits $?: $(cat "$work/err")"
  grep -q "written to" "$work/out" || fail "$*: no word on its standard output on where the chart went: $(cat "$work/out")"
done
cmp -s "$work/empty_log.svg" "$golden/chart_empty_log.svg" || fail "-o: the chart is not chart_empty_log.svg"
[ -s "$drop.svg" ] || fail "no chart beside the dropped log: $(ls "$work/drop folder")"
# The golden chart under the dropped log's name (compared natively: under Wine the name passes a code page).
[ $windows = 1 ] || sed 's/>log_three_rows.txt</>run 7 Prüfung.txt</; s/>Readings log log_three_rows.txt</>Readings log run 7 Prüfung.txt</' \
  "$golden/chart_log_three_rows.svg" | cmp -s - "$drop.svg" || fail "the dropped log's chart is not the golden one under its name"

# ---- A broken log (each kind's message is the reader's, tested there) and wrong command lines: ----
# ---- a message naming the file and line, an exit code, and no chart ----
cp "$golden/report_sample.txt" "$work/not-a-log.txt"
empty=$(arg_path "$golden/empty_log.txt")
while IFS='|' read -r code expect args; do
  rm -f "$work/chart.svg"
  eval "set -- $args"
  run_plot "$@" >"$work/out" 2>"$work/err"; rc=$?
  [ $rc -eq "$code" ] || fail "$args exits $rc, not $code"
  grep -q -- "$expect" "$work/err" || fail "$args: message '$(cat "$work/err")' lacks '$expect'"
  [ -e "$work/chart.svg" ] && fail "$args: a chart was written anyway"
done <<CASES
1|ombrelo-plot: .*not-a-log.txt: this is a test report, not a readings log|"$(arg_path "$work/not-a-log.txt")" -o "$(arg_path "$work/chart.svg")"
2||
2||"$empty" "$empty"
2||"$empty" -o
3|missing.txt: cannot be opened: No such file or directory|"$(arg_path "$work/missing.txt")"
4|x.svg: cannot be created: No such file or directory|"$empty" -o "$(arg_path "$work/no folder/x.svg")"
CASES

# ---- Rendered to PNG (natively, with librsvg2-bin and imagemagick): the out-of-limit readings show in red ----
if [ $windows = 0 ]; then
  rsvg-convert "$golden/chart_events.svg" | convert png:- -format %c histogram:info:- | grep -qi '#D62728' ||
    fail "the events chart does not render with its red marks (are rsvg-convert and ImageMagick installed?)"
fi

[ $failures -eq 0 ] && echo "all plot command-line checks passed"
exit $failures

#!/usr/bin/env bash
# End-to-end run of the real Ombrelo.exe under Wine and Xvfb, driven from outside as a user would
# drive it, against simulated testers on COM ports of a private prefix: the port list at start,
# Connect with the readings and their colours, Power with both refusals, Configure, Save Log and
# Save Report through the real save dialog, About, Disconnect and Exit; then, with no tester on
# COM1 to COM5, the tester on COM7 that the system lists is found and connected, and a tester that
# vanishes while connected leaves the window idle, logging nothing, ready to connect again.
#
#   e2e_test.sh OMBRELO_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR
#
# OUT_DIR receives connected.png (the window while connected) and, on a failure, a screenshot.
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 OMBRELO_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR" >&2; exit 2; }
# shellcheck source=e2e_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_init e2e_main "$1" "$2" "$3" "$4" 420

# Colours of the readings cells as the screen shows them.
readonly GREEN=00ff00 RED=ff0000 GREY=c0c0c0
# Cells that show "N/A" for the program's whole life, whatever the tester says.
readonly FIXED_NA="1146 1147 1167 1168 1169 1170 1171 1187 1203 1219 1235 1251"
# The tester's own settings bytes 0 to 13 as the simulator reports them: the program must send
# them back unchanged with the bytes the Configuration dialog sets.
readonly SIM_SETTINGS_HEAD="01 00 32 00 64 00 05 0a 00 00 00 00 00 00"
readonly COOLING_MS=5000

# ---- helpers ----------------------------------------------------------------------------------

# Cell texts and screen colours, refreshed by read_cells.
declare -A cell_text=() cell_colour=()

# read_cells SCREENSHOT: every cell's text and the colour its background shows. Two inner
# corners must agree, so a cell half repainted or covered is not taken for its colour.
read_cells() {
  local shot=$1 listing id l t r b text i
  local -a ids=() texts=() points=() colours=()
  listing=$(e2e_driver cells) || e2e_fail "driver: cells"
  e2e_screenshot "$shot"
  while read -r id l t r b text; do
    ids+=("$id")
    texts+=("$text")
    points+=($((l + 2)) $((t + 2)) $((r - 3)) $((b - 3)))
  done <<<"$listing"
  [ "${#ids[@]}" -eq 112 ] || e2e_fail "expected 112 readings cells, found ${#ids[@]}"
  read -r -a colours < <(e2e_pixels "$shot" "${points[@]}")
  cell_text=()
  cell_colour=()
  for i in "${!ids[@]}"; do
    id=${ids[$i]}
    [ "${colours[$((2 * i))]}" = "${colours[$((2 * i + 1))]}" ] ||
      e2e_fail "cell $id (\"${texts[$i]}\"): its corners differ (${colours[$((2 * i))]}, ${colours[$((2 * i + 1))]})"
    cell_text[$id]=${texts[$i]}
    cell_colour[$id]=${colours[$((2 * i))]}
  done
}

colour_name() {
  case "$1" in
    "$GREEN") echo green ;;
    "$RED") echo red ;;
    "$GREY") echo grey ;;
    *) echo "#$1" ;;
  esac
}

expect_cell() { # id text colour
  [ "${cell_text[$1]-}" = "$2" ] || e2e_fail "cell $1: expected \"$2\", found \"${cell_text[$1]-}\""
  [ "${cell_colour[$1]}" = "$3" ] ||
    e2e_fail "cell $1 (\"$2\"): expected $(colour_name "$3"), found $(colour_name "${cell_colour[$1]}")"
}

# What every cell must look like whatever the values: the fixed "N/A" cells grey, no other cell
# "N/A", every cell green, red or grey, and the texts that carry their verdict in the colour of
# that verdict.
check_cell_rules() {
  local id text colour
  for id in $FIXED_NA; do expect_cell "$id" N/A "$GREY"; done
  for id in "${!cell_text[@]}"; do
    text=${cell_text[$id]}
    colour=${cell_colour[$id]}
    case "$colour" in "$GREEN" | "$RED" | "$GREY") ;; *)
      e2e_fail "cell $id (\"$text\"): colour #$colour is none of green, red, grey" ;;
    esac
    case "$text" in
      N/A) [[ " $FIXED_NA " == *" $id "* ]] || e2e_fail "cell $id shows N/A" ;;
      "") [ "$colour" = "$GREY" ] || e2e_fail "empty cell $id is $(colour_name "$colour"), not grey" ;;
      T/O | FAIL) [ "$colour" = "$RED" ] || e2e_fail "cell $id (\"$text\") is $(colour_name "$colour"), not red" ;;
      PASS) [ "$colour" = "$GREEN" ] || e2e_fail "cell $id (\"$text\") is $(colour_name "$colour"), not green" ;;
    esac
  done
}

expect_enabled() { # id 0|1 ...
  while [ $# -ge 2 ]; do
    e2e_expect "control $1 enabled" "$2" "$(e2e_driver enabled "$1")"
    shift 2
  done
}

# wait_request PORT FROM_LINE PATTERN MS: a request matching PATTERN (a regex over its log line)
# after line FROM_LINE of the simulator's log; prints its line number.
wait_request() {
  local port=$1 from=$2 pattern=$3 ms=$4 waited=0 n
  while :; do
    n=$(tail -n +"$((from + 1))" "${e2e_sim_log[$port]}" | grep -n -m1 -E "$pattern" | cut -d: -f1 || true)
    if [ -n "$n" ]; then
      echo $((from + n))
      return 0
    fi
    [ "$waited" -ge "$ms" ] && e2e_fail "$port: no request /$pattern/ within $ms ms after line $from"
    sleep 0.1
    waited=$((waited + 100))
  done
}

log_line() { sed -n "${2}p" "${e2e_sim_log[$1]}"; }

# wait_file PATH LINES MS: the file exists and holds LINES lines (0: at least its first 3).
wait_file() {
  local file=$1 lines=$2 ms=$3 waited=0 have
  while :; do
    if [ -f "$file" ]; then
      have=$(wc -l <"$file")
      if [ "$lines" -eq 0 ] && [ "$have" -ge 3 ]; then return 0; fi
      if [ "$lines" -gt 0 ] && [ "$have" -ge "$lines" ]; then return 0; fi
    fi
    [ "$waited" -ge "$ms" ] && e2e_fail "file $file: not written (${have:-no} lines) within $ms ms"
    sleep 0.1
    waited=$((waited + 100))
  done
}

# Both files are single-byte text with CR LF line ends and no byte-order mark.
check_text_file() {
  local file=$1 lines crlf
  lines=$(wc -l <"$file")
  crlf=$(grep -c $'\r$' "$file" || true)
  [ "$lines" -eq "$crlf" ] || e2e_fail "$file: $lines lines but $crlf end in CR LF"
  [ "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' \n')" = 0d0a ] || e2e_fail "$file: does not end in CR LF"
  [ "$(head -c 3 "$file" | od -An -tx1 | tr -d ' \n')" != efbbbf ] || e2e_fail "$file: starts with a BOM"
  if LC_ALL=C grep -q -P '[^\x09\x0a\x0d\x20-\x7e]' "$file"; then e2e_fail "$file: not plain ASCII"; fi
}

# check_log_file FILE: the readings log's layout; prints the number of rows.
check_log_file() {
  local file=$1 n i line fields
  check_text_file "$file"
  local -a l
  mapfile -t l < <(tr -d '\r' <"$file")
  e2e_expect "$file line 1" "ZENTARIX Ombrelo Log file" "${l[0]}"
  e2e_expect "$file line 2" "============================" "${l[1]}"
  [[ "${l[2]}" =~ ^Number\ of\ records\ logged:\ ([0-9]+)$ ]] || e2e_fail "$file line 3: \"${l[2]}\""
  n=${BASH_REMATCH[1]}
  e2e_expect "$file line 4" "" "${l[3]}"
  e2e_expect "$file line 5" "Time,12V Voltage,12V Current,12V Power,12V Ripple,5V Voltage,5V Current,5V Power,5V Ripple,3.3V Voltage,3.3V Current,3.3V Power,3.3V Ripple,12V CPU Voltage,12V CPU Current,12V CPU Power,12V CPU Ripple,-12V Voltage,5VSB Voltage,5VSB Current,5VSB Power,12V PCIe Voltage,12V PCIe Current,12V PCIe Power,12V SATA Voltage,12V SATA Current,12V SATA Power,5V SATA Voltage,5V SATA Current,5V SATA Power,3.3V SATA Voltage,3.3V SATA Current,3.3V SATA Power,Status" "${l[4]}"
  e2e_expect "$file: lines for $n rows" $((n + 5)) "${#l[@]}"
  local stamp='^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([ 1-3][0-9]) ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] [0-9]{4}$'
  local value='^-?[0-9]+\.[0-9][0-9]$'
  for ((i = 5; i < n + 5; i++)); do
    line=${l[$i]}
    IFS=, read -r -a fields <<<"$line,"
    [ "${#fields[@]}" -eq 34 ] || e2e_fail "$file line $((i + 1)): ${#fields[@]} fields, not 34: $line"
    [[ "${fields[0]}" =~ $stamp ]] || e2e_fail "$file line $((i + 1)): time stamp \"${fields[0]}\""
    local k
    for ((k = 1; k <= 32; k++)); do
      [[ "${fields[$k]}" =~ $value ]] || e2e_fail "$file line $((i + 1)) field $k: \"${fields[$k]}\""
    done
    [[ "${fields[33]}" =~ ^(PASS|FAIL)$ ]] || e2e_fail "$file line $((i + 1)): verdict \"${fields[33]}\""
    # The SATA voltage columns repeat the 12V1, 5V and 3.3V voltages.
    if [ "${fields[24]}" != "${fields[1]}" ] || [ "${fields[27]}" != "${fields[5]}" ] ||
      [ "${fields[30]}" != "${fields[9]}" ]; then
      e2e_fail "$file line $((i + 1)): SATA voltages differ: $line"
    fi
    # The steady simulator's standby rail never moves, whatever the PSU does.
    e2e_expect "$file line $((i + 1)) 5VSB voltage" 5.03 "${fields[18]}"
    # Local time, as this machine's clock gives it, while the program was connected.
    local at
    at=$(date -d "${fields[0]}" +%s) || e2e_fail "$file line $((i + 1)): no date: ${fields[0]}"
    if [ "$at" -lt $((connected_epoch - 2)) ] || [ "$at" -gt $(($(date +%s) + 2)) ]; then
      e2e_fail "$file line $((i + 1)): time stamp ${fields[0]} is not within the connection"
    fi
    echo "$at" >>"$e2e_tmp/${file##*/}.times"
  done
  echo "$n"
}

pad15() { printf '%-15s' "$@"; }

# A cell passes when its verdict is PASS or N/A (green or grey on the screen).
passes() { [ "${cell_colour[$1]}" != "$RED" ]; }

# Timing and slew rows: N/A when a deciding cell is N/A, else FAIL when one fails, else PASS.
row_verdict() {
  local id any_fail=0
  for id in "$@"; do [ "${cell_colour[$id]}" = "$GREY" ] && { echo N/A; return; }; done
  for id in "$@"; do [ "${cell_colour[$id]}" = "$RED" ] && any_fail=1; done
  [ "$any_fail" -eq 1 ] && echo FAIL || echo PASS
}

# The report that the cells on the screen (read_cells) must give, lines 9 to 34.
expected_report_tables() {
  local rail ids id verdict k line
  pad15 "" "Min Volt." "Volt." "Max Volt." "Min Current" "Current" "Max Current" "Power" "Ripple" "Status"
  echo
  printf -- '-%.0s' $(seq 141)
  echo
  local -a labels=("12V1:" "5V:" "3.3V:" "12V2:" "-12V:" "5VSB:" "12V PCIe:" "12V SATA:" "5V SATA:" "3.3V SATA:")
  for rail in 0 1 2 3 4 5 6 7 8 9; do
    local base=$((1100 + 16 * rail))
    line=$(pad15 "${labels[$rail]}")
    for k in 0 1 2 3 4 5 6 7; do
      if { [ "$rail" -eq 4 ] && [ "$k" -ge 3 ]; } || { [ "$rail" -ge 5 ] && [ "$k" -eq 7 ]; }; then
        line+=$(pad15 N/A)
      else
        line+=$(pad15 "${cell_text[$((base + k))]}")
      fi
    done
    verdict=PASS
    for k in 0 1 2; do passes $((base + k)) || verdict=FAIL; done
    case "$rail" in 1 | 2 | 3 | 4) line+=$verdict ;; *) line+=$(pad15 "$verdict") ;; esac
    printf '%s\n' "$line"
  done
  echo
  pad15 "" "T1(mSec)" "T2(mSec)" "T3(mSec)" "T6(mSec)" "Status"
  echo
  printf -- '-%.0s' $(seq 81)
  echo
  local -a tlabels=("12V1:" "5V:" "3.3V:" "12V2:")
  for rail in 0 1 2 3; do
    ids="$((1108 + 16 * rail)) $((1109 + 16 * rail)) $((1110 + 16 * rail)) $((1111 + 16 * rail))"
    line=$(pad15 "${tlabels[$rail]}")
    for id in $ids; do line+=$(pad15 "${cell_text[$id]}"); done
    # shellcheck disable=SC2086
    line+=$(pad15 "$(row_verdict $ids)")
    printf '%s\n' "$line"
  done
  echo
  pad15 "" "SlewRate(V/ms)" "Turn-on Slope" "V Seq." "T Seq."
  echo
  printf -- '-%.0s' $(seq 81)
  echo
  local -a slabels=("12V1:" "5V:" "3V3:" "12V2:")
  for rail in 0 1 2 3; do
    local b=$((1112 + 16 * rail))
    line=$(pad15 "${slabels[$rail]}")
    if [ "$rail" -eq 2 ]; then
      line+=$(pad15 "${cell_text[$b]}" "${cell_text[$((b + 1))]}" N/A N/A)
      line+=$(pad15 "$(row_verdict "$b" $((b + 1)))")
    else
      for k in 0 1 2 3; do line+=$(pad15 "${cell_text[$((b + k))]}"); done
      line+=$(pad15 "$(row_verdict "$b" $((b + 1)) $((b + 2)) $((b + 3)))")
    fi
    printf '%s\n' "$line"
  done
}

# ---- set-up -----------------------------------------------------------------------------------

e2e_make_prefix
e2e_start_xvfb
# Testers on COM2 and COM4; on COM3 a device that never answers; on COM7 and COM12, ports the
# system lists (as Windows lists a USB tester's port), testers probed only when none of COM1 to
# COM5 answers; on COM8, linked but not listed, a tester never probed. COM1 is Wine's own mapping of the
# machine's first serial port; COM5 does not exist. The tester on COM2 has a newer firmware's
# longer replies and misses its first settings reply and its first voltages reply.
e2e_start_sim COM2 --on --steady --timed-out --cooling "$COOLING_MS" --pad 9 --drop-once 40 --drop-once 0c
e2e_start_sim COM4 --on --steady --refuse-off
e2e_start_sim COM3 --silent
e2e_start_sim COM7 --on
e2e_list_port COM7
e2e_start_sim COM12 --on
e2e_list_port COM12
e2e_start_sim COM8 --on
out_dir=$e2e_out
docs="$(e2e_documents)/Zentarix/Ombrelo"

# ---- start: the port list ---------------------------------------------------------------------

e2e_start_ombrelo
e2e_say "window up; checking the port list"
mapfile -t ports < <(e2e_driver ports)
e2e_expect "port list" "COM2 COM4" "${ports[0]-}"
e2e_expect "selected port" "COM2" "${ports[1]-}"
e2e_expect "Connect button" Connect "$(e2e_driver text 1003)"
expect_enabled 1001 1 1003 1 1004 0 1007 0 1009 0
grep -q '^0a' "${e2e_sim_log[COM3]}" || e2e_fail "COM3 was never probed"
for port in COM7 COM8 COM12; do
  [ ! -s "${e2e_sim_log[$port]}" ] || e2e_fail "$port was probed though COM2 and COM4 answer: $(head -n3 "${e2e_sim_log[$port]}")"
done

# ---- Connect: the cells fill and take their colours ---------------------------------------------

e2e_say "Connect"
# The first settings reply is missed: Configure is not offered with the connection, only once the
# read, tried again in the first poll cycle, has been answered.
configure_at_connect=$(e2e_driver click-then-enabled-at-text 1003 1003 Disconnect 10000 1009) ||
  e2e_fail "driver: Connect"
connected_at=$SECONDS
connected_epoch=$(date +%s)
e2e_expect "Configure when Disconnect is offered" 0 "$configure_at_connect"
e2e_must wait-enabled 1009 1 5000
[ "$(grep -c '^40$' "${e2e_sim_log[COM2]}")" -ge 2 ] ||
  e2e_fail "Configure offered without the tester's settings: $(paste -sd' ' "${e2e_sim_log[COM2]}")"
e2e_must wait-enabled 1004 1 5000
e2e_must wait-enabled 1003 1 5000
expect_enabled 1001 0 1007 1 1009 1
e2e_expect "Power button" "Power OFF" "$(e2e_driver text 1004)"
e2e_must wait-text 1111 T/O 5000
# The first voltages reply is missed: the cells below fill from a later cycle, however slow.
for cell in 1101:12.06 1117:5.04 1149:12.05; do e2e_must wait-text "${cell%%:*}" "${cell#*:}" 10000; done
# Time for the cells' colours to be painted as well as their texts.
sleep 1.5
read_cells "$e2e_tmp/connected-screen.png"
read -r wl wt wr wb < <(e2e_driver rect 0)
convert "$e2e_tmp/connected-screen.png" -crop "$((wr - wl))x$((wb - wt))+$wl+$wt" +repage \
  "$out_dir/connected.png" || e2e_fail "cannot save connected.png"
e2e_say "connected window saved as $out_dir/connected.png"
check_cell_rules
# The missed voltages reply: the ripple request behind it could not tell its reply from a late
# one and went out twice; the cells above are the padded replies decoded.
after_miss=$(awk '/^0c$/ { seen = 1; next } seen && n < 3 { printf "%s ", $0; n++ }' "${e2e_sim_log[COM2]}")
e2e_expect "requests after the missed voltages reply" "10 10 0d " "$after_miss"
# The steady simulator: 12V1 at 12.06 V within limits; T6 of the four timed rails timed out.
expect_cell 1101 12.06 "$GREEN"
expect_cell 1117 5.04 "$GREEN"
expect_cell 1149 12.05 "$GREEN"
for id in 1111 1127 1143 1159; do expect_cell "$id" T/O "$RED"; done
expect_cell 1113 PASS "$GREEN"
# The status panel: voltages verdict "PASS" on green, timings " FAIL " on red, drawn in the
# panel's own pixels (text origin 250,14 and 250,40 of the panel's window).
read -r pl pt _ _ < <(e2e_driver rect 1013)
read -r voltages timings < <(e2e_pixels "$e2e_tmp/connected-screen.png" \
  $((pl + 251)) $((pt + 15)) $((pl + 251)) $((pt + 41)))
e2e_expect "status panel voltages verdict" "$GREEN" "$voltages"
e2e_expect "status panel timings verdict" "$RED" "$timings"
# No text of the panel runs into the next: on both rows the four columns before the verdict
# (x 246 to 249) and, on the lower row, the four before the timings label (x 186 to 189) show
# nothing but the panel's white over the text's height (16 pixels from y 14 and y 40); the
# labels and the total power still show ink of their own.
expect_panel_area() { # what x y w h white|ink
  local colours first
  read -r colours first < <(e2e_area "$e2e_tmp/connected-screen.png" $((pl + $2)) $((pt + $3)) "$4" "$5")
  if [ "$6" = white ]; then
    [ "$colours $first" = "1 ffffff" ] || e2e_fail "status panel: $1 is not clear ($colours colours, first #$first)"
  else
    [ "$colours" -gt 1 ] || e2e_fail "status panel: $1 shows no text"
  fi
}
expect_panel_area "the gap before the voltages verdict" 246 14 4 16 white
expect_panel_area "the gap before the timings verdict" 246 40 4 16 white
expect_panel_area "the gap between the total power and the timings label" 186 40 4 16 white
expect_panel_area "the voltages label" 180 14 66 16 ink
expect_panel_area "the timings label" 190 40 56 16 ink
expect_panel_area "the total power" 25 40 161 16 ink

# ---- Power, and both refusals -------------------------------------------------------------------

e2e_say "Power OFF"
mark=$(e2e_sim_request_count COM2)
e2e_must click 1004
e2e_must wait-text 1004 "Power ON" 5000
off_at=$(date +%s%N)
e2e_must no-messagebox 500
n=$(wait_request COM2 "$mark" '^20 ' 1000)
e2e_expect "switch-off request" "20 00" "$(log_line COM2 "$n")"
e2e_must wait-text 1101 0.00 5000

e2e_say "Power ON while the supply cools down"
e2e_must wait-enabled 1004 1 5000
mark=$(e2e_sim_request_count COM2)
e2e_must click 1004
e2e_expect "refusal to switch on" 'Not allowed\nCooling is in progress' \
  "$(e2e_driver messagebox "Ombrelo Error" 10000)"
n=$(wait_request COM2 "$mark" '^20 ' 1000)
e2e_expect "switch-on request" "20 01" "$(log_line COM2 "$n")"
e2e_must wait-enabled 1004 1 5000
e2e_expect "Power button after the refusal" "Power ON" "$(e2e_driver text 1004)"

e2e_say "Power ON after cooling"
cooled=$((off_at / 1000000 + COOLING_MS + 500))
while [ "$(($(date +%s%N) / 1000000))" -lt "$cooled" ]; do sleep 0.2; done
e2e_must click 1004
e2e_must wait-text 1004 "Power OFF" 8000
e2e_must no-messagebox 500
e2e_must wait-text 1101 12.06 5000
e2e_must wait-text 1111 T/O 5000

# ---- Configure ----------------------------------------------------------------------------------

# At least one readings-log row (10 s period from Connect) before the period becomes 60 s.
while [ $((SECONDS - connected_at)) -lt 12 ]; do sleep 0.5; done
e2e_say "Configure: 12V CPU off, Loose, Compliance, 60 s"
mark=$(e2e_sim_request_count COM2)
e2e_must click 1009
ok_earliest=$(date +%s)
shown=$(e2e_driver config --cpu 0 --pcie 1 --compliance Loose --buzzer Compliance --interval 60) ||
  e2e_fail "driver: config"
ok_latest=$(date +%s)
ok_at=$SECONDS
e2e_expect "Configuration dialog as opened" \
  "cpu=1 pcie=1 compliance=Strict buzzer=Fatal Errors interval=10 compliance-items=Strict|Loose buzzer-items=Fatal Errors|Compliance|Off interval-items=1|10|30|60" \
  "$(echo "$shown" | paste -sd' ')"
n=$(wait_request COM2 "$mark" '^41( |$)' 5000)
e2e_expect "settings written" "41 $SIM_SETTINGS_HEAD 00 01 01 01" "$(log_line COM2 "$n")"
wait_request COM2 "$n" '.' 2000 >/dev/null
e2e_expect "request after the settings" 40 "$(log_line COM2 $((n + 1)))"
# Without its cable the 12V CPU rail reads 0 V and is not judged: grey.
e2e_must wait-text 1149 0.00 5000
sleep 1.5
read_cells "$e2e_tmp/configured-screen.png"
check_cell_rules
expect_cell 1149 0.00 "$GREY"
expect_cell 1101 12.06 "$GREEN"

e2e_say "Configure again: it shows what the tester holds now; Cancel sends nothing"
e2e_must click 1009
shown=$(e2e_driver config --cancel) || e2e_fail "driver: config --cancel"
e2e_expect "Configuration dialog after OK" \
  "cpu=0 pcie=1 compliance=Loose buzzer=Compliance interval=60" \
  "$(echo "$shown" | head -n5 | paste -sd' ')"
sleep 1.5
if [ "$(grep -c '^41' "${e2e_sim_log[COM2]}")" -ne 1 ]; then
  e2e_fail "settings written again after Cancel: $(grep '^41' "${e2e_sim_log[COM2]}")"
fi

# ---- Save Log ----------------------------------------------------------------------------------

e2e_say "Save Log"
e2e_must click 1006
offered=$(e2e_driver save e2e-log) || e2e_fail "driver: save e2e-log"
e2e_expect "name offered by the first save" OmbreloLog.txt "$offered"
wait_file "$docs/e2e-log.txt" 0 10000
sleep 0.5
rows=$(check_log_file "$docs/e2e-log.txt")
[ "$rows" -ge 1 ] || e2e_fail "the readings log holds no row after $((ok_at - connected_at)) s connected"
cp "$docs/e2e-log.txt" "$out_dir/e2e-log.txt"
e2e_say "log saved with $rows rows"

# ---- The 60 s log period -------------------------------------------------------------------------

# Rows came every 10 s before OK; after OK the next one is due only 60 s later. Rows are told
# apart by their time stamps; a slow run may see one row per full minute since OK.
while [ $((SECONDS - ok_at)) -lt 12 ]; do sleep 0.5; done
e2e_say "Save Log again $((SECONDS - ok_at)) s after OK"
e2e_must click 1006
offered=$(e2e_driver save e2e-log-again.txt) || e2e_fail "driver: save e2e-log-again.txt"
e2e_expect "name offered after saving e2e-log" e2e-log.txt "$offered"
wait_file "$docs/e2e-log-again.txt" 0 10000
minutes=$((($(date +%s) - ok_earliest) / 60))
sleep 0.5
again=$(check_log_file "$docs/e2e-log-again.txt")
[ "$again" -ge "$rows" ] || e2e_fail "the second log has $again rows, the first had $rows"
after_ok=$(awk -v t="$ok_latest" '$1 > t' "$e2e_tmp/e2e-log-again.txt.times" | wc -l)
[ "$after_ok" -le "$minutes" ] ||
  e2e_fail "$after_ok log rows after choosing 60 s, within $(($(date +%s) - ok_earliest)) s"

# ---- Save Report --------------------------------------------------------------------------------

# Each Save Log has the tester reset its minima and maxima: let them come back before the snapshot.
e2e_must wait-text 1100 12.06 5000
e2e_must wait-text 1102 12.06 5000
sleep 1.5
read_cells "$e2e_tmp/report-screen.png"
check_cell_rules
e2e_say "Save Report"
e2e_must click 1008
offered=$(e2e_driver save e2e-report.txt) || e2e_fail "driver: save e2e-report.txt"
e2e_expect "name offered after saving e2e-log-again" e2e-log-again.txt "$offered"
report="$docs/e2e-report.txt"
wait_file "$report" 34 10000
sleep 0.5
check_text_file "$report"
cp "$report" "$out_dir/e2e-report.txt"
e2e_expect "report lines" 34 "$(wc -l <"$report")"
mapfile -t rl < <(tr -d '\r' <"$report")
e2e_expect "report line 1" "ZENTARIX Ombrelo Report file" "${rl[0]}"
e2e_expect "report line 2" "===============================" "${rl[1]}"
e2e_expect "report line 3" "" "${rl[2]}"
e2e_expect "report line 4" "Power Status: ON" "${rl[3]}"
[[ "${rl[4]}" =~ ^Total\ Power:\ [0-9]+\.[0-9]W$ ]] || e2e_fail "report line 5: \"${rl[4]}\""
e2e_expect "report line 6" "Voltages: PASS" "${rl[5]}"
e2e_expect "report line 7" "Timings: FAIL" "${rl[6]}"
e2e_expect "report line 8" "" "${rl[7]}"
expected_report_tables >"$e2e_tmp/report-expected.txt"
printf '%s\n' "${rl[@]:8}" >"$e2e_tmp/report-tables.txt"
if ! diff -u "$e2e_tmp/report-expected.txt" "$e2e_tmp/report-tables.txt" >"$e2e_tmp/report.diff"; then
  cat "$e2e_tmp/report.diff" >&2
  e2e_fail "report tables differ from the cells on the screen"
fi

# ---- About ----------------------------------------------------------------------------------------

e2e_say "About"
e2e_must click 1011
about=$(e2e_driver dialog "About Ombrelo") || e2e_fail "driver: dialog About Ombrelo"
e2e_expect "About version line" "Ombrelo V1.0 (1002)" "$(echo "$about" | awk -F'\t' '$1 == 1016 { print $3 }')"
e2e_must press "About Ombrelo" 1

# ---- Disconnect, the refusal to switch off on COM4, Exit -------------------------------------------

e2e_say "Disconnect"
e2e_must click 1003
e2e_must wait-text 1003 Connect 5000
e2e_must wait-enabled 1001 1 5000
expect_enabled 1003 1 1004 0 1007 0 1009 0
e2e_wait_port_free COM2 5000 || e2e_fail "COM2 still open 5 s after Disconnect"
count=$(e2e_sim_request_count COM2)
sleep 1.5
e2e_expect "requests to COM2 after Disconnect" "$count" "$(e2e_sim_request_count COM2)"

e2e_say "COM4: Power OFF refused"
e2e_must select-port COM4
e2e_must click 1003
e2e_must wait-text 1003 Disconnect 10000
e2e_must wait-enabled 1004 1 5000
e2e_expect "Power button on COM4" "Power OFF" "$(e2e_driver text 1004)"
mark=$(e2e_sim_request_count COM4)
e2e_must click 1004
e2e_expect "refusal to switch off" 'Not allowed\nUse PC power botton' \
  "$(e2e_driver messagebox "Ombrelo Error" 10000)"
n=$(wait_request COM4 "$mark" '^20 ' 1000)
e2e_expect "switch-off request on COM4" "20 00" "$(log_line COM4 "$n")"
e2e_must wait-enabled 1004 1 5000
e2e_expect "Power button after the refusal" "Power OFF" "$(e2e_driver text 1004)"
e2e_must click 1003
e2e_must wait-text 1003 Connect 5000

e2e_say "Refresh with COM4 selected"
e2e_must wait-enabled 1001 1 5000
mark=$(e2e_sim_request_count COM4)
e2e_must click 1001
# The probe has reached COM4, the last tester in the list; the driver's next questions are
# answered once the window has finished the Refresh command.
wait_request COM4 "$mark" '^0a$' 10000 >/dev/null
e2e_must wait-enabled 1001 1 10000
mapfile -t ports < <(e2e_driver ports)
e2e_expect "port list after Refresh" "COM2 COM4" "${ports[0]-}"
e2e_expect "selected port after Refresh" "COM2" "${ports[1]-}"

# Exit while the worker waits for the user to dismiss a message box: the box goes with the window
# and the program still ends within its bounds, without a crash and with the port closed.
e2e_say "Exit while COM4's refusal box is open"
e2e_must select-port COM4
e2e_must click 1003
e2e_must wait-text 1003 Disconnect 10000
e2e_must wait-enabled 1004 1 5000
e2e_must click 1004
e2e_driver dialog "Ombrelo Error" 10000 >/dev/null || e2e_fail "no refusal box on COM4"
e2e_must click 1012
e2e_must wait-gone 10000
e2e_wait_ombrelo_exit 10000 || e2e_fail "Ombrelo.exe still running 10 s after its window closed"
e2e_expect "exit status" 0 "$e2e_ombrelo_status"
e2e_check_ombrelo_log "Ombrelo.exe"
for port in COM2 COM4; do
  e2e_wait_port_free "$port" 5000 || e2e_fail "$port still open 5 s after Exit"
done

# ---- A tester above COM5 ----------------------------------------------------------------------------

e2e_say "No tester on COM1 to COM5: the listed COM7 and COM12 are probed, and only they"
rm -f "$WINEPREFIX"/dosdevices/com[2-5]
e2e_start_ombrelo
mapfile -t ports < <(e2e_driver ports)
e2e_expect "port list without COM1 to COM5" "COM7 COM12" "${ports[0]-}"
e2e_expect "selected port" "COM7" "${ports[1]-}"
[ ! -s "${e2e_sim_log[COM8]}" ] || e2e_fail "COM8, which the system does not list, was probed"
# A name of five characters reaches the worker whole ("COM1" would be another port).
e2e_must select-port COM12
e2e_must click 1003
e2e_must wait-text 1003 Disconnect 10000
e2e_must wait-filled 1101 10000
grep -q '^0f$' "${e2e_sim_log[COM12]}" || e2e_fail "COM12 was not polled"

# ---- The tester vanishes ------------------------------------------------------------------------------

e2e_say "COM12's tester vanishes: Connection lost, Idle, no more log rows; then Connect again"
# A log row every second, so that rows after the loss would show within a few seconds.
e2e_must wait-enabled 1009 1 5000
e2e_must click 1009
e2e_driver config --interval 1 >/dev/null || e2e_fail "driver: config --interval 1"
e2e_stop_sim COM12
e2e_expect "box at the loss" 'Connection lost\n' "$(e2e_driver messagebox "Ombrelo: Error" 10000)"
# Refresh comes back once the ended worker has given the tester back, after it stopped timer 2.
e2e_must wait-enabled 1001 1 5000
e2e_expect "Connect button after the loss" Connect "$(e2e_driver text 1003)"
expect_enabled 1003 1 1004 0 1007 0 1009 0
# logged_rows NAME: Save Log to NAME; the number of rows the file says it holds.
logged_rows() {
  e2e_must click 1006
  e2e_driver save "$1" >/dev/null || e2e_fail "driver: save $1"
  wait_file "$docs/$1" 0 10000
  sed -n 3p "$docs/$1" | tr -dc 0-9
}
rows=$(logged_rows e2e-lost-1.txt)
# Over three log intervals and more: a worker still polling would show the box again.
e2e_must no-messagebox 3500
e2e_expect "log rows 3.5 s after the loss" "$rows" "$(logged_rows e2e-lost-2.txt)"
e2e_must select-port COM7
e2e_must click 1003
e2e_must wait-text 1003 Disconnect 10000
wait_request COM7 0 '^0f$' 10000 >/dev/null
e2e_must click 1012
e2e_must wait-gone 10000
e2e_wait_ombrelo_exit 10000 || e2e_fail "Ombrelo.exe still running 10 s after its window closed"

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
# OUT_DIR receives connected.png (the window while connected), the cells read at each snapshot
# (NAME-cells.txt), the saved log and report, and on a failure a screenshot. The steady testers
# always give the same cells and report: golden/ holds them. A deliberate change of the window or
# the report is taken over from OUT_DIR with
#   paste -d' ' connected-cells.txt <(cut -d' ' -f2 configured-cells.txt) \
#     <(cut -d' ' -f2 report-cells.txt) >golden/cells.txt; tr -d '\r' <e2e-report.txt >golden/e2e-report.txt
# shellcheck disable=SC2317  # the functions t_wait_until calls
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 OMBRELO_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR" >&2; exit 2; }
# shellcheck source=e2e_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_init e2e_main "$1" "$2" "$3" "$4" 420

# Colours of the readings cells as the screen shows them.
declare -A colour_names=([00ff00]=green [ff0000]=red [c0c0c0]=grey)
# The tester's own settings bytes 0 to 13 as the simulator reports them: the program must send
# them back unchanged with the bytes the Configuration dialog sets.
readonly SIM_SETTINGS_HEAD="01 00 32 00 64 00 05 0a 00 00 00 00 00 00"
readonly COOLING_MS=5000
# The Configuration dialog as opened: 12V CPU and 12V PCIe checked (1/0), then the compliance,
# buzzer and interval lists, each as its entries and its selection.
readonly CONFIG_READ="window Configuration + checked 1017 + checked 1018 + combo 1019 + combo 1020 + combo 1021"

# ---- helpers ----------------------------------------------------------------------------------

# cells NAME COLUMN: every readings cell's colour and text (colour:text, after the time it takes
# to paint them) as column COLUMN of golden/cells.txt has them, a row per cell id; the screen is
# kept as NAME.png. Two inner corners of a cell must agree, so a cell half repainted or covered is
# not taken for its colour.
cells() {
  local shot="$t_work/$1.png" listing id l t r b text i
  local -a ids=() texts=() points=() colours=()
  sleep 1.5
  listing=$(e2e_driver controls) || t_die "driver: controls"
  import -display "$DISPLAY" -window root "$shot" || t_die "screenshot failed"
  while read -r id l t r b _ text; do
    ((id >= 1100 && id <= 1259)) || continue
    ids+=("$id") texts+=("$text") points+=($((l + 2)) $((t + 2)) $((r - 3)) $((b - 3)))
  done <<<"$listing"
  read -r -a colours < <(e2e_pixels "$shot" "${points[@]}")
  for i in "${!ids[@]}"; do
    [ "${colours[2 * i]}" = "${colours[2 * i + 1]}" ] ||
      t_die "cell ${ids[$i]} (\"${texts[$i]}\"): its corners differ (${colours[2 * i]}, ${colours[2 * i + 1]})"
    echo "${ids[$i]} ${colour_names[${colours[2 * i]}]:-#${colours[2 * i]}}:${texts[$i]}"
  done >"$e2e_out/$1-cells.txt"
  diff -u <(cut -d' ' -f1,"$2" "$golden/cells.txt") "$e2e_out/$1-cells.txt" >&2 ||
    t_die "the $1 cells differ from column $2 of golden/cells.txt"
}

# expect_request WHAT PORT FROM PATTERN SECONDS [EXPECTED]: a request matching PATTERN (a regex
# over its log line) comes after line FROM of the simulator's log, and reads EXPECTED; its line
# number is left in req_at.
found_request() {
  req_at=$(tail -n +"$(($2 + 1))" "${t_simlog[$1]}" | grep -n -m1 -E "$3" | cut -d: -f1 || true)
  [ -n "$req_at" ] && req_at=$((req_at + $2))
}
expect_request() {
  t_wait_until "$5" found_request "$2" "$3" "$4" || t_die "$1: no request /$4/ on $2 within $5 s after line $3"
  [ $# -lt 6 ] || e2e_expect "$1" "$6" "$(sed -n "${req_at}p" "${t_simlog[$2]}")"
}

file_has() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }

# save BUTTON NAME OFFERED LINES: saves through the real dialog (of the main window) as NAME
# (.txt added if missing), which must offer OFFERED (- for any) in its file-name field once the
# dialog has filled it; waits until the file holds LINES lines; sets saved. The file-name field
# is Wine's cmb13 (1148), whose edit takes the name.
save() {
  local offered field=1148
  saved="$docs/${2%.txt}.txt"
  offered=$(e2e_driver click "$1" + window "Select a log file name" + wait-filled $field 5000 + text $field \
    + set-text $field "$2" + press 1) || t_die "driver: saving $2 through the dialog"
  [ "$3" = - ] || e2e_expect "name offered before saving $2" "$3" "$offered"
  t_wait_until 10 file_has "$saved" "$4" || t_die "file $saved: not written within 10 s"
  sleep 0.5
}

# Both files are single-byte text with CR LF line ends (no byte-order mark: not ASCII).
check_text_file() {
  local file=$1
  e2e_expect "$file: lines ending in CR LF" "$(wc -l <"$file")" "$(grep -c $'\r$' "$file" || true)"
  e2e_expect "$file: last bytes" 0d0a "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' \n')"
  ! LC_ALL=C grep -q -P '[^\x09\x0a\x0d\x20-\x7e]' "$file" || t_die "$file: not plain ASCII"
}

# check_log_file FILE: the readings log's layout; sets rows to the number of rows.
check_log_file() {
  local file=$1 when at bad
  check_text_file "$file"
  rows=$(sed -n $'3s/^Number of records logged: \\([0-9][0-9]*\\)\r$/\\1/p' "$file")
  e2e_expect "$file: head" "ZENTARIX Ombrelo Log file;============================;Number of records logged: $rows;;Time,12V Voltage,12V Current,12V Power,12V Ripple,5V Voltage,5V Current,5V Power,5V Ripple,3.3V Voltage,3.3V Current,3.3V Power,3.3V Ripple,12V CPU Voltage,12V CPU Current,12V CPU Power,12V CPU Ripple,-12V Voltage,5VSB Voltage,5VSB Current,5VSB Power,12V PCIe Voltage,12V PCIe Current,12V PCIe Power,12V SATA Voltage,12V SATA Current,12V SATA Power,5V SATA Voltage,5V SATA Current,5V SATA Power,3.3V SATA Voltage,3.3V SATA Current,3.3V SATA Power,Status" \
    "$(head -n 5 "$file" | tr -d '\r' | paste -sd';')"
  e2e_expect "$file: lines for $rows rows" $((rows + 5)) "$(wc -l <"$file")"
  # Each row: a time stamp, 32 values with two decimals, a verdict; the SATA voltage columns
  # repeat the 12V1, 5V and 3.3V voltages; the steady simulator's standby rail never moves.
  bad=$(tr -d '\r' <"$file" | awk -F, 'NR > 5 {
    ok = NF == 34 && $34 ~ /^(PASS|FAIL)$/ && $25 "" == $2 "" && $28 "" == $6 "" && $31 "" == $10 "" && $19 == "5.03" &&
      $1 ~ /^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] [0-9][0-9][0-9][0-9]$/
    for (k = 2; k <= 33; k++) ok = ok && $k ~ /^-?[0-9]+\.[0-9][0-9]$/
    if (!ok) { print "line " NR ": " $0; exit } }')
  [ -z "$bad" ] || t_die "$file $bad"
  # Local time, as this machine's clock gives it, while the program was connected.
  while IFS=, read -r when _; do
    at=$(date -d "$when" +%s) || t_die "$file: no date: $when"
    ((at >= connected_epoch - 2 && at <= $(date +%s) + 2)) || t_die "$file: time stamp $when is not within the connection"
    echo "$at" >>"$t_work/${file##*/}.times"
  done < <(tr -d '\r' <"$file" | tail -n +6)
}

# power_refused PORT TEXT REQUEST BUTTON: Power sends REQUEST, the tester refuses, box TEXT says
# so, and the button offers BUTTON again.
power_refused() {
  mark=$(e2e_request_count "$1")
  e2e_must 'click 1004'
  e2e_answer "Ombrelo Error" "$2"
  expect_request "$1: power request" "$1" "$mark" '^20 ' 2 "$3"
  e2e_must 'wait-enabled 1004 1 5000' "text 1004 => $4"
}

connect() { e2e_must "pick 1002 $1 + click 1003 + wait-text 1003 Disconnect 10000"; }

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
for port in COM7 COM12 COM8; do e2e_start_sim $port --on; done
for port in COM7 COM12; do e2e_list_port $port; done
docs="$e2e_user_dir/Documents/Zentarix/Ombrelo" golden="$(dirname "${BASH_SOURCE[0]}")/golden"

# ---- start: the port list ---------------------------------------------------------------------

e2e_start_ombrelo
# Refresh, Connect enabled; Power, Save Report, Configure not.
e2e_must 'combo 1002 + text 1003 + enabled 1001 + enabled 1003 + enabled 1004 + enabled 1007 + enabled 1009
  => COM2|COM4;COM2;Connect;1;1;0;0;0'
grep -q '^0a' "${t_simlog[COM3]}" || t_die "COM3 was never probed"
for port in COM7 COM8 COM12; do
  [ ! -s "${t_simlog[$port]}" ] || t_die "$port was probed though COM2 and COM4 answer: $(head -n3 "${t_simlog[$port]}")"
done

# ---- Connect: the cells fill and take their colours ---------------------------------------------

t_say "Connect"
# The first settings reply is missed: Configure is not offered with the connection, only once the
# read, tried again in the first poll cycle, has been answered.
e2e_must 'click 1003 + wait-text 1003 Disconnect 10000 + enabled 1009 50 => 0'
connected_at=$SECONDS connected_epoch=$(date +%s)
e2e_must 'wait-enabled 1009 1 5000'
[ "$(grep -c '^40$' "${t_simlog[COM2]}")" -ge 2 ] ||
  t_die "Configure offered without the tester's settings: $(paste -sd' ' "${t_simlog[COM2]}")"
e2e_must 'wait-enabled 1004 1 5000' 'wait-enabled 1003 1 5000'
e2e_must 'text 1004 + enabled 1001 + enabled 1007 + enabled 1009 => Power OFF;0;1;1'
# The first voltages reply is missed: the last three cells fill from a later cycle, however slow.
e2e_must 'wait-text 1111 T/O 5000' 'wait-text 1101 12.06 10000' 'wait-text 1117 5.04 10000' \
  'wait-text 1149 12.05 10000'
# The steady simulator: 12V1 at 12.06 V within limits; T6 of the four timed rails timed out.
cells connected 2
shot="$t_work/connected.png"
read -r wl wt wr wb < <(e2e_driver rect 0)
convert "$shot" -crop "$((wr - wl))x$((wb - wt))+$wl+$wt" +repage "$e2e_out/connected.png" || t_die "no connected.png"
t_say "connected window saved as $e2e_out/connected.png"
# The missed voltages reply: the ripple request behind it could not tell its reply from a late
# one and went out twice; the cells above are the padded replies decoded.
e2e_expect "requests after the missed voltages reply" "10 10 0d " \
  "$(awk '/^0c$/ { seen = 1; next } seen && n < 3 { printf "%s ", $0; n++ }' "${t_simlog[COM2]}")"
# The status panel: voltages verdict "PASS" on green, timings " FAIL " on red, drawn in the
# panel's own pixels (text origin 250,14 and 250,40 of the panel's window).
read -r pl pt _ _ < <(e2e_driver rect 1013)
e2e_expect "status panel verdicts (voltages, timings)" "00ff00 ff0000 " \
  "$(e2e_pixels "$shot" $((pl + 251)) $((pt + 15)) $((pl + 251)) $((pt + 41)))"
# No text of the panel runs into the next: on both rows the four columns before the verdict
# (x 246 to 249) and, on the lower row, the four before the timings label (x 186 to 189) show
# nothing but the panel's white over the text's height (16 pixels from y 14 and y 40); the
# labels and the total power still show ink of their own.
while read -r x y w h kind what; do
  read -r colours first < <(convert "$shot" -crop "${w}x$h+$((pl + x))+$((pt + y))" +repage \
    -format "%k %[hex:p{0,0}]\n" info: | tr 'A-F' 'a-f')
  [ "$kind" != white ] || [ "$colours $first" = "1 ffffff" ] ||
    t_die "status panel: $what is not clear ($colours colours, first #$first)"
  [ "$kind" != ink ] || [ "$colours" -gt 1 ] || t_die "status panel: $what shows no text"
done <<'EOF'
246 14 4 16 white the gap before the voltages verdict
246 40 4 16 white the gap before the timings verdict
186 40 4 16 white the gap between the total power and the timings label
180 14 66 16 ink the voltages label
190 40 56 16 ink the timings label
25 40 161 16 ink the total power
EOF

# ---- Power, and both refusals -------------------------------------------------------------------

t_say "Power OFF"
mark=$(e2e_request_count COM2)
e2e_must 'click 1004' 'wait-text 1004 "Power ON" 5000'
off_at=$(date +%s%N)
e2e_must 'no-dialog 500'
expect_request "switch-off request" COM2 "$mark" '^20 ' 2 "20 00"

t_say "Power ON while the supply cools down"
e2e_must 'wait-text 1101 0.00 5000' 'wait-enabled 1004 1 5000'
power_refused COM2 'Not allowed\nCooling is in progress' "20 01" "Power ON"

t_say "Power ON after cooling"
cooled=$((off_at / 1000000 + COOLING_MS + 500))
while [ "$(($(date +%s%N) / 1000000))" -lt "$cooled" ]; do sleep 0.2; done
e2e_must 'click 1004' 'wait-text 1004 "Power OFF" 8000' 'no-dialog 500' 'wait-text 1101 12.06 5000' \
  'wait-text 1111 T/O 5000'

# ---- Configure ----------------------------------------------------------------------------------

# At least one readings-log row (10 s period from Connect) before the period becomes 60 s.
while [ $((SECONDS - connected_at)) -lt 12 ]; do sleep 0.5; done
t_say "Configure: 12V CPU off, Loose, Compliance, 60 s"
mark=$(e2e_request_count COM2)
e2e_must 'click 1009'
ok_earliest=$(date +%s)
e2e_must "$CONFIG_READ + set-check 1017 0 + set-check 1018 1 + pick 1019 Loose + pick 1020 Compliance \
  + pick 1021 60 + press 1 => 1;1;Strict|Loose;Strict;Fatal Errors|Compliance|Off;Fatal Errors;1|10|30|60;10"
ok_latest=$(date +%s) ok_at=$SECONDS
expect_request "settings written" COM2 "$mark" '^41( |$)' 5 "41 $SIM_SETTINGS_HEAD 00 01 01 01"
expect_request "request after the settings" COM2 "$req_at" '.' 2 40
# Without its cable the 12V CPU rail reads 0 V and is not judged: grey.
e2e_must 'wait-text 1149 0.00 5000'
cells configured 3

t_say "Configure again: it shows what the tester holds now; Cancel sends nothing"
e2e_must "click 1009 + $CONFIG_READ + press 2 => 0;1;Strict|Loose;Loose;Fatal Errors|Compliance|Off;Compliance;1|10|30|60;60"
sleep 1.5
e2e_expect "settings written in all" 1 "$(grep -c '^41' "${t_simlog[COM2]}")"

# ---- Save Log, and the 60 s log period -------------------------------------------------------------

t_say "Save Log"
save 1006 e2e-log OmbreloLog.txt 3
check_log_file "$saved"
first_rows=$rows
[ "$rows" -ge 1 ] || t_die "the readings log holds no row after $((ok_at - connected_at)) s connected"
cp "$saved" "$e2e_out/e2e-log.txt"
t_say "log saved with $rows rows"

# Rows came every 10 s before OK; after OK the next one is due only 60 s later. Rows are told
# apart by their time stamps; a slow run may see one row per full minute since OK.
while [ $((SECONDS - ok_at)) -lt 12 ]; do sleep 0.5; done
t_say "Save Log again $((SECONDS - ok_at)) s after OK"
save 1006 e2e-log-again.txt e2e-log.txt 3
minutes=$((($(date +%s) - ok_earliest) / 60))
check_log_file "$saved"
[ "$rows" -ge "$first_rows" ] || t_die "the second log has $rows rows, the first had $first_rows"
after_ok=$(awk -v t="$ok_latest" '$1 > t' "$t_work/e2e-log-again.txt.times" | wc -l)
[ "$after_ok" -le "$minutes" ] ||
  t_die "$after_ok log rows after choosing 60 s, within $(($(date +%s) - ok_earliest)) s"

# ---- Save Report --------------------------------------------------------------------------------

# Each Save Log has the tester reset its minima and maxima: let them come back before the snapshot.
e2e_must 'wait-text 1100 12.06 5000' 'wait-text 1102 12.06 5000'
# The steady testers' cells and report never change: both as golden/ holds them, so that the
# report says what the screen shows.
cells report 4
t_say "Save Report"
save 1008 e2e-report.txt e2e-log-again.txt 34
check_text_file "$saved"
cp "$saved" "$e2e_out/e2e-report.txt"
diff -u "$golden/e2e-report.txt" <(tr -d '\r' <"$saved") >&2 || t_die "the report differs from $golden/e2e-report.txt"

# ---- About ----------------------------------------------------------------------------------------

e2e_must 'click 1011 + window "About Ombrelo" + text 1016 + press 1 => Ombrelo V1.0 (1002)'

# ---- Disconnect, the refusal to switch off on COM4, Exit -------------------------------------------

t_say "Disconnect"
e2e_must 'click 1003' 'wait-text 1003 Connect 5000' 'wait-enabled 1001 1 5000'
e2e_must 'enabled 1003 + enabled 1004 + enabled 1007 + enabled 1009 => 1;0;0;0'
e2e_port_free COM2 "Disconnect"
count=$(e2e_request_count COM2)
sleep 1.5
e2e_expect "requests to COM2 after Disconnect" "$count" "$(e2e_request_count COM2)"

t_say "COM4: Power OFF refused"
connect COM4
e2e_must 'wait-enabled 1004 1 5000' 'text 1004 => Power OFF'
power_refused COM4 'Not allowed\nUse PC power botton' "20 00" "Power OFF"

# Refresh with COM4 selected.
e2e_must 'click 1003' 'wait-text 1003 Connect 5000' 'wait-enabled 1001 1 5000'
mark=$(e2e_request_count COM4)
e2e_must 'click 1001'
# The probe has reached COM4, the last tester in the list; the driver's next questions are
# answered once the window has finished the Refresh command.
expect_request "probe of COM4" COM4 "$mark" '^0a$' 10
e2e_must 'wait-enabled 1001 1 10000' 'combo 1002 => COM2|COM4;COM2'

# Exit while the worker waits for the user to dismiss a message box: the box goes with the window
# and the program still ends within its bounds, without a crash and with the port closed.
t_say "Exit while COM4's refusal box is open"
connect COM4
e2e_must 'wait-enabled 1004 1 5000' 'click 1004' 'window "Ombrelo Error" 10000'
e2e_exit "Exit with a box open" 'click 1012' COM2 COM4

# ---- A tester above COM5 ----------------------------------------------------------------------------

t_say "No tester on COM1 to COM5: the listed COM7 and COM12 are probed, and only they"
rm -f "$WINEPREFIX"/dosdevices/com[2-5]
e2e_start_ombrelo
e2e_must 'combo 1002 => COM7|COM12;COM7'
[ ! -s "${t_simlog[COM8]}" ] || t_die "COM8, which the system does not list, was probed"
# A name of five characters reaches the worker whole ("COM1" would be another port).
connect COM12
e2e_must 'wait-filled 1101 10000'
grep -q '^0f$' "${t_simlog[COM12]}" || t_die "COM12 was not polled"

# ---- The tester vanishes ------------------------------------------------------------------------------

t_say "COM12's tester vanishes: Connection lost, Idle, no more log rows; then Connect again"
# A log row every second, so that rows after the loss would show within a few seconds.
mark=$(e2e_request_count COM12)
e2e_must 'wait-enabled 1009 1 5000' 'click 1009 + window Configuration + pick 1021 1 + press 1'
# The settings go back as the tester holds them: its Strict compliance is mode 0.
expect_request "settings written to COM12" COM12 "$mark" '^41( |$)' 5 "41 $SIM_SETTINGS_HEAD 01 01 00 02"
t_stop_sim COM12
# Refresh comes back once the ended worker has given the tester back, after it stopped timer 2.
e2e_answer "Ombrelo: Error" 'Connection lost\n'
e2e_must 'wait-enabled 1001 1 5000' 'text 1003 + enabled 1003 + enabled 1004 + enabled 1007 + enabled 1009 => Connect;1;0;0;0'
# The rows the log says it holds, saved right after the loss and again over three log intervals
# later: a worker still polling would also show the box again.
save 1006 e2e-lost-1.txt - 3
rows=$(sed -n 3p "$saved" | tr -dc 0-9)
e2e_must 'no-dialog 3500'
save 1006 e2e-lost-2.txt - 3
e2e_expect "log rows 3.5 s after the loss" "$rows" "$(sed -n 3p "$saved" | tr -dc 0-9)"
connect COM7
expect_request "poll of COM7" COM7 0 '^0f$' 10
e2e_exit "Exit after the loss" 'click 1012' COM7
t_end

# Shared by the end-to-end scripts (sourced), on top of tests/lib.sh (scratch folder $t_work,
# watchdog, simulators, waits): a private X display, a private copy of the project's Wine prefix
# with the simulators' terminals as its COM ports, Ombrelo.exe under Wine, the driver, and
# screenshots with pixel sampling. On a failure the screen, Wine's and the simulators' last words
# are shown. A script calls e2e_init NAME OMBRELO_EXE DRIVER_EXE SIM OUT_DIR LIMIT_SECONDS first.
# shellcheck shell=bash disable=SC2031,SC2034

# shellcheck source=../lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
# e2e_ombrelo_status: the exit status of the last Ombrelo.exe that ended.
e2e_out="" e2e_xvfb_pid="" e2e_user_dir=""
e2e_ombrelo_pid="" e2e_ombrelo_log="" e2e_ombrelo_runs=0 e2e_ombrelo_status=""

# Every failure ends the script at once: what the screen shows then is what went wrong.
e2e_expect() { [ "$2" = "$3" ] || t_die "$1: expected \"$2\", found \"$3\""; }

# The e2e part of the cleanup (a hook of t_cleanup): after a failure, what went wrong; then Wine ends.
e2e_on_exit() {
  trap - ERR
  if [ "$1" -ne 0 ] && [ -n "$e2e_xvfb_pid" ]; then
    import -display "$DISPLAY" -window root "$e2e_out/$t_name-failure.png" 2>/dev/null &&
      echo "screen at the failure: $e2e_out/$t_name-failure.png" >&2
    # A crash's backtrace whole; of the rest, the last lines.
    sed -n '/^Unhandled exception/,/^Modules:/p' "$e2e_ombrelo_log" >&2 2>/dev/null
    local f
    for f in "$e2e_ombrelo_log" "$t_work/xvfb.log" "${t_simout[@]}"; do
      [ -s "$f" ] && { echo "--- ${f##*/} (last lines) ---"; tail -n 20 "$f"; } >&2
    done
  fi
  [ ! -d "$t_work/prefix" ] || WINEPREFIX="$t_work/prefix" sh -c 'wineserver -k; wineserver -w' 2>/dev/null
  [ -z "$e2e_ombrelo_pid" ] || t_kill "$e2e_ombrelo_pid" KILL
}

# The simulators' terminals by COM port (scripts/release-test.sh reads them too).
declare -A e2e_sim_pts=()

# e2e_init NAME OMBRELO_EXE DRIVER_EXE SIM OUT_DIR LIMIT_SECONDS
e2e_init() {
  E2E_EXE=$2 E2E_DRIVER=$3 E2E_SIM=$4 e2e_out=$5
  local f
  for f in "$2" "$3" "$4" Xvfb wine wineserver import convert od; do
    [ -f "$f" ] || command -v "$f" >/dev/null || { echo "$1: missing $f" >&2; exit 2; }
  done
  mkdir -p "$e2e_out"
  t_init "$1" "$6"
  t_hooks+=(e2e_on_exit)
  # Under set -e a failing command ends the script: say which one.
  set -o errtrace
  trap 'printf "[%s] stopped at %s line %s: %s\n" "$t_name" "${BASH_SOURCE[0]##*/}" "$LINENO" "$BASH_COMMAND" >&2' ERR
}

# A private display; -displayfd picks a free display number and reports it when the server is
# ready.
e2e_start_xvfb() {
  local fifo="$t_work/displayfd"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" </dev/null >"$t_work/xvfb.log" 2>&1 &
  e2e_xvfb_pid=$!
  t_pids+=($!)
  t_wait_for '^[0-9]+$' "$fifo" 10 || t_die "Xvfb did not start: $(cat "$t_work/xvfb.log")"
  DISPLAY=":$(head -n1 "$fifo")"
  export DISPLAY
  t_say "Xvfb on $DISPLAY"
}

# A private copy of the project's prepared prefix (with its settings: no crash dialog, unmanaged
# windows): its own wineserver, COM ports and documents folder, so the run neither sees nor
# changes anything outside it. The prefix is looked up in a subshell, so that sourcing the
# project's prefix script changes nothing here.
e2e_make_prefix() {
  local prepared link
  # shellcheck source=../../scripts/wine-prefix.sh
  prepared=$(unset DISPLAY; . "$T_REPO/scripts/wine-prefix.sh" >/dev/null; printf '%s' "$WINEPREFIX") ||
    t_die "cannot prepare the project's Wine prefix"
  cp -a "$prepared" "$t_work/prefix" || t_die "cannot copy the prepared Wine prefix $prepared"
  export WINEPREFIX="$t_work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rm -f "$WINEPREFIX"/dosdevices/com[0-9]*
  # The shell folders of a new prefix lead into $HOME; here they are folders of the prefix.
  e2e_user_dir="$WINEPREFIX/drive_c/users/$(id -un)"
  mkdir -p "$e2e_user_dir"
  for link in "$e2e_user_dir"/*; do
    [ ! -L "$link" ] || { rm -f "$link"; mkdir -p "$link"; }
  done
  t_say "private prefix ready"
}

# e2e_start_sim COMn SIM_ARGS...: a simulated tester whose terminal becomes COMn.
e2e_start_sim() {
  t_start_sim "$1" "$E2E_SIM" "${@:2}"
  ln -sfn "${t_pty[$1]}" "$WINEPREFIX/dosdevices/${1,,}"
  e2e_sim_pts[$1]=${t_pty[$1]}
  t_say "simulator ${*:2} on $1 (${t_pty[$1]})"
}

# e2e_list_port COMn: Wine maps COMn as it maps a serial device of the machine, and so lists it
# where Windows lists its serial ports (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM): Wine's mount
# manager reads HKLM\Software\Wine\Ports when the prefix starts, makes the port's link from it
# and adds the SERIALCOMM entry. A link in dosdevices alone is not listed. Call it after
# e2e_start_sim COMn and before the prefix's first program.
e2e_list_port() {
  printf '\n[Software\\\\Wine\\\\Ports] %s\n"%s"="%s"\n' "$(date +%s)" "$1" "${t_pty[$1]}" >>"$WINEPREFIX/system.reg"
}

e2e_request_count() { wc -l <"${t_simlog[$1]}"; }

e2e_port_is_free() { [ -z "$(t_pty_holders "$1")" ]; }
# e2e_port_free PORT WHAT: nobody but the simulator holds PORT's terminal within 5 s, or WHAT fails.
e2e_port_free() {
  t_wait_until 5 e2e_port_is_free "$1" && return
  ps -o pid=,args= -p "$(t_pty_holders "$1" | paste -sd,)" >&2 || true
  t_die "$2: $1 (${t_pty[$1]}) still open 5 s later"
}

# Starts Ombrelo.exe and waits for its window; a program that ends before it shows one fails the
# test at once. Wine's heap checks are on (see e2e_exit).
e2e_start_ombrelo() {
  e2e_ombrelo_runs=$((e2e_ombrelo_runs + 1))
  e2e_ombrelo_log="$t_work/ombrelo-$e2e_ombrelo_runs.log"
  WINEDEBUG=-all,err+all,warn+heap "$T_REPO/scripts/wine-run.sh" "$E2E_EXE" </dev/null >"$e2e_ombrelo_log" 2>&1 &
  e2e_ombrelo_pid=$!
  t_pids+=($!)
  e2e_driver window main 60000 &
  local waiter=$!
  while kill -0 "$waiter" 2>/dev/null; do
    ! e2e_wait_exit 0 || t_die "Ombrelo.exe ended (exit status $e2e_ombrelo_status) before its window showed"
    sleep 0.1
  done
  wait "$waiter" || t_die "driver: window main 60000"
}

# e2e_wait_exit SECONDS: waits for the Ombrelo process to end; sets e2e_ombrelo_status.
e2e_wait_exit() {
  t_wait_until "$1" t_ended "$e2e_ombrelo_pid" || return 1
  e2e_ombrelo_status=0
  wait "$e2e_ombrelo_pid" || e2e_ombrelo_status=$?
  e2e_ombrelo_pid=""
}

# e2e_exit WHAT HOW [PORT...]: closes the window by driver command HOW (click 1012 for Exit); the
# process must then end by itself within 15 s, with status 0, no crash or heap error in Wine's
# output, and its ports let go.
e2e_exit() {
  local what=$1 how=$2 port pattern='unhandled exception|page fault|assertion|err:heap|warn:heap'
  shift 2
  e2e_must "$how" 'wait-gone 15000'
  e2e_wait_exit 15 || t_die "$what: the window closed but the process still runs 15 s later (hang)"
  e2e_expect "$what: exit status" 0 "$e2e_ombrelo_status"
  ! grep -q -i -E "$pattern" "$e2e_ombrelo_log" || t_die "$what: $(grep -i -E -m3 "$pattern" "$e2e_ombrelo_log")"
  for port in "$@"; do e2e_port_free "$port" "$what"; done
}

# The driver under Wine, in the same prefix and display as the program. Bounded, so a hung
# driver can never hold the script.
e2e_driver() {
  local status=0 try
  for try in 1 2; do
    status=0
    # Wine's own error channel stays on: a driver that fails before it can say why leaves a trace.
    WINEDEBUG=-all,err+all timeout 60 "$T_REPO/scripts/wine-run.sh" "$E2E_DRIVER" "$@" 2>"$t_work/driver.err" || status=$?
    # The driver explains every failure of its own on stderr. Status 1 with nothing said is Wine
    # failing to run it at all (seen twice in some hundred runs): nothing was done, so run it again.
    if [ "$status" -ne 1 ] || [ -s "$t_work/driver.err" ] || [ "$try" -eq 2 ]; then break; fi
    t_say "driver: $* ended with status 1 and no word; running it again" >&2
  done
  sed 's/^/    /' "$t_work/driver.err" >&2
  return "$status"
}

# e2e_must STEP...: driver runs, each a line of words (quotes group; driver steps joined by
# "+"), where anything but success fails the test; "STEPS => ANSWER" must print ANSWER, its
# lines joined by ";" (a combo prints its entries joined by "|", then its selection).
e2e_must() {
  local step
  for step; do
    eval "set -- ${step%% => *}"
    if [[ $step == *" => "* ]]; then
      e2e_expect "$step" "${step#* => }" "$(e2e_driver "$@" | paste -sd';')"
    else
      e2e_driver "$@" || t_die "driver: $step"
    fi
  done
}

# e2e_answer TITLE TEXT: the main window's message box TITLE says TEXT (line breaks as \n) and
# goes when its OK is pressed.
e2e_answer() { e2e_must "window \"$1\" + text 65535 + press 1 => $2"; }

# e2e_pixels FILE X Y [X Y ...]: the colours at these points of a screenshot, as rrggbb words.
e2e_pixels() {
  local file=$1 format=""
  shift
  while [ $# -ge 2 ]; do format+="%[hex:p{$1,$2}] "; shift 2; done
  convert "$file" -format "$format\n" info: | tr 'A-F' 'a-f' || t_die "cannot read $file"
}

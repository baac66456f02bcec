# Shared by the end-to-end scripts (sourced): a private X display, a private copy of the project's
# Wine prefix, simulated testers on pseudo-terminals linked as its COM ports, Ombrelo.exe started
# under Wine, the driver, screenshots with pixel sampling, and a cleanup that runs on every way
# out, bounded by a watchdog so that nothing is left behind when a step hangs.
#
# A script calls e2e_init NAME OMBRELO_EXE DRIVER_EXE SIM OUT_DIR LIMIT_SECONDS first.
# Globals here are read by the scripts that source this file; the prefix is looked up in a
# subshell so that sourcing the project's prefix script changes nothing here.
# shellcheck shell=bash disable=SC2031,SC2034

E2E_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../lib.sh
. "$E2E_REPO/tests/lib.sh"
E2E_SCREEN_WIDTH=1280
E2E_SCREEN_HEIGHT=1024

e2e_name=""
e2e_tmp=""
e2e_out=""
e2e_xvfb_pid=""
e2e_watchdog_pid=""
e2e_ombrelo_pid=""
e2e_ombrelo_log=""
e2e_ombrelo_runs=0
e2e_ombrelo_status=""  # exit status of the last Ombrelo.exe that ended
e2e_user_dir=""
e2e_started=$SECONDS
declare -A e2e_sim_pid=() e2e_sim_fd=() e2e_sim_pts=() e2e_sim_log=() e2e_sim_out=()

e2e_say() { printf '[%s %3ds] %s\n' "$e2e_name" $((SECONDS - e2e_started)) "$*"; }

e2e_fail() {
  printf '[%s %3ds] FAIL: %s\n' "$e2e_name" $((SECONDS - e2e_started)) "$*" >&2
  exit 1
}

e2e_cleanup() {
  local status=$?
  trap - EXIT INT TERM ERR
  if [ "$status" -ne 0 ] && [ -n "${DISPLAY:-}" ] && [ -n "$e2e_xvfb_pid" ]; then
    # What the screen showed when the run went wrong.
    import -display "$DISPLAY" -window root "$e2e_out/$e2e_name-failure.png" 2>/dev/null &&
      echo "screen at the failure: $e2e_out/$e2e_name-failure.png" >&2
    if [ -n "$e2e_ombrelo_log" ] && grep -q '^Unhandled exception' "$e2e_ombrelo_log"; then
      echo "--- Ombrelo.exe crashed ---" >&2
      sed -n '/^Unhandled exception/,/^Modules:/p' "$e2e_ombrelo_log" >&2
    elif [ -n "$e2e_ombrelo_log" ] && [ -s "$e2e_ombrelo_log" ]; then
      echo "--- Wine output of Ombrelo.exe (last lines) ---" >&2
      tail -n 40 "$e2e_ombrelo_log" >&2
    fi
    if [ -s "$e2e_tmp/xvfb.log" ]; then
      echo "--- Xvfb (last lines) ---" >&2
      tail -n 10 "$e2e_tmp/xvfb.log" >&2
    fi
    local port
    for port in "${!e2e_sim_out[@]}"; do
      echo "--- simulator on $port (last lines) ---" >&2
      tail -n 5 "${e2e_sim_out[$port]}" >&2
    done
  fi
  if [ -n "$e2e_tmp" ] && [ -d "$e2e_tmp/prefix" ]; then
    WINEPREFIX="$e2e_tmp/prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$e2e_tmp/prefix" wineserver -w 2>/dev/null || true
  fi
  if [ -n "$e2e_ombrelo_pid" ]; then
    kill -KILL "$e2e_ombrelo_pid" 2>/dev/null || true
    wait "$e2e_ombrelo_pid" 2>/dev/null || true
  fi
  local port
  for port in "${!e2e_sim_pid[@]}"; do
    local fd=${e2e_sim_fd[$port]:-}
    if [ -n "$fd" ]; then
      exec {fd}>&- 2>/dev/null || true
    fi
    kill "${e2e_sim_pid[$port]}" 2>/dev/null || true
    wait "${e2e_sim_pid[$port]}" 2>/dev/null || true
  done
  if [ -n "$e2e_xvfb_pid" ]; then
    kill "$e2e_xvfb_pid" 2>/dev/null || true
    wait "$e2e_xvfb_pid" 2>/dev/null || true
  fi
  if [ -n "$e2e_watchdog_pid" ]; then
    kill "$e2e_watchdog_pid" 2>/dev/null || true
    wait "$e2e_watchdog_pid" 2>/dev/null || true
  fi
  [ -n "$e2e_tmp" ] && rm -rf "$e2e_tmp"
  if [ "$status" -eq 0 ]; then
    e2e_say "PASS in $((SECONDS - e2e_started)) s"
  else
    printf '[%s %3ds] failed (status %d)\n' "$e2e_name" $((SECONDS - e2e_started)) "$status" >&2
  fi
  exit "$status"
}

# e2e_init NAME OMBRELO_EXE DRIVER_EXE SIM OUT_DIR LIMIT_SECONDS
e2e_init() {
  e2e_name=$1
  E2E_EXE=$2
  E2E_DRIVER=$3
  E2E_SIM=$4
  e2e_out=$5
  local limit=$6
  local f
  for f in "$E2E_EXE" "$E2E_DRIVER" "$E2E_SIM"; do
    [ -f "$f" ] || { echo "$e2e_name: missing $f" >&2; exit 2; }
  done
  local tool
  for tool in Xvfb wine wineserver import convert od; do
    command -v "$tool" >/dev/null || { echo "$e2e_name: $tool is not installed" >&2; exit 2; }
  done
  mkdir -p "$e2e_out"
  e2e_tmp=$(mktemp -d "${TMPDIR:-/tmp}/ombrelo-$e2e_name.XXXXXX")
  trap e2e_cleanup EXIT
  # Under set -e a failing command ends the script: say which one.
  set -o errtrace
  trap 'printf "[%s] stopped at %s line %s: %s\n" "$e2e_name" "${BASH_SOURCE[0]##*/}" "$LINENO" "$BASH_COMMAND" >&2' ERR
  trap 'e2e_fail "interrupted"' INT
  trap 'e2e_fail "stopped by the watchdog after '"$limit"' s (a step hung)"' TERM
  # The watchdog ends the script; the cleanup then ends everything the script started. Every
  # step the script waits in is short, so the signal is handled within a second.
  (
    for ((waited = 0; waited < limit; waited++)); do sleep 1; done
    kill -TERM $$
  ) </dev/null >/dev/null 2>&1 &
  e2e_watchdog_pid=$!
}

# A private display; -displayfd picks a free display number and reports it when the server is
# ready.
e2e_start_xvfb() {
  local fifo="$e2e_tmp/displayfd"
  : >"$fifo"
  Xvfb -displayfd 3 -screen 0 "${E2E_SCREEN_WIDTH}x${E2E_SCREEN_HEIGHT}x24" -nolisten tcp \
    3>"$fifo" </dev/null >"$e2e_tmp/xvfb.log" 2>&1 &
  e2e_xvfb_pid=$!
  for _ in $(seq 100); do
    if grep -q '^[0-9][0-9]*$' "$fifo" 2>/dev/null; then
      DISPLAY=":$(head -n1 "$fifo")"
      export DISPLAY
      e2e_say "Xvfb on $DISPLAY"
      return 0
    fi
    kill -0 "$e2e_xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$e2e_tmp/xvfb.log" >&2
  e2e_fail "Xvfb did not start"
}

# A private copy of the project's prepared prefix (with its settings: no crash dialog, unmanaged
# windows): its own wineserver, COM ports and documents folder, so the run neither sees nor
# changes anything outside it.
e2e_make_prefix() {
  local prepared
  prepared=$(
    unset DISPLAY
    # shellcheck source=../../scripts/wine-prefix.sh
    . "$E2E_REPO/scripts/wine-prefix.sh" >/dev/null
    printf '%s' "$WINEPREFIX"
  ) || e2e_fail "cannot prepare the project's Wine prefix"
  cp -a "$prepared" "$e2e_tmp/prefix" || e2e_fail "cannot copy the prepared Wine prefix $prepared"
  export WINEPREFIX="$e2e_tmp/prefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  rm -f "$WINEPREFIX"/dosdevices/com[0-9]* "$WINEPREFIX"/dosdevices/com[0-9]*:
  # The shell folders of a new prefix lead into $HOME; here they are folders of the prefix.
  e2e_user_dir="$WINEPREFIX/drive_c/users/$(id -un)"
  mkdir -p "$e2e_user_dir"
  local link
  for link in "$e2e_user_dir"/*; do
    if [ -L "$link" ]; then
      rm -f "$link"
      mkdir -p "$link"
    fi
  done
  e2e_say "private prefix ready"
}

e2e_documents() { printf '%s/Documents' "$e2e_user_dir"; }

# e2e_start_sim COMn SIM_ARGS...: a simulated tester whose terminal becomes COMn. Its stdin is a
# pipe held by this script, its life line.
e2e_start_sim() {
  local port=$1
  shift
  local fifo="$e2e_tmp/sim-$port.in" out="$e2e_tmp/sim-$port.out" log="$e2e_tmp/sim-$port.log"
  # An earlier simulator's output on this port would name a terminal that is no longer its own.
  rm -f "$fifo" "$out"
  mkfifo "$fifo"
  : >"$log"
  "$E2E_SIM" --log "$log" "$@" <"$fifo" >"$out" 2>&1 &
  e2e_sim_pid[$port]=$!
  local fd
  exec {fd}>"$fifo"
  e2e_sim_fd[$port]=$fd
  e2e_sim_out[$port]=$out
  e2e_sim_log[$port]=$log
  local pts=""
  for _ in $(seq 100); do
    pts=$(grep -o -m1 '/dev/pts/[0-9][0-9]*' "$out" 2>/dev/null || true)
    [ -n "$pts" ] && break
    kill -0 "${e2e_sim_pid[$port]}" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$pts" ] || [ ! -c "$pts" ]; then
    cat "$out" >&2
    e2e_fail "simulator for $port did not start"
  fi
  e2e_sim_pts[$port]=$pts
  ln -sfn "$pts" "$WINEPREFIX/dosdevices/${port,,}"
  e2e_say "simulator $* on $port ($pts)"
}

# e2e_stop_sim COMn: the tester goes as if unplugged: it ends, and its terminal with it. (Its
# life line alone would not end it: the programs started since hold the pipe open too.)
e2e_stop_sim() {
  local fd=${e2e_sim_fd[$1]}
  exec {fd}>&-
  kill "${e2e_sim_pid[$1]}"
  wait "${e2e_sim_pid[$1]}" 2>/dev/null || true
  unset "e2e_sim_fd[$1]" "e2e_sim_pid[$1]"
}

# e2e_list_port COMn: Wine maps COMn as it maps a serial device of the machine, and so lists it
# where Windows lists its serial ports (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM): Wine's mount
# manager reads HKLM\Software\Wine\Ports when the prefix starts, makes the port's link from it
# and adds the SERIALCOMM entry. A link in dosdevices alone is not listed. Call it after
# e2e_start_sim COMn and before the prefix's first program.
e2e_list_port() {
  printf '\n[Software\\\\Wine\\\\Ports] %s\n"%s"="%s"\n' "$(date +%s)" "$1" "${e2e_sim_pts[$1]}" \
    >>"$WINEPREFIX/system.reg"
}

# Requests the simulator on PORT has received, one line each: command and payload bytes in hex.
e2e_sim_requests() { cat "${e2e_sim_log[$1]}"; }
e2e_sim_request_count() { wc -l <"${e2e_sim_log[$1]}"; }

# Processes other than the simulator itself that hold the terminal of PORT open.
e2e_pty_holders() { t_holders "${e2e_sim_pts[$1]}" "${e2e_sim_pid[$1]}"; }

# e2e_wait_port_free PORT MS: waits until nobody but the simulator holds PORT's terminal.
e2e_wait_port_free() {
  local waited=0 holders
  while :; do
    holders=$(e2e_pty_holders "$1")
    [ -z "$holders" ] && return 0
    if [ "$waited" -ge "$2" ]; then
      echo "$1 (${e2e_sim_pts[$1]}) is held by:" >&2
      ps -o pid=,args= -p "$(paste -sd, <<<"$holders")" >&2 || true
      return 1
    fi
    sleep 0.1
    waited=$((waited + 100))
  done
}

# Starts Ombrelo.exe and waits for its window; a program that ends before it shows one fails the
# test at once. Wine's heap checks are on (see e2e_check_ombrelo_log).
e2e_start_ombrelo() {
  e2e_ombrelo_runs=$((e2e_ombrelo_runs + 1))
  e2e_ombrelo_log="$e2e_tmp/ombrelo-$e2e_ombrelo_runs.log"
  WINEDEBUG=-all,err+all,warn+heap "$E2E_REPO/scripts/wine-run.sh" "$E2E_EXE" </dev/null \
    >"$e2e_ombrelo_log" 2>&1 &
  e2e_ombrelo_pid=$!
  e2e_driver wait-window 60000 &
  local waiter=$!
  while kill -0 "$waiter" 2>/dev/null; do
    if ! kill -0 "$e2e_ombrelo_pid" 2>/dev/null; then
      e2e_wait_ombrelo_exit 0 || true
      e2e_fail "Ombrelo.exe ended (exit status $e2e_ombrelo_status) before its window showed"
    fi
    sleep 0.1
  done
  wait "$waiter" || e2e_fail "driver: wait-window 60000"
}

# Fails the test when the last Ombrelo.exe's output shows a crash or a heap error.
e2e_check_ombrelo_log() { # what
  local pattern='unhandled exception|page fault|assertion|err:heap|warn:heap'
  if grep -q -i -E "$pattern" "$e2e_ombrelo_log"; then
    e2e_fail "$1: $(grep -i -E -m3 "$pattern" "$e2e_ombrelo_log")"
  fi
}

# Waits up to MS for the Ombrelo process to end; sets e2e_ombrelo_status. Returns 1 on time-out.
e2e_wait_ombrelo_exit() {
  local ms=$1 waited=0
  while kill -0 "$e2e_ombrelo_pid" 2>/dev/null; do
    [ "$waited" -ge "$ms" ] && return 1
    sleep 0.1
    waited=$((waited + 100))
  done
  e2e_ombrelo_status=0
  wait "$e2e_ombrelo_pid" || e2e_ombrelo_status=$?
  e2e_ombrelo_pid=""
  return 0
}

# The driver under Wine, in the same prefix and display as the program. Bounded, so a hung
# driver can never hold the script.
e2e_driver() {
  local status=0
  # Wine's own error channel stays on: a driver that fails before it can say why leaves a trace.
  WINEDEBUG=-all,err+all timeout 60 "$E2E_REPO/scripts/wine-run.sh" "$E2E_DRIVER" "$@" 2>"$e2e_tmp/driver.err" ||
    status=$?
  # The driver explains every failure of its own on stderr. Status 1 with nothing said is Wine
  # failing to run it at all (seen twice in some hundred runs): nothing was done, so run it again.
  if [ "$status" -eq 1 ] && [ ! -s "$e2e_tmp/driver.err" ]; then
    e2e_say "driver: $* ended with status 1 and no word; running it again" >&2
    status=0
    WINEDEBUG=-all,err+all timeout 60 "$E2E_REPO/scripts/wine-run.sh" "$E2E_DRIVER" "$@" \
      2>"$e2e_tmp/driver.err" || status=$?
  fi
  if [ -s "$e2e_tmp/driver.err" ]; then
    sed 's/^/    /' "$e2e_tmp/driver.err" >&2
  fi
  return "$status"
}

# The driver, where anything but success fails the test.
e2e_must() {
  local status=0
  e2e_driver "$@" || status=$?
  [ "$status" -eq 0 ] || e2e_fail "driver: $* (status $status)"
}

# e2e_expect WHAT EXPECTED ACTUAL
e2e_expect() {
  [ "$2" = "$3" ] || e2e_fail "$1: expected \"$2\", found \"$3\""
}

# e2e_screenshot FILE: the whole screen as a PNG.
e2e_screenshot() {
  import -display "$DISPLAY" -window root "$1" || e2e_fail "screenshot failed"
}

# e2e_pixels FILE X Y [X Y ...]: the colours at these points of a screenshot, as rrggbb words.
e2e_pixels() {
  local file=$1 format=""
  shift
  while [ $# -ge 2 ]; do
    format+="%[hex:p{$1,$2}] "
    shift 2
  done
  convert "$file" -format "$format\n" info: | tr 'A-F' 'a-f' || e2e_fail "cannot read $file"
}

# e2e_area FILE X Y W H: the number of colours in that area of a screenshot and the colour of its
# first pixel, as "N rrggbb".
e2e_area() {
  convert "$1" -crop "$4x$5+$2+$3" +repage -format "%k %[hex:p{0,0}]\n" info: | tr 'A-F' 'a-f' ||
    e2e_fail "cannot read $1"
}

#!/usr/bin/env bash
# Runs every benchmark: builds a Release native tree (build/bench in the repository;
# OMBRELO_BUILD_ROOT overrides the root) and runs each benchmark program in turn; then builds the
# Windows tree (build/bench-win) and runs the window benchmarks under Wine and Xvfb, with the
# simulated tester answering on COM3 of a private Wine prefix. Add a native benchmark by adding
# its target to the list below. OMBRELO_BENCH_NATIVE=0 or OMBRELO_BENCH_WINDOWS=0 skips that
# part; OMBRELO_UI_TICKS and OMBRELO_STARTUP_RUNS size the Windows part.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
dir="$root/bench"
jobs="${OMBRELO_JOBS:-2}"
windows="${OMBRELO_BENCH_WINDOWS:-1}"
native="${OMBRELO_BENCH_NATIVE:-1}"

packages=(g++ cmake ninja-build libgtest-dev)
if [ "$windows" != 0 ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth)
fi
bash "$here/scripts/deps.sh" "${packages[@]}"

# target, arguments...
benchmarks=(
  "ombrelo-bench-link"
  "ombrelo-bench-display"
  "ombrelo-bench-save"
  "ombrelo-bench-plot"
  "ombrelo-bench-poll --seconds ${OMBRELO_POLL_SECONDS:-60}"
  "ombrelo-bench-log"
)

cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF \
  -DOMBRELO_BENCH=ON >/dev/null
targets=(ombrelo-sim ombrelo-console)
for entry in "${benchmarks[@]}"; do
  read -r target _ <<<"$entry"
  targets+=("$target")
done
cmake --build "$dir" -j"$jobs" --target "${targets[@]}"

status=0
[ "$native" != 0 ] || benchmarks=()
for entry in "${benchmarks[@]}"; do
  read -r target args <<<"$entry"
  program=$(find "$dir" -type f -name "$target" -perm -u+x | head -n 1)
  printf '\n==== %s ====\n' "$target"
  # shellcheck disable=SC2086
  "$program" $args || status=1
done

# Resident memory of the console monitor (ombrelo-console against the simulated tester on a
# pseudo-terminal), connected and polling: read from /proc once the monitor has shown the supply's
# state from five poll cycles. The simulator, a small program on the same pseudo-terminal, is
# measured in the same moment as the baseline. Goal: the monitor at most 8 MB (VmRSS and VmHWM).
console_memory() {
  printf '\n==== console monitor memory ====\n'
  local work pts="" hold sim_pid monitor keys result=0
  work=$(mktemp -d)
  mkfifo "$work/in" "$work/keys"
  sleep infinity >"$work/in" &
  hold=$!
  "$dir/sim/ombrelo-sim" --on <"$work/in" >"$work/sim" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    pts=$(grep -o '/dev/pts/[0-9]*' "$work/sim" | head -n 1 || true)
    [ -n "$pts" ] && break
    sleep 0.1
  done
  if [ -z "$pts" ]; then
    echo "The simulated tester did not start." >&2
    result=1
  else
    "$dir/tools/ombrelo-console" "$pts" <"$work/keys" >"$work/monitor" 2>&1 &
    monitor=$!
    exec {keys}>"$work/keys"
    local shown=0
    for _ in $(seq 300); do
      shown=$(grep -c 'Power: ON' "$work/monitor" || true)
      [ "$shown" -ge 5 ] && break
      sleep 0.1
    done
    if [ "$shown" -lt 5 ]; then
      echo "The monitor did not show five poll cycles." >&2
      result=1
    else
      local rss hwm sim_rss
      rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$monitor/status")
      hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$monitor/status")
      sim_rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$sim_pid/status")
      awk -v rss="$rss" -v hwm="$hwm" -v sim="$sim_rss" 'BEGIN {
        printf "console monitor, connected and polling: VmRSS %.1f MB, VmHWM %.1f MB\n", rss / 1024, hwm / 1024
        printf "simulated tester (baseline):            VmRSS %.1f MB\n", sim / 1024
        met = rss <= 8192 && hwm <= 8192
        printf "goal monitor <= 8 MB: %s\n", met ? "met" : "NOT met"
        exit met ? 0 : 1 }' || result=1
    fi
    echo q >&"$keys"
    exec {keys}>&-
    wait "$monitor" 2>/dev/null || true
  fi
  kill "$sim_pid" "$hold" 2>/dev/null || true
  wait "$sim_pid" "$hold" 2>/dev/null || true
  rm -rf "$work"
  return $result
}
[ "$native" = 0 ] || console_memory || status=1

[ "$windows" != 0 ] || exit $status

# ---- Window benchmarks under Wine ----
win="$root/bench-win"
sim="$dir/sim/ombrelo-sim"
cmake -S "$here" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DOMBRELO_TESTS=OFF \
  -DOMBRELO_BENCH=ON >/dev/null
cmake --build "$win" -j"$jobs" --target Ombrelo ombrelo-bench-bare-dialog \
  ombrelo-bench-template-dialog ombrelo-bench-ui-startup ombrelo-bench-ui-tick

export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
export WINEPREFIX="$win/wineprefix"
# shellcheck source=wine-prefix.sh
. "$here/scripts/wine-prefix.sh"

# Ombrelo probes COM1 to COM5 at start-up. Wine links every /dev/ttyS* it finds to the lowest free
# COM number whenever its session starts, overwriting links made by hand; a real serial port that
# opens but never answers would then add its time-outs to every start. So COM1, COM2, COM4 and
# COM5 are switched off in the prefix's registry (the serial ports move to COM6 and up), and COM3
# is declared as a fixed path that is pointed at the simulated tester's terminal for each run.
com3="$win/com3-tester"
wine reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$com3" /f >/dev/null 2>&1
for n in 1 2 4 5; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "" /f >/dev/null 2>&1
done
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
# One session with the new settings, so the links on disk are already right when a benchmark starts.
wine reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || true
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

sim_pid=""
holder_pid=""
sim_dir=""
stop_tester() {
  # Wine's server holds the terminal as its controlling terminal: end it before the master goes.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  [ -n "$holder_pid" ] && { kill "$holder_pid" 2>/dev/null || true; wait "$holder_pid" 2>/dev/null || true; }
  [ -n "$sim_dir" ] && rm -rf "$sim_dir"
  rm -f "$com3"
  sim_pid=""
  holder_pid=""
  sim_dir=""
}
trap stop_tester EXIT

# Starts a simulated tester with its supply on and points COM3 at its terminal.
start_tester() {
  sim_dir=$(mktemp -d)
  mkfifo "$sim_dir/in"
  # The simulator lives as long as its stdin stays open: hold it with a sleeping writer.
  sleep infinity >"$sim_dir/in" &
  holder_pid=$!
  "$sim" --on <"$sim_dir/in" >"$sim_dir/out" 2>&1 &
  sim_pid=$!
  local pts=""
  for _ in $(seq 100); do
    pts=$(grep -o '/dev/pts/[0-9]*' "$sim_dir/out" | head -n 1 || true)
    [ -n "$pts" ] && break
    sleep 0.1
  done
  [ -n "$pts" ] || { echo "The simulated tester did not start." >&2; return 1; }
  ln -sfn "$pts" "$com3"
  echo "Simulated tester on $pts, linked as COM3 ($com3); COM1, COM2, COM4, COM5 switched off."
  local link
  for link in "$WINEPREFIX"/dosdevices/com*; do
    if [ -L "$link" ]; then echo "  link: ${link##*/} -> $(readlink "$link")"; fi
  done
}

# Runs one Windows benchmark under Wine on a private X display, with a fresh tester on COM3.
run_windows_bench() {
  printf '\n==== %s ====\n' "$(basename "$1" .exe)"
  start_tester || return 1
  local result=0
  # Wine's session ends while its display still exists, so nothing reports a lost X connection.
  # shellcheck disable=SC2016
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c \
    '"$@" || s=$?; wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; exit "${s:-0}"' \
    bench "$here/scripts/wine-run.sh" "$@" || result=$?
  stop_tester
  return $result
}

run_windows_bench "$win/bench/ombrelo-bench-ui-startup.exe" --runs "${OMBRELO_STARTUP_RUNS:-10}" \
  "$win/ui/Ombrelo.exe" "$win/bench/ombrelo-bench-bare-dialog.exe" \
  "$win/bench/ombrelo-bench-template-dialog.exe" || status=1
run_windows_bench "$win/bench/ombrelo-bench-ui-tick.exe" --ticks "${OMBRELO_UI_TICKS:-10000}" || status=1
exit $status

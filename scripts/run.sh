#!/usr/bin/env bash
# The program's main job without hardware: builds Ombrelo.exe (MinGW-w64) and the simulated
# tester, starts the simulator on COM3 of a private Wine prefix and opens the window.
#
#   bash scripts/run.sh               the window on your display ($DISPLAY); with no display it runs
#                                     on a virtual one, connects, saves a screenshot of the window
#                                     (docs/window.png, the README's picture) and a test report,
#                                     prints their paths and ends
#   bash scripts/run.sh --console ... the console monitor instead (see --console --help below)
#
# OMBRELO_SIM_OPTIONS gives the simulator other options (default --on: a supply switched on).
# Build trees live under build/ in the repository (OMBRELO_BUILD_ROOT overrides).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
jobs="${OMBRELO_JOBS:-2}"

# The console monitor: the simulator on a pseudo-terminal and ombrelo-console against it. With
# --once the console identifies the tester and prints one full set of readings instead. A device
# path (e.g. /dev/ttyACM0) uses a real tester instead of the simulator. Other arguments go to the
# console (e.g. --log-interval 1).
run_console() {
  local build="$root/run"
  bash "$here/scripts/deps.sh" g++ cmake ninja-build make
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF -DOMBRELO_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$jobs" --target ombrelo-sim ombrelo-console >/dev/null

  local args=() device="" a
  for a in "$@"; do
    case "$a" in
      /dev/*) device="$a" ;;
      *) args+=("$a") ;;
    esac
  done
  if [ -z "$device" ]; then
    start_simulator
    device="$sim_pts"
  fi
  "$build/tools/ombrelo-console" "${args[@]}" "$device"
}

sim_pid=""
holder_pid=""
sim_pts=""
work=""
xvfb_pid=""
cleanup() {
  if [ -n "${WINEPREFIX:-}" ] && [ -n "$work" ]; then wineserver -k 2>/dev/null || true; fi
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "$work" ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the simulated tester; sets sim_pts to its terminal.
start_simulator() {
  local fifo out
  work="${work:-$(mktemp -d)}"
  fifo="$work/sim-stdin"
  out="$work/sim-out"
  mkfifo "$fifo"
  # The simulator lives as long as its stdin stays open: hold it with a sleeping writer.
  sleep infinity > "$fifo" &
  holder_pid=$!
  # shellcheck disable=SC2086
  "$root/run/sim/ombrelo-sim" ${OMBRELO_SIM_OPTIONS---on} < "$fifo" > "$out" &
  sim_pid=$!
  for _ in $(seq 50); do
    sim_pts="$(grep -o '/dev/pts/[0-9]*' "$out" | head -n1 || true)"
    [ -n "$sim_pts" ] && break
    sleep 0.1
  done
  [ -n "$sim_pts" ] || { echo "The simulated tester did not start." >&2; exit 1; }
  # On stderr: stdout is the console's, which may be JSON lines for another program.
  head -n1 "$out" >&2
}

if [ "${1:-}" = "--console" ]; then
  shift
  run_console "$@"
  exit $?
fi

bash "$here/scripts/deps.sh" g++ cmake ninja-build make g++-mingw-w64-x86-64-posix wine wine64 \
  googletest xvfb xauth x11-utils imagemagick fonts-wine procps
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"

echo "Building the simulated tester and Ombrelo.exe ..."
cmake -S "$here" -B "$root/run" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF -DOMBRELO_BENCH=OFF >/dev/null
cmake --build "$root/run" -j"$jobs" --target ombrelo-sim >/dev/null
# The driver that works the window when nobody watches lives beside the end-to-end tests.
cmake -S "$here" -B "$root/run-win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DOMBRELO_BENCH=OFF >/dev/null
cmake --build "$root/run-win" -j"$jobs" --target Ombrelo ombrelo-driver >/dev/null
exe="$root/run-win/ui/Ombrelo.exe"
driver="$root/run-win/tests/e2e/ombrelo-driver.exe"

# A private copy of the project's prepared prefix, with COM3 as the only port.
. "$here/scripts/wine-prefix.sh"
work="$(mktemp -d)"
cp -a "$WINEPREFIX" "$work/prefix"
export WINEPREFIX="$work/prefix"
rm -f "$WINEPREFIX"/dosdevices/com*
start_simulator
ln -sfn "$sim_pts" "$WINEPREFIX/dosdevices/com3"
echo "Simulated tester on COM3 ($sim_pts)."
echo "Ombrelo.exe: $exe"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "Opening the window on $DISPLAY; press Connect, and Exit when done."
  # The program's own exit status; a crash fails with its backtrace.
  status=0
  "$here/scripts/wine-run.sh" "$exe" || status=$?
  exit "$status"
fi

# No display: a virtual one, and the window worked from outside.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
number=""
for _ in $(seq 100); do
  number="$(head -n1 "$work/display" 2>/dev/null || true)"
  [ -n "$number" ] && break
  sleep 0.1
done
[ -n "$number" ] || { echo "Xvfb did not start." >&2; exit 1; }
export DISPLAY=":$number"
echo "No display: running on the virtual display $DISPLAY."

out="$root/run"
# The README shows this picture: every run without a display takes it afresh.
shot="$here/docs/window.png"
report="$out/ombrelo-report.txt"
rm -f "$shot" "$report"
wine "$exe" >"$work/ombrelo.log" 2>&1 &
drive() { wine "$driver" "$@"; }
drive window main 30000 >/dev/null
echo "Port list: $(drive combo 1002 | head -n1 | tr '|' ' ')"
drive click 1003 >/dev/null
drive wait-text 1003 Disconnect 10000 >/dev/null
# Two display ticks after the first poll cycle, and time to paint.
drive wait-filled 1101 10000 >/dev/null
sleep 1.5
read -r left top right bottom < <(drive rect 0)
# A palette PNG, as the chart's: the window has few colours and the README should stay light.
import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage -strip +dither -colors 64 \
  PNG8:"$shot"
# The save dialog's file-name field is 1148 (cmb13).
drive click 1008 + window "Select a log file name" + wait-filled 1148 5000 + set-text 1148 "Z:${report//\//\\}" + press 1 >/dev/null
for _ in $(seq 50); do [ -s "$report" ] && break; sleep 0.1; done
drive click 1012 >/dev/null
drive wait-gone 15000 >/dev/null || true

[ -s "$shot" ] && [ -s "$report" ] || { echo "The run did not produce both files." >&2; exit 1; }
echo
echo "Screenshot of the connected window: $shot"
echo "Test report:                        $report"
echo
cat "$report"

#!/usr/bin/env bash
# The program's main job without hardware: builds the native tools, starts the simulated tester on
# a pseudo-terminal and runs the console monitor against it (Ctrl+C ends it). With --once the
# console identifies the tester and prints one full set of readings instead. Give a device path
# (e.g. /dev/ttyACM0) to use a real tester instead of the simulator. Other arguments go to the
# console (e.g. --log-interval 1).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${OMBRELO_BUILD_ROOT:-$here/build}/run"

bash "$here/scripts/deps.sh" g++ cmake ninja-build make
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF -DOMBRELO_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target ombrelo-sim ombrelo-console >/dev/null

args=()
device=""
for a in "$@"; do
  case "$a" in
    /dev/*) device="$a" ;;
    *) args+=("$a") ;;
  esac
done

if [ -z "$device" ]; then
  fifo="$(mktemp -u)"; mkfifo "$fifo"
  # The simulator lives as long as its stdin stays open: hold it with a sleeping writer.
  sleep infinity > "$fifo" &
  holder=$!
  out="$(mktemp)"
  # A supply that is switched on, unless OMBRELO_SIM_OPTIONS says otherwise (see ombrelo-sim --help).
  # shellcheck disable=SC2086
  "$build/sim/ombrelo-sim" ${OMBRELO_SIM_OPTIONS---on} < "$fifo" > "$out" &
  sim=$!
  trap 'kill $holder $sim 2>/dev/null; rm -f "$fifo" "$out"' EXIT
  for _ in $(seq 50); do
    device="$(grep -o '/dev/pts/[0-9]*' "$out" | head -n1 || true)"
    [ -n "$device" ] && break
    sleep 0.1
  done
  [ -n "$device" ] || { echo "The simulated tester did not start." >&2; exit 1; }
  head -n1 "$out"
fi
"$build/tools/ombrelo-console" "${args[@]}" "$device"

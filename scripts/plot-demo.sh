#!/usr/bin/env bash
# Makes the README's chart from a real run: the simulated tester with both optional cables, the
# console monitor logging a row every second for about 70 s while the supply is switched off for
# ten seconds and on again, Save Log through the monitor's `l` key, ombrelo-plot on that log and
# rsvg-convert to a small PNG.
#
#   bash scripts/plot-demo.sh [PNG]   (default docs/plot-demo.png; the log and the SVG stay in
#                                     build/run/plot-demo/)
#
# Build trees live under build/ in the repository (OMBRELO_BUILD_ROOT overrides).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
jobs="${OMBRELO_JOBS:-2}"
png="${1:-$here/docs/plot-demo.png}"
seconds="${OMBRELO_DEMO_SECONDS:-70}"

bash "$here/scripts/deps.sh" g++ cmake ninja-build librsvg2-bin imagemagick
build="$root/run"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRELO_TESTS=OFF -DOMBRELO_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target ombrelo-sim ombrelo-console ombrelo-plot >/dev/null

work="$(mktemp -d)"
sim_pid=""
hold_pid=""
cleanup() {
  [ -n "$hold_pid" ] && kill "$hold_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$work"
  return 0
}
trap cleanup EXIT

mkfifo "$work/sim-in"
# The simulator lives as long as its stdin stays open: hold it with a sleeping writer.
sleep infinity >"$work/sim-in" &
hold_pid=$!
"$build/sim/ombrelo-sim" --on --seed 7 <"$work/sim-in" >"$work/sim-out" 2>&1 &
sim_pid=$!
pts=""
for _ in $(seq 50); do
  pts="$(grep -o '/dev/pts/[0-9]*' "$work/sim-out" | head -n1 || true)"
  [ -n "$pts" ] && break
  sleep 0.1
done
[ -n "$pts" ] || { echo "The simulated tester did not start." >&2; exit 1; }

keep="$build/plot-demo"
mkdir -p "$keep" "$(dirname "$png")"
log="$keep/plot-demo.txt"
rm -f "$log"
off=$((seconds / 3))
echo "Logging for about $seconds s (supply off at ${off} s for 10 s) ..."
# The keys a user would press: power off, power on, save the log under a path, quit.
{
  sleep "$off"; echo p
  sleep 10; echo p
  sleep $((seconds - off - 10)); echo "l $log"
  sleep 1; echo q
} | HOME="$work" timeout $((seconds + 60)) "$build/tools/ombrelo-console" --cpu-cable --pcie-cable \
    --log-interval 1 "$pts" >"$work/console.out" 2>&1 || {
  echo "The console monitor failed:" >&2
  tail -n 20 "$work/console.out" >&2
  exit 1
}
[ -s "$log" ] || { echo "The console saved no log at $log." >&2; tail -n 20 "$work/console.out" >&2; exit 1; }

"$build/plot/ombrelo-plot" "$log" -o "$keep/plot-demo.svg"
# A palette PNG without dithering: a chart has few colours (the pale band survives 64 of them),
# and the README should stay light.
rsvg-convert -b white -o "$work/chart.png" "$keep/plot-demo.svg"
convert "$work/chart.png" -strip +dither -colors 64 PNG8:"$png"
echo "Chart: $png ($(stat -c %s "$png") bytes), from $log"

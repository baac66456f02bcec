#!/usr/bin/env bash
# Soak run: the console monitor (--json --reconnect) polls a simulated tester that injects seeded
# random faults (ombrelo-sim --chaos) for MINUTES, then checks that
#   - the console neither crashed nor hung, and came back after every hang-up of the tester;
#   - no request took longer than its bound: 200 ms for a read, 400 ms for a power switch, min/max
#     reset or settings write (which may wait for an owed reply first), plus 50 ms for scheduling;
#   - every fault was followed by a clean poll cycle (per fault class: count, median and worst
#     number of cycles until then);
#   - every decoded value of every cycle is one the simulator sent for that field (its log of
#     replies, --state-log) or the field's value the cycle before: no reply decoded by another;
#   - once the faults stop (the last 15 s, with the readings steady) the fault-free cycles' readings
#     equal the simulator's state exactly;
#   - the console's resident memory stays within 1 MB of its value after warm-up (the first minute,
#     or 10 % of a longer run).
# The monitor gets an r (min/max reset) now and then and a c (12V CPU cable, a settings write) so
# that those requests meet the faults too.
#
#   bash scripts/soak.sh MINUTES [SEED]
#
# SEED (default: from the clock) makes the fault sequence repeatable. OMBRELO_SOAK_RATE (percent of
# replies with a fault, default 4) and OMBRELO_SOAK_HANG_UP (mean seconds between hang-ups, default
# 120) change the mix. Builds into $OMBRELO_BUILD_ROOT/soak (default build/soak) and leaves each
# run's files in a folder below it, printed with the summary.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="${OMBRELO_BUILD_ROOT:-$here/build}"
build="$root/soak"
jobs="${OMBRELO_JOBS:-2}"

minutes="${1:-}"
seed="${2:-$(( $(date +%s) % 1000000 ))}"
rate="${OMBRELO_SOAK_RATE:-4}"
hang_up="${OMBRELO_SOAK_HANG_UP:-120}"
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 1 ] || ! [[ "$seed" =~ ^[0-9]+$ ]]; then
  echo "usage: bash scripts/soak.sh MINUTES [SEED]   (MINUTES a whole number, at least 1)" >&2
  exit 2
fi

# The faults stop this long before the end (the simulator is told by SIGUSR2), and the last check
# reads the cycles after that.
quiet_s=15
# A console that writes no cycle for this long has hung.
hang_s=20
sample_s=5

fail() {
  echo "soak: FAIL: $*" >&2
  exit 1
}

bash "$here/scripts/deps.sh" g++ cmake ninja-build python3 procps
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRELO_TESTS=OFF \
    -DOMBRELO_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"$jobs" --target ombrelo-sim ombrelo-console >/dev/null

run="$build/runs/$(date +%Y%m%d-%H%M%S)-seed$seed"
mkdir -p "$run"
total_s=$(( minutes * 60 ))

sim_pid=""
console_pid=""
# Ends what this script started; a program that does not end on SIGTERM (hung, or stopped) within
# 5 s is killed.
cleanup() {
  exec 3>&- 2>/dev/null || true
  local pid
  for pid in $console_pid $sim_pid; do
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT

"$build/sim/ombrelo-sim" --on --chaos "$seed" --chaos-rate "$rate" --chaos-hang-up "$hang_up" \
  --link "$run/tester" \
  --fault-log "$run/faults.log" --state-file "$run/state.json" --state-log "$run/states.jsonl" </dev/null >"$run/sim.out" 2>"$run/sim.err" &
sim_pid=$!
for _ in $(seq 50); do
  [ -e "$run/tester" ] && break
  sleep 0.1
done
[ -e "$run/tester" ] || fail "the simulator made no terminal (see $run/sim.err)"

# Keys reach the monitor through a pipe held open here, one per line.
mkfifo "$run/keys"
"$build/tools/ombrelo-console" --json --reconnect "$run/tester" <"$run/keys" >"$run/cycles.jsonl" \
  2>"$run/console.err" &
console_pid=$!
exec 3>"$run/keys"

echo "soak: $minutes min, seed $seed, console $console_pid, simulator $sim_pid, files in $run"
start=$SECONDS
last_lines=0
last_progress=$SECONDS
next_sample=0
next_reset=45
next_cable=100
chaos_on=1
: >"$run/rss.tsv"
while :; do
  elapsed=$(( SECONDS - start ))
  [ "$elapsed" -ge "$total_s" ] && break
  # The faults end by a signal rather than a time given at the start: this clock and the
  # simulator's need not run at quite the same rate over a long run.
  if [ "$chaos_on" -eq 1 ] && [ "$elapsed" -ge $(( total_s - quiet_s )) ]; then
    kill -USR2 "$sim_pid"
    chaos_on=0
  fi
  if ! kill -0 "$console_pid" 2>/dev/null; then
    code=0
    wait "$console_pid" || code=$?
    console_pid=""
    fail "the console ended after $elapsed s with exit code $code (see $run/console.err)"
  fi
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulator ended after $elapsed s (see $run/sim.err)"
  if [ "$elapsed" -ge "$next_sample" ]; then
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$console_pid/status" 2>/dev/null || true)
    [ -n "$rss" ] && echo "$elapsed $rss" >>"$run/rss.tsv"
    next_sample=$(( next_sample + sample_s ))
  fi
  lines=$(wc -l <"$run/cycles.jsonl")
  if [ "$lines" -ne "$last_lines" ]; then
    last_lines=$lines
    last_progress=$SECONDS
  elif [ $(( SECONDS - last_progress )) -ge "$hang_s" ]; then
    fail "the console made no poll cycle for $hang_s s (after $elapsed s; see $run/console.err)"
  fi
  # Keys only while the faults go on, and not in their last 20 s.
  if [ "$elapsed" -lt $(( total_s - quiet_s - 20 )) ]; then
    if [ "$elapsed" -ge "$next_reset" ]; then
      echo r >&3
      next_reset=$(( next_reset + 45 ))
    fi
    if [ "$elapsed" -ge "$next_cable" ]; then
      echo c >&3
      next_cable=$(( next_cable + 100 ))
    fi
  fi
  sleep 1
done

# The state the last cycles must show, then the ends of both programs.
kill -USR1 "$sim_pid"
for _ in $(seq 30); do
  [ -s "$run/state.json" ] && break
  sleep 0.1
done
rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$console_pid/status" 2>/dev/null || true)
[ -n "$rss" ] && echo "$(( SECONDS - start )) $rss" >>"$run/rss.tsv"
kill -0 "$console_pid" 2>/dev/null || fail "the console ended at the close of the run (see $run/console.err)"
kill -TERM "$console_pid"
for _ in $(seq 100); do
  kill -0 "$console_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$console_pid" 2>/dev/null; then
  kill -KILL "$console_pid"
  fail "the console did not end within 10 s of SIGTERM"
fi
code=0
wait "$console_pid" || code=$?
console_pid=""
[ "$code" -eq 0 ] || fail "the console ended with exit code $code on SIGTERM (see $run/console.err)"
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

status=0
python3 "$here/scripts/soak_check.py" "$run" --minutes "$minutes" --seed "$seed" --rate "$rate" \
  --hang-up "$hang_up" | tee "$run/summary.txt" || status=$?
exit "$status"

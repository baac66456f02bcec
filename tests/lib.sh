# Shared by the shell tests (sourced): a scratch folder and the processes a script starts, both
# gone on every way out; failures counted (t_fail) or fatal (t_die); simulated testers on
# pseudo-terminals with their request logs; waits that end as soon as what they wait for is there;
# Windows programs under Wine. A script calls t_init first and t_end last.
# shellcheck shell=bash

T_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
t_name=test
t_work=""
t_failures=0
t_started=$SECONDS
t_pids=()
t_watchdog=""
# Per simulator NAME: its terminal, its request log (a line per request: command and payload in
# hex), its output, its pid and the fd of its stdin, the pipe this script holds open as its life line.
declare -A t_pty=() t_simlog=() t_simout=() t_simpid=() t_simfd=()

t_say() { printf '[%s %3ds] %s\n' "$t_name" $((SECONDS - t_started)) "$*"; }
t_fail() { printf '[%s %3ds] FAIL: %s\n' "$t_name" $((SECONDS - t_started)) "$*" >&2; t_failures=$((t_failures + 1)); }
t_die() { t_fail "$*"; exit 1; }

# Runs on every way out: what the script started ends, then its hooks run, the scratch folder goes.
t_hooks=()
t_cleanup() {
  local status=$? hook pid
  trap - EXIT INT TERM
  for hook in "${t_hooks[@]}"; do "$hook" "$status" || true; done
  for pid in "${t_pids[@]}" ${t_watchdog:+"$t_watchdog"}; do t_kill "$pid" || true; done
  for pid in "${t_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "$t_work" ] && rm -rf "$t_work"
  exit "$status"
}

# t_kill PID [SIGNAL]: sends SIGNAL (TERM by default) to PID only while it is a child of this
# script: the number of a process that has ended and been reaped may belong to another by now.
t_kill() { [ "$(ps -o ppid= -p "$1" 2>/dev/null)" -eq $$ ] 2>/dev/null && kill -"${2:-TERM}" "$1" 2>/dev/null; }

# t_init NAME [LIMIT_SECONDS]: the scratch folder $t_work; with a limit, a watchdog that ends a
# script whose step hangs, so that the cleanup still runs.
t_init() {
  t_name=$1
  t_work=$(mktemp -d "${TMPDIR:-/tmp}/ombrelo-$t_name.XXXXXX")
  chmod 755 "$t_work"
  trap t_cleanup EXIT
  trap 't_die "interrupted"' INT
  if [ -n "${2:-}" ]; then
    trap 't_die "stopped by the watchdog after '"$2"' s (a step hung)"' TERM
    ( sleep "$2"; kill -TERM $$ ) </dev/null >/dev/null 2>&1 &
    t_watchdog=$!
  fi
}

# The script's exit: the number of failures (0: all passed).
t_end() {
  if [ "$t_failures" -eq 0 ]; then t_say "all checks passed"; else t_say "$t_failures check(s) failed"; fi
  exit "$t_failures"
}

# t_expect WHAT EXPECTED ACTUAL: a failure unless the two are equal.
t_expect() { [ "$2" = "$3" ] || t_fail "$1: expected \"$2\", found \"$3\""; }

# t_wait_until SECONDS COMMAND...: returns as soon as COMMAND succeeds; 1 after SECONDS without.
t_wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.05
  done
}

# t_wait_for PATTERN FILE [SECONDS]: returns as soon as FILE holds a line matching the extended
# regex PATTERN; 1 after SECONDS (default 30) without one.
t_wait_for() { t_wait_until "${3:-30}" grep -sqE -- "$1" "$2"; }

# t_start_sim NAME SIM ARGS...: a simulated tester logging its requests; sets t_pty[NAME] (the
# link --link names, if given) and the others above. It runs until this script ends or t_stop_sim NAME.
t_start_sim() {
  local name=$1 sim=$2
  shift 2
  local base="$t_work/sim-$name" fd pts=""
  # The output of an earlier simulator of this name goes first: the new one's shell truncates
  # the file only once its stdin opens, and a ready line read from the old one names a terminal
  # that has since gone to some other test's tester, or to a terminal of its own.
  rm -f "$base.in" "$base.out"
  mkfifo "$base.in"
  : >"$base.log"
  "$sim" --log "$base.log" "$@" <"$base.in" >"$base.out" 2>&1 &
  t_simpid[$name]=$!
  t_pids+=($!)
  exec {fd}>"$base.in"
  t_simfd[$name]=$fd
  t_simlog[$name]=$base.log
  t_simout[$name]=$base.out
  # Only a whole line counts (read fails on one still being written, whose path may be cut short).
  t_sim_ready() {
    local line
    pts=""
    [ -e "$base.out" ] || return 1
    while IFS= read -r line; do
      if [[ $line == "Simulated tester ready on "* ]]; then
        pts=${line#Simulated tester ready on }
        break
      fi
    done <"$base.out"
    [ -n "$pts" ] && [ -c "$pts" ]
  }
  t_wait_until 10 t_sim_ready || t_die "simulator $name ($*) did not start: $(cat "$base.out")"
  t_pty[$name]=$pts
}

# t_stop_sim NAME: the simulator loses its life line and ends.
t_stop_sim() {
  local fd=${t_simfd[$1]:-}
  [ -n "$fd" ] && exec {fd}>&-
  t_kill "${t_simpid[$1]}" || true
  wait "${t_simpid[$1]}" 2>/dev/null || true
  unset "t_simfd[$1]"
}

# t_start_fed NAME PROGRAM ARGS...: PROGRAM in the background, its stdin a pipe that t_feed NAME
# writes to (keys for a monitor), its output where the caller redirects this call.
declare -A t_fedpid=() t_fedfd=()
t_start_fed() {
  local name=$1 fd
  shift
  rm -f "$t_work/$name.stdin"
  mkfifo "$t_work/$name.stdin"
  "$@" <"$t_work/$name.stdin" &
  t_fedpid[$name]=$!
  t_pids+=($!)
  exec {fd}>"$t_work/$name.stdin"
  t_fedfd[$name]=$fd
}

# t_feed NAME TEXT: TEXT, its backslash escapes expanded (printf %b), to the program's stdin;
# written from a subshell, so that a program that has ended fails the check, not the script.
t_feed() { (printf '%b' "$2" >&"${t_fedfd[$1]}") 2>/dev/null || t_fail "$1 no longer reads its input"; }

# t_ended PID: the process has ended (gone, or a child not yet waited for).
t_ended() { local state; state=$(ps -o stat= -p "$1" 2>/dev/null) || return 0; [[ $state == Z* ]]; }

# t_end_fed NAME [SECONDS]: waits for the program to end by itself, then closes its stdin (an end
# of input must not stand in for the key that should have ended it); returns its exit status. One
# that has not ended after SECONDS (default 60) fails the check there and is killed.
t_end_fed() {
  local fd=${t_fedfd[$1]} pid=${t_fedpid[$1]} status
  if ! t_wait_until "${2:-60}" t_ended "$pid"; then
    t_fail "$1 did not end within ${2:-60} s"
    t_kill "$pid" KILL
  fi
  wait "$pid"
  status=$?
  exec {fd}>&-
  return "$status"
}

# t_requests NAME CMD [AFTER]: requests of command byte CMD in the simulator's log; with AFTER,
# only those after the last request of command AFTER.
t_requests() {
  awk -v cmd="$2" -v after="${3:-}" '
    after != "" && $1 == after { n = 0; seen = 1; next }
    (after == "" || seen) && $1 == cmd { n++ }
    END { print n + 0 }' "${t_simlog[$1]}"
}

# t_holders PATH [EXCEPT_PID]: the processes that hold PATH open, but EXCEPT_PID.
t_holders() {
  local fd pid
  find /proc/[0-9]*/fd -maxdepth 1 -lname "$1" 2>/dev/null | while read -r fd; do
    pid=${fd#/proc/}
    pid=${pid%%/*}
    [ "$pid" = "${2:-}" ] || echo "$pid"
  done | sort -u
}

# t_pty_holders NAME: processes other than the simulator that hold its terminal open.
t_pty_holders() { t_holders "${t_pty[$1]}" "${t_simpid[$1]}"; }

# t_wine PROGRAM ARGS...: a Windows program under Wine in the prefix WINEPREFIX names; a crash
# fails it, whatever status Wine reports.
t_wine() { "$T_REPO/scripts/wine-run.sh" "$@"; }

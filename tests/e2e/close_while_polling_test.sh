#!/usr/bin/env bash
# Closing Ombrelo.exe from the title bar (the system close command) or with Alt+F4 while it polls
# a tester, twenty times: each time the process must end by itself, with exit status 0 and no
# crash, and let go of the COM port, so that a new instance started at once lists the port and
# connects to it.
#
#   close_while_polling_test.sh OMBRELO_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR [ROUNDS]
set -euo pipefail

if [ $# -lt 4 ] || [ $# -gt 5 ]; then
  echo "usage: $0 OMBRELO_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR [ROUNDS]" >&2
  exit 2
fi
rounds=${5:-20}
# shellcheck source=e2e_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_init e2e_close "$1" "$2" "$3" "$4" $((60 + 20 * rounds))

e2e_make_prefix
e2e_start_xvfb
# A tester with noisy readings, so every poll cycle has fresh work to do.
e2e_start_sim COM2 --on

times=()
for ((round = 1; round <= rounds; round++)); do
  # Every fourth close is typed (Alt+F4), the others come from the title bar's close box.
  how=close
  [ $((round % 4)) -eq 0 ] && how=alt-f4

  e2e_start_ombrelo
  mapfile -t ports < <(e2e_driver ports)
  e2e_expect "round $round: port list" COM2 "${ports[0]-}"
  e2e_expect "round $round: selected port" COM2 "${ports[1]-}"
  e2e_must click 1003
  e2e_must wait-text 1003 Disconnect 10000
  e2e_must wait-filled 1101 5000
  # Let the close land at a different point of the poll cycle each round.
  sleep "0.$(((round * 137) % 10))"
  mark=$(e2e_sim_request_count COM2)
  e2e_must no-messagebox 0
  [ "$mark" -gt 0 ] || e2e_fail "round $round: no request reached the tester"

  started=$(date +%s%N)
  e2e_must "$how"
  e2e_must wait-gone 15000
  if ! e2e_wait_ombrelo_exit 15000; then
    e2e_fail "round $round ($how): the window closed but the process still runs 15 s later (hang)"
  fi
  ms=$((($(date +%s%N) - started) / 1000000))
  times+=("$ms")
  [ "$e2e_ombrelo_status" -eq 0 ] ||
    e2e_fail "round $round ($how): exit status $e2e_ombrelo_status (crash?)"
  e2e_check_ombrelo_log "round $round ($how)"
  e2e_wait_port_free COM2 5000 || e2e_fail "round $round ($how): COM2 still open after the process ended"
  e2e_say "round $round: $how, process ended $ms ms after the close"
done
e2e_say "close to process end (ms): ${times[*]}"

# The port is free after the last close too: one more instance connects, then leaves by Exit.
e2e_start_ombrelo
mapfile -t ports < <(e2e_driver ports)
e2e_expect "after the last close: port list" COM2 "${ports[0]-}"
e2e_must click 1003
e2e_must wait-text 1003 Disconnect 10000
e2e_must wait-filled 1101 5000
e2e_must click 1012
e2e_must wait-gone 15000
e2e_wait_ombrelo_exit 15000 || e2e_fail "Exit: the process still runs 15 s after its window closed"
e2e_expect "exit status after Exit" 0 "$e2e_ombrelo_status"
e2e_check_ombrelo_log "after the last close"

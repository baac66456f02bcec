#!/usr/bin/env bash
# Closing Ombrelo.exe from the title bar (the system close command) or with Alt+F4 while it polls
# a tester, twenty times: each time the process must end by itself, with exit status 0 and no
# crash, and let go of the COM port, so that a new instance started at once lists the port and
# connects to it. The port is free after the last close too: one more instance connects, then
# leaves by Exit.
#
#   close_while_polling_test.sh OMBRELO_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR [ROUNDS]
set -euo pipefail

(($# >= 4 && $# <= 5)) || { echo "usage: $0 OMBRELO_EXE DRIVER_EXE OMBRELO_SIM OUT_DIR [ROUNDS]" >&2; exit 2; }
rounds=${5:-20}
# shellcheck source=e2e_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
e2e_init e2e_close "$1" "$2" "$3" "$4" $((60 + 20 * rounds))

e2e_make_prefix
e2e_start_xvfb
# A tester with noisy readings, so every poll cycle has fresh work to do.
e2e_start_sim COM2 --on

lost=0
for ((round = 1; round <= rounds + 1; round++)); do
  # Every fourth close is typed (Alt+F4), the others come from the title bar's close box; the
  # last instance leaves by Exit.
  how=close
  [ $((round % 4)) -ne 0 ] || how=alt-f4
  [ "$round" -le "$rounds" ] || how='click 1012'
  e2e_start_ombrelo
  e2e_must 'combo 1002 => COM2;COM2'
  e2e_must 'click 1003 + wait-text 1003 Disconnect 10000 + wait-filled 1101 5000'
  # Let the close land at a different point of the poll cycle each round.
  sleep "0.$(((round * 137) % 10))"
  # A reply the loaded host keeps from the window past the link's time ends the connection, as
  # on a real machine; that round runs again, twice a run at most.
  if ! e2e_driver no-dialog 0; then
    grep -q 'Connection lost' "$t_work/driver.err" && ((lost++ < 2)) || t_die "driver: no-dialog 0"
    t_say "round $round: the connection was lost before the close (busy host); the round runs again"
    e2e_answer "Ombrelo: Error" 'Connection lost\n'
    e2e_exit "round $round, after the lost connection" 'click 1012' COM2
    round=$((round - 1))
    continue
  fi
  [ "$(e2e_request_count COM2)" -gt 0 ] || t_die "round $round: no request reached the tester"
  e2e_exit "round $round ($how)" "$how" COM2
  t_say "round $round: $how, the process ended"
done
t_end

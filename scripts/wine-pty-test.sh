#!/usr/bin/env bash
# Runs a Windows program under Wine with one COM port wired to a pseudo-terminal whose far end is a
# native program (the peer: tests/serial/pty_peer, the simulated tester, ...).
#
#   wine-pty-test.sh COMPORT PEER_CMD... -- WIN_EXE ARGS...
#
# The peer must print a line holding its terminal's path (/dev/pts/N) first; the first such path on
# that line is linked as $WINEPREFIX/dosdevices/<comport in lower case>, before Wine starts the
# program (a wineserver that is already running sees the new link too: Wine looks the name up when
# the program opens it). The rest of the peer's output goes to stderr. The peer's stdin is a pipe
# that closes when the program has ended; a peer still running 5 s later is killed. The exit status
# is the program's. Same prefix rules as wine-run.sh.
set -euo pipefail

usage() {
  echo "usage: $0 COMPORT PEER_CMD... -- WIN_EXE ARGS..." >&2
  exit 2
}

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 4 ] || usage
comport=$1
shift
peer=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  peer+=("$1")
  shift
done
[ ${#peer[@]} -ge 1 ] && [ $# -ge 2 ] || usage
shift  # the "--"
case "$comport" in
  [Cc][Oo][Mm][1-9]|[Cc][Oo][Mm][1-9][0-9]|[Cc][Oo][Mm][1-2][0-9][0-9]) ;;
  *) echo "$0: not a COM port name: $comport" >&2; exit 2 ;;
esac

# shellcheck source=wine-prefix.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-prefix.sh"
mkdir -p "$WINEPREFIX/dosdevices"

peer_pid=""
peer_in=""
forward_pid=""
link="$WINEPREFIX/dosdevices/${comport,,}"
pts=""

cleanup() {
  # Wine's server opened the pty for the program and holds it as its controlling terminal: end
  # it before the peer closes the master, or the hang-up makes it dump its objects over the log.
  wineserver -k 2>/dev/null || true
  if [ -n "$peer_in" ]; then
    exec {peer_in}>&-
    peer_in=""
  fi
  if [ -n "$peer_pid" ]; then
    for _ in $(seq 50); do
      kill -0 "$peer_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
    peer_pid=""
  fi
  if [ -n "$forward_pid" ]; then
    wait "$forward_pid" 2>/dev/null || true
    forward_pid=""
  fi
  # Only our own link goes; another run may have linked the name anew meanwhile.
  if [ -n "$pts" ] && [ "$(readlink "$link" 2>/dev/null)" = "$pts" ]; then
    rm -f "$link"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

coproc PEER { exec "${peer[@]}"; }
peer_pid=$PEER_PID
peer_out=${PEER[0]}
peer_in=${PEER[1]}

first=""
if ! IFS= read -r -t 30 first <&"$peer_out"; then
  echo "$0: the peer printed no first line: ${peer[*]}" >&2
  exit 1
fi
if [[ "$first" =~ /dev/pts/[0-9]+ ]]; then
  pts=${BASH_REMATCH[0]}
else
  echo "$0: no /dev/pts/N on the peer's first line: $first" >&2
  exit 1
fi
[ -c "$pts" ] || { echo "$0: $pts is not a terminal" >&2; exit 1; }
# Keep the peer's later output flowing so that it never blocks on a full pipe. Background jobs do
# not inherit a coprocess's own descriptors, so the forwarder gets a copy.
exec {peer_copy}<&"$peer_out"
cat <&"$peer_copy" >&2 {peer_in}>&- &
forward_pid=$!
exec {peer_copy}<&- {peer_out}<&-

ln -sfn "$pts" "$link"

# The program starts under a server of its own. A server a moment-ago program left running keeps
# the desktop it started, and that desktop's display: one started with no display makes every window
# of a program run under Xvfb fail to open. This script ends the prefix's server when it is done, so
# it owns that server from the start too.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

status=0
"$here/wine-run.sh" "$@" {peer_in}>&- || status=$?
exit "$status"

#!/usr/bin/env bash
# Checks that a Windows program imports only DLLs every Windows has: no MinGW run-time DLL
# (libstdc++, libgcc, libwinpthread) may be needed beside the .exe.
# usage: check_static_exe.sh OBJDUMP EXE...
set -u
objdump=$1; shift
status=0
for exe in "$@"; do
  dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  [ -n "$dlls" ] || { echo "FAIL: no import table read from $exe"; status=1; continue; }
  bad=$(grep -iE 'libstdc|libgcc|winpthread|mingw' <<<"$dlls")
  if [ -n "$bad" ]; then
    echo "FAIL: $exe needs $bad"
    status=1
  else
    echo "ok: $(basename "$exe") imports only: $(tr '\n' ' ' <<<"$dlls")"
  fi
done
exit $status

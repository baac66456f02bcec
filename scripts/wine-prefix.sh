# Sourced by the Wine scripts: the project's private prefix, quiet Wine, no Mono or Gecko
# prompts. The prefix is made once (wineboot -i) and reused; WINEPREFIX may point elsewhere.
export WINEPREFIX="${WINEPREFIX:-${OMBRELO_WINEPREFIX:-$HOME/.cache/ombrelo/wineprefix}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
# Every prefix the project makes or copies has these two settings:
# - no crash dialog: a crash ends the program at once, with its backtrace on stderr, instead of
#   waiting for someone to dismiss a dialog;
# - unmanaged windows: with no window manager, Wine waits about 1 s for each window it unmaps
#   (a dialog's close, Exit) unless it manages the windows itself.
if ! grep -q '^"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" 2>/dev/null ||
  ! grep -q '^"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
  # Written out to user.reg when the server ends, for the scripts that copy the prefix. Bounded: a
  # program still running in the prefix keeps its server up.
  timeout 60 wineserver -w || true
fi

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

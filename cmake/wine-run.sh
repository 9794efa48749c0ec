#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...]
# Runs a Windows program under Wine in a 32-bit prefix kept inside the build tree,
# creating the prefix on first use.
set -e
export WINEPREFIX="$1" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shift
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Tests may start together: only one of them creates the prefix.
  flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }'
fi
exec wine "$@"

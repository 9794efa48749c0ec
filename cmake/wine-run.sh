#!/bin/sh
# wine-run.sh PREFIX ARCH PROGRAM [ARGS...]
# Runs a Windows program under Wine in a prefix kept inside the build tree (ARCH
# win32 or win64), creating the prefix on first use.
set -e
export WINEPREFIX="$1" WINEARCH="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
shift 2
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Tests may start together: only one of them creates the prefix.
  flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }'
fi
# The plain loader starts Wine's own programs (rundll32, regedit) as 32-bit ones.
loader=wine
if [ "$WINEARCH" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then loader=/usr/lib/wine/wine64; fi
exec "$loader" "$@"

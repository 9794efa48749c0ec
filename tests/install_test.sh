#!/bin/sh
# install_test.sh WINE_RUN PREFIX DLL32 DLL64 PROBE32 PROBE64 INF
# Installs both codecs with the setup API into a fresh 64-bit Wine prefix as a user
# does (the .inf's DefaultInstall), opens the codec from a 32-bit and a 64-bit
# program, checks that a choice made in the settings dialog of either width is
# seen by the other, uninstalls, and checks that the codec is gone and RuvDec.ini
# left alone. The dialogs show on a private Xvfb display.
set -eu
wine_run=$1 prefix=$2 dll32=$3 dll64=$4 probe32=$5 probe64=$6 inf=$7
xvfb_file="$prefix.display"
. "$(dirname "$wine_run")/xvfb-start.sh"
for f in "$dll32" "$probe32"; do
  [ -f "$f" ] || { echo "missing $f: build the windows preset first" >&2; exit 1; }
done
rm -rf "$prefix" "$prefix.files"
mkdir -p "$prefix.files"
cp "$inf" "$prefix.files/ruvdec.inf"
cp "$dll32" "$prefix.files/Ruv_dec.dll"
cp "$dll64" "$prefix.files/Ruv_dec_x64.dll"
cp "$probe32" "$prefix.files/probe32.exe"
cp "$probe64" "$prefix.files/probe64.exe"
win() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
wine() { "$wine_run" "$prefix" win64 "$@" 2>/dev/null | tr -d '\r'; }
failures=0
expect() {   # expect WHAT WANTED GOT
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: wanted '$2', got '$3'"; failures=$((failures + 1)); fi
}
# Where this machine runs no 32-bit program, the checks through the 32-bit probe
# are skipped, and the 64-bit dialog makes the second choice too.
probe32_runs=yes
"$(dirname "$wine_run")/wine32-runs.sh" || probe32_runs=no
expect32() {
  if [ "$probe32_runs" = yes ]; then expect "$@"; else echo "skipped (this machine runs no 32-bit program): $1"; fi
}
system32="$prefix/drive_c/windows/system32"
syswow64="$prefix/drive_c/windows/syswow64"
hinf() { wine rundll32 setupapi.dll,InstallHinfSection "$1" 128 "$(win "$prefix.files/ruvdec.inf")"; }

hinf DefaultInstall
cmp -s "$dll64" "$system32/Ruv_dec.dll" && expect "64-bit DLL in system32" yes yes || expect "64-bit DLL in system32" yes no
cmp -s "$dll32" "$syswow64/Ruv_dec.dll" && expect "32-bit DLL in syswow64" yes yes || expect "32-bit DLL in syswow64" yes no
expect32 "32-bit program opens the codec" "open RuvDec" "$(wine "$(win "$prefix.files/probe32.exe")" open)"
expect "64-bit program opens the codec" "open RuvDec" "$(wine "$(win "$prefix.files/probe64.exe")" open)"

# One settings file for both widths.
expect "64-bit dialog" configured "$(wine "$(win "$prefix.files/probe64.exe")" configure OFF ON)"
expect32 "RGB32 unticked in 64 bits is refused in 32" "query rgb32 -2" "$(wine "$(win "$prefix.files/probe32.exe")" query rgb32)"
expect32 "and keeps YUY2" "query yuy2 0" "$(wine "$(win "$prefix.files/probe32.exe")" query yuy2)"
probe=probe32
[ "$probe32_runs" = yes ] || probe=probe64
expect "$probe dialog" configured "$(wine "$(win "$prefix.files/$probe.exe")" configure ON OFF)"
expect "RGB32 ticked in the second dialog is accepted in 64" "query rgb32 0" "$(wine "$(win "$prefix.files/probe64.exe")" query rgb32)"
expect "and refuses YUY2" "query yuy2 -2" "$(wine "$(win "$prefix.files/probe64.exe")" query yuy2)"
[ -f "$syswow64/RuvDec.ini" ] && expect "settings in syswow64" yes yes || expect "settings in syswow64" yes no
[ -f "$system32/RuvDec.ini" ] && expect "no second settings file" no yes || expect "no second settings file" no no

hinf DefaultUninstall
expect32 "32-bit program finds no codec" "no codec" "$(wine "$(win "$prefix.files/probe32.exe")" open)"
expect "64-bit program finds no codec" "no codec" "$(wine "$(win "$prefix.files/probe64.exe")" open)"
[ -e "$system32/Ruv_dec.dll" ] || [ -e "$syswow64/Ruv_dec.dll" ] && expect "DLLs removed" yes no || expect "DLLs removed" yes yes
[ -f "$syswow64/RuvDec.ini" ] && expect "settings left alone" yes yes || expect "settings left alone" yes no

WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
echo "$failures failed"
[ "$failures" -eq 0 ]

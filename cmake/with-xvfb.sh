#!/bin/sh
# with-xvfb.sh PREFIX ARCH SCREENSHOT.png PROGRAM [ARGS...]
# Runs a Windows program under Wine on a private Xvfb display, with a Japanese
# font standing in for the dialog's "ＭＳ ゴシック", the Japanese code page (the
# dialog's texts pass through it), captions drawn by Wine itself (there is no
# window manager) in a caption font of the Japanese character set. Turns the BMP
# screenshots that the program leaves (SCREENSHOT.bmp, SCREENSHOT-*.bmp) into PNGs.
set -e
here=$(dirname "$0")
prefix=$1 arch=$2 png=$3
shift 3
bmp="${png%.png}.bmp"
rm -f "${png%.png}"*.bmp "${png%.png}"*.png

xvfb_file="$png.display"
. "$here/xvfb-start.sh"

reg="${png%.png}.reg"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"ＭＳ ゴシック"="IPAGothic"\r\n"MS UI Gothic"="IPAGothic"\r\n"ＭＳ Ｐゴシック"="IPAPGothic"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Decorated"="N"\r\n\r\n[HKEY_CURRENT_USER\\Control Panel\\Desktop\\WindowMetrics]\r\n"CaptionFont"=hex:F5,FF,FF,FF,00,00,00,00,00,00,00,00,00,00,00,00,BC,02,00,00,00,00,00,00,00,80,00,22,4D,00,53,00,20,00,53,00,68,00,65,00,6C,00,6C,00,20,00,44,00,6C,00,67,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00\r\n' |
  iconv -f UTF-8 -t UTF-16 >"$reg"
"$here/wine-run.sh" "$prefix" "$arch" regedit /S "Z:$(echo "$reg" | tr / '\\')"

LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 RUV_DIALOG_SCREENSHOT="Z:$(echo "$bmp" | tr / '\\')" "$here/wine-run.sh" "$prefix" "$arch" "$@" && status=0 || status=$?
for shot in "${png%.png}"*.bmp; do
  [ -f "$shot" ] || continue
  bmptopnm "$shot" 2>/dev/null | pnmtopng >"${shot%.bmp}.png" 2>/dev/null && rm -f "$shot"
done
exit $status

#!/bin/sh
# vlc_window_test.sh XVFB_START SCREENSHOT.png PROGRAM [ARGS...]
# Runs PROGRAM on a private Xvfb display (XVFB_START is the project's
# cmake/xvfb-start.sh); it leaves its screenshot at SCREENSHOT.png.
set -e
start=$1 png=$2
shift 2
rm -f "$png"
xvfb_file="$png.display"
. "$start"
RUV_VLC_SCREENSHOT=$png "$@"

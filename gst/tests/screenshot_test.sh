#!/bin/sh
# screenshot_test.sh CAPTURE.avi OUT.png
# A real player window: gst-play-1.0 shows a capture (the bundled sample, three
# seconds from the stream writer) through the element in an X window (ximagesink) on a private Xvfb display; the
# window is grabbed with xwd into OUT.png, which must show the decoded picture
# (hundreds of colours), not an empty window.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
capture=$1 png=$2
rm -f "$png"

xvfb_file="$png.display"
. "$here/../../cmake/xvfb-start.sh"
gst-play-1.0 -q --videosink=ximagesink --audiosink=fakesink "$capture" >/dev/null 2>&1 </dev/null &
player=$!
trap 'kill $player $xvfb 2>/dev/null || true; rm -f "$xvfb_file"' EXIT

window=
for _ in $(seq 100); do
  window=$(xwininfo -root -children 2>/dev/null | awk '/ 320x240\+/ {print $1; exit}')
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "gst-play-1.0 opened no 320x240 window"; exit 1; }
sleep 1   # a second of playback: a delta frame well into the first GOP
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$png" 2>/dev/null
kill -0 $player 2>/dev/null || { echo "gst-play-1.0 stopped before the screenshot"; exit 1; }
colours=$(pngtopnm "$png" | ppmhist -noheader | wc -l)
[ "$colours" -gt 200 ] || { echo "the window shows $colours colours: no decoded picture"; exit 1; }
echo "screenshot of gst-play-1.0's window: $png ($colours colours)"

# Sourced by the scripts that show windows: starts a private Xvfb display, exports
# DISPLAY and stops the server when the script exits. $xvfb_file names a scratch file.
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$xvfb_file" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; rm -f "$xvfb_file"' EXIT
for _ in $(seq 100); do [ -s "$xvfb_file" ] && break; sleep 0.1; done
DISPLAY=":$(cat "$xvfb_file")"
export DISPLAY

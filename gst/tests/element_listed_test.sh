#!/bin/sh
# gst-inspect-1.0 finds the element on GST_PLUGIN_PATH, not blacklisted, with its
# rank, class and both input caps.
set -u
out=$(gst-inspect-1.0 ruvdec 2>&1) || { echo "$out"; exit 1; }
status=0
for want in 'Rank *primary' 'Klass *Codec/Decoder/Video' 'video/x-avi-unknown' 'fourcc: 827741522' \
            'video/x-ruv1' 'format: { (string)I420, (string)YUY2, (string)BGRx }'; do
  printf '%s\n' "$out" | grep -q -- "$want" || { echo "gst-inspect-1.0 ruvdec does not say: $want"; status=1; }
done
blacklist=$(gst-inspect-1.0 -b 2>&1)
printf '%s\n' "$blacklist" | grep -q gstruv && { echo "blacklisted: $blacklist"; status=1; }
[ $status -eq 0 ] || printf '%s\n' "$out"
exit $status

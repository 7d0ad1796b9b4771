#!/usr/bin/env bash
# Screenshots of the demo on a virtual X server, to look at the layout: the
# window offline, then online with the virtual tower in step and a segment
# switched on. Needs xdotool and imagemagick.
#   xvfb-run -a -s "-screen 0 1024x700x24" tests/app/demo_screenshot.sh [build-dir] [out-prefix]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-app}"
out="${2:-/tmp/kestrivane-demo}"
"$build/demo/kestrivane-demo" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
win=""
for _ in $(seq 50); do
  win="$(xdotool search --name '^Kestrivane$' 2>/dev/null | head -1 || true)"
  [ -n "$win" ] && break
  sleep 0.2
done
[ -n "$win" ] || { echo "demo_screenshot: no window" >&2; exit 1; }
sleep 1
import -window root "$out-offline.png"
# The window's size follows its font, so it is driven by the keyboard: the
# focus starts on "Open" (the rows are disabled); Tab runs in reading order,
# so seven Backtabs from "Close" reach the on/off button of "Color Segment 2".
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus "$win"
xdotool key --window "$win" space
sleep 2
for _ in $(seq 7); do xdotool key --window "$win" shift+Tab; done
xdotool key --window "$win" space
sleep 1
import -window root "$out-online.png"
echo "$out-offline.png $out-online.png"

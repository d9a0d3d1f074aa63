#!/usr/bin/env bash
# The real program's window after a scan of the test lab, under Xvfb:
# docs/screenshots/linux-lab-scan.png. Usage: scripts/screenshot-lab.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-main}
out=$top/docs/screenshots/linux-lab-scan.png

"$top"/scripts/install-deps.sh
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEWMON_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target skewmon skewmon-tod skewmon-browse -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/skewmon-shot-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$top"/tests/lab/lab.sh stop "$work/lab" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

LAB_TOD="$build/platform/linux/skewmon-tod" "$top"/tests/lab/lab.sh start "$work/lab" >&2
home=$(awk '$1 == "home" { print $2 }' "$work/lab/lab.txt")
cp "$build/platform/linux/skewmon" "$build/platform/linux/skewmon-tod" "$build/platform/linux/skewmon-browse" "$work/"
{
  awk '$1 == "server" { print $3 }' "$work/lab/lab.txt"
  sed -n 's/^[[:space:]]*netbios name[[:space:]]*=[[:space:]]*//p' "$home/.smb/smb.conf" | head -n 1
  awk '$1 == "silent" || $1 == "hung" { print $2 }' "$work/lab/lab.txt"
} >"$work/skewmon.ini"

# shellcheck source=scripts/screenshot-display.sh
. "$top/scripts/screenshot-display.sh"
start_screenshot_display "$work"

HOME="$home" timeout 120 "$work/skewmon" >"$work/skewmon.log" 2>&1 &
pids+=($!)
window=
for _ in $(seq 1 100); do
  window=$(xdotool search --name "SKEWMON" 2>/dev/null | head -n1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the window did not appear" >&2; cat "$work/skewmon.log" >&2; exit 1; }
xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
sleep 0.5
xdotool key Return  # Scan is the default button
# The lab's hung server takes the 3-second limit; the rest answer at once.
sleep 8
mkdir -p "$(dirname "$out")"
import -window root "$out"
echo "wrote $out"

#!/usr/bin/env bash
# Takes the picture of the main window on Linux: starts a private X server
# (Xvfb) with a window manager, runs the window over a made-up network of a
# machine list file, presses Scan, waits until the scan has finished, and
# captures the screen to docs/screenshots/linux-main-window.png.
# Usage: scripts/screenshot-linux.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-qt}
out=$top/docs/screenshots/linux-main-window.png

"$top"/scripts/install-deps.sh
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target skewmon_qt_demo -j"$(nproc)" >/dev/null
demo=$(find "$build" -type f -name skewmon_qt_demo -perm -u+x | head -n1)
[ -n "$demo" ] || { echo "skewmon_qt_demo was not built" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=scripts/screenshot-display.sh
. "$top/scripts/screenshot-display.sh"
start_screenshot_display "$work"

timeout 60 "$demo" --press-scan --ready-file "$work/ready" --quit-after-ms 45000 >"$work/demo.log" 2>&1 &
demo_pid=$!
pids+=($demo_pid)

for _ in $(seq 1 300); do
  [ -f "$work/ready" ] && break
  kill -0 "$demo_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -f "$work/ready" ]; then
  echo "the scan did not finish" >&2
  cat "$work/demo.log" >&2
  exit 1
fi

mkdir -p "$(dirname "$out")"
import -window root "$work/screen.png"
# The window alone, cut from the black desktop (-br), with a grey margin.
convert "$work/screen.png" -trim +repage -bordercolor '#808080' -border 12 "$out"
echo "$out"

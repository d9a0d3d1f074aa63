#!/usr/bin/env bash
# The Windows program end to end under Wine, on a virtual display:
#  - skewmon.exe starts in list-file mode, its skewmon.ini naming the local
#    machine (its Wine computer name) and a lab server address, 127.0.0.2
#    (Wine's NetRemoteTOD is an unimplemented stub, so that row must read
#    "No response or excessive latency" instead of ending the program);
#  - Scan is pressed, then Save Results, which writes the report into Wine's
#    temporary directory and opens it in Wine's notepad;
#  - the report holds both rows and the grade; notepad is closed, then Close
#    ends the program, and the report file is gone afterwards.
# The dialog after the scan is saved as a screenshot ($SKEWMON_SMOKE_SHOT, by
# default build-win32/smoke/win32-main-window.png).
#
# Builds skewmon.exe first when it is missing. Non-interactive, bounded in
# time; Wine and Xvfb are always stopped. Prints one summary line; exit
# status 0 on success.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKEWMON_WIN32_BUILD_DIR:-$top/build-win32}
work=$build/smoke
shot=${SKEWMON_SMOKE_SHOT:-$work/win32-main-window.png}
exe=$build/platform/win32/skewmon.exe

# shellcheck source=wine-env.sh
source "$top/scripts/wine-env.sh" "$build/wine"

fail() {
  echo "wine-smoke: FAILED ($*)"
  if [ -f "$work/wine.log" ]; then tail -5 "$work/wine.log" >&2; fi
  exit 1
}
cleanup() {
  skewmon_wine_stop
  skewmon_xvfb_stop
}
trap cleanup EXIT

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1 i
  shift
  for i in $(seq 1 $((limit * 5))); do
    if "$@"; then return 0; fi
    sleep 0.2
  done
  return 1
}

if [ ! -f "$exe" ]; then
  "$top/scripts/install-deps.sh"
  timeout 600 cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  timeout 1800 cmake --build "$build" -j"$(nproc)" --target skewmon >/dev/null
fi
[ -f "$exe" ] || fail "no skewmon.exe"

rm -rf "$work"
mkdir -p "$work"
skewmon_wine_ready || fail "no Wine prefix"
skewmon_xvfb_start 1024x768x24 || fail "no Xvfb"

# The program and its list file in a folder of the Wine prefix's C: drive.
drive_c=$WINEPREFIX/drive_c
stage=$drive_c/skewmon-smoke
rm -rf "$stage"
mkdir -p "$stage"
cp "$exe" "$stage/skewmon.exe"
computer=$(timeout 60 "$top/scripts/wine-env.sh" --prefix "$WINEPREFIX" cmd /c echo %COMPUTERNAME% | tr -d '\r\n')
[ -n "$computer" ] || fail "no Wine computer name"
printf '; machines for the smoke test\r\n%s\r\n127.0.0.2\r\n' "$computer" >"$stage/skewmon.ini"

temp_unix=$(timeout 60 "$top/scripts/wine-env.sh" --prefix "$WINEPREFIX" cmd /c echo %TEMP% | tr -d '\r\n')
temp_dir=$(timeout 60 winepath -u "$temp_unix" 2>/dev/null | tr -d '\r\n')
[ -d "$temp_dir" ] || fail "no Wine temporary directory ($temp_unix)"
rm -f "$temp_dir"/SKW*.tmp

# A Wine desktop of the display's size: Wine draws the windows' frames
# itself, and keys go to its foreground window.
skewmon_wine explorer /desktop=skewmon-smoke,1024x768 'C:\skewmon-smoke\skewmon.exe' \
  </dev/null >"$work/wine.log" 2>&1 &

# The program's process, by its Windows command line.
running() { pgrep -f '^C:\\skewmon-smoke\\skewmon\.exe' >/dev/null; }
stopped() { ! running; }
desktop() { xdotool search --name 'skewmon-smoke' >/dev/null 2>&1; }
wait_for 60 running || fail "the program did not start"
wait_for 60 desktop || fail "no Wine desktop window"
sleep 3  # the dialog comes up and takes the foreground

# Keys go to the window under the pointer (no window manager), which is the
# Wine desktop; Wine hands them to the dialog.
xdotool mousemove 512 20
xdotool key alt+s
sleep 3
import -window root "$work/after-scan.png"

# Save Results is enabled only once the scan has closed, so keep asking until
# a report appears.
report=
for attempt in $(seq 1 15); do
  report=$(ls "$temp_dir"/SKW*.tmp 2>/dev/null | head -1 || true)
  [ -n "$report" ] && break
  xdotool key alt+v
  sleep 2
done
[ -n "$report" ] || fail "Save Results wrote no report into $temp_dir"
cp "$report" "$work/report.txt"

check() {
  grep -qF -- "$1" "$work/report.txt" || fail "the report lacks: $1"
}
local_row=$(printf '%-16s+ 00 000 00:00:00.000' "$computer")
check "$local_row"
check "127.0.0.2       No response or excessive latency"
check "Machines Found:   1"
check "Summary:          Outstanding!"
check "Recommendation:   No change"
grep -q $'\r$' "$work/report.txt" || fail "the report's lines do not end in CR LF"

viewer() { pgrep -f 'notepad.exe .*SKW' >/dev/null; }
wait_for 30 viewer || fail "the report was not opened in notepad"
notepad_pid=$(pgrep -f 'notepad.exe .*SKW' | head -1)

# Close the viewer (it has the foreground), then the program.
xdotool key alt+F4
viewer_gone() { ! kill -0 "$notepad_pid" 2>/dev/null; }
if ! wait_for 10 viewer_gone; then
  kill "$notepad_pid" 2>/dev/null || true
fi
sleep 1
xdotool mousemove 512 384 click 1
sleep 0.5
xdotool key alt+c
wait_for 30 stopped || fail "Close did not end the program"
[ ! -e "$report" ] || fail "the report $report was left behind"

# The dialog after the scan, cut out of the desktop around it.
mkdir -p "$(dirname "$shot")"
convert "$work/after-scan.png" -fuzz 1% -trim +repage "$shot"

echo "wine-smoke: PASSED (scan of $computer and 127.0.0.2, report written, opened in notepad and removed at exit; screenshot $shot)"

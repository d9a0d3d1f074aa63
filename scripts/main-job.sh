#!/usr/bin/env bash
# The main job on a machine without a network to scan: builds Skewmon, starts
# the test lab (Samba servers on loopback addresses with shifted clocks),
# writes a machine list file naming them beside the program, runs it (the
# window when a display is there, else a console report), and stops the lab.
# Run as root on Debian 12; installs what it needs with apt-get.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

build=${SKEWMON_BUILD_DIR:-$top/build-main}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEWMON_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target skewmon skewmon-tod skewmon-browse

run=$(mktemp -d /tmp/skewmon-run-XXXXXX)
lab=$run/lab
cleanup() {
  tests/lab/lab.sh stop "$lab" >/dev/null 2>&1 || true
  rm -rf "$run"
}
trap cleanup EXIT

LAB_TOD="$build/platform/linux/skewmon-tod" tests/lab/lab.sh start "$lab" >&2

# A copy of the program with its helpers beside it, and its list file
# skewmon.ini beside it too.
cp "$build/platform/linux/skewmon" "$build/platform/linux/skewmon-tod" "$build/platform/linux/skewmon-browse" "$run/"
home=$(awk '$1 == "home" { print $2 }' "$lab/lab.txt")
{
  echo "; the test lab: Samba servers with shifted clocks, this machine,"
  echo "; an address where nothing listens and a server that never answers"
  awk '$1 == "server" { print $3 }' "$lab/lab.txt"
  sed -n 's/^[[:space:]]*netbios name[[:space:]]*=[[:space:]]*//p' "$home/.smb/smb.conf" | head -n 1
  awk '$1 == "silent" || $1 == "hung" { print $2 }' "$lab/lab.txt"
} > "$run/skewmon.ini"
echo "machine list:" >&2
sed 's/^/  /' "$run/skewmon.ini" >&2

# The lab's client settings keep every packet on loopback.
status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  HOME="$home" "$run/skewmon" || status=$?
else
  HOME="$home" "$run/skewmon" --report || status=$?
  echo "exit status $status (0 OK, 1 warning, 2 critical, 3 unknown)" >&2
  status=0
fi
exit $status

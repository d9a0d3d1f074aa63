#!/usr/bin/env bash
# Wine for the Windows build: a private Wine prefix, quiet logging, no Mono or
# Gecko installers, no crash debugger, and a wineserver that stays up between
# runs (otherwise every run pays seconds for a new one).
#
# Run a Windows program:
#   scripts/wine-env.sh [--prefix DIR] PROGRAM.exe [ARGS...]
# The program's standard output and error are passed through files, because
# the helper processes that Wine starts on the first run keep whatever they
# inherit open for as long as the wineserver lives, so a pipe given to Wine
# would not close when the program ends.
#
# Or, in another script:
#   source scripts/wine-env.sh [DIR]
#   skewmon_wine_ready      # creates the prefix once, starts the wineserver
#   skewmon_wine_stop       # ends the wineserver and every Wine process
#   skewmon_xvfb_start / skewmon_xvfb_stop   # a virtual display
#
# The prefix is DIR, else $SKEWMON_WINEPREFIX, else build-win32/wine.

_skewmon_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

skewmon_wine_setup() {
  WINEPREFIX=${1:-${SKEWMON_WINEPREFIX:-$_skewmon_top/build-win32/wine}}
  export WINEPREFIX
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
  # Only the 64-bit loader is installed; naming it spares the wrapper's
  # search for a 32-bit one.
  if [ -x /usr/lib/wine/wine64 ]; then
    export WINELOADER=/usr/lib/wine/wine64
  fi
}

skewmon_wine() {
  "${WINELOADER:-wine}" "$@"
}

# Creates the prefix on first use (under a lock, as test programs may start
# in parallel), then makes sure a lingering wineserver is running.
skewmon_wine_ready() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock -w 600 9 || exit 1
    if [ ! -f "$WINEPREFIX/.skewmon-ready" ]; then
      rm -rf "$WINEPREFIX"
      timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || true
      timeout 120 wineserver -w </dev/null >/dev/null 2>&1 || true
      [ -d "$WINEPREFIX/drive_c" ] || exit 1
      touch "$WINEPREFIX/.skewmon-ready"
    fi
    # Wine draws the caption buttons with Marlett, which it does not find in
    # its own font folder here.
    local fonts="$WINEPREFIX/drive_c/windows/Fonts"
    if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ ! -f "$fonts/marlett.ttf" ]; then
      cp /usr/share/wine/fonts/marlett.ttf "$fonts/" || true
    fi
  ) 9>"$WINEPREFIX.lock" || {
    echo "wine-env: could not create the Wine prefix $WINEPREFIX" >&2
    return 1
  }
  # Exits at once when a server for this prefix is already up.
  wineserver -p"${SKEWMON_WINESERVER_LINGER:-120}" </dev/null >/dev/null 2>&1 || true
}

# Starts Xvfb on the first free display from :90 on and exports DISPLAY; the
# server's process id goes into SKEWMON_XVFB_PID.
skewmon_xvfb_start() {
  local n
  for n in $(seq 90 130); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 "${1:-1024x768x24}" -nolisten tcp </dev/null >/dev/null 2>&1 &
    SKEWMON_XVFB_PID=$!
    local tries
    for tries in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$SKEWMON_XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$SKEWMON_XVFB_PID" 2>/dev/null; then
      export DISPLAY=":$n"
      return 0
    fi
    kill "$SKEWMON_XVFB_PID" 2>/dev/null || true
    wait "$SKEWMON_XVFB_PID" 2>/dev/null || true
  done
  echo "wine-env: no display for Xvfb" >&2
  return 1
}

skewmon_xvfb_stop() {
  if [ -n "${SKEWMON_XVFB_PID:-}" ]; then
    kill "$SKEWMON_XVFB_PID" 2>/dev/null || true
    wait "$SKEWMON_XVFB_PID" 2>/dev/null || true
    SKEWMON_XVFB_PID=
  fi
}

skewmon_wine_stop() {
  timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
}

# Runs a Windows program with its output passed through files (see above).
skewmon_wine_run() {
  local out err rc
  out=$(mktemp) err=$(mktemp)
  rc=0
  skewmon_wine "$@" </dev/null >"$out" 2>"$err" || rc=$?
  cat "$out"
  cat "$err" >&2
  rm -f "$out" "$err"
  return $rc
}

if [ "${BASH_SOURCE[0]}" != "$0" ]; then
  skewmon_wine_setup "${1:-}"
  return 0
fi

set -euo pipefail
prefix=
if [ "${1:-}" = "--prefix" ]; then
  prefix=$2
  shift 2
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 [--prefix DIR] PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
skewmon_wine_setup "$prefix"
skewmon_wine_ready
skewmon_wine_run "$@"

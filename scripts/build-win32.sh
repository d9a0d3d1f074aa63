#!/usr/bin/env bash
# Cross-builds the Windows program with MinGW-w64 into build-win32/ (or
# $SKEWMON_WIN32_BUILD_DIR): skewmon.exe, the logic's tests and the Win32
# platform's tests as Windows programs. Then runs both test programs under
# Wine, the dialog's tests on a virtual display. A test program counts as
# passed only by its summary line: a crashing Windows program's exit status
# under Wine cannot be trusted.
#
# Non-interactive and bounded in time; Xvfb and Wine are always stopped.
# Prints one summary line; exit status 0 when everything passed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SKEWMON_WIN32_BUILD_DIR:-$top/build-win32}

"$top/scripts/install-deps.sh"

# shellcheck source=wine-env.sh
source "$top/scripts/wine-env.sh" "$build/wine"

logs=$build/test-logs
cleanup() {
  skewmon_wine_stop
  skewmon_xvfb_stop
}
trap cleanup EXIT

echo "== configuring and building the Windows program in $build"
timeout 600 cmake -S "$top" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1800 cmake --build "$build" -j"$(nproc)"

exe=$build/platform/win32/skewmon.exe
[ -f "$exe" ] || { echo "build-win32: FAILED (no skewmon.exe)"; exit 1; }

echo "== running the tests under Wine"
skewmon_wine_ready
skewmon_xvfb_start
mkdir -p "$logs"

failed=0
passed_total=0
for program in tests/skewmon_unit_tests.exe tests/skewmon_discovery_tests.exe tests/win32/skewmon_win32_tests.exe; do
  log=$logs/$(basename "$program" .exe).log
  rc=0
  timeout 600 "$top/scripts/wine-env.sh" --prefix "$WINEPREFIX" "$build/$program" >"$log" 2>&1 || rc=$?
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log" | tail -1)
  if [ -n "$passed" ] && ! grep -q '^\[  FAILED  \]' "$log"; then
    echo "   $program: $passed tests passed"
    passed_total=$((passed_total + passed))
  else
    echo "   $program: FAILED (exit $rc), log in $log"
    grep -E '^\[  FAILED  \]|Failure' "$log" | head -20 || true
    tail -5 "$log"
    failed=1
  fi
done

if [ "$failed" -eq 0 ]; then
  echo "build-win32: PASSED (skewmon.exe built; $passed_total tests passed under Wine)"
else
  echo "build-win32: FAILED"
fi
exit "$failed"

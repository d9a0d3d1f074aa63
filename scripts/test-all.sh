#!/usr/bin/env bash
# Builds the program and runs every test: the logic's and the dialog's tests,
# the tests against the lab's real Samba servers (started and stopped by the
# tests themselves), the fuzz targets for a bounded time each, and the
# Windows build with its tests under Wine.
# Run as root on Debian 12; installs what it needs with apt-get.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh

build=${SKEWMON_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEWMON_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

status=0
(cd "$build" && ctest --output-on-failure --timeout 600) || status=$?

# The fuzz targets: a tree of their own built with clang, each target run
# for a bounded time over its corpus, two at once.
fuzz_build=${SKEWMON_FUZZ_BUILD_DIR:-$top/build-fuzz}
if CC=clang CXX=clang++ cmake -S "$top" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKEWMON_FUZZ=ON \
     >/dev/null && cmake --build "$fuzz_build" -j"$(nproc)"; then
  (cd "$fuzz_build" && ctest --output-on-failure -L fuzz -j2) || status=$?
else
  status=1
fi

if [ -x scripts/build-win32.sh ]; then
  scripts/build-win32.sh || status=$?
fi
if [ -x scripts/wine-smoke.sh ]; then
  scripts/wine-smoke.sh || status=$?
fi
exit $status

#!/usr/bin/env bash
# Scans a lab of 20 servers of its own (addresses 127.0.0.101 on) and prints
# milliseconds per machine for this program's query path and for Samba's
# `net time`. Usage: bench/run.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
rounds=${2:-5}
lab=$build/bench-lab
tod=$build/platform/linux/skewmon-tod
trap '"$top/tests/lab/lab.sh" stop "$lab" >/dev/null' EXIT
LAB_COUNT=20 LAB_FIRST=101 LAB_TOD=$tod "$top/tests/lab/lab.sh" start "$lab"
"$build/tests/skewmon_bench" "$lab" "$rounds"

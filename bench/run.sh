#!/usr/bin/env bash
# Starts a lab of 20 servers of its own (addresses 127.0.0.180 to .201 by
# default), prints the cost per machine of the program's time query against
# a floor and Samba's `net time`, and stops the lab. Given a second build
# tree (of an earlier commit, say), its program is measured in the same run.
#   bench/run.sh [BUILD_DIR] [ROUNDS] [BASE_BUILD_DIR]
# LAB_FIRST moves the lab's addresses (it takes LAB_FIRST to LAB_FIRST+21).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
rounds=${2:-5}
base=${3:-}
first=${LAB_FIRST:-180}
lab=$build/bench-lab
tod=$build/platform/linux/skewmon-tod
program=$build/platform/linux/skewmon
args=("$program" "$tod")
if [ -n "$base" ]; then
  args+=("$base/platform/linux/skewmon" "$base/platform/linux/skewmon-tod")
fi
for file in "${args[@]}" "$build/tests/skewmon_bench" "$build/tests/skewmon_floor"; do
  [ -x "$file" ] || { echo "bench: $file is not built" >&2; exit 1; }
done
trap '"$top/tests/lab/lab.sh" stop "$lab" >/dev/null' EXIT
LAB_COUNT=20 LAB_FIRST=$first LAB_TOD=$tod "$top/tests/lab/lab.sh" start "$lab" >/dev/null
"$build/tests/skewmon_bench" "$lab" "$rounds" "${args[@]}"

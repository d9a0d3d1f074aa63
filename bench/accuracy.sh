#!/usr/bin/env bash
# Starts a lab of its own (addresses 127.0.0.110 to .119 by default) whose
# servers' clocks are shifted by whole and fractional seconds, prints how far
# the measured offsets lie from the true shifts with the negotiate
# refinement and without it, and what the refinement adds per machine, and
# stops the lab.
#   bench/accuracy.sh [BUILD_DIR] [SCANS]
# LAB_FIRST moves the lab's addresses (it takes LAB_FIRST to LAB_FIRST+9).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
scans=${2:-15}
first=${LAB_FIRST:-110}
lab=$build/accuracy-lab
tod=$build/platform/linux/skewmon-tod
bench=$build/tests/skewmon_accuracy_bench
for file in "$tod" "$bench"; do
  [ -x "$file" ] || { echo "bench: $file is not built" >&2; exit 1; }
done
trap '"$top/tests/lab/lab.sh" stop "$lab" >/dev/null' EXIT
LAB_COUNT=8 LAB_FIRST=$first LAB_SHIFTS="+2 -3 +0.5 +0 -0.25 +90 +3725 -0.75" LAB_TOD=$tod \
  "$top/tests/lab/lab.sh" start "$lab" >/dev/null
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" "$lab" "$scans"

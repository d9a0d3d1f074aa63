#!/usr/bin/env bash
# A long run that must leak nothing. Starts a time lab (127.0.0.110 to .119
# by default) and the domain lab (127.0.0.60 to .64) of its own, then runs
# at the same time, each in a process of its own:
#   - the Qt window (offscreen) rescanning the domain lab's workgroup SCANS
#     times (default 500), every tenth scan cancelled in its middle and every
#     fiftieth after a domain change on the domain list;
#   - SCANS*2/5 (200) console scans with --parallel 32 of 14 machines of the
#     time lab, through the screenless front end.
# Every 50 scans each prints its open descriptors, threads, processes below
# it and PSS (summed over the process and its helpers) beside those after
# its first scan, and fails on growth beyond a small fixed allowance
# (tests/lab/soak_figures.h). Stops both labs.
#
#   bench/soak.sh BUILD_DIR [SCANS]
#
# LAB_FIRST moves the time lab's addresses.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench/soak.sh BUILD_DIR [SCANS]}
build=$(cd "$build" && pwd)
scans=${2:-500}
case $scans in '' | *[!0-9]* | 0) echo "soak.sh: SCANS must be a whole number above 0" >&2; exit 2 ;; esac
console_scans=$((scans * 2 / 5 > 0 ? scans * 2 / 5 : 1))
first=${LAB_FIRST:-110}
tod=$build/platform/linux/skewmon-tod
window_tests=$build/tests/skewmon_soak_window_lab_tests
console_tests=$build/tests/skewmon_soak_console_lab_tests
for file in "$tod" "$build/platform/linux/skewmon-browse" "$window_tests" "$console_tests"; do
  [ -x "$file" ] || { echo "soak.sh: $file is not built" >&2; exit 1; }
done
lab=$build/soak-lab
# The domain lab's browse servers answer as their guest account, which must
# reach its folders: it lives in the temporary folder.
domain_lab=${TMPDIR:-/tmp}/skewmon-soak-domain-lab
logs=$(mktemp -d "${TMPDIR:-/tmp}/skewmon-soak-XXXXXX")

pids=()
tail_pid=
cleanup() {
  for pid in "${pids[@]}" ${tail_pid:+"$tail_pid"}; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}" ${tail_pid:+"$tail_pid"}; do wait "$pid" 2>/dev/null || true; done
  "$top/tests/lab/lab.sh" stop "$lab" >/dev/null 2>&1 || true
  "$top/tests/lab_domain/lab.sh" stop "$domain_lab" >/dev/null 2>&1 || true
  rm -rf "$logs"
}
trap cleanup EXIT

started=$(date +%s)
LAB_FIRST=$first LAB_TOD=$tod "$top/tests/lab/lab.sh" start "$lab" >/dev/null
LAB_TOD=$tod "$top/tests/lab_domain/lab.sh" start "$domain_lab" >/dev/null
echo "labs up in $(($(date +%s) - started)) s; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "window: $scans scans; console: $console_scans scans with --parallel 32"

# The figures of each run, as they come; its gtest output stays in its log.
figures() { grep --line-buffered -E '^(window|console)[ :]|Failure|FAILED|after scan' || true; }

began=$(date +%s)
SKEWMON_DOMAIN_LAB_DIR=$domain_lab SKEWMON_SOAK_WINDOW_SCANS=$scans QT_QPA_PLATFORM=offscreen \
  timeout 1800 "$top/tests/lab_domain/in_namespace.sh" "$window_tests" \
  </dev/null >"$logs/window.log" 2>&1 &
pids+=($!)
SKEWMON_LAB_DIR=$lab SKEWMON_SOAK_CONSOLE_SCANS=$console_scans \
  timeout 1800 "$console_tests" </dev/null >"$logs/console.log" 2>&1 &
pids+=($!)
touch "$logs/window.log" "$logs/console.log"
tail -n +1 -q -F "$logs/window.log" "$logs/console.log" 2>/dev/null > >(figures) &
tail_pid=$!

status=0
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
pids=()
sleep 0.5
kill "$tail_pid" 2>/dev/null || true
wait "$tail_pid" 2>/dev/null || true
tail_pid=
sleep 0.2
echo "both runs done in $(($(date +%s) - began)) s; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$status" -ne 0 ]; then
  echo "soak.sh: growth or a failed scan; the end of each run's output:" >&2
  tail -n 30 "$logs/window.log" "$logs/console.log" >&2
  exit 1
fi
echo "no growth beyond the allowance"

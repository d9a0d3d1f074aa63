#!/usr/bin/env bash
# Times the console report over a lab of 20 answering servers and 50 hung
# addresses, asking 1, 8 and 32 machines at once, and counts the query
# helpers while it runs: the most alive at any moment, and any left after.
# Then stops a 32-wide scan with SIGTERM once 32 helpers are alive, and
# times its end.
#
#   bench/parallel.sh [BUILD_DIR]
#
# Addresses 127.0.0.230-254 only: the lab's servers on 230-249, its silent
# address on 250, hung servers on 251-254 (each listed 12 or 13 times).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
skewmon=$build/platform/linux/skewmon
tod=$build/platform/linux/skewmon-tod
lab=$build/parallel-lab
for file in "$skewmon" "$tod"; do
  [ -x "$file" ] || { echo "parallel.sh: build $file first" >&2; exit 1; }
done

hung_leaders=()
cleanup() {
  for leader in "${hung_leaders[@]}"; do
    kill -TERM -- "-$leader" 2>/dev/null || true
  done
  "$top/tests/lab/lab.sh" stop "$lab" >/dev/null || true
}
trap cleanup EXIT

LAB_COUNT=20 LAB_FIRST=230 LAB_TOD=$tod "$top/tests/lab/lab.sh" start "$lab"
hung_addresses=("$(awk '$1 == "hung" { print $2 }' "$lab/lab.txt")")
for octet in 252 253 254; do
  setsid python3 "$top/tests/lab/hung_server.py" "127.0.0.$octet" 445 139 </dev/null >/dev/null 2>&1 &
  hung_leaders+=($!)
  hung_addresses+=("127.0.0.$octet")
done
for address in "${hung_addresses[@]:1}"; do
  for ((i = 0; i < 50; i++)); do
    timeout 1 bash -c "exec 3<>/dev/tcp/$address/445" 2>/dev/null && break
    sleep 0.1
  done
done

# 70 machines: groups of five hung addresses and two servers.
list=$lab/machines.txt
servers=($(awk '$1 == "server" { print $3 }' "$lab/lab.txt"))
: >"$list"
for ((i = 0, s = 0; i < 50; i++)); do
  echo "${hung_addresses[i % ${#hung_addresses[@]}]}" >>"$list"
  if ((i % 5 == 4)); then
    echo "${servers[s++]}" >>"$list"
    echo "${servers[s++]}" >>"$list"
  fi
done

HOME=$lab/home python3 - "$skewmon" "$tod" "$list" <<'PY'
import os, signal, subprocess, sys, time

skewmon, tod, machine_list = sys.argv[1:4]
tod = os.path.realpath(tod)

def helpers():
    """Process ids of running skewmon-tod helpers of this build."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{entry}/exe") == tod:
                found.append(int(entry))
        except OSError:
            pass
    return found

def run(parallel, stop_when=None):
    command = [skewmon, "--report", "--list", machine_list, "--parallel", str(parallel), "--format", "check"]
    began = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    peak = 0
    stopped_at = None
    while process.poll() is None:
        alive = len(helpers())
        peak = max(peak, alive)
        if stop_when is not None and stopped_at is None and alive >= stop_when:
            process.send_signal(signal.SIGTERM)
            stopped_at = time.monotonic()
        if time.monotonic() - began > 600:
            process.kill()
        time.sleep(0.02)
    ended = time.monotonic()
    line = process.stdout.read().strip()
    time.sleep(0.2)
    return ended - began, peak, len(helpers()), process.returncode, line, (ended - stopped_at if stopped_at else None)

print(f"{'parallel':>8} {'seconds':>8} {'peak helpers':>12} {'left after':>10} {'exit':>4}  status line")
for parallel in (1, 8, 32):
    seconds, peak, left, status, line, _ = run(parallel)
    print(f"{parallel:>8} {seconds:>8.1f} {peak:>12} {left:>10} {status:>4}  {line}", flush=True)
seconds, peak, left, status, line, after = run(32, stop_when=32)
if after is None:
    print(f"SIGTERM: the 32-wide scan ended before 32 helpers were seen (peak {peak})")
else:
    print(f"SIGTERM with 32 helpers alive: ended {after * 1000:.0f} ms later, exit {status}, "
          f"helpers left after {left}: {line}")
PY

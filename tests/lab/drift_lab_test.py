#!/usr/bin/env python3
"""Drift against lab servers whose clocks run fast or slow at known rates.

    drift_lab_test.py SKEWMON LAB_SH FIRST_OCTET WORK_DIR

The product keeps its 10-minute minimum span; the test takes about three
minutes. It runs as a time-lapse: the program's own clock (where it takes
each scan's time) runs R times faster than true time, while the time query
helper (skewmon-tod) measures offsets against the true clock, and each server
drifts R times faster against it than the rate it is meant to show. Against
the scan times the program records, each server then drifts at exactly its
rate, and 20 s between scans are 160 s of history. Every process shares one
start of faked time (the faketime wrapper's shared memory), so the clocks
keep one time base however late each process starts; the monotonic clock
stays true, so time limits and round trips are real.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

if "FAKETIME_SHARED" not in os.environ:
    if not shutil.which("faketime"):
        sys.exit("drift lab: faketime is missing: install the Debian package faketime")
    os.execvp("faketime", ["faketime", "-f", "+0 x1", sys.executable, *sys.argv])

SKEWMON, LAB_SH, FIRST, WORK = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
LAPSE = 8                # the program's clock against true time
SCAN_EVERY = 20.0        # true seconds between scans: 160 s of history
MS_PER_DAY = 86_400_000
# The servers: shift in seconds, and the rate each must show (fraction).
SERVERS = [("+2", 5e-4), ("-1", -2.5e-4), ("+5", 2e-4)]
ADDRESSES = [f"127.0.0.{FIRST + n}" for n in range(len(SERVERS))]
SET_ADDRESS, SET_SHIFT = ADDRESSES[2], "+25"

failures = []


def check(condition, message):
    print(("ok: " if condition else "FAILED: ") + message, flush=True)
    if not condition:
        failures.append(message)


def skewmon(*args, list_file, timeout=60):
    env = dict(os.environ, HOME=f"{WORK}/lab/home", LD_PRELOAD=LIBFAKETIME, FAKETIME=f"+0 x{LAPSE}",
               FAKETIME_DONT_FAKE_MONOTONIC="1", FAKETIME_SKIP_CMDS="skewmon-tod")
    return subprocess.run([SKEWMON, "--report", "--list", list_file, *args], env=env, capture_output=True,
                          text=True, errors="replace", timeout=timeout)


def lab(*args, env=None):
    subprocess.run([LAB_SH, *args], check=True, timeout=120, env=dict(os.environ, **(env or {})))


ROW = re.compile(r"^(\S+)\s+([+-]\d+\.\d) ± (\d+\.\d)\s+([+-]\d+\.\d+)\s+(\d+)\s+([+-]\d+\.\d+) s\s+"
                 r"(none|\d{4}-\d\d-\d\d \d\d:\d\d UTC)")


def drift_rows(text):
    rows = {}
    for line in text.splitlines():
        match = ROW.match(line)
        if match:
            rows[match[1]] = {"rate": float(match[2]), "uncertainty": float(match[3]), "readings": int(match[5]),
                              "step": match[7]}
        elif line.split() and line.split()[0] in ADDRESSES:
            rows[line.split()[0]] = {"line": line}
    return rows


def is_record(line):
    try:
        record = json.loads(line)
    except ValueError:
        return False
    return isinstance(record, dict) and "time" in record and isinstance(record.get("machines"), list)


def record_lines(path):
    """The records of a history file, and all its lines."""
    with open(path, encoding="utf-8", errors="replace") as file:
        text = file.read()
    lines = text.split("\n")
    check(text.endswith("\n"), f"{os.path.basename(path)} ends in a line end")
    return [line for line in lines[:-1] if is_record(line)], lines[:-1]


GARBAGE = 'not a record\n{"from":"another program"}\n{"time":"2026-12-08T00:00:00.000Z","refer'


def concurrent_appenders(list_file):
    """Two programs appending to one damaged history, 20 times each."""
    path = f"{WORK}/concurrent.jsonl"
    with open(path, "w") as file:
        file.write(GARBAGE)
    errors = []

    def appender():
        for _ in range(20):
            result = skewmon("--history", path, "--format", "json", list_file=list_file)
            if "skewmon: history file" in result.stderr:
                errors.append(result.stderr)

    threads = [threading.Thread(target=appender) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    records, lines = record_lines(path)
    check(not errors, "every concurrent append succeeded" + (f": {errors[0]}" if errors else ""))
    check(len(records) == 40, f"40 records after 2 x 20 concurrent appends (found {len(records)})")
    check(len(lines) == 43, f"nothing but the records and the 3 damaged lines ({len(lines)} lines)")
    check(lines[:3] == GARBAGE.split("\n"), "the garbage and the cut line stay, each on a line of its own")


def main():
    os.makedirs(WORK, exist_ok=True)
    rates = " ".join(str(1 + LAPSE * rate) for _, rate in SERVERS)
    lab("start", f"{WORK}/lab", env={"LAB_FIRST": str(FIRST), "LAB_COUNT": str(len(SERVERS)),
                                     "LAB_SHIFTS": " ".join(shift for shift, _ in SERVERS), "LAB_RATES": rates})
    try:
        run()
    finally:
        lab("stop", f"{WORK}/lab")


def warm_up(list_file, count):
    """The first answers come late, from RPC services just started."""
    for _ in range(10):
        if skewmon("--format", "json", list_file=list_file).stdout.count('"answered": true') == count:
            return
        time.sleep(0.5)


def run():
    servers = f"{WORK}/servers.txt"
    with open(servers, "w") as file:
        file.write("\n".join(ADDRESSES) + "\n")
    first_server = f"{WORK}/first.txt"
    with open(first_server, "w") as file:
        file.write(ADDRESSES[0] + "\n")
    warm_up(servers, len(SERVERS))
    fresh = f"{WORK}/fresh.jsonl"
    skewmon("--history", fresh, list_file=servers)
    check(oct(os.stat(fresh).st_mode & 0o777) == "0o600", "a new history file is created 0600")

    history, plot = f"{WORK}/history.jsonl", f"{WORK}/drift.svg"
    with open(history, "w") as file:
        file.write(GARBAGE)
    set_server = f"{WORK}/set.txt"
    with open(set_server, "w") as file:
        file.write(SET_ADDRESS + "\n")
    began = time.monotonic()

    def wait_for(scan):
        wait = began + scan * SCAN_EVERY - time.monotonic()
        if wait > 0:
            time.sleep(wait)

    result = None
    for scan in range(8):
        if scan == 3:
            # Its clock set between two scans, as an administrator would;
            # the restarted server's time service answers late at first.
            wait_for(2.5)
            lab("set-clock", f"{WORK}/lab", SET_ADDRESS, SET_SHIFT)
            warm_up(set_server, 1)
        wait_for(scan)
        result = skewmon("--history", history, "--format", "drift", "--plot", plot, list_file=servers)
        print(result.stdout, result.stderr, sep="", flush=True)
        if scan == 0:
            check("history file " + history + ": 3 lines could not be read, skipped" in result.stderr,
                  "one warning counts the unreadable lines")
            check("not enough history: 1 reading over 0 minutes" in result.stdout, "no rate from one reading")
            concurrent_appenders(first_server)
    rows = drift_rows(result.stdout)
    for (shift, rate), address in zip(SERVERS, ADDRESSES):
        row = rows.get(address, {})
        if "rate" not in row:
            check(False, f"{address} has a rate: {row.get('line', 'no line')}")
            continue
        expected = rate * MS_PER_DAY
        allowed = max(0.1 * abs(expected), row["uncertainty"])
        check(abs(row["rate"] - expected) <= allowed,
              f"{address}: {row['rate']} ± {row['uncertainty']} ms/day, expected {expected:.0f} within {allowed:.0f}")
        if address == SET_ADDRESS:
            check(row["step"] != "none", f"{address}: a step where its clock was set ({row['step']})")
            # A reading may stray past the stand-in bound on a loaded machine:
            # one left out as an outlier is allowed.
            check(row["readings"] in (4, 5), f"{address}: the rate rests on the readings since ({row['readings']} of 5)")
        else:
            check(row["step"] == "none", f"{address}: no step")
            check(row["readings"] in (7, 8), f"{address}: the rate rests on its readings ({row['readings']} of 8)")
    records, lines = record_lines(history)
    check(len(records) == 8 and len(lines) == 11, f"8 records beside the 3 unreadable lines ({len(records)}, {len(lines)})")
    with open(plot) as file:
        svg = file.read()
    check(svg.count("<polyline") == 4, "the plot has a line per machine, broken where a clock was set")
    check(all(f">{address}  " in svg for address in ADDRESSES), "the plot names each drifter")
    shutil.copy(plot, f"{WORK}/../drift-lab.svg")


if __name__ == "__main__":
    main()
    sys.exit(1 if failures else 0)

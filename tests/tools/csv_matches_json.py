#!/usr/bin/python3
"""Parses a CSV report with Python's csv module and checks that every line
holds the JSON report's values for its machine. Prints what differs; exit 0
when nothing does."""
import csv
import json
import sys

FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")
# The drift columns hold the fields of the JSON machine's "drift" object.
DRIFT_FIELDS = {
    "driftStatus": "status",
    "driftRateMsPerDay": "rateMsPerDay",
    "driftUncertaintyMsPerDay": "rateUncertaintyMsPerDay",
    "driftReadings": "readings",
    "driftLastStep": "lastStep",
    "driftKerberosLimitAt": "kerberosLimitAt",
}


def json_value(machine, field):
    if field in DRIFT_FIELDS:
        drift = machine["drift"]
        return None if drift is None else drift[DRIFT_FIELDS[field]]
    return machine[field]


def expected(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def main(csv_path, json_path):
    with open(csv_path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, strict=True))
    with open(json_path, encoding="utf-8") as f:
        machines = json.load(f)["machines"]
    header, lines = rows[0], rows[1:]
    problems = []
    if len(lines) != len(machines):
        problems.append(f"{len(lines)} lines for {len(machines)} machines")
    for line, machine in zip(lines, machines):
        if len(line) != len(header):
            problems.append(f"{len(line)} fields: {line!r}")
            continue
        for field, value in zip(header, line):
            raw = json_value(machine, field)
            if isinstance(raw, float):
                # CSV keeps three decimals, without an exponent.
                if value == "" or abs(float(value) - raw) > 0.0005 or "e" in value.lower():
                    problems.append(f"{field}: {value!r} != {raw!r}")
                continue
            want = expected(raw)
            if field == "name" and want.startswith(FORMULA_STARTS):
                want = "'" + want
            if value != want:
                problems.append(f"{field}: {value!r} != {want!r}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

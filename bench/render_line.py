#!/usr/bin/python3
"""Cost of render_line_with_config per call, next to json.dumps of the same record.

Run from the repository root after `make build`:

    /usr/bin/python3 bench/render_line.py

Each figure is the best of several timing runs, in microseconds per call.
The reference builds the same JSON line in Python: the record dict with the
fixed members added, `json.dumps(..., separators=(",", ":"),
ensure_ascii=False, default=str)`. It does no redaction, no level
canonicalisation and no conversion of dates, so it is a floor rather than
an equivalent.
"""

import datetime
import json
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))

from vorlisk._rust import RedactionConfig, render_line_with_config  # noqa: E402

CALLS = 50_000
REPEATS = 7
TIMESTAMP = "2024-01-02T03:04:05.123456Z"

RECORDS = {
    "small (3 scalar fields)": {"user": "bob", "attempt": 3, "ok": True},
    "medium (10 fields, nested)": {
        "user": "bob", "attempt": 3, "ok": True, "ratio": 0.25, "path": "/api/v1/items",
        "tags": ["a", "b", "c"], "headers": {"accept": "json", "agent": "curl/8"},
        "ids": [1, 2, 3, 4, 5], "remote": "10.0.0.1", "note": None,
    },
    "with a date and a big int": {"when": datetime.datetime(2024, 1, 2, 3, 4, 5), "big": 2**70, "n": 1},
}

CONFIGS = {
    "no patterns": RedactionConfig([]),
    "2 patterns": RedactionConfig([r"\b\d{16}\b", r"(?i)bearer\s+\S+"]),
}


def per_call_us(statement, namespace):
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=REPEATS, number=CALLS)) / CALLS * 1e6


def dumps_line(fields):
    record = dict(fields)
    record.update(logger="app", level="INFO", severity=6, timestamp=TIMESTAMP, service="api", message="hi")
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False, default=str)


def main():
    print(f"{'record':30} {'patterns':12} {'native us':>10} {'dumps us':>9} {'ratio':>6}")
    for record_name, fields in RECORDS.items():
        dumps = per_call_us("dumps_line(fields)", {"dumps_line": dumps_line, "fields": fields})
        for config_name, config in CONFIGS.items():
            native = per_call_us(
                "render(fields, 'app', 'info', 'api', 'hi', config, timestamp)",
                {"render": render_line_with_config, "fields": fields, "config": config,
                 "timestamp": TIMESTAMP})
            print(f"{record_name:30} {config_name:12} {native:10.2f} {dumps:9.2f} {native / dumps:6.2f}")


if __name__ == "__main__":
    main()

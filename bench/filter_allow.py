#!/usr/bin/python3
"""Cost of NativeFilter.allow per call, as a ratio to a no-op call.

Run from the repository root after `make build`:

    /usr/bin/python3 bench/filter_allow.py

Each figure is the best of several timing runs, in nanoseconds per call.
The references are a Python function that does nothing (`def noop(key,
level): return True`) and a C function of two arguments that does almost
nothing (`operator.is_`).
"""

import operator
import os
import sys
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))

from vorlisk._rust import NativeFilter  # noqa: E402

CALLS = 1_000_000
REPEATS = 7


def noop(key, level):
    return True


def per_call_ns(call, key, level):
    timer = timeit.Timer("call(key, level)", globals={"call": call, "key": key, "level": level})
    return min(timer.repeat(repeat=REPEATS, number=CALLS)) / CALLS * 1e9


def main():
    key = "user 42 logged in"
    cases = [
        ("no-op Python function", noop, 20),
        ("no-op C function (operator.is_)", operator.is_, 20),
        ("empty filter, int level", NativeFilter().allow, 20),
        ("empty filter, str level", NativeFilter().allow, "info"),
        # A window of one microsecond: every call passes and prunes the
        # instants that have just expired.
        ("rate limit, one key, passing", NativeFilter(rate_limit_max=1000, rate_limit_period=1e-6).allow, 20),
        # A budget of one: every call after the first is dropped and counted.
        ("rate limit, one key, dropping", NativeFilter(rate_limit_max=1, rate_limit_period=3600.0).allow, 20),
        ("sampling 0.5", NativeFilter(sample_rate=0.5).allow, 20),
    ]
    results = [(name, per_call_ns(call, key, level)) for name, call, level in cases]
    python_noop = results[0][1]
    c_noop = results[1][1]
    print(f"{'case':40} {'ns/call':>8} {'x py no-op':>11} {'x C no-op':>10}")
    for name, ns in results:
        print(f"{name:40} {ns:8.1f} {ns / python_noop:11.2f} {ns / c_noop:10.2f}")


if __name__ == "__main__":
    main()

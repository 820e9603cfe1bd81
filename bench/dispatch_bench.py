#!/usr/bin/python3
"""Callable-sink dispatch: the cost of one enqueue and the delivery rate.

Run from the repository root after `make build`:

    /usr/bin/python3 bench/dispatch_bench.py [--records N] [--runs N]

Per-call figures are the best of several timing runs, in nanoseconds; the
reference is a Python function with the same signature that does nothing.
Delivery figures are records per second, best of the runs.
"""

import argparse
import os
import sys
import threading
import time
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))

from vorlisk._rust import CallableDispatcher  # noqa: E402

LINE = '{"logger":"bench","level":"INFO","message":"user 42 logged in","service":"api"}\n'
CALLS = 200_000


def noop(line, level, *, overflow):
    return True


def sink(line):
    pass


def per_call_ns(call, runs):
    timer = timeit.Timer("call(line, 20, overflow='block')", globals={"call": call, "line": LINE})
    return min(timer.repeat(repeat=runs, number=CALLS)) / CALLS * 1e9


def held_dispatcher(sinks=1):
    """A dispatcher whose records wait until `gate` is set.

    An older generation's worker sits in a call until then, and the active
    generation, holding `sinks` no-op sinks, delivers only after it: the
    blocking sink is never called for the measured records.
    """
    gate = threading.Event()
    entered = threading.Event()

    def blocker(line):
        entered.set()
        gate.wait()

    d = CallableDispatcher()
    d.configure([blocker], maxsize=0)
    d.enqueue(LINE, 20, overflow="block")
    entered.wait()
    d.sync([sink] * sinks, maxsize=0)  # a new generation, behind the blocked one
    return d, gate


def enqueue_held_ns(runs):
    d, gate = held_dispatcher()
    ns = per_call_ns(d.enqueue, runs)
    gate.set()
    d.stop(drain=True)
    return ns


def enqueue_live_ns(runs):
    d = CallableDispatcher()
    d.configure([sink], maxsize=0)
    ns = per_call_ns(d.enqueue, runs)
    d.stop(drain=True)
    return ns


def enqueue_unrouted_ns(runs):
    d = CallableDispatcher()
    d.add(sink, 30, enabled=True)  # no sink admits level 20
    ns = per_call_ns(d.enqueue, runs)
    d.stop(drain=True)
    return ns


def delivery_rate(records, sinks, runs):
    """Records/s the worker delivers from a queue filled beforehand."""
    best = 0.0
    for _ in range(runs):
        d, gate = held_dispatcher(sinks)
        for _ in range(records):
            d.enqueue(LINE, 20, overflow="block")
        started = time.perf_counter()
        gate.set()
        d.flush()
        best = max(best, records / (time.perf_counter() - started))
        d.stop(drain=True)
    return best


def end_to_end_rate(records, runs):
    """Records/s from the first enqueue to the end of flush(), one no-op sink."""
    best = 0.0
    for _ in range(runs):
        d = CallableDispatcher()
        d.configure([sink], maxsize=0)
        started = time.perf_counter()
        for _ in range(records):
            d.enqueue(LINE, 20, overflow="block")
        d.flush()
        best = max(best, records / (time.perf_counter() - started))
        d.stop(drain=True)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=500_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    print(f"{'per call':52} {'ns':>8} {'x no-op':>8}")
    reference = per_call_ns(noop, args.runs)
    for name, ns in [
        ("no-op Python function, same arguments", reference),
        ("enqueue, one sink, worker held (queue only)", enqueue_held_ns(args.runs)),
        ("enqueue, one no-op sink, live worker", enqueue_live_ns(args.runs)),
        ("enqueue, no sink admits the level", enqueue_unrouted_ns(args.runs)),
    ]:
        print(f"{name:52} {ns:8.1f} {ns / reference:8.2f}")
    print()
    print(f"{'records per second':52} {'rate':>12}")
    for name, rate in [
        ("delivered from a full queue, one no-op sink", delivery_rate(args.records, 1, args.runs)),
        ("delivered from a full queue, three no-op sinks",
         delivery_rate(args.records, 3, args.runs)),
        ("enqueue to flush, one no-op sink", end_to_end_rate(args.records, args.runs)),
    ]:
        print(f"{name:52} {rate:12,.0f}")


if __name__ == "__main__":
    main()

"""Throughput and per-call cost of the native writer.

Run with `make bench` (it builds first), or directly:
    PYTHONPATH=build /usr/bin/python3 bench/writer_bench.py [--lines N]
"""

import argparse
import os
import tempfile
import time

from vorlisk._rust import _NativeStringWriter

LINE = '{"level":"INFO","logger":"bench","message":"request handled","status":200}\n'


def lines_per_second(writer, count):
    """Lines pushed with try_enqueue and written by the worker, per second."""
    try_enqueue = writer.try_enqueue
    started = time.perf_counter()
    for _ in range(count):
        try_enqueue(LINE)
    assert writer.flush() == 0
    elapsed = time.perf_counter() - started
    metrics = writer.metrics()
    assert metrics["written"] == count and metrics["dropped"] == 0, metrics
    return count / elapsed


def per_call_ns(function, argument, count):
    started = time.perf_counter_ns()
    for _ in range(count):
        function(argument)
    return (time.perf_counter_ns() - started) / count


def noop(_message):
    pass


def best_of(runs, measure):
    return max(measure() for _ in range(runs))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=500_000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        def file_run():
            path = os.path.join(directory, "bench.log")
            writer = _NativeStringWriter(0, file_path=path, file_max_bytes=64 << 20,
                                         file_backup_count=3)
            try:
                return lines_per_second(writer, args.lines)
            finally:
                writer.close()
        file_rate = best_of(args.runs, file_run)

    def null_run():
        writer = _NativeStringWriter(0, target="null")
        try:
            return lines_per_second(writer, args.lines)
        finally:
            writer.close()
    null_rate = best_of(args.runs, null_run)

    calls = args.lines

    def enqueue_run(**kwargs):
        writer = _NativeStringWriter(0, **kwargs)
        try:
            return per_call_ns(writer.try_enqueue, LINE, calls)
        finally:
            writer.close()

    # With a live worker the producer and the worker share the queue's lock
    # and wake each other; with a paused one the call stands alone.
    enqueue_ns = min(enqueue_run(target="null") for _ in range(args.runs))
    paused_ns = min(enqueue_run(paused=True) for _ in range(args.runs))
    noop_ns = min(per_call_ns(noop, LINE, calls) for _ in range(args.runs))
    builtin_ns = min(per_call_ns(len, LINE, calls) for _ in range(args.runs))

    print(f"line length                     {len(LINE)} bytes, {args.lines} lines, best of {args.runs}")
    print(f"try_enqueue -> rotating file    {file_rate:12,.0f} lines/s (enqueue through flush)")
    print(f"try_enqueue -> null sink        {null_rate:12,.0f} lines/s (enqueue through flush)")
    print(f"try_enqueue call, null worker   {enqueue_ns:8.1f} ns")
    print(f"try_enqueue call, paused writer {paused_ns:8.1f} ns")
    print(f"no-op Python function call      {noop_ns:8.1f} ns")
    print(f"builtin len() call              {builtin_ns:8.1f} ns")
    print(f"try_enqueue over no-op call     {enqueue_ns - noop_ns:+8.1f} ns (null worker), "
          f"{paused_ns - noop_ns:+.1f} ns (paused)")


if __name__ == "__main__":
    main()

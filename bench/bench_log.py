"""Per-call cost of one log record: vorlisk's fused `log` against its peers.

All cases run in one process, in one run, on the same record: a message and
six fields (int, str, float, timezone-aware datetime, UUID, a nested dict of
three entries), with the default sensitive keys, one bound field and one
context variable. Each case is timed as the median of several repetitions of
N calls and reported in nanoseconds per call and as ratios.

  vorlisk null     _NativeStringWriter.log into the null sink
  vorlisk file     _NativeStringWriter.log into a rotating file
  vorlisk patterns the same into the null sink, with three value patterns
                   that use word boundaries (a card number, a bearer token,
                   an e-mail address), matching nothing in the record;
                   once more with a message that is not ASCII
  stdlib           logging with a json.dumps formatter and a FileHandler
  structlog        structlog's JSONRenderer with a WriteLogger to a file
  floor            a no-op Python function called with log's arguments

`log` costs the caller the conversion, rendering and push; the file is
written by the writer's own thread. The peers write on the caller's thread,
so their figures include their file writes. The writer's end-to-end time
per line (N calls from the first to the return of `flush()`, every line
written) is reported separately, against the null sink's per-call figure,
and so is the combined rate of two processes logging N records each into
one rotating file at once (from their common start until both flushed).
"""

import contextvars
import datetime
import json
import logging
import os
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

import vorlisk._rust as rust

N = int(os.environ.get("BENCH_CALLS", "50000"))
REPEATS = int(os.environ.get("BENCH_REPEATS", "7"))

MESSAGE = "user signed in"
FIELDS = {
    "attempt": 3,
    "user": "alice",
    "latency_ms": 12.5,
    "at": datetime.datetime(2026, 12, 7, 4, 32, 15, 123456, tzinfo=datetime.timezone.utc),
    "request": uuid.UUID("12345678-1234-5678-1234-567812345678"),
    "client": {"ip": "10.0.0.7", "port": 52100, "tls": True},
}
BOUND = {"service_region": "eu-west-1"}
CONTEXT = {"trace_id": "4bf92f3577b34da6a3ce929d0e0e4736"}


def time_calls(call):
    """Median ns per call over REPEATS runs of N calls (after a warm-up run)."""
    samples = []
    for repeat in range(REPEATS + 1):
        start = time.perf_counter_ns()
        for _ in range(N):
            call()
        elapsed = time.perf_counter_ns() - start
        if repeat:
            samples.append(elapsed / N)
    return statistics.median(samples)


VALUE_PATTERNS = [r"\b\d{16}\b", r"(?i)\bbearer\s+\S+", r"\b[\w.+-]+@[\w-]+\.\w+\b"]


def vorlisk_case(writer, patterns=None, message=MESSAGE):
    config = rust.RuntimeConfig("bench", sensitive_patterns=patterns)
    log = writer.log

    def call():
        log(config, "app", "info", message, BOUND, FIELDS, CONTEXT, None, None)

    return call


def stdlib_case(path):
    class JsonFormatter(logging.Formatter):
        def format(self, record):
            data = dict(record.bound)
            data.update(record.fields)
            for key, value in record.context.items():
                data.setdefault(key, value)
            data.update(
                logger=record.name,
                level=record.levelname,
                timestamp=datetime.datetime.fromtimestamp(record.created, datetime.timezone.utc)
                .isoformat(),
                service="bench",
                message=record.getMessage(),
            )
            return json.dumps(data, default=str)

    handler = logging.FileHandler(path)
    handler.setFormatter(JsonFormatter())
    logger = logging.getLogger("bench.stdlib")
    logger.handlers[:] = [handler]
    logger.propagate = False
    logger.setLevel(logging.INFO)
    extra = {"fields": FIELDS, "bound": BOUND, "context": CONTEXT}

    def call():
        logger.info(MESSAGE, extra=extra)

    return call, handler


def structlog_case(path):
    import structlog

    trace_id = contextvars.ContextVar("trace_id")
    trace_id.set(CONTEXT["trace_id"])
    stream = open(path, "w")  # noqa: SIM115 - closed by the caller
    structlog.configure(
        processors=[
            structlog.contextvars.merge_contextvars,
            structlog.processors.add_log_level,
            structlog.processors.TimeStamper(fmt="iso", utc=True),
            structlog.processors.JSONRenderer(default=str),
        ],
        logger_factory=structlog.WriteLoggerFactory(file=stream),
        cache_logger_on_first_use=True,
    )
    structlog.contextvars.bind_contextvars(**CONTEXT)
    logger = structlog.get_logger("bench").bind(**BOUND)

    def call():
        logger.info(MESSAGE, **FIELDS)

    return call, stream


def noop(config, logger, level, message, bound, kwargs, contextvars, exception, stack):
    return 0


def file_writer(path):
    return rust._NativeStringWriter(0, file_path=path, file_max_bytes=64 << 20,
                                    file_backup_count=2)


def child(path):
    """One of the processes sharing a file: N calls and a flush on "go"."""
    writer = file_writer(path)
    call = vorlisk_case(writer)
    call()
    writer.flush()
    print("ready", flush=True)
    sys.stdin.readline()
    for _ in range(N):
        call()
    writer.flush()
    print("done", flush=True)
    sys.stdin.readline()
    writer.close()


def shared_file_end_to_end(path, processes=2):
    """ns per line, all processes' lines together, from the common start
    until every process's flush has returned."""
    children = [subprocess.Popen([sys.executable, __file__, "--child", path],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                for _ in range(processes)]
    for process in children:
        assert process.stdout.readline() == "ready\n"
    start = time.perf_counter_ns()
    for process in children:
        process.stdin.write("go\n")
        process.stdin.flush()
    for process in children:
        assert process.stdout.readline() == "done\n"
    elapsed = time.perf_counter_ns() - start
    for process in children:
        process.stdin.close()
        assert process.wait() == 0
    return elapsed / (processes * N)


def main():
    tmp = tempfile.mkdtemp(prefix="vorlisk-bench-")
    results = {}

    null_writer = rust._NativeStringWriter(0, target="null")
    results["vorlisk log, null sink"] = time_calls(vorlisk_case(null_writer))
    results["vorlisk log, null sink, \\b value patterns"] = time_calls(
        vorlisk_case(null_writer, VALUE_PATTERNS))
    results["vorlisk log, null sink, \\b value patterns, non-ASCII"] = time_calls(
        vorlisk_case(null_writer, VALUE_PATTERNS, "Benutzer jürgen hat sich angemeldet"))
    null_writer.close()

    writer = file_writer(os.path.join(tmp, "vorlisk.log"))
    call = vorlisk_case(writer)
    results["vorlisk log, file sink"] = time_calls(call)
    # The timed runs may leave the worker behind: its backlog is not part of
    # the end-to-end figure, the median of REPEATS runs.
    samples = []
    for _ in range(REPEATS):
        writer.flush()
        start = time.perf_counter_ns()
        for _ in range(N):
            call()
        writer.flush()
        samples.append((time.perf_counter_ns() - start) / N)
    end_to_end = statistics.median(samples)
    writer.close()
    shared = statistics.median(
        shared_file_end_to_end(os.path.join(tmp, f"shared{run}.log")) for run in range(3))

    call, handler = stdlib_case(os.path.join(tmp, "stdlib.log"))
    results["stdlib logging + json.dumps + FileHandler"] = time_calls(call)
    handler.close()

    try:
        call, stream = structlog_case(os.path.join(tmp, "structlog.log"))
    except ImportError:
        print("structlog is not installed: skipped", file=sys.stderr)
    else:
        results["structlog JSONRenderer + WriteLogger"] = time_calls(call)
        stream.close()

    config = rust.RuntimeConfig("bench")
    results["floor: no-op Python function"] = time_calls(
        lambda: noop(config, "app", "info", MESSAGE, BOUND, FIELDS, CONTEXT, None, None))

    file_ns = results["vorlisk log, file sink"]
    floor_ns = results["floor: no-op Python function"]
    print(f"{N} calls x {REPEATS} repetitions, median ns per call "
          f"(Python {sys.version.split()[0]})")
    print(f"{'case':44} {'ns/call':>9} {'peer / vorlisk file':>20} {'x floor':>8}")
    for name, ns in results.items():
        print(f"{name:44} {ns:9.0f} {ns / file_ns:20.1f} {ns / floor_ns:8.2f}")
    null_ns = results["vorlisk log, null sink"]
    print(f"vorlisk file sink end to end (written and flushed): {end_to_end:.0f} ns per line, "
          f"{1e9 / end_to_end:,.0f} lines/s, {end_to_end / null_ns:.2f}x the null-sink call")
    print(f"two processes into one file, end to end: {shared:.0f} ns per line together, "
          f"{1e9 / shared:,.0f} lines/s, {end_to_end / shared:.2f}x one process's rate")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2])
    else:
        main()

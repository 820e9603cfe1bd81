"""Daemon threads that log until the process exits: the interpreter ends
each of them where it next asks for the interpreter lock (after a wait with
the lock released, or inside Python code the conversion runs), and the
process exits with status 0."""

import concurrent.futures
import subprocess
import textwrap

import pytest

from dispatch_helpers import child_env, under_sanitizer
from test_module import _interpreters as interpreters

RUNS = 5 if under_sanitizer() else 20

SCRIPT = textwrap.dedent("""
    import os, sys, tempfile, threading, time
    import vorlisk._rust as rust

    road = sys.argv[1]
    config = rust.RuntimeConfig("s")
    if road == "file":
        path = os.path.join(tempfile.mkdtemp(), "app.log")
        writer = rust._NativeStringWriter(4, target="file", file_path=path)
    else:
        writer = rust._NativeStringWriter(4)

    class Slow:
        # Python code run by the conversion, long enough to be interrupted.
        def isoformat(self):
            return str(sum(range(3000)))

    def log():
        while True:
            writer.log(config, "a", "info", "m", {"k": 1, "l": [1, {"x": "y"}]}, {}, {}, None, None)

    def render_enqueue():
        while True:
            writer.render_enqueue_json({"k": 1}, "a", "info", "s", "m", True)

    def capture():
        while True:
            writer.log_capture(config, "a", "info", "m", {"k": 1}, {}, {}, None, None, True)

    def flush():
        while True:
            writer.flush(1.0)

    def open_and_close():
        while True:
            other = rust._NativeStringWriter(2)
            for _ in range(10):
                other.log(config, "a", "info", "m", {"k": 1}, {}, {}, None, None)
            other.close()

    def python_code():
        while True:
            rust.render_line({"k": Slow(), "n": [[Slow()]]}, "a", "info", "s", "m")

    dispatcher = rust.CallableDispatcher()

    def dispatch():
        dispatcher.add(lambda line: time.sleep(0.001), enabled=True)
        channel = dispatcher._channel
        def enqueue():
            while True:
                dispatcher.enqueue("x\\n", 20, overflow="block")
        def drain():
            while True:
                dispatcher.flush(stall_timeout=1.0)
                channel.flush()
        return [enqueue, drain]

    roads = {
        "file": [log, render_enqueue, capture, flush],
        "memory": [log, render_enqueue, capture, flush, open_and_close],
        "python code": [python_code, python_code],
        "dispatcher": dispatch(),
    }
    for body in roads[road]:
        threading.Thread(target=body, daemon=True).start()
    time.sleep(0.2)
""")


def run(interpreter, road):
    out = subprocess.run([interpreter, "-W", "ignore", "-c", SCRIPT, road],
                         env=child_env(unjoined_threads=True),
                         capture_output=True, text=True, timeout=300)
    return out.returncode, out.stderr[-1500:]


@pytest.mark.parametrize("road", ["file", "memory", "python code", "dispatcher"])
@pytest.mark.parametrize("interpreter", interpreters())
def test_daemon_threads_logging_at_exit_end_with_the_process(interpreter, road):
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        outcomes = list(pool.map(lambda _: run(interpreter, road), range(RUNS)))
    assert [status for status, _ in outcomes] == [0] * RUNS, [err for _, err in outcomes]

"""Forking while writers are busy: a child never inherits a writer's lock
held by a thread that did not come along, and its copy of every writer is
closed, so nothing it does with one waits for the parent's worker."""
import subprocess
import textwrap

import pytest

from dispatch_helpers import child_env
from test_module import _interpreters as interpreters

# The parent keeps three writers busy from threads of its own: a log file
# draining bursts while another thread flushes it, a bounded file whose
# producer is mostly blocked on a full queue, and a memory writer. Then it
# forks again and again. Each child gets ten seconds (an alarm ends it);
# the parent reports how many children failed and how.
FORK_LOOP = """
    import os, signal, sys, threading, time
    from vorlisk._rust import _NativeStringWriter

    forks, directory = int(sys.argv[1]), sys.argv[2]
    drained = _NativeStringWriter(0, file_path=os.path.join(directory, "drained.log"))
    bounded = _NativeStringWriter(4, file_path=os.path.join(directory, "bounded.log"))
    memory = _NativeStringWriter(0)
    stop = threading.Event()

    def bursts():
        while not stop.is_set():
            for i in range(2000):
                drained.try_enqueue(f"burst line {i}\\n")
                if i % 100 == 0:
                    memory.try_enqueue(f"memory line {i}\\n")
            time.sleep(0.001)

    def flushes():
        while not stop.is_set():
            drained.flush()

    def blocked_pushes():
        while not stop.is_set():
            bounded.enqueue_blocking("bounded line\\n")

    threads = [threading.Thread(target=t) for t in (bursts, flushes, blocked_pushes)]
    for thread in threads:
        thread.start()

    def child():
        signal.alarm(10)
        drained.abandon()
        m = drained.metrics()
        if not (m["closed"] and m["worker_done"] and m["in_flight"] == 0):
            return 3
        if drained.try_enqueue("from the child\\n") or drained.flush() != 0:
            return 4
        if drained.enqueue_outcome("from the child\\n", True) != "closed":
            return 5
        memory.abandon()
        memory.messages()
        # Closed without abandon: wakes the conditions that the parent's
        # producer and flusher were waiting on.
        if bounded.close() != 0 or bounded.flush(0.1) != 0:
            return 6
        return 0

    failures = {}
    for _ in range(forks):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                code = child()
            finally:
                os._exit(code)
        deadline = time.monotonic() + 30
        while not (ended := os.waitpid(pid, os.WNOHANG))[0]:
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
            time.sleep(0.0005)
        code = os.waitstatus_to_exitcode(ended[1])
        if code:
            failures[code] = failures.get(code, 0) + 1
    stop.set()
    for thread in threads:
        thread.join()
    assert drained.close() == 0 and bounded.close() == 0
    print(failures)
"""


@pytest.mark.parametrize("interpreter", interpreters())
def test_children_forked_from_busy_writers_never_hang(interpreter, tmp_path):
    result = subprocess.run(
        [interpreter, "-W", "ignore", "-c", textwrap.dedent(FORK_LOOP), "500", str(tmp_path)],
        env=child_env(), capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    # {exit code: children}; -14 is a child ended by its alarm: a hang.
    assert result.stdout.strip() == "{}"

"""The dispatcher across fork(): a child forked from inside a sink, and a
child forked while the parent's workers, producers and drains are busy.
Every child runs under a time-out: a hang fails instead of blocking."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from dispatch_helpers import TIME_SCALE, child_env, under_sanitizer, under_thread_sanitizer
from test_module import _interpreters as interpreters

# Waits for one forked child: its exit code and how long it took after the
# fork, or None for one still running after the time-out (then killed).
WAIT_FOR_CHILD = """
import os, signal, time

def wait_for_child(pid, forked_at, limit=10.0):
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status), time.monotonic() - forked_at
        if time.monotonic() - forked_at > limit:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return None, None
        time.sleep(0.001)
"""

# A record's first sink forks; the record's second sink is a witness. The
# child goes on as the worker thread, which has to end when the sink does.
FORKED_FROM_A_SINK = WAIT_FOR_CHILD + textwrap.dedent("""
    import json, os, sys, time, warnings
    import vorlisk._rust as rust

    ending, rounds = sys.argv[1], int(sys.argv[2])
    parent = os.getpid()
    report_read, report_write = os.pipe()
    d = rust.CallableDispatcher()
    delivered = []  # (sink, line), in this process
    forks = []

    def in_child():
        if ending == "SystemExit":
            sys.exit(0)
        if ending == "ValueError":
            raise ValueError("from the child")
        if ending == "fork_child":
            fresh = d.fork_child(enabled=True)
            start = len(delivered)
            queued = [fresh.enqueue(f"child {i}\\n", 20, overflow="block") for i in range(2)]
            fresh.flush()
            report = {"in_callback": rust.in_callback(), "queued": queued,
                      "delivered": delivered[start:]}
            fresh.stop(drain=True)
            os.write(report_write, json.dumps(report).encode() + b"\\n")

    def forking(line):
        delivered.append(("forking", line))
        if os.getpid() != parent or line != "fork\\n":
            return
        pid = os.fork()
        if pid == 0:
            return in_child()
        forks.append((pid, time.monotonic()))

    def witness(line):
        delivered.append(("witness", line))
        if os.getpid() != parent and not line.startswith("child"):
            os.write(report_write, f"witness called in a child with {line!r}\\n".encode())

    d.configure([forking, witness], maxsize=16)
    ends = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork with threads
        for _ in range(rounds):
            for line in ("fork\\n", "after\\n", "after\\n"):
                d.enqueue(line, 20, overflow="block")
            d.flush()
            # Each child is timed from its fork to its end, not to the end of
            # the rounds after it.
            ends += [wait_for_child(pid, forked_at) for pid, forked_at in forks]
            forks.clear()
    os.close(report_write)
    with os.fdopen(report_read) as reports:
        child_reports = reports.read().splitlines()
    d.stop(drain=True)
    print(json.dumps({
        "codes": sorted({code for code, _ in ends}, key=str),
        "slowest": max((t for _, t in ends if t is not None), default=None),
        "children": len(ends),
        "parent_lines": len(delivered),
        "parent_errors": d.metrics()["callable_errors"],
        "child_reports": child_reports,
    }))
""")

ENDINGS = ["return", "SystemExit", "ValueError", "fork_child"]


def run_script(interpreter, script, *args, timeout=120):
    out = subprocess.run([interpreter, "-c", script, *map(str, args)], env=child_env(),
                         capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout), out.stderr


@pytest.mark.skipif(under_thread_sanitizer(), reason="ThreadSanitizer fails the child when the "
                    "last thread of a child forked from a thread ends, a Python thread as well")
@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("interpreter", interpreters())
def test_a_child_forked_from_a_sink_ends_as_a_python_thread_would(interpreter, ending):
    rounds = 5 if under_sanitizer() else 25
    report, stderr = run_script(interpreter, FORKED_FROM_A_SINK, ending, rounds)
    # Every child ended, with status 0 as a thread's end gives (also after
    # sys.exit(0)), soon after the fork: nothing waited for the worker's
    # next record there.
    assert report["children"] == rounds
    assert report["codes"] == [0]
    assert report["slowest"] < 2.0 * TIME_SCALE
    # The parent delivered everything to both sinks, and counted no error.
    assert (report["parent_lines"], report["parent_errors"]) == (6 * rounds, 0)
    if ending == "fork_child":
        # The child's own dispatcher queues and waits: the forking thread is
        # no worker of the child.
        expected = {"in_callback": False, "queued": [True, True],
                    "delivered": [["forking", "child 0\n"], ["witness", "child 0\n"],
                                  ["forking", "child 1\n"], ["witness", "child 1\n"]]}
        assert [json.loads(r) for r in report["child_reports"]] == [expected] * rounds
    else:
        # No further sink of the record, nor any later record, ran in a child.
        assert report["child_reports"] == []
    # SystemExit ends the thread, as in a Python thread; it is no sink error.
    raised = stderr.count("vorlisk callable sink raised 1 time(s), latest ValueError")
    assert raised == (rounds if ending == "ValueError" else 0), stderr


# The parent keeps its dispatcher and filter busy from several threads (a
# worker delivering, producers blocked on a full queue, drains, waits for
# retirement, generations opened and retired) while it forks. Each child
# uses what it inherited: nothing may wait for a thread that stayed behind.
FORKS_WHILE_BUSY = WAIT_FOR_CHILD + textwrap.dedent("""
    import gc, json, os, sys, threading, time, warnings
    import vorlisk._rust as rust

    forks = int(sys.argv[1])
    def sink(line):
        time.sleep(0)  # leaves the interpreter lock inside the call
    inherited = {"d": rust.CallableDispatcher(),
                 "f": rust.NativeFilter(sample_rate=0.5, rate_limit_max=3,
                                        rate_limit_period=0.001)}
    inherited["d"].configure([sink], maxsize=4)
    stop = threading.Event()

    def loop(step):
        def run():
            d, f = inherited["d"], inherited["f"]
            while not stop.is_set():
                step(d, f)
        return threading.Thread(target=run)

    def wait_retired(d, f):
        channel = d._channel
        if channel is not None:
            channel.wait_retired(0.0005)

    def reconfigure(d, f):
        d.sync([sink] if time.monotonic() % 0.02 < 0.01 else [sink, sink], maxsize=4)
        time.sleep(0.001)

    threads = [
        loop(lambda d, f: d.enqueue("x\\n", 20, overflow="block")),
        loop(lambda d, f: d.enqueue("x\\n", 20, overflow="block")),
        loop(lambda d, f: d.flush(stall_timeout=5)),
        loop(wait_retired),
        loop(reconfigure),
        loop(lambda d, f: (f.allow("k", 20), f.stats())),
    ]

    def in_child():
        d, f = inherited.pop("d"), inherited.pop("f")
        channel = d._channel
        d.metrics()
        # The parent's generations have no worker here: nothing is queued
        # for them, and nothing waits for them.
        assert d.enqueue("c\\n", 20, overflow="drop") is False
        assert d.enqueue("c\\n", 20, overflow="block") is False
        if channel is not None:
            assert (channel.accepting, channel.is_alive(), channel.wait_retired(0)) == (
                False, False, True)
            channel.qsize, channel.unfinished_tasks, channel.blocked_producers
            channel.flush()
            channel.close(drain=True)
        assert d.flush(stall_timeout=5) == 0
        f.allow("k", 20), f.stats()
        # A generation opened here delivers at once: none of the parent's
        # holds it back.
        got = []
        d.configure([got.append], maxsize=4)
        d.enqueue("c\\n", 20, overflow="block")
        assert d.flush(stall_timeout=5) == 0 and got == ["c\\n"]
        d.stop(drain=True)
        del d, f, channel
        gc.collect()

    for thread in threads:
        thread.start()
    codes, hung = {}, 0
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork with threads
            for _ in range(forks):
                pid = os.fork()
                if pid == 0:
                    code = 1
                    try:
                        in_child()
                        code = 0
                    finally:
                        os._exit(code)
                code, _ = wait_for_child(pid, time.monotonic())
                codes[str(code)] = codes.get(str(code), 0) + 1
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    print(json.dumps(codes))
""")


@pytest.mark.skipif(under_sanitizer(), reason="too slow to fork often enough under a sanitizer, "
                    "and ThreadSanitizer cannot start threads after a threaded fork")
@pytest.mark.parametrize("interpreter", interpreters())
def test_children_forked_while_the_dispatcher_is_busy_never_wait_on_it(interpreter):
    forks = 500 if os.path.realpath(interpreter) == os.path.realpath(sys.executable) else 150
    codes, _ = run_script(interpreter, FORKS_WHILE_BUSY, forks, timeout=600)
    assert codes == {"0": forks}

"""A child forked from a process that logs to a file keeps none of its
writers' descriptors: a lock the parent's worker holds ends with the parent,
and what the child inherited never closes the files it opens itself."""
import fcntl
import os
import select
import signal
import subprocess
import textwrap
import time

import pytest

from dispatch_helpers import child_env, under_thread_sanitizer
from test_module import _interpreters as interpreters

pytestmark = pytest.mark.skipif(
    under_thread_sanitizer(), reason="the thread sanitizer cannot start threads after a threaded fork")

# Generous: a child that is not done by then hangs on a lock.
LIMIT = 120


# The parent logs to the file from a thread, its queue kept full, and forks
# a worker that abandons the inherited writer and waits for a line on stdin
# (sent once the parent is dead) before it logs to the same file itself.
PARENT = """
    import itertools, os, sys, threading
    from vorlisk._rust import _NativeStringWriter

    path = sys.argv[1]
    writer = _NativeStringWriter(64, file_path=path)

    def log():
        for i in itertools.count():
            writer.enqueue_blocking(f"parent {i}\\n")

    threading.Thread(target=log, daemon=True).start()
    pid = os.fork()
    if pid == 0:
        writer.abandon()
        sys.stdin.readline()
        replacement = _NativeStringWriter(0, file_path=path)
        replacement.try_enqueue("child\\n")
        undrained = replacement.close()
        m = replacement.metrics()
        print(undrained, m["written"], m["sink_errors"], flush=True)
        os._exit(0)
    print(pid, flush=True)
    threading.Event().wait()
"""


def read_line(stream, deadline):
    """A line from the pipe, or None at its end or past the deadline."""
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            return None
        byte = os.read(stream.fileno(), 1)  # never past the line: the rest is the child's
        if not byte:
            return None
        line += byte
    return line.decode()


class LockProbe:
    """Tries the lock from an open file description of this process's own."""

    def __init__(self, path):
        self.file = open(path, "rb")

    def held(self):
        try:
            fcntl.flock(self.file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        fcntl.flock(self.file, fcntl.LOCK_UN)
        return False

    def close(self):
        self.file.close()


def stop_while_holding_the_lock(pid, probe, deadline):
    """Stops the process at a moment when it holds the lock."""
    while time.monotonic() < deadline:
        if not probe.held():
            continue
        os.kill(pid, signal.SIGSTOP)
        os.waitpid(pid, os.WUNTRACED)
        if probe.held():  # nobody else takes it: the stopped process holds it
            return
        os.kill(pid, signal.SIGCONT)
    pytest.fail("the parent's worker was never seen holding the lock")


@pytest.mark.parametrize("interpreter", interpreters())
def test_a_lock_held_by_a_killed_parent_is_not_kept_by_its_child(interpreter, tmp_path):
    path = tmp_path / "shared.log"
    parent = subprocess.Popen(
        [interpreter, "-W", "ignore", "-c", textwrap.dedent(PARENT), str(path)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=child_env())
    deadline = time.monotonic() + LIMIT
    child = None
    probe = None
    try:
        child = int(read_line(parent.stdout, deadline))
        probe = LockProbe(f"{path}.lock")
        stop_while_holding_the_lock(parent.pid, probe, deadline)
        parent.kill()
        parent.wait()

        parent.stdin.write(b"go\n")
        parent.stdin.flush()
        report = read_line(parent.stdout, deadline)
        assert report is not None, "the child's writer waits for the dead parent's lock"
        child = None
        assert report.split() == ["0", "1", "0"]  # undrained, written, sink errors
        assert not probe.held()
        assert path.read_text().splitlines()[-1] == "child"
    finally:
        if child is not None:
            os.kill(child, signal.SIGKILL)
        if probe is not None:
            probe.close()
        parent.kill()
        parent.communicate()


# The parent's writer has all three of its file's descriptors open (the
# log file held some text already, so the sink read its last byte) and
# writes to standard output as well. Its child must find none of them, and
# open its own writer on the numbers they had; dropping the inherited
# writer there must leave those alone.
DESCRIPTORS = """
    import gc, os, sys, traceback
    from vorlisk._rust import _NativeStringWriter

    parent_log, child_log = (os.path.join(sys.argv[1], n) for n in ("parent.log", "child.log"))

    def open_on(path):
        found = set()
        for fd in os.listdir("/proc/self/fd"):
            try:
                if os.readlink(f"/proc/self/fd/{fd}") in (path, path + ".lock"):
                    found.add(int(fd))
            except OSError:
                pass  # the listing's own descriptor
        return found

    with open(parent_log, "w") as f:
        f.write("earlier\\n")
    inherited = _NativeStringWriter(0, file_path=parent_log, also_stdout=True)
    inherited.try_enqueue("before the fork\\n")
    assert inherited.flush() == 0
    held = open_on(parent_log)
    assert len(held) == 3, held

    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            assert open_on(parent_log) == set()
            replacement = _NativeStringWriter(0, file_path=child_log)
            assert open_on(child_log) & held
            del inherited
            gc.collect()
            for i in range(100):
                replacement.try_enqueue(f"child {i}\\n")
            assert replacement.close() == 0
            m = replacement.metrics()
            assert (m["written"], m["sink_errors"]) == (100, 0), m
            os.write(1, b"child on stdout\\n")
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    inherited.try_enqueue("after the fork\\n")
    assert inherited.close() == 0
    m = inherited.metrics()
    assert (m["written"], m["sink_errors"]) == (2, 0), m
"""


def test_a_child_keeps_none_of_the_inherited_descriptors(tmp_path):
    result = subprocess.run(
        [interpreters()[0], "-W", "ignore", "-c", textwrap.dedent(DESCRIPTORS), str(tmp_path)],
        env=child_env(), capture_output=True, text=True, timeout=LIMIT)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "before the fork\nchild on stdout\nafter the fork\n"
    assert (tmp_path / "parent.log").read_text() == "earlier\nbefore the fork\nafter the fork\n"
    assert (tmp_path / "child.log").read_text() == "".join(f"child {i}\n" for i in range(100))

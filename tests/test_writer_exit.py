"""Writers that are dropped while open, or still open at interpreter exit:
dropping waits without holding the interpreter lock, the lines queued by
exit are written, a stuck sink does not hang the exit, and a forked child
leaves the writer it inherited alone."""
import os
import pathlib
import subprocess
import textwrap
import time

import pytest

from dispatch_helpers import child_env
from test_module import _interpreters as interpreters

UNDER_TSAN = "libtsan" in os.environ.get("LD_PRELOAD", "")
EXIT_STALL_LIMIT = 5.0  # seconds without a written line before exit gives up on a writer


def start_python(interpreter, source, *args, **kwargs):
    """Runs `source`, a text or the path of a script."""
    env = child_env(unjoined_threads=True)
    program = [str(source)] if isinstance(source, pathlib.Path) else ["-c", textwrap.dedent(source)]
    return subprocess.Popen([interpreter, "-W", "ignore", *program, *map(str, args)], env=env,
                            **kwargs)


def run_python(interpreter, source, *args, timeout=120):
    child = start_python(interpreter, source, *args, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        out, err = child.communicate(timeout=timeout)
    finally:
        child.kill()
    assert child.returncode == 0, err
    return out, err


# Standard output is a pipe read by a daemon thread of the same process, so
# the writer's worker only makes progress while that thread gets the
# interpreter lock.
PIPED_STDOUT = """
    import atexit, gc, os, sys, threading

    def report():  # registered before the import: runs after the writers' exit handler
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(write_end)
        reader.join(30)
        sys.stderr.write(f"{received[0]}\\n")

    atexit.register(report)
    from vorlisk._rust import _NativeStringWriter

    read_end, write_end = os.pipe()
    os.dup2(write_end, 1)
    received = [0]

    def read_all():
        while chunk := os.read(read_end, 65536):
            received[0] += len(chunk)

    reader = threading.Thread(target=read_all, daemon=True)
    reader.start()
    writer = _NativeStringWriter(0, target="stdout")
    for _ in range(20_000):
        writer.try_enqueue("x" * 99 + "\\n")
    mode = sys.argv[1]
    if mode == "del":
        del writer
    elif mode == "gc":
        cycle = [writer]
        cycle.append(cycle)
        del writer, cycle
        gc.collect()
"""


@pytest.mark.parametrize("interpreter", interpreters())
@pytest.mark.parametrize("mode", ["del", "gc", "exit"])
def test_dropping_waits_with_the_interpreter_lock_released(interpreter, mode):
    _, err = run_python(interpreter, PIPED_STDOUT, mode, timeout=60)
    assert err.split()[-1] == str(20_000 * 100)


@pytest.mark.parametrize("interpreter", interpreters())
def test_lines_queued_by_exit_are_written_while_a_daemon_thread_lives(interpreter, tmp_path):
    path = tmp_path / "app.log"
    run_python(interpreter, """
        import atexit, sys, threading, time
        from vorlisk._rust import _NativeStringWriter

        writer = _NativeStringWriter(0, file_path=sys.argv[1], file_max_bytes=1 << 20,
                                     file_backup_count=100)

        def idle():  # while it runs at exit, this module's globals are never dropped
            time.sleep(3600)

        threading.Thread(target=idle, daemon=True).start()
        for i in range(200_000):
            writer.try_enqueue(f"line {i}\\n")

        def log_at_exit():  # registered after the import: runs before the writers' handler
            for i in range(1000):
                writer.try_enqueue(f"at exit {i}\\n")

        atexit.register(log_at_exit)
    """, path)
    lines = []
    for file in [path, *tmp_path.glob("app.log.*")]:
        lines += file.read_text().splitlines()
    expected = [f"line {i}" for i in range(200_000)] + [f"at exit {i}" for i in range(1000)]
    assert len(lines) == len(expected)
    assert set(lines) == set(expected)


# Nobody reads the process's standard output, so every write to it blocks
# once the pipe is full. "hook": a writer open at exit; "late": one made by
# an exit handler that runs after the writers' handler, so that only its
# drop during finalization waits for it.
STUCK_STDOUT = """
    import atexit, sys

    def make(name):
        globals()[name] = writer = _NativeStringWriter(0, target="stdout")
        for _ in range(100):
            writer.try_enqueue("z" * 10_000 + "\\n")

    if sys.argv[1] == "late":
        atexit.register(make, "late")  # registered before the import
    from vorlisk._rust import _NativeStringWriter
    if sys.argv[1] == "hook":
        make("open_at_exit")
"""


def test_a_stuck_sink_does_not_hang_the_exit():
    started = time.monotonic()  # before any child can begin its exit
    children = [start_python(interpreter, STUCK_STDOUT, mode, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
                for interpreter in interpreters() for mode in ("hook", "late")]
    try:
        for child in children:
            # Reading the output would unstick the writer: only wait.
            assert child.wait(timeout=60) == 0, child.stderr.read().decode()
    finally:
        for child in children:
            child.kill()
            child.communicate()
    assert time.monotonic() - started >= EXIT_STALL_LIMIT


@pytest.mark.skipif(UNDER_TSAN, reason="the thread sanitizer cannot start threads after a threaded fork")
@pytest.mark.parametrize("interpreter", interpreters())
@pytest.mark.parametrize("daemon", [False, True], ids=["dropped", "kept"])
def test_forked_child_neither_waits_nor_writes_for_the_inherited_writer(
        interpreter, daemon, tmp_path):
    child_log = tmp_path / "child.log"
    parent = start_python(interpreter, """
        import os, sys, threading, time
        from vorlisk._rust import _NativeStringWriter

        # Standard output is a pipe the test reads only once the child has
        # ended: this writer's worker is stuck, with lines still queued, when
        # the child inherits it.
        inherited = _NativeStringWriter(0, target="stdout")
        for i in range(100):
            inherited.try_enqueue(f"{i:04d} " + "p" * 9_995 + "\\n")
        exit_began_pipe, exit_began_end = os.pipe()
        started = time.monotonic()
        pid = os.fork()
        if pid == 0:
            # The child exits normally: exit handlers run, and without a
            # daemon thread module globals are dropped during finalization.
            own = _NativeStringWriter(0, file_path=sys.argv[1])
            for i in range(50_000):
                own.try_enqueue(f"child {i}\\n")
            if sys.argv[2] == "True":
                def idle():  # keeps the module's globals at exit
                    time.sleep(3600)
                threading.Thread(target=idle, daemon=True).start()
            os.write(exit_began_end, repr(time.monotonic()).encode())
            sys.exit(0)
        os.close(exit_began_end)
        while not (ended := os.waitpid(pid, os.WNOHANG))[0]:
            if time.monotonic() - started > 30:
                os.kill(pid, 9)
                sys.exit("the child hangs")
            time.sleep(0.01)
        exited = time.monotonic()
        code = os.waitstatus_to_exitcode(ended[1])
        exit_began = float(os.read(exit_began_pipe, 100))
        sys.stderr.write(f"child ended with {code} after an exit of {exited - exit_began}\\n")
        sys.stderr.flush()
    """, child_log, daemon, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        report = parent.stderr.readline()  # the parent's writer stays stuck until then
        out, err = parent.communicate(timeout=60)
    finally:
        parent.kill()
    assert parent.returncode == 0, report + err
    assert report.startswith("child ended with 0 after an exit of "), report + err
    # Waiting for the parent's worker would hold the exit up for at least the
    # exit stall limit; the child's own exit writes out its lines and ends.
    assert float(report.split()[-1]) < EXIT_STALL_LIMIT
    assert out == "".join(f"{i:04d} " + "p" * 9_995 + "\n" for i in range(100))
    assert child_log.read_text() == "".join(f"child {i}\n" for i in range(50_000))


# Three writers whose lock files this process holds on descriptors of its
# own: each worker waits for its lock until the process ends.
STUCK_LOCKS = """
    import fcntl, sys, time
    from vorlisk._rust import _NativeStringWriter
    writers, locks = [], []
    for n in range(3):
        path = f"{sys.argv[1]}/app{n}.log"
        writers.append(_NativeStringWriter(0, file_path=path))
        locks.append(open(path + ".lock", "r+"))
        fcntl.flock(locks[-1], fcntl.LOCK_EX)
        writers[-1].try_enqueue("stuck\\n")
    print(time.monotonic(), flush=True)
"""


def test_stuck_writers_hold_the_exit_up_for_one_stall_limit(tmp_path):
    children = []
    for n, interpreter in enumerate(interpreters()):
        (tmp_path / str(n)).mkdir()
        children.append(start_python(interpreter, STUCK_LOCKS, tmp_path / str(n),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    try:
        exit_began = [float(child.stdout.readline()) for child in children]
        exited = [None] * len(children)
        deadline = time.monotonic() + 60
        while None in exited and time.monotonic() < deadline:
            for n, child in enumerate(children):
                if exited[n] is None and child.poll() is not None:
                    exited[n] = time.monotonic() - exit_began[n]
                    assert child.returncode == 0, child.stderr.read()
            time.sleep(0.01)
    finally:
        for child in children:
            child.kill()
            child.communicate()
    for seconds in exited:
        # The limit runs from the start of the write-out, after the time was
        # printed. Waited for one after another, the writers would hold the
        # exit up for three limits; the bound leaves a whole limit for the
        # rest of the exit and for noticing it.
        assert seconds is not None and EXIT_STALL_LIMIT <= seconds < 2 * EXIT_STALL_LIMIT


# A process started by multiprocessing keeps its writer in a global and
# returns with 20,000 lines of 4 KB queued. Started by fork (or by the
# fork server) it ends with os._exit, never running the exit handlers.
MULTIPROCESSING_CHILD = """
import multiprocessing, sys
from vorlisk._rust import _NativeStringWriter

def child(path):
    global writer
    writer = _NativeStringWriter(0, file_path=path)
    for i in range(20_000):
        writer.try_enqueue(f"{i:05d} " + "x" * 4089 + "\\n")

if __name__ == "__main__":
    process = multiprocessing.get_context(sys.argv[1]).Process(target=child, args=(sys.argv[2],))
    process.start()
    process.join()
    sys.exit(process.exitcode)
"""


@pytest.mark.parametrize("interpreter, method", [
    *((interpreter, "fork") for interpreter in interpreters()),
    (interpreters()[0], "forkserver"),
    (interpreters()[0], "spawn"),
])
def test_a_multiprocessing_child_writes_out_its_queued_lines(interpreter, method, tmp_path):
    script, log = tmp_path / "main.py", tmp_path / "child.log"
    script.write_text(MULTIPROCESSING_CHILD)
    child = start_python(interpreter, script, method, log, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        _, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, err
    with open(log) as file:
        numbers = [int(line[:5]) for line in file]
    assert numbers == list(range(20_000))


# The child's target returns while a non-daemon thread still logs: the
# child joins that thread after its write-out, then ends with os._exit.
MULTIPROCESSING_CHILD_THREAD = """
import multiprocessing, sys, threading, time
from vorlisk._rust import _NativeStringWriter

def late_lines(writer):
    time.sleep(0.3)
    for i in range(4000):
        writer.enqueue_outcome(f"{i:05d} " + "x" * 4089 + "\\n", False)
    writer.try_enqueue("04000 last\\n")

def child(path):
    global writer
    writer = _NativeStringWriter(0, file_path=path)
    threading.Thread(target=late_lines, args=(writer,)).start()

if __name__ == "__main__":
    process = multiprocessing.get_context("fork").Process(target=child, args=(sys.argv[1],))
    process.start()
    process.join()
    sys.exit(process.exitcode)
"""


@pytest.mark.parametrize("interpreter", interpreters())
def test_a_multiprocessing_child_writes_what_its_threads_log_after_the_write_out(
        interpreter, tmp_path):
    script, log = tmp_path / "main.py", tmp_path / "child.log"
    script.write_text(MULTIPROCESSING_CHILD_THREAD)
    run_python(interpreter, script, log)
    with open(log) as file:
        numbers = [int(line[:5]) for line in file]
    assert numbers == list(range(4001))

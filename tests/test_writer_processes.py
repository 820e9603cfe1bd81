"""The writer across processes: several processes sharing one rotating log
file, a forked child replacing an inherited writer, standard output, and a
log file that reaches the process's file size limit."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import pytest

from vorlisk._rust import _NativeStringWriter as Writer


def run_python(source, timeout=120, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True,
                          timeout=timeout, env=os.environ.copy(), **kwargs)


@pytest.mark.parametrize("lines_each, max_bytes", [
    (20_000, 64 * 1024),
    (1_500, 2048),  # a file holds fewer lines than a hold writes: rotations inside holds
])
def test_processes_share_one_rotating_file(tmp_path, lines_each, max_bytes):
    processes, backups = 4, 200
    path = tmp_path / "shared.log"
    writer_source = textwrap.dedent(f"""
        import sys
        from vorlisk._rust import _NativeStringWriter
        name = sys.argv[1]
        writer = _NativeStringWriter(1024, file_path={str(path)!r},
                                     file_max_bytes={max_bytes}, file_backup_count={backups})
        for i in range({lines_each}):
            writer.enqueue_blocking(f"{{name}} {{i:06d}} " + "x" * (i % 23) + "\\n")
        assert writer.close() == 0
        metrics = writer.metrics()
        assert metrics["written"] == {lines_each}, metrics
        assert metrics["sink_errors"] == 0, metrics
    """)
    children = [subprocess.Popen([sys.executable, "-c", writer_source, f"p{n}"],
                                 env=os.environ.copy(), stderr=subprocess.PIPE)
                for n in range(processes)]
    for child in children:
        _, err = child.communicate(timeout=300)
        assert child.returncode == 0, err.decode()

    files = [path] + sorted(tmp_path.glob("shared.log.[0-9]*"))
    assert len(files) < backups + 1, "backups ran out: lines would have been lost"
    pattern = re.compile(r"(p\d) (\d{6}) (x*)\n")
    seen = {f"p{n}": [] for n in range(processes)}
    for file in files:
        data = file.read_bytes()
        lines = data.decode().splitlines(keepends=True)
        assert len(data) < max_bytes or len(lines) == 1, file
        for line in lines:
            match = pattern.fullmatch(line)
            assert match, f"torn or interleaved line {line!r} in {file.name}"
            name, number, padding = match.group(1), int(match.group(2)), match.group(3)
            assert len(padding) == number % 23
            seen[name].append(number)
    for name, numbers in seen.items():
        assert sorted(numbers) == list(range(lines_each)), name
    # Each process's lines keep their order from the newest backup to the file.
    order = [path] + sorted(tmp_path.glob("shared.log.[0-9]*"),
                            key=lambda p: -int(p.name.rsplit(".", 1)[1]))
    for name in seen:
        in_order = [int(line.split()[1]) for file in order[1:] + order[:1]
                    for line in file.read_text().splitlines() if line.startswith(name + " ")]
        assert in_order == list(range(lines_each))


def test_a_write_cut_short_in_a_batch_loses_only_its_lines(tmp_path):
    # Lines that do not fit under the file size limit are lost one by one,
    # the first of them torn; the lines after the limit is lifted start on
    # a line of their own.
    path = tmp_path / "app.log"
    lines = [f"{i:02d}" + "x" * 97 + "\n" for i in range(20)]  # 100 bytes each
    result = run_python(f"""
        import fcntl, resource, time
        from vorlisk._rust import _NativeStringWriter
        writer = _NativeStringWriter(0, file_path={str(path)!r})
        with open({str(path) + ".lock"!r}, "r+") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            writer.try_enqueue("first\\n")
            while writer.metrics()["in_flight"] != 1:  # it waits for the lock
                time.sleep(0.001)
            for line in {lines!r}:  # taken together once the lock is free
                writer.try_enqueue(line)
            soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            resource.setrlimit(resource.RLIMIT_FSIZE, (6 + 7 * 100 + 50, hard))
            fcntl.flock(lock, fcntl.LOCK_UN)
            assert writer.flush() == 0
        m = writer.metrics()
        assert (m["written"], m["sink_errors"], m["dequeued"]) == (8, 13, 21), m
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        writer.try_enqueue("after\\n")
        assert writer.close() == 0
        assert writer.metrics()["written"] == 9
    """)
    assert result.returncode == 0, result.stderr.decode()
    assert path.read_text() == "first\n" + "".join(lines[:7]) + lines[7][:50] + "\nafter\n"


UNDER_TSAN = "libtsan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_TSAN, reason="the thread sanitizer cannot start threads after a threaded fork")
def test_forked_child_abandons_and_replaces_the_writer(tmp_path):
    inherited = Writer(0, file_path=str(tmp_path / "parent.log"))
    for i in range(1000):
        inherited.try_enqueue(f"parent {i}\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        pid = os.fork()
    if pid == 0:  # the child: never return into pytest
        status = 1
        try:
            signal.alarm(20)  # a hang fails the test instead of blocking it
            inherited.abandon()
            assert inherited.close() == 0
            replacement = Writer(0)
            assert replacement.try_enqueue("child line")
            assert replacement.flush() == 0
            assert replacement.messages() == ["child line"]
            assert replacement.close() == 0
            del inherited  # abandoned: neither waits nor joins
            status = 0
        finally:
            os._exit(status)
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        assert time.monotonic() < deadline, "forked child hangs"
        time.sleep(0.01)
    assert os.waitstatus_to_exitcode(status) == 0
    assert inherited.close() == 0
    assert (tmp_path / "parent.log").read_text().count("\n") == 1000


def test_stdout_writer_writes_file_descriptor_one():
    result = run_python("""
        from vorlisk._rust import _NativeStringWriter
        writer = _NativeStringWriter(0, target="stdout")
        for i in range(3):
            writer.try_enqueue(f"line {i}\\n")
        writer.try_enqueue("")
        writer.try_enqueue("big " + "y" * 1_000_000 + "\\n")
        assert writer.close() == 0
        assert writer.metrics()["written"] == 5
        assert writer.messages() == []
    """)
    assert result.returncode == 0, result.stderr.decode()
    out = result.stdout.decode()
    assert out.startswith("line 0\nline 1\nline 2\nbig yyy")
    assert len(out) == 21 + 4 + 1_000_000 + 1


def test_fan_out_keeps_stdout_when_the_file_fails(tmp_path):
    path = tmp_path / "app.log"
    result = run_python(f"""
        import os
        from vorlisk._rust import _NativeStringWriter
        writer = _NativeStringWriter(0, file_path={str(path)!r}, also_stdout=True, target="bogus")
        writer.try_enqueue("both\\n")
        writer.flush()
        os.remove({str(path)!r})
        os.mkdir({str(path)!r})  # the file sink can no longer open its path
        for i in range(3):
            writer.try_enqueue(f"stdout only {{i}}\\n")
        writer.close()
        m = writer.metrics()
        assert (m["written"], m["sink_errors"]) == (4, 3), m
    """)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode() == "both\n" + "".join(f"stdout only {i}\n" for i in range(3))


def test_stuck_stdout_is_given_up_on_after_the_limit():
    # Nobody reads the child's stdout pipe, so its writer blocks in write(2).
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import os, sys, time
        from vorlisk._rust import _NativeStringWriter
        writer = _NativeStringWriter(0, target="stdout")
        for _ in range(4):
            writer.try_enqueue("z" * 200_000 + "\\n")
        while writer.metrics()["in_flight"] != 1:
            time.sleep(0.001)
        time.sleep(0.05)
        assert writer.metrics()["in_flight"] == 1
        started = time.monotonic()
        undrained = writer.close(0.2)
        waited = time.monotonic() - started
        m = writer.metrics()
        sys.stderr.write(f"{undrained} {waited:.3f} {m['closed']} {m['worker_done']}\\n")
        sys.stderr.flush()
        os._exit(0)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=os.environ.copy())
    try:
        deadline = time.monotonic() + 60
        while child.poll() is None:
            assert time.monotonic() < deadline, "close did not give up"
            time.sleep(0.01)
        report = child.stderr.read().decode().split()
    finally:
        child.kill()
        child.communicate()
    assert child.returncode == 0, report
    undrained, waited, closed, done = report[-4:]
    assert int(undrained) == 4
    assert 0.18 <= float(waited) < 5
    assert (closed, done) == ("True", "True")


@pytest.mark.skipif(UNDER_TSAN, reason="threads ended at exit leave their thread-local storage to "
                    "the C runtime, which frees it from another thread unseen by the sanitizer")
def test_threads_waiting_in_the_writer_at_interpreter_exit():
    # Daemon threads woken while the interpreter finalizes are ended by it
    # as they take the interpreter lock back; the process must exit cleanly.
    result = run_python("""
        import sys, threading, time
        from vorlisk._rust import _NativeStringWriter
        writer = _NativeStringWriter(1, paused=True)
        writer.try_enqueue("a")
        def push():
            while True:
                writer.enqueue_blocking("b")
        def flush():
            while True:
                writer.flush()
        for target in (push, flush) * 3:
            threading.Thread(target=target, daemon=True).start()
        time.sleep(0.1)
        class WakeAtExit:
            def __del__(self):
                writer.resume()
                time.sleep(0.2)
        sys.modules["wake_at_exit"] = WakeAtExit()
    """, timeout=60)
    assert result.returncode == 0, result.stderr.decode()

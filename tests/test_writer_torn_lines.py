"""Processes sharing one log file when some of them stop in the middle of a
write (a file size limit, a full disk, SIGKILL): what they leave is at most
one fragment each, on a line of its own, and every other line is whole."""
import json
import os
import signal
import subprocess
import sys
import textwrap

from vorlisk._rust import _NativeStringWriter as Writer


def python(source, *args):
    return [sys.executable, "-c", textwrap.dedent(source), *map(str, args)]


def test_a_line_after_another_process_tore_its_own_starts_afresh(tmp_path):
    path = tmp_path / "app.log"
    writer = Writer(0, file_path=str(path))
    writer.try_enqueue("A" * 100 + "\n")
    assert writer.flush() == 0
    # Only 49 bytes of its 101 fit under the child's file size limit.
    subprocess.run(python("""
        import resource, sys
        from vorlisk._rust import _NativeStringWriter
        resource.setrlimit(resource.RLIMIT_FSIZE, (150, resource.RLIM_INFINITY))
        writer = _NativeStringWriter(0, file_path=sys.argv[1])
        writer.try_enqueue("B" * 100 + "\\n")
        writer.close()
        assert writer.metrics()["sink_errors"] == 1
    """, path), check=True, timeout=60)
    writer.try_enqueue('{"ok":1}\n')
    assert writer.close() == 0
    m = writer.metrics()
    assert (m["written"], m["sink_errors"]) == (2, 0)
    assert path.read_text() == "A" * 100 + "\n" + "B" * 49 + "\n" + '{"ok":1}\n'


# One process of a group sharing the file. "limited" sets its file size
# limit while its worker waits for the lock with a batch whose long line
# then crosses it; "killed" writes until the test kills it, at most 200
# lines of 20 KB. Between the size "limited" reads under the lock and
# its worker's hold, the others may write anything they have left, so its
# limit leaves room for all of it (about 7 MB from the healthy processes,
# 4 MB from "killed") and the long line is longer still.
SHARED_WRITER = """
    import fcntl, json, os, resource, sys, time
    from vorlisk._rust import _NativeStringWriter

    name, path, lines = sys.argv[1], sys.argv[2], int(sys.argv[3])
    writer = _NativeStringWriter(256, file_path=path)
    room = 12_000_000

    def line(i, pad=50):
        return json.dumps({"p": name, "i": i, "pad": "x" * pad}, separators=(",", ":")) + "\\n"

    if name == "killed":
        for i in range(200):
            writer.enqueue_blocking(line(i, pad=20_000))
            if i == 100:
                print("under way", flush=True)
        time.sleep(3600)
    if name == "limited":
        while os.path.getsize(path) < 200_000:  # the others are under way
            time.sleep(0.001)
        with open(path + ".lock", "r+") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            writer.try_enqueue(line(0))
            while writer.metrics()["in_flight"] != 1:
                time.sleep(0.001)
            batch = [line(1), line(2, pad=room + 1_000_000), line(3)]
            for text in batch:
                writer.try_enqueue(text)
            limit = os.path.getsize(path) + len(line(0)) + len(line(1)) + room
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        assert writer.close() == 0
        m = writer.metrics()
        assert (m["written"], m["sink_errors"]) == (2, 2), m
        sys.exit(0)
    for i in range(lines):
        writer.enqueue_blocking(line(i))
    assert writer.close() == 0
    m = writer.metrics()
    assert (m["written"], m["sink_errors"]) == (lines, 0), m
"""


def test_processes_stopped_mid_write_leave_one_fragment_each(tmp_path):
    path, lines_each = tmp_path / "shared.log", 20_000
    healthy = [f"healthy{n}" for n in range(4)]
    children = {name: subprocess.Popen(python(SHARED_WRITER, name, path, lines_each),
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for name in healthy + ["limited", "killed"]}
    try:
        assert children["killed"].stdout.readline() == "under way\n"
        children["killed"].send_signal(signal.SIGKILL)
        for name, child in children.items():
            _, err = child.communicate(timeout=300)
            if name != "killed":
                assert child.returncode == 0, f"{name}: {err}"
    finally:
        for child in children.values():
            child.kill()
    # However the others' writes fell, a line written after them all starts
    # on a line of its own.
    last = Writer(0, file_path=str(path))
    last.try_enqueue(json.dumps({"p": "last", "i": 0}) + "\n")
    assert last.close() == 0

    seen = {name: [] for name in [*children, "last"]}
    fragments = []
    for text in path.read_text().split("\n")[:-1]:
        try:
            record = json.loads(text)
        except ValueError:
            fragments.append(text)
            continue
        seen[record["p"]].append(record["i"])
    for name in healthy:
        assert sorted(seen[name]) == list(range(lines_each)), name
    assert sorted(seen["limited"]) == [0, 1]
    assert seen["last"] == [0]
    # The limited process tore its long line; the killed one may have torn
    # the line it was writing.
    def owner(fragment):
        for name in ("limited", "killed"):
            head = f'{{"p":"{name}","i":'
            if fragment.startswith(head) or head.startswith(fragment):
                return name
        return fragment[:100]
    assert sorted(map(owner, fragments)) in (["limited"], ["killed", "limited"])
    assert path.read_text().endswith("\n")

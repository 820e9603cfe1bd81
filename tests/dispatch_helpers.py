"""Helpers shared by the callable-dispatcher tests."""
import os
import threading
import time


def thread_count():
    return len(os.listdir("/proc/self/task"))


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class Gate:
    """A sink that blocks on its first call until opened; records every line."""

    def __init__(self, owner_pid=None):
        self.opened = threading.Event()
        self.entered = threading.Event()
        self.lines = []
        self.owner_pid = owner_pid

    def __call__(self, line):
        if self.owner_pid is None or os.getpid() == self.owner_pid:
            self.entered.set()
            self.opened.wait(30)
        self.lines.append(line)

    def open(self):
        self.opened.set()


def under_thread_sanitizer():
    return "libtsan" in os.environ.get("LD_PRELOAD", "")


def interpreters():
    """Every Python 3.11+ on this machine: the workers must meet each one's
    finalization."""
    import pathlib
    import sys

    def version_of(directory):
        try:
            return tuple(int(part) for part in directory.name.split(".")[:2])
        except ValueError:
            return (0, 0)

    candidates = [sys.executable, "/usr/bin/python3"]
    candidates += [d / "bin" / "python3" for d in pathlib.Path("/root/.pyenv/versions").glob("3.*")
                   if version_of(d) >= (3, 11)]
    found = {}
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            found[os.path.realpath(candidate)] = str(candidate)
    return sorted(found.values())

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


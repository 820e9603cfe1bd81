"""Helpers shared by the tests: of the callable dispatcher, of time and
sanitizers, of child interpreters."""
import ctypes
import os
import pathlib
import threading
import time

import vorlisk._rust as rust


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


def under_sanitizer():
    preload = os.environ.get("LD_PRELOAD", "")
    return "libtsan" in preload or "libasan" in preload


def child_env(unjoined_threads=False):
    """The environment of a child interpreter that imports this build of the
    extension. With `unjoined_threads`, ThreadSanitizer does not report the
    threads that the child's exit ends without a join: that is what such a
    child tests, not a leak."""
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(rust.__file__).parent.parent))
    if unjoined_threads:
        env["TSAN_OPTIONS"] = env.get("TSAN_OPTIONS", "") + ":report_thread_leaks=0"
    return env


# What periods that must outlast a preempted thread are multiplied by: the
# sanitizer builds run their threads several times slower.
TIME_SCALE = 4 if under_sanitizer() else 1


def thread_states():
    """The interpreter's thread states, counted holding the interpreter lock
    (under which each of them is made and deleted)."""
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
    api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
    api.PyThreadState_Next.argtypes = [ctypes.c_void_p]
    api.PyThreadState_Next.restype = ctypes.c_void_p
    count = 0
    state = api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Get())
    while state:
        count += 1
        state = api.PyThreadState_Next(state)
    return count

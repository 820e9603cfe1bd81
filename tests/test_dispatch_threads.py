"""Dispatch workers' Python thread states: made and deleted only under the
interpreter lock, the worker's own while sinks run, and never in the way of
a fork."""
import ctypes
import os
import signal
import sys
import threading
import time
import warnings

import pytest

import vorlisk._rust as rust
from dispatch_helpers import Gate, thread_states, under_sanitizer, wait_for

CallableDispatcher = rust.CallableDispatcher
api = ctypes.pythonapi
api.PyThreadState_Get.restype = ctypes.c_void_p
api.PyGILState_GetThisThreadState.restype = ctypes.c_void_p
api.PyGILState_Release.argtypes = [ctypes.c_int]


def test_sinks_run_on_a_thread_state_of_the_worker_s_own():
    seen = []

    def sink(line):
        own = api.PyGILState_GetThisThreadState() == api.PyThreadState_Get()
        if own:  # else it would wait for ever, for the lock this thread holds
            api.PyGILState_Release(api.PyGILState_Ensure())
        seen.append((own, api.PyGILState_Check(), threading.get_ident() in sys._current_frames()))

    d = CallableDispatcher()
    d.add(sink, enabled=True)
    for _ in range(3):
        d.enqueue("x\n", 20, overflow="block")
        d.flush()
    d.stop(drain=True)
    assert seen == [(True, 1, True)] * 3


def open_from_a_sink(line):
    """A sink that starts (and retires) a worker of another dispatcher."""
    inner = CallableDispatcher()
    inner.add(len, enabled=True)
    inner.stop(drain=True)  # inside a callback: retires without waiting


@pytest.mark.parametrize("ending", ["delivered", "never-delivered", "abandoned", "dropped",
                                    "opened-by-a-sink"])
def test_every_worker_thread_state_is_deleted(ending):
    before = thread_states()
    gate = Gate()
    sink = {"abandoned": gate, "opened-by-a-sink": open_from_a_sink}.get(ending, len)
    for _ in range(5):
        d = CallableDispatcher()
        d.add(sink, enabled=True)
        if ending != "never-delivered":
            d.enqueue("x\n", 20, overflow="block")
        if ending == "abandoned":
            assert gate.entered.wait(10)
            assert d.flush(stall_timeout=0) == 1
            gate.entered.clear()
        elif ending == "dropped":
            del d  # the worker delivers what is queued, then ends
            continue
        d.stop(drain=True)
    gate.open()
    assert wait_for(lambda: thread_states() <= before), (thread_states(), before)


@pytest.mark.skipif(under_sanitizer(), reason="too slow to fork often enough under a sanitizer, "
                    "and ThreadSanitizer cannot start threads after a threaded fork")
def test_forks_while_workers_start_leave_no_child_hanging():
    """Threads start and stop workers while the main thread forks children
    that exit at once: a child must never wait in fork() for a lock that a
    worker of the parent held."""
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            d = CallableDispatcher()
            d.add(len, enabled=True)
            d.enqueue("x\n", 20, overflow="block")
            d.stop(drain=True)

    threads = [threading.Thread(target=churn) for _ in range(4)]
    for thread in threads:
        thread.start()
    forks, hung, running = 0, [], {}
    forking_until = time.monotonic() + 12

    def forking():  # for 12 s, and for at least 100 children however slow they are
        return forks < 100 or time.monotonic() < forking_until

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork with threads
            while running or forking():
                if len(running) < 4 and forking():
                    pid = os.fork()
                    if pid == 0:  # pragma: no cover - the child
                        os._exit(0)
                    forks += 1
                    running[pid] = time.monotonic()
                    continue
                for pid, started in list(running.items()):
                    if os.waitpid(pid, os.WNOHANG)[0]:
                        del running[pid]
                    elif time.monotonic() - started > 5:
                        hung.append(pid)
                        os.kill(pid, signal.SIGKILL)
                        os.waitpid(pid, 0)
                        del running[pid]
                time.sleep(0.0005)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    assert hung == []

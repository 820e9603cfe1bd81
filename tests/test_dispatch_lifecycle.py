"""CallableDispatcher: the overflow policy, drains with stall timeouts, and
the lifecycle operations configure, sync, stop, disable, flush and remove."""
import os
import pathlib
import subprocess
import textwrap
import threading
import time
import warnings

import pytest

import vorlisk._rust as rust
from dispatch_helpers import TIME_SCALE, Gate, child_env, wait_for

CallableDispatcher = rust.CallableDispatcher
DROP_TEXT = "vorlisk callable sinks dropped {} delivery record(s): queue full"


@pytest.fixture
def gates():
    """Gates opened when the test ends, so that no stuck worker outlives it."""
    made = []

    def make():
        made.append(Gate())
        return made[-1]

    yield make
    for gate in made:
        gate.open()


def stuck_with_queue(gate, maxsize=10, queued=2):
    """A dispatcher whose worker is inside `gate` with `queued` records behind."""
    d = CallableDispatcher()
    d.configure([gate], maxsize=maxsize)
    d.enqueue("held\n", 20, overflow="block")
    assert gate.entered.wait(10)
    for i in range(queued):
        assert d.enqueue(f"queued {i}\n", 20, overflow="block")
    return d


# ---- enqueue and the overflow policy ----------------------------------------

@pytest.mark.parametrize("overflow", ["drop", "Block", "block ", "blocks", ""])
def test_anything_but_block_drops_on_a_full_queue(gates, overflow):
    d = stuck_with_queue(gates(), maxsize=1, queued=1)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert d.enqueue("dropped\n", 20, overflow=overflow) is False
    assert d.metrics()["callable_dropped"] == 1
    assert [str(w.message) for w in caught] == [DROP_TEXT.format(1)]
    assert d._channel.qsize == 1


def test_drop_warnings_come_at_the_first_and_every_thousandth(gates):
    d = stuck_with_queue(gates(), maxsize=1, queued=1)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(2000):
            d.enqueue("x\n", 20, overflow="drop")
    assert [str(w.message) for w in caught] == [DROP_TEXT.format(n) for n in (1, 1000, 2000)]
    d.reset_drop_count()
    assert d.metrics()["callable_dropped"] == 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        d.enqueue("x\n", 20, overflow="drop")
    assert [str(w.message) for w in caught] == [DROP_TEXT.format(1)]


def test_block_waits_for_room_with_the_interpreter_lock_released(gates):
    gate = gates()
    d = stuck_with_queue(gate, maxsize=1, queued=1)
    results = []
    producer = threading.Thread(
        target=lambda: results.append(d.enqueue("blocked\n", 20, overflow="block")))
    producer.start()
    # This thread keeps running Python while the producer waits.
    assert wait_for(lambda: d._channel.blocked_producers == 1)
    assert results == []
    gate.open()
    producer.join(10)
    assert results == [True]
    assert d.flush() == 0
    assert gate.lines == ["held\n", "queued 0\n", "blocked\n"]
    assert d.metrics()["callable_dropped"] == 0


def test_blocked_producer_gives_up_when_its_generation_is_abandoned(gates):
    d = stuck_with_queue(gates(), maxsize=1, queued=1)
    channel = d._channel
    results = []
    producer = threading.Thread(
        target=lambda: results.append(d.enqueue("blocked\n", 20, overflow="block")))
    producer.start()
    assert wait_for(lambda: channel.blocked_producers == 1)
    assert d.flush(stall_timeout=0.1) == 3  # held, queued, and the blocked producer
    producer.join(10)
    assert results == [False]
    assert channel.blocked_producers == 0
    assert d.metrics()["callable_dropped"] == 0


def test_enqueue_without_a_taker_is_handled_and_counts_nothing():
    d = CallableDispatcher()
    assert d.enqueue("x\n", 20, overflow="drop") is True  # no generation
    d.add(print, 30, enabled=True)
    assert d.enqueue("x\n", 20, overflow="drop") is True  # no sink for the level
    assert d._channel.unfinished_tasks == 0
    d._channel.retire()
    assert d.enqueue("x\n", 30, overflow="drop") is False  # retired generation
    assert d.metrics()["callable_dropped"] == 0
    with pytest.raises(TypeError) as info:
        d.enqueue(b"x\n", 20, overflow="drop")
    assert info.value.__notes__ == ["while processing 'line'"]
    d.stop(drain=True)


def test_unbounded_queue_never_reports_full(gates):
    d = stuck_with_queue(gates(), maxsize=0, queued=5000)
    assert d.metrics()["callable_depth"] == 5000
    assert d.metrics()["callable_dropped"] == 0


# ---- idle and the halt states ----------------------------------------------

def test_idle_follows_the_active_generation_and_the_halt_states(gates):
    d = CallableDispatcher()
    assert d.idle()
    token = d.add(print, enabled=True)
    assert not d.idle()
    d.stop(drain=False)
    assert d.idle()
    d.add(print, enabled=True)  # halted: registered, nothing opens
    assert d.idle() and d._channel is None
    d.sync([print], maxsize=4)  # callbacks resume
    assert not d.idle()
    d.sync(None, maxsize=4)
    assert d.idle()
    d.add(print, enabled=True)
    assert d.idle()
    d.configure([], maxsize=4)  # runtime sinks exist: a generation opens
    assert not d.idle()
    for t in (token, token + 1, token + 2):
        d.remove(t)
    assert d.idle()  # the last sink went; not halted
    d.add(print, enabled=True)
    assert not d.idle()
    d.stop(drain=True)


@pytest.mark.parametrize("operation", ["flush", "stop-drain", "stop", "disable", "configure"])
def test_a_sink_that_never_returns_is_abandoned_after_the_stall_timeout(gates, operation):
    d = stuck_with_queue(gates(), queued=2)
    channel = d._channel
    call = {
        "flush": lambda: d.flush(0.2),
        "stop-drain": lambda: d.stop(drain=True, stall_timeout=0.2),
        "stop": lambda: d.stop(drain=False, stall_timeout=0.2),
        "disable": lambda: d.disable(stall_timeout=0.2),
        "configure": lambda: d.configure([print], maxsize=4, stall_timeout=0.2),
    }[operation]
    started = time.monotonic()
    assert call() == 3
    elapsed = time.monotonic() - started
    assert 0.15 <= elapsed < 3.0 * TIME_SCALE
    assert channel.accepting is False
    assert channel.is_alive()  # leaked, never killed
    assert channel.qsize == 0  # its queued records were released
    if operation == "configure":
        assert d._channel is not None and d._channel is not channel
    else:
        assert d._channel is None and d.idle()


def test_after_abandonment_only_configure_resumes(gates):
    d = stuck_with_queue(gates(), queued=1)
    assert d.flush(stall_timeout=0.05) == 2
    d.add(print, enabled=True)
    d.sync([print], maxsize=4)
    assert d._channel is None and d.idle()
    got = []
    d.configure([got.append], maxsize=4)
    d.enqueue("fresh\n", 20, overflow="block")
    assert d.flush(stall_timeout=5) == 0  # the abandoned generation does not hold it up
    assert got == ["fresh\n"]
    d.stop(drain=True)


def test_zero_stall_timeout(gates):
    d = CallableDispatcher()
    d.add(print, enabled=True)
    assert d.flush(stall_timeout=0) == 0  # nothing pending
    d.stop(drain=True)
    d = stuck_with_queue(gates(), queued=1)
    assert d.flush(stall_timeout=0) == 2


def test_steady_progress_is_never_abandoned():
    # Twelve records of a tenth of the stall timeout each take longer than
    # the timeout in all, and leave the worker nine tenths of it to spare
    # between any two of them.
    stall = 1.0 * TIME_SCALE
    d = CallableDispatcher()
    d.configure([lambda line: time.sleep(stall / 10)], maxsize=0)
    started = time.monotonic()
    for _ in range(12):
        d.enqueue("x\n", 20, overflow="block")
    assert d.stop(drain=True, stall_timeout=stall) == 0
    assert time.monotonic() - started > stall


def test_abandonment_comes_a_stall_timeout_after_the_last_progress(gates):
    """The drain learns of the progress only at its deadline; the stall
    still counts from the progress, not from that deadline."""
    stall = 1.0 * TIME_SCALE
    stuck = gates()
    progressed = []

    def sink(line):
        if line == "quick\n":
            time.sleep(stall / 10)
            progressed.append(time.monotonic())
        else:
            stuck(line)

    d = CallableDispatcher()
    d.configure([sink], maxsize=0)
    d.enqueue("quick\n", 20, overflow="block")
    d.enqueue("stuck\n", 20, overflow="block")
    started = time.monotonic()
    assert d.flush(stall_timeout=stall) == 1
    ended = time.monotonic()
    # The record was delivered after the sink noted the time.
    assert ended - progressed[0] >= stall
    # A fresh stall from the deadline at which the drain learned of the
    # progress would end two stalls after the flush began; counted from the
    # progress, a tenth of a stall in, it leaves nine tenths to spare.
    assert ended - started < 2 * stall


def test_joining_a_retired_generation_is_bounded_by_the_stall_rule(gates):
    """A generation retired while a flush drains it is joined; a record that a
    late producer queued behind the drain's targets may hold its worker in a
    sink forever, and the join must give up on it as the drain would."""
    slow = threading.Event()
    stuck = gates()

    def sink(line):
        if line == "slow\n":
            slow.wait(10)
        else:
            stuck(line)

    d = CallableDispatcher()
    d.configure([sink], maxsize=0)
    channel = d._channel
    d.enqueue("slow\n", 20, overflow="block")
    results = []
    flusher = threading.Thread(target=lambda: results.append(d.flush(stall_timeout=1.0)))
    flusher.start()
    time.sleep(0.2)  # the flush now waits for "slow" alone
    d.enqueue("stuck\n", 20, overflow="block")
    channel.retire()
    slow.set()
    flusher.join(20)
    assert not flusher.is_alive()
    assert results == [1]
    assert d._channel is None  # abandoned, hence taken out


# ---- configure and sync ------------------------------------------------------

def test_configure_replaces_sinks_drains_predecessors_and_resets_counters(gates):
    d = CallableDispatcher()
    before, after = [], []
    gate = gates()

    def first(line):
        gate(line)
        before.append(line)

    d.configure([first], maxsize=10)
    d.add(lambda line: 1 / 0, enabled=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        d.enqueue("one\n", 20, overflow="block")
        assert gate.entered.wait(10)
        for i in range(10):
            d.enqueue(f"{i}\n", 20, overflow="block")
        assert d.enqueue("full\n", 20, overflow="drop") is False
    gate.open()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        d.flush()
    assert d.metrics()["callable_errors"] == 11 and d.metrics()["callable_dropped"] == 1
    d.remove(1)
    d.enqueue("two\n", 20, overflow="block")
    assert d.configure([after.append], maxsize=3) == 0  # waited for "two"
    assert before[-1] == "two\n"
    assert list(d.metrics().values()) == [0, 0, 0, 3]
    d.enqueue("three\n", 20, overflow="block")
    d.flush()
    assert after == ["three\n"] and "three\n" not in before


def test_configure_with_nothing_registered_opens_nothing():
    d = CallableDispatcher()
    assert d.configure([], maxsize=0) == 0
    assert d._channel is None and d.idle()


class AlwaysEqual:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__

    def __call__(self, line):
        pass


def test_sync_matches_by_identity_and_never_waits(gates):
    gate = gates()
    other = AlwaysEqual()
    d = CallableDispatcher()
    d.sync([gate, other], maxsize=10)
    first = d._channel
    d.enqueue("x\n", 20, overflow="block")
    assert gate.entered.wait(10)
    d.sync([gate, other], maxsize=10)
    assert d._channel is first
    d.sync([other, gate], maxsize=10)  # reordered: a new generation, no wait
    assert gate.lines == []  # the first generation's worker is still inside the sink
    second = d._channel
    assert second is not first and first.accepting is False
    d.sync([other, gate], maxsize=11)
    third = d._channel
    assert third is not second
    d.sync([AlwaysEqual(), gate], maxsize=11)  # equal but not the same object
    assert d._channel is not third
    gate.open()
    assert d.stop(drain=True) == 0


# ---- remove and finalizers ---------------------------------------------------

def test_remove_of_an_unknown_token_still_calls_the_finalizer():
    d = CallableDispatcher()
    called = []
    assert d.remove(7, finalizer=lambda: called.append(True)) == (False, 0)
    assert called == [True]

    def broken():
        raise RuntimeError("finalizer failed")

    with pytest.raises(RuntimeError, match="finalizer failed"):
        d.remove(7, finalizer=broken)


def test_remove_of_the_last_sink_retires_without_halting():
    d = CallableDispatcher()
    token = d.add(print, enabled=True)
    assert d.remove(token) == (True, 0)
    assert d._channel is None and d.idle()
    d.add(print, enabled=True)
    assert not d.idle()
    d.stop(drain=True)


def test_finalizer_runs_once_on_the_worker_after_the_sinks_last_delivery():
    d = CallableDispatcher()
    events = []
    token = None

    def sink(line):
        events.append(("sink", line, threading.get_ident()))
        if line == "0\n":
            # Inside a callback remove waits for nothing: the records still
            # reserved for this sink keep the finalizer deferred.
            assert d.remove(token, finalizer=lambda: events.append(
                ("finalizer", None, threading.get_ident()))) == (True, 0)

    gate = Gate()
    d.configure([gate], maxsize=0)
    token = d.add(sink, enabled=True)
    for i in range(3):
        d.enqueue(f"{i}\n", 20, overflow="block")
    assert gate.entered.wait(10)
    gate.open()
    d.flush()
    worker = events[0][2]
    assert worker != threading.get_ident()
    assert events == [("sink", "0\n", worker), ("sink", "1\n", worker), ("sink", "2\n", worker),
                      ("finalizer", None, worker)]
    d.stop(drain=True)


def test_finalizer_of_a_sink_stuck_in_a_call_waits_for_that_call(gates):
    gate = gates()
    d = CallableDispatcher()
    token = d.add(gate, enabled=True)
    d.enqueue("held\n", 20, overflow="block")
    assert gate.entered.wait(10)
    d.enqueue("queued\n", 20, overflow="block")
    calls = []
    assert d.remove(token, finalizer=lambda: calls.append(threading.get_ident()),
                    stall_timeout=0.1) == (True, 2)
    assert calls == []  # the abandoned worker is still inside the sink
    gate.open()
    assert wait_for(lambda: calls)
    time.sleep(0.05)
    assert len(calls) == 1 and calls[0] != threading.get_ident()
    assert gate.lines == ["held\n"]  # the queued record was released, not delivered


def test_fork_child_runs_finalizers_deferred_in_the_parent(gates):
    gate = gates()
    d = CallableDispatcher()
    token = d.add(gate, enabled=True)
    d.enqueue("held\n", 20, overflow="block")
    assert gate.entered.wait(10)
    calls = []

    def finalizer():
        calls.append(True)
        raise RuntimeError("discarded")

    rust.enter_callback()  # remove defers instead of waiting
    try:
        assert d.remove(token, finalizer=finalizer) == (True, 0)
    finally:
        rust.exit_callback()
    assert calls == []
    child = d.fork_child(enabled=True)
    assert calls == [True]
    assert child._channel is None  # the removed sink was the only one
    assert child.add(print, enabled=False) == 2


# ---- a worker that cannot be started ----------------------------------------

SPAWN_FAILURE = textwrap.dedent("""
    import os, resource
    import vorlisk._rust as r
    from dispatch_helpers import thread_states

    os.setgid(65534)
    os.setuid(65534)
    soft, hard = resource.getrlimit(resource.RLIMIT_NPROC)
    threads = len(os.listdir("/proc/self/task"))
    resource.setrlimit(resource.RLIMIT_NPROC, (threads, hard))
    d = r.CallableDispatcher()
    states = thread_states()
    try:
        d.add(len, enabled=True)
    except BaseException as exc:
        print(type(exc).__name__, str(exc).split(":")[0])
    print(d._channel, d.idle(), thread_states() - states)
    child = d.fork_child(enabled=False)  # the registration was published
    print(child.add(print, enabled=False))
    resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
    got = []
    d.add(got.append, enabled=True)  # the failed generation holds nothing up
    d.enqueue("x\\n", 20, overflow="block")
    print(d.flush(stall_timeout=5), got)
""")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop to another user")
def test_a_worker_that_cannot_start_fails_cleanly():
    env = child_env()
    env["PYTHONPATH"] += os.pathsep + str(pathlib.Path(__file__).parent)
    out = subprocess.run([os.environ.get("VORLISK_PYTHON", "/usr/bin/python3"), "-c",
                          SPAWN_FAILURE], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "PanicException spawn callable sink dispatch worker",
        "None True 0",  # the worker's thread state went with it
        "2",
        "0 ['x\\n']",
    ]

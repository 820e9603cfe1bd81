"""CallableDispatcher: registry, generations, the worker, fork, metrics and
the callback depth."""
import gc
import json
import os
import sys
import threading
import warnings

import pytest

import vorlisk._rust as rust
from dispatch_helpers import Gate, thread_count, under_thread_sanitizer, wait_for

CallableDispatcher = rust.CallableDispatcher


@pytest.fixture
def dispatcher():
    d = CallableDispatcher()
    yield d
    d.stop(drain=True, stall_timeout=5)


def test_fresh_dispatcher_starts_nothing():
    before = thread_count()
    d = CallableDispatcher()
    assert d._channel is None
    assert d.idle() is True
    assert list(d.metrics().items()) == [
        ("callable_dropped", 0), ("callable_errors", 0), ("callable_depth", 0),
        ("callable_maxsize", 1024)]
    assert d.enqueue("x\n", 20, overflow="block") is True
    assert thread_count() == before


def test_runtime_tokens_count_up_and_opening_follows_enabled(dispatcher):
    assert dispatcher.add(print, enabled=False) == 1
    assert dispatcher.add(print, enabled=False) == 2
    assert dispatcher._channel is None and dispatcher.idle()
    assert dispatcher.add(print, enabled=True) == 3
    assert isinstance(dispatcher._channel, rust.DispatchChannel)
    assert not dispatcher.idle()


def test_configured_sinks_take_complement_tokens(dispatcher):
    seen = []
    dispatcher.configure([lambda line: seen.append("a"), lambda line: seen.append("b")],
                         maxsize=10)
    # ~0 and ~1 are not runtime tokens: removing them unregisters nothing.
    assert dispatcher.remove(-1) == (False, 0)
    assert dispatcher.remove(-2) == (False, 0)
    dispatcher.enqueue("x\n", 0, overflow="block")
    dispatcher.enqueue("x\n", -1, overflow="block")  # below every configured sink
    dispatcher.flush()
    assert seen == ["a", "b"]


def test_routing_by_minimum_level_beyond_the_level_cache(dispatcher):
    minimums = [-5, 0, 10, 50]
    got = {m: [] for m in minimums}
    for m in minimums:
        dispatcher.add(None, m, enabled=True,
                       level_callback=lambda line, level, m=m: got[m].append(level))
    levels = list(range(-10, 101))  # 111 distinct levels, more than the cache holds
    for _ in range(2):
        for level in levels:
            assert dispatcher.enqueue(f"{level}\n", level, overflow="block")
    dispatcher.flush()
    for m in minimums:
        assert got[m] == [lv for lv in levels if lv >= m] * 2
    # A sink added later is chosen for every level, cached or not.
    late = []
    dispatcher.add(lambda line: late.append(line), 100, enabled=True)
    for level in levels:
        dispatcher.enqueue(f"{level}\n", level, overflow="block")
    dispatcher.flush()
    assert late == ["100\n"]


def test_sinks_are_called_in_registry_order_per_record_and_records_in_queue_order(dispatcher):
    calls = []
    gate = Gate()
    dispatcher.add(lambda line: calls.append(("c", line)), enabled=False)
    dispatcher.add(None, enabled=False, level_callback=lambda line, lv: calls.append(("d", line)))
    dispatcher.configure([gate, lambda line: calls.append(("b", line))], maxsize=0)
    lines = [f"r{i}\n" for i in range(65)]  # a batch of 64, then one more
    for line in lines:
        dispatcher.enqueue(line, 20, overflow="block")
    gate.open()
    dispatcher.flush()
    assert gate.lines == lines
    assert calls == [(name, line) for line in lines for name in ("b", "c", "d")]


def test_level_callback_gets_the_level_and_plain_callback_only_the_line(dispatcher):
    plain, levelled = [], []
    dispatcher.add(lambda *a: plain.append(a), -100, enabled=True)
    dispatcher.add(lambda *a: pytest.fail("replaced by the level callback"), -100, enabled=True,
                   level_callback=lambda *a: levelled.append(a))
    dispatcher.enqueue("neg\n", -7, overflow="block")
    dispatcher.flush()
    assert plain == [("neg\n",)]
    assert levelled == [("neg\n", -7)]


class SinkBroke(Exception):
    pass


@pytest.mark.parametrize("error", [ValueError, SinkBroke])
def test_raising_sink_warns_at_first_and_every_thousandth_error(dispatcher, error):
    def sink(line):
        raise error("never shown")

    dispatcher.add(sink, enabled=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(2001):
            dispatcher.enqueue("x\n", 20, overflow="block")
        dispatcher.flush()
    name = error.__name__
    assert [str(w.message) for w in caught] == [
        f"vorlisk callable sink raised {n} time(s), latest {name}" for n in (1, 1000, 2000)]
    assert all(w.category is UserWarning for w in caught)
    assert dispatcher.metrics()["callable_errors"] == 2001
    # After a reset the next error warns again.
    dispatcher.reset_drop_count()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        dispatcher.enqueue("x\n", 20, overflow="block")
        dispatcher.flush()
    assert [str(w.message) for w in caught] == [
        f"vorlisk callable sink raised 1 time(s), latest {name}"]


def test_warning_turned_into_error_reaches_the_unraisable_hook(dispatcher, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    dispatcher.add(lambda line: 1 / 0, enabled=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        dispatcher.enqueue("x\n", 20, overflow="block")
        dispatcher.flush()
    assert len(reported) == 1
    assert isinstance(reported[0].exc_value, UserWarning)
    assert str(reported[0].exc_value) == \
        "vorlisk callable sink raised 1 time(s), latest ZeroDivisionError"


def test_callback_depth_counts_per_thread():
    results = []

    def body():
        results.append(rust.in_callback())
        rust.enter_callback()
        rust.enter_callback()
        rust.exit_callback()
        results.append(rust.in_callback())
        rust.exit_callback()
        results.append(rust.in_callback())
        rust.exit_callback()  # stays at zero
        results.append(rust.in_callback())
        rust.enter_callback()
        results.append(rust.in_callback())

    t = threading.Thread(target=body)
    t.start()
    t.join()
    assert results == [False, True, False, False, True]
    assert rust.in_callback() is False


def test_inside_enter_callback_enqueue_queues_nothing(dispatcher):
    gate = Gate()
    dispatcher.add(gate, enabled=True)
    rust.enter_callback()
    try:
        assert dispatcher.enqueue("x\n", 20, overflow="drop") is True
        assert dispatcher.flush(0) == 0  # returns at once, abandons nothing
    finally:
        rust.exit_callback()
    assert dispatcher._channel.unfinished_tasks == 0
    gate.open()


@pytest.mark.parametrize("escape", ["exit_callback", "fork_child"])
def test_a_sink_stays_inside_its_callback_whatever_it_calls(dispatcher, escape):
    seen = []

    def sink(line):
        seen.append(rust.in_callback())
        if escape == "exit_callback":
            rust.exit_callback()
            rust.exit_callback()
        else:
            dispatcher.fork_child(enabled=False)  # no fork: still on the worker
        seen.append(rust.in_callback())
        # Neither may wait for, nor join, the worker running this very call.
        assert dispatcher.flush(stall_timeout=5) == 0
        if rust.in_callback():  # else these would wait for ever
            dispatcher._channel.flush()
            dispatcher._channel.close(drain=True)
        seen.append(dispatcher.enqueue("again\n", 20, overflow="block"))

    dispatcher.add(sink, enabled=True)
    channel = dispatcher._channel
    dispatcher.enqueue("x\n", 20, overflow="block")
    assert wait_for(lambda: not channel.is_alive(), 10)
    assert seen == [True, True, True]


def test_dispatch_channel_handle(dispatcher):
    with pytest.raises(TypeError):
        rust.DispatchChannel()
    gate = Gate()
    dispatcher.add(gate, enabled=True)
    channel = dispatcher._channel
    assert channel is dispatcher._channel
    dispatcher.enqueue("0\n", 20, overflow="block")
    assert gate.entered.wait(10)  # the worker holds record 0; 1 and 2 stay queued
    for i in (1, 2):
        dispatcher.enqueue(f"{i}\n", 20, overflow="block")
    assert (channel.accepting, channel.qsize, channel.unfinished_tasks,
            channel.blocked_producers) == (True, 2, 3, 0)
    assert dispatcher.metrics()["callable_depth"] == 2
    assert channel.is_alive()
    assert channel.wait_retired(0) is False
    assert channel.wait_retired(float("nan")) is False
    channel.retire()
    channel.retire()
    assert channel.wait_retired(-1) is True
    assert dispatcher.enqueue("late\n", 20, overflow="block") is False
    # Retiring through the handle does not take the generation out.
    assert dispatcher._channel is channel and not dispatcher.idle()
    gate.open()
    channel.close(drain=False)
    channel.close(drain=True)
    assert not channel.is_alive()
    assert gate.lines == ["0\n", "1\n", "2\n"]
    with pytest.raises(TypeError) as info:
        channel.close(drain=1)
    assert "while processing 'drain'" in info.value.__notes__


def test_wait_retired_returns_when_another_thread_retires(dispatcher):
    dispatcher.add(print, enabled=True)
    channel = dispatcher._channel
    threading.Timer(0.05, channel.retire).start()
    assert channel.wait_retired(1e300) is True


def test_newer_generation_delivers_only_after_the_older_one(dispatcher):
    order = []
    gate = Gate()

    def old(line):
        gate(line)
        order.append(("old", line))

    dispatcher.configure([old], maxsize=10)
    first = dispatcher._channel
    dispatcher.enqueue("1\n", 20, overflow="block")
    dispatcher.enqueue("2\n", 20, overflow="block")
    assert gate.entered.wait(10)
    dispatcher.sync([lambda line: order.append(("new", line))], maxsize=10)  # never waits
    second = dispatcher._channel
    assert second is not first and first.accepting is False
    dispatcher.enqueue("3\n", 20, overflow="block")
    assert not wait_for(lambda: order, 0.2)  # the new worker waits for its turn
    assert second.qsize == 1
    gate.open()
    dispatcher.flush()
    assert order == [("old", "1\n"), ("old", "2\n"), ("new", "3\n")]
    assert wait_for(lambda: not first.is_alive())


def test_dropping_a_dispatcher_delivers_its_queue_and_leaves_no_thread():
    before = thread_count()
    gate = Gate()
    d = CallableDispatcher()
    d.add(gate, enabled=True)
    for i in range(50):
        d.enqueue(f"{i}\n", 20, overflow="block")
    assert gate.entered.wait(10)
    del d
    gc.collect()
    gate.open()
    assert wait_for(lambda: len(gate.lines) == 50)
    assert gate.lines == [f"{i}\n" for i in range(50)]
    assert wait_for(lambda: thread_count() == before), (thread_count(), before)


def test_dropping_dispatchers_with_idle_generations_leaves_no_threads():
    before = thread_count()
    for _ in range(5):
        d = CallableDispatcher()
        d.add(print, enabled=True)
        d.configure([print], maxsize=4)  # a second generation, the first one draining
    del d
    gc.collect()
    assert wait_for(lambda: thread_count() == before), (thread_count(), before)


def test_fork_child_in_process_copies_registrations_and_counts():
    d = CallableDispatcher()
    d.add(print, enabled=False)
    d.add(print, enabled=False)
    d.configure([], maxsize=7)
    child = d.fork_child(enabled=False)
    assert type(child) is CallableDispatcher
    assert child._channel is None
    assert child.metrics()["callable_maxsize"] == 7
    assert child.add(print, enabled=False) == 3
    opened = d.fork_child(enabled=True)
    assert isinstance(opened._channel, rust.DispatchChannel)
    assert CallableDispatcher().fork_child(enabled=True)._channel is None  # no sinks
    rust.enter_callback()
    d.fork_child(enabled=False)
    assert rust.in_callback() is False
    opened.stop(drain=True)


@pytest.mark.skipif(under_thread_sanitizer(),
                    reason="ThreadSanitizer cannot start threads after a multi-threaded fork")
def test_forked_child_delivers_only_its_own_records():
    parent_pid = os.getpid()
    gate = Gate(owner_pid=parent_pid)
    d = CallableDispatcher()
    d.add(gate, enabled=True)
    for i in range(3):
        d.enqueue(f"parent {i}\n", 20, overflow="block")
    assert gate.entered.wait(10)  # the parent's worker is inside a call, records queued
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        status = 1
        try:
            os.close(read_end)
            child = d.fork_child(enabled=True)
            d = None  # the inherited dispatcher is never touched again
            gc.collect()
            for i in range(2):
                child.enqueue(f"child {i}\n", 20, overflow="block")
            child.flush()
            report = {"lines": gate.lines, "in_callback": rust.in_callback(),
                      "next_token": child.add(print, enabled=False)}
            os.write(write_end, json.dumps(report).encode())
            child.stop(drain=True)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        report = json.loads(reader.read() or b"{}")
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert report == {"lines": ["child 0\n", "child 1\n"], "in_callback": False, "next_token": 2}
    gate.open()
    d.flush()
    assert gate.lines == [f"parent {i}\n" for i in range(3)]


LONG_OVERFLOW = "Python int too large to convert to C long"


# Levels, minimum levels and tokens convert as a C long (64 bits): the
# interpreter's own overflow text, with the note naming the parameter.
@pytest.mark.parametrize("number", [2**63, -2**63 - 1, 2**100])
@pytest.mark.parametrize("call, name", [
    (lambda d, n: d.add(print, n, enabled=False), "min_level"),
    (lambda d, n: d.enqueue("x\n", n, overflow="drop"), "level"),
    (lambda d, n: d.remove(n), "token"),
])
def test_integers_past_64_bits_overflow_with_the_interpreters_text(dispatcher, call, name, number):
    with pytest.raises(OverflowError, match=f"^{LONG_OVERFLOW}$") as info:
        call(dispatcher, number)
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_every_64_bit_integer_converts(dispatcher):
    for number in (2**63 - 1, -2**63):
        dispatcher.add(print, number, enabled=False)
        assert dispatcher.enqueue("x\n", number, overflow="drop") is True
        assert dispatcher.remove(number) == (False, 0)

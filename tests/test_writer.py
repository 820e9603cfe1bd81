"""The native writer from Python: pushes and their outcomes, flush, close,
pause and resume, stall limits, failing sinks, metrics and argument errors."""

import threading
import time

import pytest

from vorlisk._rust import _NativeStringWriter as Writer
from dispatch_helpers import TIME_SCALE

METRIC_KEYS = [
    "enqueued", "dropped", "dequeued", "written", "sink_errors", "depth", "maxsize",
    "in_flight", "closed", "worker_done", "paused",
]


@pytest.fixture
def writers():
    """Writers made by a test are closed even when it fails."""
    made = []

    def make(*args, **kwargs):
        writer = Writer(*args, **kwargs)
        made.append(writer)
        return writer

    yield make
    for writer in made:
        writer.close()


def test_unbounded_memory_writer(writers):
    writer = writers(0)
    assert writer.maxsize == 0
    assert writer.flush() == 0  # nothing enqueued
    assert writer.try_enqueue("abc") is True
    assert writer.enqueue_blocking("def\n") is True
    assert writer.flush() == 0
    assert writer.messages() == ["abc", "def\n"]
    metrics = writer.metrics()
    assert list(metrics) == METRIC_KEYS
    assert metrics == dict(
        enqueued=2, dropped=0, dequeued=2, written=2, sink_errors=0, depth=0, maxsize=0,
        in_flight=0, closed=False, worker_done=False, paused=False)


def test_full_queue_while_paused(writers):
    writer = writers(1, paused=True)
    assert writer.try_enqueue("queued") is True
    assert writer.try_enqueue("dropped") is False
    assert writer.metrics()["dropped"] == 1
    assert writer.enqueue_outcome("dropped too", False) == "full"
    assert writer.metrics()["dropped"] == 2
    metrics = writer.metrics()
    assert (metrics["paused"], metrics["depth"], metrics["dequeued"]) == (True, 1, 0)


@pytest.mark.parametrize("release", ["resume", "close"])
def test_blocking_push_waits_for_room_or_close(writers, release):
    writer = writers(1, paused=True)
    writer.try_enqueue("queued")
    results = []
    producers = [
        threading.Thread(target=lambda: results.append(writer.enqueue_outcome("b", True))),
        threading.Thread(target=lambda: results.append(writer.enqueue_blocking("c"))),
    ]
    for producer in producers:
        producer.start()
    time.sleep(0.05)
    assert results == []  # both wait, with the interpreter lock released
    getattr(writer, release)()
    for producer in producers:
        producer.join(5)
    if release == "resume":
        assert sorted(map(str, results)) == ["True", "accepted"]
        writer.flush()
        assert sorted(writer.messages()) == ["b", "c", "queued"]
    else:
        assert sorted(map(str, results)) == ["False", "closed"]
        assert writer.messages() == ["queued"]
    assert writer.metrics()["dropped"] == 0


def test_closed_writer_refuses_without_counting(writers):
    writer = writers(0)
    writer.try_enqueue("one")
    assert writer.close() == 0
    assert writer.try_enqueue("x") is False
    assert writer.enqueue_blocking("x") is False
    assert writer.enqueue_outcome("x", False) == "closed"
    assert writer.enqueue_outcome("x", True) == "closed"
    metrics = writer.metrics()
    assert (metrics["enqueued"], metrics["dropped"]) == (1, 0)
    assert (metrics["closed"], metrics["worker_done"]) == (True, True)
    assert writer.close() == 0
    assert writer.messages() == ["one"]


def test_close_drains_a_paused_writer(writers):
    writer = writers(0, paused=True)
    for i in range(3):
        writer.try_enqueue(str(i))
    assert writer.close() == 0
    assert writer.messages() == ["0", "1", "2"]


@pytest.mark.parametrize("fail_after, lines, kept", [(2, 5, 2), (0, 3, 0), (9, 4, 4)])
def test_failing_memory_sink(writers, fail_after, lines, kept):
    writer = writers(0, fail_after=fail_after)
    for i in range(lines):
        writer.try_enqueue(f"line {i}\n")
    writer.flush()
    assert writer.messages() == [f"line {i}\n" for i in range(kept)]
    metrics = writer.metrics()
    assert (metrics["written"], metrics["sink_errors"], metrics["dequeued"]) == (
        kept, lines - kept, lines)


def test_stall_limit_gives_up_on_a_paused_writer(writers):
    writer = writers(0, paused=True)
    writer.try_enqueue("stuck")
    started = time.monotonic()
    assert writer.flush(0.05) == 1
    assert 0.045 <= time.monotonic() - started < 2.0 * TIME_SCALE
    metrics = writer.metrics()
    assert (metrics["closed"], metrics["worker_done"]) == (True, True)
    assert writer.enqueue_outcome("late", True) == "closed"
    assert writer.flush(0.05) == 0
    assert writer.close(0.05) == 0


def test_abandoned_writer_is_left_alone(writers):
    writer = writers(0)
    writer.abandon()
    assert writer.close() == 0
    assert writer.metrics()["closed"] is False
    assert writer.try_enqueue("still open") is True
    writer.flush()
    assert writer.messages() == ["still open"]


@pytest.mark.parametrize("target, paused, expect_paused", [
    ("memory", True, True), ("stdout", True, False), ("null", True, False),
])
def test_only_memory_honours_paused(writers, target, paused, expect_paused):
    writer = writers(0, paused=paused, target=target)
    assert writer.metrics()["paused"] is expect_paused
    if target == "null":
        writer.try_enqueue("x\n")
        writer.flush()
        assert writer.metrics()["written"] == 1
    assert writer.messages() == []


def test_unknown_target():
    with pytest.raises(ValueError, match="^unknown writer target: bogus$"):
        Writer(0, target="bogus")
    with pytest.raises(ValueError, match="^unknown writer target: Memory$"):
        Writer(0, target="Memory")
    Writer(0, target="bogus", also_stdout=True).close()  # the target is not examined


@pytest.mark.parametrize("call, error, note", [
    (lambda: Writer(-1), OverflowError, "maxsize"),
    (lambda: Writer(0, paused=1), TypeError, "paused"),
    (lambda: Writer(0, target=None), TypeError, "target"),
    (lambda: Writer(0, file_max_bytes=2**64), OverflowError, "file_max_bytes"),
    (lambda: Writer(0).try_enqueue("\ud800"), UnicodeEncodeError, "message"),
    (lambda: Writer(0).enqueue_outcome("m", 0), TypeError, "blocking"),
    (lambda: Writer(0).flush("soon"), TypeError, "stall_timeout"),
])
def test_argument_errors_name_the_parameter(call, error, note):
    with pytest.raises(error) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("seconds", [-1.0, float("nan"), -0.0, 0.0, 1e-10])
def test_zero_like_limits_give_up_at_once(writers, seconds):
    writer = writers(0, paused=True)
    writer.try_enqueue("x")
    started = time.monotonic()
    assert writer.flush(seconds) == 1
    assert time.monotonic() - started < 1.0


@pytest.mark.parametrize("seconds", [None, 30, 1e300, float("inf")])
def test_long_limits_wait_for_the_worker(writers, seconds):
    writer = writers(0)
    for _ in range(50):
        writer.try_enqueue("x")
    assert writer.flush(seconds) == 0
    assert writer.metrics()["written"] == 50
    assert writer.close(seconds) == 0


def test_class_surface():
    assert Writer.__text_signature__ == (
        '(maxsize, paused=False, fail_after=None, target="memory", file_path=None, '
        'file_max_bytes=0, file_backup_count=0, also_stdout=False)')
    assert Writer.flush.__text_signature__ == "($self, stall_timeout=None)"
    writer = Writer(3)
    with pytest.raises(AttributeError):
        writer.maxsize = 4
    writer.close()


def test_many_threads_push_through_a_small_queue(writers):
    writer = writers(4)
    per_thread, threads = 500, 8

    def produce(index):
        for i in range(per_thread):
            assert writer.enqueue_blocking(f"{index}:{i}")

    producers = [threading.Thread(target=produce, args=(t,)) for t in range(threads)]
    for producer in producers:
        producer.start()
    for producer in producers:
        producer.join()
    assert writer.flush() == 0
    lines = writer.messages()
    assert len(lines) == per_thread * threads
    for t in range(threads):  # each producer's lines stay in its order
        mine = [line for line in lines if line.startswith(f"{t}:")]
        assert mine == [f"{t}:{i}" for i in range(per_thread)]
    assert writer.metrics()["dropped"] == 0


def test_dropping_an_open_writer_closes_it():
    writer = Writer(0, paused=True)
    for i in range(100):
        writer.try_enqueue(str(i))
    del writer  # waits for the paused worker to drain; must not hang


def test_flush_from_many_threads(writers):
    writer = writers(0)
    done = []

    def push_and_flush():
        for _ in range(200):
            writer.try_enqueue("x")
        done.append(writer.flush())

    flushers = [threading.Thread(target=push_and_flush) for _ in range(6)]
    for flusher in flushers:
        flusher.start()
    for flusher in flushers:
        flusher.join()
    assert done == [0] * 6
    assert writer.metrics()["written"] == 1200

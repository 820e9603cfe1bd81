"""The fused log path: log, log_capture, render_enqueue_json(_outcome)."""

import datetime
import json
import logging
import math
import uuid

import pytest

import vorlisk._rust as rust

CONFIG = rust.RuntimeConfig("svc")


def new_writer(**options):
    return rust._NativeStringWriter(options.pop("maxsize", 0), **options)


def logged(config=CONFIG, *, bound=None, kwargs=None, contextvars=None, exception=None,
           stack=None, created=None, level="info", message="hi"):
    writer = new_writer()
    code = writer.log(config, "app", level, message, bound or {}, kwargs or {},
                      contextvars or {}, exception, stack, created)
    writer.close()
    assert code == 0
    [line] = writer.messages()
    assert line.endswith("\n")
    return line


def logged_json(**call):
    return json.loads(logged(**call))


@pytest.mark.parametrize("created, timestamp", [
    (86400.5, "1970-01-02T00:00:00.500000Z"),
    (0.0000025, "1970-01-01T00:00:00.000002Z"),  # exactly 2.5 us: ties to even
    (1.9999999, "1970-01-01T00:00:02.000000Z"),  # carried into the seconds
    (-1e-7, "1970-01-01T00:00:00.000000Z"),
    (-1.0, "1969-12-31T23:59:59.000000Z"),
    (-62135596800.0, "0001-01-01T00:00:00.000000Z"),
    (1700000000, "2023-11-14T22:13:20.000000Z"),
])
def test_created_gives_the_timestamp(created, timestamp):
    assert logged_json(created=created)["timestamp"] == timestamp


class NoFloat:
    pass


class FloatRaises:
    def __float__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("created", [253402300800.0, math.nan, math.inf, -math.inf, "12",
                                     NoFloat(), FloatRaises()])
def test_unusable_created_gives_the_current_time(created):
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    stamp = logged_json(created=created)["timestamp"]
    after = datetime.datetime.now(datetime.timezone.utc)
    parsed = datetime.datetime.fromisoformat(stamp.replace("Z", "+00:00"))
    assert before <= parsed <= after


def test_field_precedence_and_fixed_members():
    line = logged_json(bound={"a": 1, "b": 2, "exc_info": "kept"},
                       kwargs={"b": 3, "c": 4, "exc_info": True, "stack_info": True},
                       contextvars={"a": 9, "d": 5, "stack_info": "kept too"},
                       level="warning", created=0.0)
    assert list(line) == ["a", "b", "exc_info", "c", "d", "stack_info", "logger", "level",
                          "severity", "timestamp", "service", "message"]
    assert (line["a"], line["b"], line["c"], line["d"]) == (1, 3, 4, 5)
    assert (line["level"], line["severity"], line["service"]) == ("WARN", 4, "svc")


def test_exception_replaces_in_place_or_is_appended():
    line = logged_json(kwargs={"exception": "old", "x": 1}, exception="Traceback\nValueError")
    assert list(line)[:2] == ["exception", "x"]
    assert line["exception"] == "Traceback\nValueError"
    assert list(logged_json(kwargs={"x": 1}, exception=ValueError("e")))[:2] == ["x", "exception"]


class LoudMeta(type):
    """Raises KeyboardInterrupt when the conversion probes the type."""

    def __getattr__(cls, name):
        if name == "__members__":
            raise KeyboardInterrupt
        raise AttributeError(name)


class Loud(metaclass=LoudMeta):
    pass


class KeySubclass(str):
    pass


def test_shadowed_bound_value_is_converted_only_on_the_fast_path():
    writer = new_writer()
    with pytest.raises(KeyboardInterrupt):
        writer.log(CONFIG, "app", "info", "m", {"k": Loud()}, {"k": 1}, {}, None, None)
    # A key that is not plain sends the record through the merged dict,
    # where the shadowed value is never looked at.
    assert writer.log(CONFIG, "app", "info", "m", {"k": Loud()}, {"k": 1, KeySubclass("z"): 2},
                      {}, None, None) == 0
    writer.close()
    [line] = writer.messages()
    assert json.loads(line)["k"] == 1


def test_contextvars_never_override_and_are_never_converted_when_shadowed():
    line = logged_json(bound={"user": "bound"}, contextvars={"user": Loud(), "extra": 1})
    assert line["user"] == "bound" and line["extra"] == 1


def test_slow_path_merges_by_text():
    line = logged_json(bound={KeySubclass("user"): "bound"}, contextvars={"user": "ctx"})
    assert line["user"] == "bound"
    writer = new_writer()
    with pytest.raises(TypeError, match="field keys must be strings"):
        writer.log(CONFIG, "app", "info", "m", {1: "x", KeySubclass("y"): 1}, {}, {}, None, None)


def test_texts_are_repaired_and_stack_is_written():
    line = logged_json(message="a\ud800b", stack="frame\n")
    assert line["message"] == "a\ufffdb" and line["stack"] == "frame\n"


def test_log_capture_console_with_json_copy():
    config = rust.RuntimeConfig("svc", console=True, colors=True)
    writer = new_writer()
    code, line, copy = writer.log_capture(config, "app", "warning", "hi", {}, {"n": 1}, {}, None,
                                          None, True, 0.0)
    assert code == 0
    assert line == "1970-01-01T00:00:00.000000Z \x1b[33m[WARN    ]\x1b[0m hi  n=1\n"
    assert json.loads(copy) == {"n": 1, "logger": "app", "level": "WARN", "severity": 4,
                                "timestamp": "1970-01-01T00:00:00.000000Z", "service": "svc",
                                "message": "hi"}
    writer.close()
    assert writer.messages() == [line]


def test_log_capture_json_copy_is_the_line_without_newline():
    writer = new_writer()
    code, line, copy = writer.log_capture(CONFIG, "app", "info", "hi", {}, {}, {}, None, None,
                                          True)
    assert line == copy + "\n"
    assert writer.log_capture(CONFIG, "app", "info", "hi", {}, {}, {}, None, None, False)[2] is None


def test_closed_writer_still_returns_the_line():
    writer = new_writer()
    writer.close()
    code, line, copy = writer.log_capture(CONFIG, "app", "info", "hi", {}, {}, {}, None, None,
                                          True, 1.0)
    assert (code, line, copy + "\n") == (2, line, line)
    assert writer.log(CONFIG, "app", "info", "hi", {}, {}, {}, None, None) == 2
    assert writer.metrics()["enqueued"] == 0


def test_full_queue_under_a_non_blocking_config():
    config = rust.RuntimeConfig("svc", blocking=False)
    writer = new_writer(maxsize=1, paused=True)
    assert writer.log(config, "app", "info", "1", {}, {}, {}, None, None) == 0
    assert writer.log(config, "app", "info", "2", {}, {}, {}, None, None) == 1
    assert writer.render_enqueue_json_outcome({}, "app", "info", "s", "3", False) == "full"
    assert writer.render_enqueue_json({}, "app", "info", "s", "4", False) is False
    assert writer.metrics()["dropped"] == 3
    writer.close()


def test_render_enqueue_json_renders_like_the_render_functions():
    patterns = rust.RedactionConfig([r"\d{4}"], replacement="#")
    writer = new_writer()
    args = ({"card": "1234", "password": "p"}, "app", "info", "svc", "pin 9876")
    assert writer.render_enqueue_json(*args, True, config=patterns, timestamp="not a time")
    assert writer.render_enqueue_json(*args, True, sensitive_keys=[], timestamp="T")
    writer.close()
    first, second = writer.messages()
    assert first == rust.render_line_with_config(*args, patterns, timestamp="not a time") + "\n"
    assert second == rust.render_line(*args, timestamp="T", sensitive_keys=[]) + "\n"
    assert json.loads(first)["card"] == "#" and json.loads(second)["password"] == "p"


@pytest.mark.parametrize("call, note", [
    (lambda w: w.log("svc", "app", "info", "m", {}, {}, {}, None, None), "config"),
    (lambda w: w.log(CONFIG, "app", 20, "m", {}, {}, {}, None, None), "level"),
    (lambda w: w.log(CONFIG, "app", "info", "m", [], {}, {}, None, None), "bound"),
    (lambda w: w.log(CONFIG, "app", "info", "m", {}, {}, {}, None, 5), "stack"),
    (lambda w: w.log_capture(CONFIG, "app", "info", "m", {}, {}, {}, None, None, 1), "json_copy"),
    (lambda w: w.render_enqueue_json({}, "a", "info", "s", "m", True, config=CONFIG), "config"),
])
def test_argument_errors_name_the_parameter(call, note):
    writer = new_writer()
    with pytest.raises(TypeError) as info:
        call(writer)
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert writer.metrics()["enqueued"] == 0


def test_stdlib_logging_bridge(tmp_path):
    path = tmp_path / "bridge.log"
    writer = rust._NativeStringWriter(0, file_path=str(path), file_max_bytes=4096,
                                      file_backup_count=50)

    class NativeHandler(logging.Handler):
        def emit(self, record):
            fields = getattr(record, "fields", {})
            writer.log(CONFIG, record.name, record.levelname.lower(), record.getMessage(), {},
                       fields, {}, None, None, record.created)

    logger = logging.getLogger("bridge")
    logger.handlers[:] = [NativeHandler()]
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    for i in range(500):
        logger.warning("event %d", i, extra={"fields": {"i": i, "id": uuid.UUID(int=i)}})
    writer.close()
    lines = [line for f in sorted(tmp_path.iterdir()) if not f.name.endswith(".lock")
             for line in f.read_text().splitlines()]
    records = sorted((json.loads(line) for line in lines), key=lambda r: r["i"])
    assert [r["i"] for r in records] == list(range(500))
    assert all(r["message"] == f"event {r['i']}" and r["level"] == "WARN" and
               r["logger"] == "bridge" and r["id"] == str(uuid.UUID(int=r["i"]))
               for r in records)

"""The conversion and log entry points, called many times for every kind of
value (conversions that fail, probes that raise and bad arguments
included), leave nothing behind: no reference taken on what they were
given, and no new object.

A leak of one reference per call shows as a changed reference count of an
argument, or as objects, memory blocks and traced bytes growing with the
number of calls; each measure gets a small constant slack for what the
interpreter itself keeps (the slack is far below one object per call)."""

import dataclasses
import datetime
import decimal
import enum
import gc
import sys
import tracemalloc
import uuid

import pytest

import vorlisk._rust as rust

WARMUP = 50
CALLS = 400
SLACK_OBJECTS = 20
SLACK_BLOCKS = 200
SLACK_BYTES = 16384
ROUNDS = 3


class Color(enum.Enum):
    RED = 1


@dataclasses.dataclass
class Point:
    x: int
    tags: list


class IsoformatRaises:
    def isoformat(self):
        raise ValueError("no text")


class IsoformatInterrupts:
    def isoformat(self):
        raise KeyboardInterrupt


class ProbeRaises(type):
    @property
    def __members__(cls):
        raise RuntimeError("probe failed")


class ProbeInterrupts(type):
    @property
    def __members__(cls):
        raise KeyboardInterrupt


class ProbedRaises(metaclass=ProbeRaises):
    pass


class ProbedInterrupts(metaclass=ProbeInterrupts):
    pass


class NewOffset(datetime.tzinfo):
    """A new offset object on every call: the cached offset is replaced."""

    def utcoffset(self, dt):
        return datetime.timedelta(hours=1, minutes=dt.minute)


class OffsetDelta(datetime.timedelta):
    pass


class SubclassOffset(datetime.tzinfo):
    def utcoffset(self, dt):
        return OffsetDelta(minutes=-90)


class Index:
    def __index__(self):
        return 0x1234


class FloatRaises:
    def __float__(self):
        raise ValueError("no time")


def uuid_holding(number):
    identifier = uuid.UUID(int=1)
    object.__setattr__(identifier, "int", number)
    return identifier


def nested(levels):
    value = [1]
    for _ in range(levels):
        value = [value]
    return value


cycle = [1]
cycle.append(cycle)

VALUES = {
    "none": None,
    "bool": True,
    "int": 7,
    "big int": 2**100,
    "nan": float("nan"),
    "str": "text",
    "lone surrogate": "a\ud800b",
    "dict": {"a": 1, "password": "x", "n": {"b": [1, 2]}},
    "dict of odd keys": {1: "a", (1, 2): "b", None: "c", "1": "d"},
    "tuple": (1, "a", None),
    "cycle": cycle,
    "too deep": nested(70),
    "enum": Color.RED,
    "dataclass": Point(1, ["a"]),
    "set": {1, 2},
    "decimal": decimal.Decimal("1.5"),
    "date": datetime.date(2024, 1, 2),
    "datetime utc": datetime.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=datetime.timezone.utc),
    "datetime new offsets": datetime.datetime(2024, 1, 2, 3, 4, tzinfo=NewOffset()),
    "datetime subclass offset": datetime.datetime(2024, 1, 2, tzinfo=SubclassOffset()),
    "uuid": uuid.UUID(int=2**127 + 5),
    "uuid index int": uuid_holding(Index()),
    "uuid huge int": uuid_holding(2**130),
    "isoformat raises": IsoformatRaises(),
    "probe raises": ProbedRaises(),
}

# Values whose conversion fails: the call raises KeyboardInterrupt.
FAILING = {
    "isoformat interrupts": IsoformatInterrupts(),
    "probe interrupts": ProbedInterrupts(),
}


@pytest.fixture(scope="module", autouse=True)
def traced_memory():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def parts(value):
    """The value, its type and what it is made of, one level down."""
    found = [value, type(value)]
    if isinstance(value, (list, tuple, set)):
        found += list(value)
    elif isinstance(value, dict):
        found += list(value.keys()) + list(value.values())
    elif isinstance(value, datetime.datetime):
        found.append(value.tzinfo)
    return found


def assert_leaves_nothing(name, call, watched, raises=None):
    def run():
        if raises is None:
            call()
            return
        with pytest.raises(raises):
            call()

    for _ in range(WARMUP):
        run()
    # A leak grows in every round; another thread of the process (a worker
    # some earlier test left winding down) may allocate during one of them.
    for _ in range(ROUNDS):
        growth = measure_round(run, watched)
        if growth is None:
            return
    pytest.fail(f"{name}: {growth}")


def measure_round(run, watched):
    """None when CALLS calls changed no watched reference count and grew no
    measure beyond its slack; otherwise what grew."""
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    objects = len(gc.get_objects())
    blocks = sys.getallocatedblocks()
    traced = tracemalloc.get_traced_memory()[0]
    for _ in range(CALLS):
        run()
    gc.collect()
    grown = {
        "references": [sys.getrefcount(obj) for obj in watched] != counts,
        "objects": len(gc.get_objects()) - objects > SLACK_OBJECTS,
        "blocks": sys.getallocatedblocks() - blocks > SLACK_BLOCKS,
        "traced bytes": tracemalloc.get_traced_memory()[0] - traced > SLACK_BYTES,
    }
    return [what for what, grew in grown.items() if grew] or None


@pytest.fixture(scope="module")
def writer():
    # One slot, paused, never blocking: every line after the first is
    # dropped, so the queue holds nothing that grows.
    writer = rust._NativeStringWriter(1, paused=True, target="null")
    yield writer
    writer.abandon()


CONFIGS = {
    "json": rust.RuntimeConfig("svc", blocking=False),
    "json with patterns": rust.RuntimeConfig("svc", sensitive_patterns=["secret"], blocking=False),
    "console": rust.RuntimeConfig("svc", console=True, colors=True, blocking=False),
}


def entry_points(writer, value):
    """Each entry point, called with `value` wherever a field value goes."""
    fields = {"f": value}
    bound, kwargs, context = {"b": value}, {"f": value, "exc_info": value}, {"c": value}
    pattern_config = rust.RedactionConfig(["secret"])
    calls = {
        "convert": lambda: rust._convert_value_debug(value),
        "render_line": lambda: rust.render_line(fields, "app", "info", "svc", "msg"),
        "render_line with timestamp field": lambda: rust.render_line(
            {"timestamp": value, "f": value}, "app", "info", "svc", "msg"),
        "render_line_with_config": lambda: rust.render_line_with_config(
            fields, "app", "info", "svc", "msg", pattern_config),
        "render_line_console": lambda: rust.render_line_console(
            fields, "app", "info", "svc", "msg", True),
        "merge_fields": lambda: rust.merge_fields(bound, kwargs, context),
    }
    for name, config in CONFIGS.items():
        calls[f"log {name}"] = lambda config=config: writer.log(
            config, "app", "info", "msg", bound, kwargs, context, value, "stack", 1.5)
        calls[f"log_capture {name}"] = lambda config=config: writer.log_capture(
            config, "app", "info", "msg", bound, kwargs, context, value, None, True)
    watched = parts(value) + [fields, bound, kwargs, context, pattern_config, writer]
    return calls, watched


@pytest.mark.parametrize("kind", VALUES)
def test_values_leave_nothing(writer, kind):
    calls, watched = entry_points(writer, VALUES[kind])
    for name, call in calls.items():
        assert_leaves_nothing(name, call, watched)


@pytest.mark.parametrize("kind", FAILING)
def test_failing_conversions_leave_nothing(writer, kind):
    calls, watched = entry_points(writer, FAILING[kind])
    for name, call in calls.items():
        # Merging converts nothing.
        raises = None if name == "merge_fields" else KeyboardInterrupt
        assert_leaves_nothing(name, call, watched, raises)


CONFIG = CONFIGS["json"]
SLOW_KEYS = {1: "a", "b": 2}


def bad_calls(writer):
    return {
        "convert without argument": (lambda: rust._convert_value_debug(), TypeError),
        "fields not a dict": (lambda: rust.render_line([], "a", "info", "s", "m"), TypeError),
        "field key not a str": (lambda: rust.render_line(
            SLOW_KEYS, "a", "info", "s", "m"), TypeError),
        "pattern that does not compile": (lambda: rust.render_line(
            {}, "a", "info", "s", "m", sensitive_patterns=["("]), ValueError),
        "level with a lone surrogate": (lambda: rust.render_line(
            {}, "a", "\ud800", "s", "m"), UnicodeEncodeError),
        "merge of a non-dict": (lambda: rust.merge_fields(1, {}, {}), TypeError),
        "log config not a config": (lambda: writer.log(
            "config", "a", "info", "m", {}, {}, {}, None, None), TypeError),
        "log bound not a dict": (lambda: writer.log(
            CONFIG, "a", "info", "m", [], {}, {}, None, None), TypeError),
        "log field key not a str": (lambda: writer.log(
            CONFIG, "a", "info", "m", {}, SLOW_KEYS, {}, None, None), TypeError),
        "log_capture json_copy not a bool": (lambda: writer.log_capture(
            CONFIG, "a", "info", "m", {}, {}, {}, None, None, 1), TypeError),
        "log created that fails": (lambda: writer.log(
            CONFIG, "a", "info", "m", {}, {}, {}, None, None, FloatRaises()), None),
    }


def test_bad_arguments_leave_nothing(writer):
    for name, (call, raises) in bad_calls(writer).items():
        assert_leaves_nothing(name, call, [CONFIG, SLOW_KEYS, writer], raises)

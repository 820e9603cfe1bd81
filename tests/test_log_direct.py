"""log writes a JSON line straight from the field dicts: the same bytes as
rendering the converted fields, the same conversions in the same order."""

import dataclasses
import datetime
import enum
import json
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorlisk._rust as rust
from test_conversion import ClearsOwner

STAMP = "1970-01-01T00:00:01.000000Z"


def captured(fields, config=None, *, bound=None, contextvars=None, exception=None, stack=None,
             level="info"):
    """The line log_capture writes for these sources (created fixed at 1.0)."""
    writer = rust._NativeStringWriter(0)
    code, line, copy = writer.log_capture(config or rust.RuntimeConfig("svc"), "app", level, "hi",
                                          bound or {}, fields, contextvars or {}, exception, stack,
                                          True, 1.0)
    writer.close()
    assert code == 0 and line == copy + "\n" and writer.messages() == [line]
    return copy


# A value pattern that never matches: with one, the renderer converts the
# fields into a value tree and redacts it as a whole before writing it, so
# the line comes from the tree, not straight from the dicts.
WHOLE_TREE = rust.RedactionConfig([r"[^\x00-\x{10FFFF}]"])


def rendered(fields, **options):
    """The line rendered from the converted fields as a tree."""
    return rust.render_line_with_config(fields, "app", "info", "svc", "hi", WHOLE_TREE,
                                        timestamp=STAMP, **options)


class Color(enum.Enum):
    RED = "red"
    DEEP = {"nested": [1, 2.5]}


@dataclasses.dataclass
class Point:
    x: int
    y: object


class Unknown:
    pass


class StrKey(str):
    pass


class DateLike:
    def isoformat(self):
        return "someday"


class BrokenZone(datetime.tzinfo):
    def utcoffset(self, dt):
        raise ValueError("no offset")


texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20) | st.sampled_from(
    ["a\ud800b", "\udc00", "password", "token", "level", "service", "_vorlisk_redacted"])
scalars = (st.none() | st.booleans() | st.integers() | st.integers(-(2**90), 2**90)
           | st.floats() | texts
           | st.sampled_from([Color.RED, Color.DEEP, Point(1, "p"), Unknown(), DateLike(),
                              datetime.date(2024, 2, 29),
                              datetime.datetime(2024, 1, 2, 3, 4, 5, 6),
                              datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc),
                              datetime.datetime(2024, 1, 2, tzinfo=BrokenZone()),
                              uuid.UUID(int=0), b"bytes", {1, 2}, 10**30]))
keys = texts | st.sampled_from([StrKey("k"), 1, 2.5, None, True, "1"])
values = st.recursive(
    scalars,
    lambda children: (st.lists(children, max_size=4) | st.tuples(children, children)
                      | st.dictionaries(keys, children, max_size=4)),
    max_leaves=25,
)
plain_keys = texts.filter(lambda key: "\ud800" not in key and "\udc00" not in key)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(plain_keys, values, max_size=6))
def test_line_equals_the_rendered_fields(fields):
    line = rendered(fields)
    assert captured(fields) == line
    # The render functions write straight from the dict too.
    assert rust.render_line(fields, "app", "info", "svc", "hi", timestamp=STAMP) == line
    writer = rust._NativeStringWriter(0)
    assert writer.render_enqueue_json(fields, "app", "info", "svc", "hi", True, timestamp=STAMP)
    writer.close()
    assert writer.messages() == [line + "\n"]


@pytest.mark.parametrize("keys", [None, [], ["user"], ["PASSWORD", "nested"]])
def test_sensitive_keys_at_every_depth(keys):
    config = rust.RuntimeConfig("svc", sensitive_keys=keys)
    fields = {"user": "u", "password": "p", "nested": {"password": [1], "deeper": {"token": 2}},
              "list": [{"secret": "s"}], "_vorlisk_redacted": True}
    options = {} if keys is None else {"sensitive_keys": keys}
    assert captured(fields, config) == rendered(fields, **options)


@pytest.mark.parametrize("fields", [
    {"level": "mine", "severity": "x", "timestamp": 0, "logger": [1], "message": None},
    {"service": "own", "stack": {"a": 1}},
    {"a": 1, "service": "own", "b": 2},
])
def test_fields_named_like_fixed_members(fields):
    assert captured(fields) == rendered(fields)
    assert captured(fields, stack="frames") == rendered(fields, stack="frames")


def test_cycles_and_depth_give_the_placeholders():
    cyclic = {"a": 1}
    cyclic["self"] = cyclic
    looped = [1]
    looped.append(looped)
    deep = []
    for _ in range(70):
        deep = [deep]
    fields = {"cyclic": cyclic, "looped": looped, "deep": deep, "same": [cyclic, cyclic]}
    line = captured(fields)
    assert line == rendered(fields)
    assert '"self":"<cycle: dict>"' in line and "<max depth exceeded>" in line


class Recorder:
    """Its conversion (the enum probe on its type) records its name."""

    seen = []

    def __init__(self, name, raise_=None):
        self.name = name
        self.raise_ = raise_

    @property
    def value(self):
        Recorder.seen.append(self.name)
        if self.raise_:
            raise self.raise_
        return self.name


class RecorderMeta(type):
    __members__ = {}


class Recorded(Recorder, metaclass=RecorderMeta):
    pass


def test_values_convert_in_source_order_even_when_not_written():
    Recorder.seen = []
    bound = {"b1": Recorded("b1"), "password": Recorded("password")}
    kwargs = {"level": Recorded("level"), "k": [Recorded("k0"), {"n": Recorded("k1")}],
              "exc_info": Recorded("skipped")}
    contextvars = {"b1": Recorded("shadowed"), "c": Recorded("c"),
                   "_vorlisk_redacted": Recorded("marker")}
    line = json.loads(captured(kwargs, bound=bound, contextvars=contextvars,
                               exception=Recorded("exc")))
    assert Recorder.seen == ["b1", "password", "level", "k0", "k1", "c", "marker", "exc"]
    assert line["password"] == "[REDACTED]" and line["level"] == "INFO"
    assert line["k"] == ["k0", {"n": "k1"}] and line["exception"] == "exc"
    assert "_vorlisk_redacted" not in line and "exc_info" not in line


@pytest.mark.parametrize("key", ["plain", "password", "level", "_vorlisk_redacted"])
def test_a_failing_conversion_fails_the_call_whatever_the_key(key):
    writer = rust._NativeStringWriter(0)
    with pytest.raises(KeyboardInterrupt):
        writer.log(rust.RuntimeConfig("svc"), "app", "info", "m", {},
                   {key: [1, Recorded("x", KeyboardInterrupt)]}, {}, None, None)
    # An Exception is no failure: the value becomes a placeholder.
    assert writer.log(rust.RuntimeConfig("svc"), "app", "info", "m", {},
                      {key: Recorded("y", ValueError)}, {}, None, None) == 0
    writer.close()
    assert writer.metrics()["enqueued"] == 1
    with pytest.raises(KeyboardInterrupt):
        rust.render_line({key: [1, Recorded("x", KeyboardInterrupt)]}, "app", "info", "s", "m")


def test_a_list_emptied_during_its_conversion():
    items = [1]
    items += [ClearsOwner(items), 2, 3]
    line = json.loads(captured({"items": items}))
    assert line["items"] == [1, "cleared"]


class RefillsOwner(ClearsOwner):
    """Empties its dict, then gives it a new key."""

    def isoformat(self):
        text = super().isoformat()
        self.owner["new"] = 1
        return text


def test_a_dict_changed_during_its_conversion_is_written_as_it_was():
    inner = {"a": 1}
    inner["b"] = RefillsOwner(inner)
    inner["c"] = "kept"
    line = json.loads(captured({"inner": inner}))
    assert line["inner"] == {"a": 1, "b": "cleared", "c": "kept"}

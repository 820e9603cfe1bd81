import dataclasses
import datetime
import decimal
import enum
import json
import uuid

import pytest

from vorlisk._rust import _conversion_stats, _convert_value_debug, _render_json_debug

MAX_DEPTH = "<max depth exceeded>"


def nested_lists(levels, inner):
    for _ in range(levels):
        inner = [inner]
    return inner


def innermost(value):
    while isinstance(value, list):
        value = value[0]
    return value


@pytest.mark.parametrize("levels, inner, expected", [
    (63, 1, 1), (64, 1, MAX_DEPTH), (65, 1, MAX_DEPTH), (64, None, MAX_DEPTH)])
def test_depth_limit(levels, inner, expected):
    assert innermost(_convert_value_debug(nested_lists(levels, inner))) == expected


@dataclasses.dataclass
class Node:
    name: str
    child: object = None


def test_cycles_become_placeholders():
    items = [1]
    items.append(items)
    mapping = {"a": 1}
    mapping["self"] = mapping
    node = Node("n")
    node.child = node
    through = {"list": []}
    through["list"].append((through,))
    assert _convert_value_debug(items) == [1, "<cycle: list>"]
    assert _convert_value_debug(mapping) == {"a": 1, "self": "<cycle: dict>"}
    assert _convert_value_debug(node) == {"name": "n", "child": "<cycle: Node>"}
    assert _convert_value_debug(through) == {"list": [["<cycle: dict>"]]}
    shared = [1]  # twice side by side is no cycle
    assert _convert_value_debug([shared, (shared,)]) == [[1], [[1]]]


@pytest.mark.parametrize("number", [2**63 - 1, 2**63, -2**63, -2**63 - 1])
def test_integers_at_the_64_bit_edges(number):
    assert _render_json_debug(number) == str(number)
    assert _convert_value_debug(number) == number


class InfFloat(float):
    pass


class LoudInt(int):
    def __repr__(self):
        return "LoudInt!"


class Color(enum.IntEnum):
    RED = 1


class Mode(str, enum.Enum):
    FAST = "fast"


class Shape(enum.Enum):
    BAG = frozenset({1})
    BOX = {"w": 2}


class UUID:
    """Not the uuid module's class, but shaped like it."""
    hex = "abc"
    int = 7

    def __str__(self):
        return "custom-uuid"


@dataclasses.dataclass
class Point:
    y: int
    x: object


@pytest.mark.parametrize("value, expected", [
    (True, True),
    (Color.RED, 1),
    (Mode.FAST, "fast"),
    (LoudInt(5), 5),
    (LoudInt(2**64), 2**64),
    (InfFloat(2.5), 2.5),
    (Shape.BOX, {"w": 2}),
    (Shape.BAG, "<unsupported: frozenset>"),
    (datetime.date(2024, 1, 2), "2024-01-02"),
    (datetime.datetime(2024, 1, 2, 3, 4, 5, 6), "2024-01-02T03:04:05.000006"),
    (uuid.UUID("12345678-1234-5678-1234-567812345678"), "12345678-1234-5678-1234-567812345678"),
    (UUID(), "custom-uuid"),
    (Point(x=[datetime.date(2024, 1, 2)], y=2), {"y": 2, "x": ["2024-01-02"]}),
    ({1, 2}, "<unsupported: set>"),
    (b"raw", "<unsupported: bytes>"),
    (decimal.Decimal("1.5"), "<unsupported: Decimal>"),
])
def test_kinds(value, expected):
    converted = _convert_value_debug(value)
    assert converted == expected
    assert type(converted) is type(expected)
    if isinstance(expected, dict):
        assert list(converted) == list(expected)


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf"), InfFloat("inf")])
def test_non_finite_floats_are_null(value):
    assert _render_json_debug([value]) == "[null]"


class IsoRaises:
    def isoformat(self):
        raise ValueError("no")


class IsoReturnsInt:
    def isoformat(self):
        return 5


class ProbeMeta(type):
    """A type whose probe for `__members__` raises `cls.error`."""

    def __getattr__(cls, name):
        if name == "__members__":
            raise cls.error(name)
        raise AttributeError(name)


class LookupOnProbe(metaclass=ProbeMeta):
    error = LookupError


class InterruptOnProbe(metaclass=ProbeMeta):
    error = KeyboardInterrupt


class InterruptOnIso:
    def isoformat(self):
        raise KeyboardInterrupt("iso")


@pytest.mark.parametrize("value, expected", [
    (IsoRaises(), "<unsupported: IsoRaises>"),
    (IsoReturnsInt(), "<unsupported: IsoReturnsInt>"),
    (LookupOnProbe(), "<unsupported: LookupOnProbe>"),
])
def test_exceptions_while_examining_become_placeholders(value, expected):
    assert _convert_value_debug([1, value]) == [1, expected]


@pytest.mark.parametrize("function", [_convert_value_debug, _render_json_debug, _conversion_stats])
@pytest.mark.parametrize("culprit", [InterruptOnProbe(), InterruptOnIso()])
def test_keyboard_interrupt_propagates_unchanged(function, culprit):
    with pytest.raises(KeyboardInterrupt) as raised:
        function({"deep": [1, {"x": culprit}]})
    assert type(raised.value) is KeyboardInterrupt


@pytest.mark.parametrize("text, expected", [
    ("a\ud800b", "a\ufffdb"),
    ("\ud83d\ude00", "\U0001f600"),
    ("\udc00x", "\ufffdx"),
    ("\ud800\ud800\udc00", "\ufffd\U00010000"),
    ("plain é \U0001f600 \x00\x1f", "plain é \U0001f600 \x00\x1f"),
])
def test_strings_are_utf8_with_surrogates_repaired(text, expected):
    assert _convert_value_debug(text) == expected
    assert json.loads(_render_json_debug(text)) == expected


class OddKey(str):
    def __hash__(self):
        return 12345

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("mapping, expected", [
    ({1: "a", "1": "b"}, {"1": "b"}),
    ({"x": 0, "1": "a", 1: "b"}, {"x": 0, "1": "b"}),
    ({None: 1, True: 2, 1.5: 3, 2**70: 4}, {"null": 1, "true": 2, "1.5": 3, "1180591620717411303424": 4}),
    ({(1, 2): "a", (3, 4): "b"}, {"<unsupported: tuple>": "b"}),
    ({frozenset(): 1, datetime.date(2024, 1, 2): 2}, {"<unsupported: frozenset>": 1, "2024-01-02": 2}),
    ({"a": 1, OddKey("a"): 2, "b": 3}, {"a": 2, "b": 3}),
    ({"k\ud800": 1, "k\udc00": 2}, {"k\ufffd": 2}),
])
def test_nested_dict_keys_become_texts(mapping, expected):
    converted = _convert_value_debug([mapping])[0]
    assert list(converted.items()) == list(expected.items())


# ---- user code that frees what is being converted ----------------------------------

class ClearsOwner:
    def __init__(self, owner):
        self.owner = owner

    def isoformat(self):
        self.owner.clear()
        return "cleared"


class ClearingMeta(type):
    def __getattr__(cls, name):
        if name == "__members__":
            cls.owner.clear()
        raise AttributeError(name)


class ClearsOnProbe(metaclass=ClearingMeta):
    owner = []

    def isoformat(self):
        return "probed"


def test_element_that_empties_its_own_list():
    items = [1]
    items += [ClearsOwner(items), 2]
    assert _convert_value_debug(items) == [1, "cleared"]


def test_element_that_empties_the_list_holding_its_list():
    outer = []
    outer.append([ClearsOwner(outer), "rest"])  # the inner list's only owner
    assert _convert_value_debug(outer) == [["cleared", "rest"]]


def test_probe_that_frees_the_object_being_examined():
    ClearsOnProbe.owner.append(ClearsOnProbe())
    assert _convert_value_debug(ClearsOnProbe.owner) == ["probed"]


def test_value_that_empties_its_dict_sees_the_snapshot():
    mapping = {"a": 1}
    mapping["b"] = ClearsOwner(mapping)
    mapping["c"] = [2]
    assert _convert_value_debug(mapping) == {"a": 1, "b": "cleared", "c": [2]}


@pytest.mark.parametrize("value, nodes, max_depth", [
    (5, 1, 1), ({"a": [1, 2]}, 4, 3), ({}, 1, 1), (nested_lists(64, 1), 65, 65)])
def test_conversion_stats(value, nodes, max_depth):
    assert list(_conversion_stats(obj=value).items()) == [("nodes", nodes), ("max_depth", max_depth)]

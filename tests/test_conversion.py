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
    value = inner
    for _ in range(levels):
        value = [value]
    return value


def innermost(value):
    while isinstance(value, list):
        value = value[0]
    return value


# ---- depth and cycles -------------------------------------------------------

@pytest.mark.parametrize("levels, expected", [(62, 1), (63, 1), (64, MAX_DEPTH), (65, MAX_DEPTH)])
def test_depth_limit(levels, expected):
    assert innermost(_convert_value_debug(nested_lists(levels, 1))) == expected


def test_none_below_the_limit_is_a_placeholder_too():
    assert innermost(_convert_value_debug(nested_lists(64, None))) == MAX_DEPTH


@dataclasses.dataclass
class Node:
    name: str
    child: object = None


def test_cycles_become_placeholders():
    items = [1]
    items.append(items)
    assert _convert_value_debug(items) == [1, "<cycle: list>"]

    mapping = {"a": 1}
    mapping["self"] = mapping
    assert _convert_value_debug(mapping) == {"a": 1, "self": "<cycle: dict>"}

    node = Node("n")
    node.child = node
    assert _convert_value_debug(node) == {"name": "n", "child": "<cycle: Node>"}

    # A cycle through several containers is caught where it closes.
    outer = {"list": []}
    outer["list"].append((outer,))
    assert _convert_value_debug(outer) == {"list": [["<cycle: dict>"]]}


def test_a_container_seen_twice_side_by_side_is_not_a_cycle():
    shared = [1]
    assert _convert_value_debug([shared, shared]) == [[1], [1]]
    assert _convert_value_debug({"a": shared, "b": (shared,)}) == {"a": [1], "b": [[1]]}


# ---- numbers ----------------------------------------------------------------

@pytest.mark.parametrize("number, json_text", [
    (2**63 - 1, "9223372036854775807"),
    (2**63, "9223372036854775808"),
    (-2**63, "-9223372036854775808"),
    (-2**63 - 1, "-9223372036854775809"),
    (2**70, "1180591620717411303424"),
    (-(10**40), "-" + "1" + "0" * 40),
])
def test_integers_of_any_size(number, json_text):
    assert _render_json_debug(number) == json_text
    assert _convert_value_debug(number) == number
    assert type(_convert_value_debug(number)) is int


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


@pytest.mark.parametrize("value, expected", [
    (True, True),
    (False, False),
    (Color.RED, 1),
    (Mode.FAST, "fast"),
    (LoudInt(5), 5),
    (LoudInt(2**64), 2**64),
    (InfFloat(2.5), 2.5),
    (Shape.BOX, {"w": 2}),
    (Shape.BAG, "<unsupported: frozenset>"),
])
def test_bools_enums_and_int_subclasses(value, expected):
    converted = _convert_value_debug(value)
    assert converted == expected
    assert type(converted) is type(expected)


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf"), InfFloat("inf")])
def test_non_finite_floats_are_null(value):
    assert _convert_value_debug(value) is None
    assert _render_json_debug([value]) == "[null]"


# ---- date-like objects, UUIDs, dataclasses, placeholders -----------------------

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
    (datetime.date(2024, 1, 2), "2024-01-02"),
    (datetime.datetime(2024, 1, 2, 3, 4, 5, 6), "2024-01-02T03:04:05.000006"),
    (datetime.time(7, 8), "07:08:00"),
    (uuid.UUID("12345678-1234-5678-1234-567812345678"), "12345678-1234-5678-1234-567812345678"),
    (UUID(), "custom-uuid"),
    (Point(2, [datetime.date(2024, 1, 2)]), {"y": 2, "x": ["2024-01-02"]}),
    (Point(x=1, y=2), {"y": 2, "x": 1}),
    ({1, 2}, "<unsupported: set>"),
    (b"raw", "<unsupported: bytes>"),
    (decimal.Decimal("1.5"), "<unsupported: Decimal>"),
    (object(), "<unsupported: object>"),
])
def test_special_kinds(value, expected):
    converted = _convert_value_debug(value)
    assert converted == expected
    if isinstance(expected, dict):
        assert list(converted) == list(expected)


class IsoRaises:
    def isoformat(self):
        raise ValueError("no")


class IsoReturnsInt:
    def isoformat(self):
        return 5


class BrokenUUID(UUID):
    def __str__(self):
        raise RuntimeError("nope")


BrokenUUID.__name__ = "UUID"


class RaisingMeta(type):
    def __getattr__(cls, name):
        if name == "isoformat":
            raise LookupError(name)
        raise AttributeError(name)


class ProbeRaises(metaclass=RaisingMeta):
    pass


@dataclasses.dataclass
class FieldRaises:
    a: int

    def __getattribute__(self, name):
        if name == "a":
            raise RuntimeError("unreadable")
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("value, expected", [
    (IsoRaises(), "<unsupported: IsoRaises>"),
    (IsoReturnsInt(), "<unsupported: IsoReturnsInt>"),
    (BrokenUUID(), "<unsupported: UUID>"),
    (ProbeRaises(), "<unsupported: ProbeRaises>"),
    (FieldRaises(1), "<unsupported: FieldRaises>"),
    ([1, IsoRaises()], [1, "<unsupported: IsoRaises>"]),
])
def test_exceptions_while_examining_become_placeholders(value, expected):
    assert _convert_value_debug(value) == expected


class InterruptingMeta(type):
    def __getattr__(cls, name):
        if name == "__members__":
            raise KeyboardInterrupt("probe")
        raise AttributeError(name)


class InterruptingProbe(metaclass=InterruptingMeta):
    pass


class InterruptingIso:
    def isoformat(self):
        raise KeyboardInterrupt("iso")


class ExitingEnumValue(enum.Enum):
    A = 1

    @property
    def value(self):
        raise SystemExit(3)


@pytest.mark.parametrize("function", [_convert_value_debug, _render_json_debug, _conversion_stats])
@pytest.mark.parametrize("culprit, error", [
    (InterruptingProbe(), KeyboardInterrupt),
    (InterruptingIso(), KeyboardInterrupt),
    (ExitingEnumValue.A, SystemExit),
])
def test_non_exception_errors_propagate_unchanged(function, culprit, error):
    with pytest.raises(error) as raised:
        function({"deep": [1, {"x": culprit}]})
    assert type(raised.value) is error


# ---- text -------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("a\ud800b", "a\ufffdb"),
    ("\ud83d\ude00", "\U0001f600"),
    ("\udc00x", "\ufffdx"),
    ("\ud800", "\ufffd"),
    ("\ud800\ud800\udc00", "\ufffd\U00010000"),
    ("\ud83d", "\ufffd"),
    ("plain é \U0001f600 \x00\x1f", "plain é \U0001f600 \x00\x1f"),
])
def test_strings_are_utf8_with_surrogates_repaired(text, expected):
    assert _convert_value_debug(text) == expected
    assert json.loads(_render_json_debug(text)) == expected


# ---- dict keys ----------------------------------------------------------------

class OddKey(str):
    def __hash__(self):
        return 12345

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("mapping, expected", [
    ({1: "a", "1": "b"}, {"1": "b"}),
    ({"1": "a", 1: "b"}, {"1": "b"}),
    ({None: 1, True: 2, 1.5: 3, 2**70: 4}, {"null": 1, "true": 2, "1.5": 3, "1180591620717411303424": 4}),
    ({float("nan"): 1}, {"null": 1}),
    ({(1, 2): "a"}, {"<unsupported: tuple>": "a"}),
    ({(1, 2): "a", (3, 4): "b"}, {"<unsupported: tuple>": "b"}),
    ({frozenset(): 1}, {"<unsupported: frozenset>": 1}),
    ({datetime.date(2024, 1, 2): 1}, {"2024-01-02": 1}),
    ({Color.RED: "x"}, {"1": "x"}),
    ({"a": 1, OddKey("a"): 2, "b": 3}, {"a": 2, "b": 3}),
    ({"k\ud800": 1, "k\udc00": 2}, {"k\ufffd": 2}),
])
def test_nested_dict_keys_become_texts(mapping, expected):
    converted = _convert_value_debug([mapping])[0]
    assert converted == expected
    assert list(converted) == list(expected)


# ---- user code that changes what is being converted -------------------------------

class ClearsOwner:
    def __init__(self, owner):
        self.owner = owner

    def isoformat(self):
        self.owner.clear()
        return "cleared"


def test_element_that_empties_its_own_list():
    items = [1]
    items.append(ClearsOwner(items))
    items.append(2)
    # The element's only other owner is the list it just emptied.
    assert _convert_value_debug(items) == [1, "cleared"]
    assert items == []


def test_element_that_empties_the_list_holding_its_list():
    outer = []
    outer.append([ClearsOwner(outer), "rest"])
    # The inner list's only owner was the outer list.
    assert _convert_value_debug(outer) == [["cleared", "rest"]]


class ClearingMeta(type):
    def __getattr__(cls, name):
        if name == "__members__":
            cls.owner.clear()
        raise AttributeError(name)


class ClearsOnProbe(metaclass=ClearingMeta):
    owner = []

    def isoformat(self):
        return "probed"


def test_probe_that_frees_the_object_being_examined():
    items = ClearsOnProbe.owner
    items.append(ClearsOnProbe())
    assert _convert_value_debug(items) == ["probed"]


def test_value_that_empties_its_dict_sees_the_snapshot():
    mapping = {"a": 1}
    mapping["b"] = ClearsOwner(mapping)
    mapping["c"] = [2]
    assert _convert_value_debug(mapping) == {"a": 1, "b": "cleared", "c": [2]}
    assert mapping == {}


# ---- stats and JSON text ---------------------------------------------------------

@pytest.mark.parametrize("value, nodes, max_depth", [
    (5, 1, 1),
    ({"a": [1, 2]}, 4, 3),
    ({}, 1, 1),
    (nested_lists(64, 1), 65, 65),
])
def test_conversion_stats(value, nodes, max_depth):
    stats = _conversion_stats(value)
    assert stats == {"nodes": nodes, "max_depth": max_depth}
    assert list(stats) == ["nodes", "max_depth"]


def test_json_debug_text_is_compact():
    assert _render_json_debug({"a": [1, 2.0, None]}) == '{"a":[1,2.0,null]}'
    assert _render_json_debug((1, "x")) == '[1,"x"]'


def test_debug_functions_bind_obj_by_name():
    assert _convert_value_debug(obj=(1, 2)) == [1, 2]
    for function in (_convert_value_debug, _render_json_debug, _conversion_stats):
        assert function.__text_signature__ == "(obj)"
    with pytest.raises(TypeError, match=r"_conversion_stats\(\) missing 1 required positional"):
        _conversion_stats()

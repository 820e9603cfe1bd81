"""Dates, datetimes and UUIDs of the standard library convert to exactly the
text of their own isoformat() and str()."""

import datetime
import json
import os
import random
import subprocess
import sys
import textwrap
import uuid

import pytest

import vorlisk._rust as rust
from test_module import _interpreters, _run_with_the_build

convert = rust._convert_value_debug

OFFSETS = [None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=5, minutes=30)),
           datetime.timezone(datetime.timedelta(hours=-5, minutes=-30)),
           datetime.timezone(datetime.timedelta(seconds=-1)),
           datetime.timezone(datetime.timedelta(microseconds=1)),
           datetime.timezone(datetime.timedelta(hours=23, minutes=59, seconds=59,
                                                microseconds=999999)),
           datetime.timezone(-datetime.timedelta(hours=23, minutes=59, seconds=59,
                                                 microseconds=1))]


def test_datetimes_dates_and_uuids_match_their_own_text():
    rng = random.Random(20261207)
    for _ in range(3000):
        value = datetime.datetime(
            rng.choice([1, 9, 999, 1000, 2026, 9999, rng.randint(1, 9999)]), rng.randint(1, 12),
            rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59),
            rng.choice([0, 1, 999999, rng.randint(0, 999999)]), tzinfo=rng.choice(OFFSETS),
            fold=rng.randint(0, 1))
        assert convert(value) == value.isoformat()
        assert convert(value.date()) == value.date().isoformat()
        identifier = uuid.UUID(int=rng.getrandbits(128))
        assert convert(identifier) == str(identifier)


class NoOffset(datetime.tzinfo):
    def utcoffset(self, dt):
        return None


class BrokenOffset(datetime.tzinfo):
    def utcoffset(self, dt):
        raise ValueError("no offset")


class InterruptedOffset(datetime.tzinfo):
    def utcoffset(self, dt):
        raise KeyboardInterrupt


def test_tzinfo_outcomes_follow_isoformat():
    naive_text = datetime.datetime(2020, 1, 2, tzinfo=NoOffset()).isoformat()
    assert convert(datetime.datetime(2020, 1, 2, tzinfo=NoOffset())) == naive_text
    assert convert(datetime.datetime(2020, 1, 2, tzinfo=BrokenOffset())) == "<unsupported: datetime>"
    with pytest.raises(KeyboardInterrupt):
        convert(datetime.datetime(2020, 1, 2, tzinfo=InterruptedOffset()))


class OwnFormat(datetime.datetime):
    def isoformat(self):
        return "own"


def test_subclasses_and_replaced_methods_are_honoured(monkeypatch):
    assert convert(OwnFormat(2020, 1, 2)) == "own"
    identifier = uuid.UUID(int=7)
    monkeypatch.setattr(uuid.UUID, "__str__", lambda self: "patched")
    assert convert(identifier) == "patched"
    monkeypatch.undo()
    assert convert(identifier) == str(identifier)


# Every width boundary of the two-digit table: 1 to 4-digit years, 1 to
# 6-digit fractions, offsets with and without seconds and fractions.
@pytest.mark.parametrize("year", [1, 9, 10, 99, 100, 999, 1000, 9999])
@pytest.mark.parametrize("microsecond", [0, 1, 10, 99, 100, 9999, 10000, 999999])
@pytest.mark.parametrize("tzinfo", OFFSETS + [
    datetime.timezone(datetime.timedelta(minutes=-1)),
    datetime.timezone(datetime.timedelta(seconds=10, microseconds=10)),
    datetime.timezone(-datetime.timedelta(seconds=59, microseconds=999999))])
def test_width_boundaries(year, microsecond, tzinfo):
    value = datetime.datetime(year, 9, 10, 9, 59, 10, microsecond, tzinfo=tzinfo)
    assert convert(value) == value.isoformat()
    assert convert(value.date()) == value.date().isoformat()


@pytest.mark.parametrize("number", [0, 2**128 - 1, 0x000102030405060708090A0B0C0D0E0F,
                                    0xF0E1D2C3B4A5968778695A4B3C2D1E0F, 2**64 - 1, 2**64, 2**63])
def test_uuid_bytes_and_halves(number):
    identifier = uuid.UUID(int=number)
    assert convert(identifier) == str(identifier)


class ShiftyInt(int):
    def __rshift__(self, other):
        return 0


@pytest.mark.parametrize("number", [ShiftyInt(2**127 + 5), -1, 2**128])
def test_uuid_int_of_odd_kinds_gives_its_own_str(number):
    identifier = uuid.UUID(int=7)
    object.__setattr__(identifier, "int", number)
    assert convert(identifier) == str(identifier)


class CountingOffset(datetime.tzinfo):
    """A new offset object on every call, so no cached text applies."""
    calls = 0

    def utcoffset(self, dt):
        CountingOffset.calls += 1
        return datetime.timedelta(minutes=dt.minute - 30, microseconds=dt.microsecond)


def test_custom_offsets_are_asked_once_per_datetime():
    zone = CountingOffset()
    for minute in [0, 29, 30, 31, 59, 30]:
        value = datetime.datetime(2026, 1, 2, 3, minute, 0, minute * 7, tzinfo=zone)
        CountingOffset.calls = 0
        text = convert(value)
        assert CountingOffset.calls == 1
        assert text == value.isoformat()


def in_a_fresh_process(source):
    """Runs `source` in a new interpreter (process-wide caches start empty)."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True,
                            text=True, timeout=120, env=os.environ.copy())
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_offsets_released_by_the_cache_may_convert_again():
    # The cached offset's finalizer converts another aware datetime while the
    # cache replaces it: no object is released twice, and every text is right.
    out = in_a_fresh_process("""
        import datetime as dt
        import vorlisk._rust as rust
        keep = []
        class TD(dt.timedelta):
            def __del__(self):
                keep.append(self)
                nested = dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2)))
                assert rust._convert_value_debug(nested) == nested.isoformat()
        class TZ(dt.tzinfo):
            def utcoffset(self, d):
                return TD(hours=1)
        for _ in range(3):
            assert rust._convert_value_debug(dt.datetime(2024, 1, 2, tzinfo=TZ())) == \\
                "2024-01-02T00:00:00+01:00"
        junk = [dict(a=i) for i in range(1000)]
        for offset in keep:
            print(offset.days, repr(offset))
    """)
    assert out.splitlines() and set(out.splitlines()) == {"0 TD(seconds=3600)"}


class Shifted(datetime.timedelta):
    """An offset whose attributes lie: isoformat() reads its own fields."""
    days = property(lambda self: -1)
    seconds = property(lambda self: 0)
    microseconds = property(lambda self: 7)


class ShiftedZone(datetime.tzinfo):
    def utcoffset(self, dt):
        return Shifted(hours=-2, seconds=-3, microseconds=-4)


def json_field(value):
    line = rust.render_line({"v": value}, "app", "info", "svc", "hi")
    return json.loads(line)["v"]


@pytest.mark.parametrize("tzinfo", [datetime.timezone(Shifted(hours=1)),
                                    datetime.timezone(Shifted(minutes=-90), "named"),
                                    ShiftedZone()])
def test_offset_subclasses_give_their_isoformat(tzinfo):
    for _ in range(2):  # the second time from the cached offset
        value = datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=tzinfo)
        assert convert(value) == value.isoformat()
        assert json_field(value) == value.isoformat()


class Index:
    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number


@pytest.mark.parametrize("make_int", [Index, "numpy.int64", "numpy.uint64"])
def test_uuids_holding_other_integers_give_their_str(make_int):
    if isinstance(make_int, str):
        make_int = getattr(pytest.importorskip("numpy"), make_int.split(".")[1])
    identifier = uuid.UUID(int=1)
    object.__setattr__(identifier, "int", make_int(0x1234))
    assert convert(identifier) == str(identifier) == "00000000-0000-0000-0000-000000001234"
    assert json_field(identifier) == str(identifier)


def test_standard_uuids_are_formatted_without_calling_their_str():
    calls = []
    identifier = uuid.UUID(int=5)
    sys.setprofile(lambda frame, event, arg: event == "call" and calls.append(frame.f_code.co_name))
    try:
        text = convert(identifier)
    finally:
        sys.setprofile(None)
    assert text == str(identifier) and "__str__" not in calls


MISSING = object()


def give(name, value):
    return name, value


def take(name):
    return name, MISSING


# Changes to the class that the probes see before str(): each UUID then
# converts as any other object would.
@pytest.mark.parametrize("change, expected", [
    (give("isoformat", lambda self: "own isoformat"), "own isoformat"),
    (give("__members__", {}), "<unsupported: UUID>"),  # an enum member without a value
    (take("hex"), "<unsupported: UUID>"),
    (give("__name__", "Renamed"), "<unsupported: Renamed>"),
    (give("__str__", lambda self: "own str"), "own str"),
    (give("int", property(lambda self: 0x1234)), "00000000-0000-0000-0000-000000001234"),
], ids=["isoformat", "__members__", "no hex", "renamed", "__str__", "int"])
def test_a_changed_uuid_class_converts_like_any_object(change, expected):
    identifier = uuid.UUID(int=2**127 + 5)
    name, value = change
    before = uuid.UUID.__dict__.get(name, MISSING) if name != "__name__" else "UUID"
    try:
        if value is MISSING:
            delattr(uuid.UUID, name)
        else:
            setattr(uuid.UUID, name, value)
        assert convert(identifier) == expected
        assert json_field(identifier) == expected
    finally:
        if before is MISSING:
            delattr(uuid.UUID, name)
        else:
            setattr(uuid.UUID, name, before)
    assert convert(identifier) == json_field(identifier) == "80000000-0000-0000-0000-000000000005"


def int_is_five(self, name):
    return 5 if name == "int" else object.__getattribute__(self, name)


def missing_int_is_five(self, name):
    if name == "int":
        return 5
    raise AttributeError(name)


def logged_field(value):
    writer = rust._NativeStringWriter(0)
    writer.log(rust.RuntimeConfig("svc"), "app", "info", "hi", {}, {"v": value}, {}, None, None)
    writer.close()
    [line] = writer.messages()
    return json.loads(line)["v"]


# str() reads self.int through the class's attribute hooks: a UUID class
# given one converts through str(), also after a standard UUID was formatted
# natively (the verdict kept from then must not stand).
@pytest.mark.parametrize("hook, function, unhooked", [
    ("__getattribute__", int_is_five, "80000000-0000-0000-0000-000000000005"),
    ("__getattr__", missing_int_is_five, "<unsupported: UUID>"),  # its int slot is unset
])
def test_uuid_attribute_hooks_are_honoured(hook, function, unhooked):
    identifier = uuid.UUID(int=2**127 + 5) if hook == "__getattribute__" else \
        uuid.UUID.__new__(uuid.UUID)
    standard = uuid.UUID(int=7)
    assert convert(standard) == str(standard)
    setattr(uuid.UUID, hook, function)
    try:
        expected = str(identifier)
        assert expected == "00000000-0000-0000-0000-000000000005"
        for _ in range(2):
            assert convert(identifier) == json_field(identifier) == logged_field(identifier) == \
                expected
    finally:
        delattr(uuid.UUID, hook)
    assert convert(identifier) == json_field(identifier) == logged_field(identifier) == unhooked


def test_a_uuid_class_changed_many_times_is_followed_every_time():
    identifier = uuid.UUID(int=9)
    for round in range(50):
        uuid.UUID.isoformat = lambda self, round=round: f"round {round}"
        try:
            assert convert(identifier) == json_field(identifier) == f"round {round}"
        finally:
            del uuid.UUID.isoformat
        assert convert(identifier) == json_field(identifier) == str(identifier)


UUID_CHANGES_FOLLOWED = """
import json, sys, uuid
import vorlisk._rust as rust

def field(value):
    return json.loads(rust.render_line({"v": value}, "a", "info", "s", "m"))["v"]

def formatted_natively(value):
    calls = []
    sys.setprofile(lambda frame, event, arg: event == "call" and calls.append(frame.f_code.co_name))
    try:
        text = field(value)
    finally:
        sys.setprofile(None)
    return text == str(value) and "__str__" not in calls

identifier, unset = uuid.UUID(int=2**127 + 5), uuid.UUID.__new__(uuid.UUID)
changes = [("__getattribute__", lambda self, n: 5 if n == "int" else object.__getattribute__(self, n)),
           ("__getattr__", lambda self, n: 5), ("isoformat", lambda self: "own"),
           ("__str__", lambda self: "own")]
for _ in range(3):
    for name, value in changes:
        assert formatted_natively(identifier)
        before = uuid.UUID.__dict__.get(name)
        setattr(uuid.UUID, name, value)
        assert field(identifier) == str(identifier) or name == "isoformat", name
        assert field(unset) == (str(unset) if name != "isoformat" else "own"), name
        if before is None:
            delattr(uuid.UUID, name)
        else:
            setattr(uuid.UUID, name, before)
print("followed")
"""


@pytest.mark.parametrize("interpreter", _interpreters())
def test_uuid_class_changes_are_followed_under_every_interpreter(interpreter):
    out = _run_with_the_build(interpreter, UUID_CHANGES_FOLLOWED)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "followed\n"


def test_a_uuid_str_replaced_before_the_first_conversion_is_used():
    out = in_a_fresh_process("""
        import uuid
        import vorlisk._rust as rust
        uuid.UUID.__str__ = lambda self: "own str"
        print(rust._convert_value_debug(uuid.UUID(int=5)))
        print(rust.render_line({"v": uuid.UUID(int=5)}, "a", "info", "s", "m"))
    """)
    first, line = out.splitlines()
    assert first == "own str" and json.loads(line)["v"] == "own str"


def test_another_module_named_uuid_is_not_the_standard_one():
    out = in_a_fresh_process("""
        import sys, types
        import vorlisk._rust as rust
        fake = types.ModuleType("uuid")
        exec('''
        class UUID:
            __slots__ = ("int",)
            def __init__(self, number):
                self.int = number
            hex = property(lambda self: "%032x" % self.int)
            def __str__(self):
                return "own " + self.hex
        ''', fake.__dict__)
        sys.modules["uuid"] = fake
        print(rust._convert_value_debug(fake.UUID(5)))
        del sys.modules["uuid"]
        import uuid  # the standard module, examined afresh
        print(rust._convert_value_debug(uuid.UUID(int=5)))
    """)
    assert out.splitlines() == ["own 00000000000000000000000000000005",
                                "00000000-0000-0000-0000-000000000005"]

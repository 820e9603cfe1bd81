"""Dates, datetimes and UUIDs of the standard library convert to exactly the
text of their own isoformat() and str()."""

import datetime
import random
import uuid

import pytest

import vorlisk._rust as rust

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

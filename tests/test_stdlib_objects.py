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

import enum
import fractions
import os
import time

import pytest

from vorlisk._rust import NativeFilter

TOO_LARGE = (
    "rate_limit_period too large: cannot convert float seconds to Duration: "
    "value is either too big or NaN"
)
NAN = float("nan")
INF = float("inf")


def note_of(exc_info):
    return getattr(exc_info.value, "__notes__", None)


@pytest.mark.parametrize(
    "kwargs, error, message, note",
    [
        ({"sample_rate": 2.0}, ValueError, "sample_rate must be between 0.0 and 1.0, got 2", None),
        ({"sample_rate": NAN}, ValueError, "sample_rate must be between 0.0 and 1.0, got NaN", None),
        ({"sample_rate": -0.5}, ValueError, "sample_rate must be between 0.0 and 1.0, got -0.5", None),
        ({"sample_rate": 1e23}, ValueError,
         "sample_rate must be between 0.0 and 1.0, got 100000000000000000000000", None),
        ({"sample_rate": None}, TypeError, None, "sample_rate"),
        ({"sample_max_level": 20}, TypeError, "'int' object is not an instance of 'str'",
         "sample_max_level"),
        ({"sample_max_level": "\ud800"}, UnicodeEncodeError, None, "sample_max_level"),
        ({"rate_limit_max": 0}, ValueError, "rate_limit_max must be >= 1, got 0", None),
        ({"rate_limit_max": -1}, OverflowError, None, "rate_limit_max"),
        ({"rate_limit_max": 1.5}, TypeError, None, "rate_limit_max"),
        ({"rate_limit_period": 0}, ValueError, "rate_limit_period must be > 0, got 0", None),
        ({"rate_limit_period": -0.0}, ValueError, "rate_limit_period must be > 0, got -0", None),
        ({"rate_limit_period": INF}, ValueError, "rate_limit_period must be > 0, got inf", None),
        ({"rate_limit_period": 1e20}, ValueError, TOO_LARGE, None),
        ({"rate_limit_period": None}, TypeError, None, "rate_limit_period"),
        # Conversion runs for every argument before any check, in order.
        ({"sample_rate": 7.0, "rate_limit_max": -1}, OverflowError, None, "rate_limit_max"),
        ({"sample_rate": None, "rate_limit_max": -1}, TypeError, None, "sample_rate"),
        # Checks run in order; the first failure is the only one reported.
        ({"sample_rate": 5, "rate_limit_max": 0, "rate_limit_period": 0}, ValueError,
         "sample_rate must be between 0.0 and 1.0, got 5", None),
        ({"rate_limit_max": 0, "rate_limit_period": 0}, ValueError,
         "rate_limit_max must be >= 1, got 0", None),
    ],
)
def test_constructor_errors(kwargs, error, message, note):
    with pytest.raises(error) as exc_info:
        NativeFilter(**kwargs)
    assert type(exc_info.value) is error
    if message is not None:
        assert str(exc_info.value) == message
    assert note_of(exc_info) == ([f"while processing '{note}'"] if note else None)


@pytest.mark.parametrize(
    "args, kwargs, empty",
    [
        ((), {}, True),
        ((1.0, "no such level"), {}, True),  # no sampler: the name is never parsed
        ((1,), {"rate_limit_period": 5e-324}, True),  # period checked even without a maximum
        ((0.5, "loud"), {}, False),
        ((fractions.Fraction(1, 2),), {}, False),  # anything with __float__
        ((), {"rate_limit_max": 2**64 - 1, "rate_limit_period": 1.8e19}, False),
    ],
)
def test_valid_constructions(args, kwargs, empty):
    f = NativeFilter(*args, **kwargs)
    assert f.is_empty() is empty
    assert f.stats() == {"sampled": 0, "rate_limited": 0}


def test_empty_filter_allows_and_counts_nothing():
    f = NativeFilter()
    assert all(f.allow("k", level) is True for level in (0, 5, "debug", 2**70))
    assert list(f.stats()) == ["sampled", "rate_limited"]


class Level(enum.IntEnum):
    CUSTOM = 35


class MyStr(str):
    pass


class MyInt(int):
    pass


# With a sample rate of 0, a record passes exactly when its level is above
# the bound, which makes the converted level observable.
@pytest.mark.parametrize(
    "level, bound, passes",
    [
        (10**30, "fatal", True),
        (2**64, "fatal", True),
        (-(10**30), "trace", False),
        (-1, "trace", False),
        (True, "trace", False),
        (6, "trace", True),
        (5, "trace", False),
        (Level.CUSTOM, "warning", True),
        (Level.CUSTOM, "error", False),
        (MyInt(41), "exception", True),
        ("WARNING", "warn", False),
        ("WARNING", "success", True),
        (MyStr("Critical"), "error", True),
        ("no such level", "info", False),  # unknown names mean 20
        ("info\ud800", "trace", True),
        ("\u0131nfo", "debug", True),
    ],
)
def test_level_conversion(level, bound, passes):
    f = NativeFilter(sample_rate=0.0, sample_max_level=bound)
    assert f.allow("k", level) is passes
    assert f.stats() == {"sampled": 0 if passes else 1, "rate_limited": 0}


@pytest.mark.parametrize("filter_kwargs", [{}, {"sample_rate": 0.0}, {"rate_limit_max": 1}])
@pytest.mark.parametrize(
    "level, message",
    [
        (20.0, "'float' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"info", "'bytes' object is not an instance of 'str'"),
    ],
)
def test_level_of_other_types_is_refused_without_note(filter_kwargs, level, message):
    with pytest.raises(TypeError) as exc_info:
        NativeFilter(**filter_kwargs).allow("k", level)
    assert str(exc_info.value) == message
    assert note_of(exc_info) is None


@pytest.mark.parametrize(
    "key, message",
    [
        (b"k", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (3, "'int' object is not an instance of 'str'"),
    ],
)
def test_key_of_other_types_is_an_argument_error(key, message):
    with pytest.raises(TypeError) as exc_info:
        NativeFilter().allow(key, 2.5)  # the key is checked before the level
    assert str(exc_info.value) == message
    assert note_of(exc_info) == ["while processing 'key'"]


def test_sample_rate_zero_one_and_the_level_bound():
    never = NativeFilter(sample_rate=0.0)
    assert not any(never.allow("k", level) for level in (0, 50, 2**40))
    assert never.stats() == {"sampled": 3, "rate_limited": 0}
    always = NativeFilter(sample_rate=1.0, sample_max_level="info")
    assert always.is_empty() and all(always.allow("k", 10) for _ in range(100))
    bounded = NativeFilter(sample_rate=0.5, sample_max_level="warning")
    assert all(bounded.allow("k", level) for level in range(31, 2000))
    assert bounded.stats()["sampled"] == 0


def test_pass_fraction_follows_the_rate():
    f = NativeFilter(sample_rate=0.25)
    draws = 40_000
    passed = sum(f.allow("k", 20) for _ in range(draws))
    # Six standard deviations of a binomial(40000, 0.25) are about 520.
    assert abs(passed - draws / 4) < 520
    assert f.stats() == {"sampled": draws - passed, "rate_limited": 0}


def test_forked_children_sample_records_of_their_own():
    # Pre-forked workers share their parent's seeded generator: each child
    # must draw from a new seed, or every worker keeps the same records.
    sampler = NativeFilter(sample_rate=0.5)
    sampler.allow("k", 20)

    def decisions():
        return "".join("1" if sampler.allow("k", 20) else "0" for _ in range(64))

    children = []
    for _ in range(2):
        read_fd, write_fd = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(write_fd, decisions().encode())
            os._exit(0)
        os.close(write_fd)
        children.append((pid, read_fd))
    sequences = [decisions()]
    for pid, read_fd in children:
        with os.fdopen(read_fd) as pipe:
            sequences.append(pipe.read())
        assert os.waitpid(pid, 0)[1] == 0
    assert all(len(sequence) == 64 for sequence in sequences)
    assert len(set(sequences)) == 3


def test_budget_per_key_after_sampling():
    f = NativeFilter(sample_rate=0.0, sample_max_level="trace", rate_limit_max=3, rate_limit_period=3600)
    assert not f.allow("a", 5)  # sampled: takes nothing from the budget
    assert [f.allow("a", 20) for _ in range(5)] == [True, True, True, False, False]
    assert [f.allow("b", "info") for _ in range(4)] == [True, True, True, False]
    assert f.stats() == {"sampled": 1, "rate_limited": 3}


def test_keys_differing_only_in_unpaired_surrogates_share_a_window():
    f = NativeFilter(rate_limit_max=1, rate_limit_period=3600)
    assert f.allow("a\ud800b", 20)
    assert not f.allow("a\udfffb", 20)
    assert not f.allow("a\ufffdb", 20)
    assert f.allow("a\U0001f600b", 20)
    assert not f.allow("a\ud83d\ude00b", 20)  # two lone halves join into one character


def test_drops_do_not_extend_the_window():
    # Records of the key keep coming through the window and are dropped;
    # had a drop moved the window, none would pass while they keep coming.
    # Each check rests on clock readings around the calls: a record that
    # returned before the window could end is dropped, one that began after
    # it surely ended passes, whatever the scheduler did in between.
    period_ns = 200_000_000
    slack_ns = 1_000  # the float period may round to a nanosecond either way
    f = NativeFilter(rate_limit_max=1, rate_limit_period=period_ns / 1e9)
    before = time.monotonic_ns()
    assert f.allow("k", 20)
    after = time.monotonic_ns()
    while True:
        call_began = time.monotonic_ns()
        allowed = f.allow("k", 20)
        call_ended = time.monotonic_ns()
        if call_ended < before + period_ns - slack_ns:
            assert not allowed
        if call_began >= after + period_ns + slack_ns:
            assert allowed
        if allowed:
            break
        time.sleep(0.005)


@pytest.mark.parametrize("period", [1e-10, 5e-324])
def test_period_rounding_to_zero_lets_everything_pass(period):
    f = NativeFilter(rate_limit_max=1, rate_limit_period=period)
    assert all(f.allow("k", 20) for _ in range(1000))


@pytest.mark.parametrize("period", [2.0**62, 2.0**63, 1.8446744073709550e19])
def test_huge_periods_never_expire(period):
    f = NativeFilter(rate_limit_max=2, rate_limit_period=period)
    assert [f.allow("k", 20) for _ in range(4)] == [True, True, False, False]
    # More than a sweep interval of passes over other keys leaves "k" limited.
    assert all(f.allow(f"other {i}", 20) for i in range(1500))
    assert not f.allow("k", 20)


def test_key_table_evicts_the_least_recently_seen_tenth():
    f = NativeFilter(rate_limit_max=1, rate_limit_period=3600)
    assert all(f.allow(f"k{i}", 20) for i in range(8192))
    assert not f.allow("k0", 20)  # a drop still counts as seen
    assert f.allow("newcomer", 20)  # the 8193rd key: 819 keys go
    # Kept: the refreshed key and the newest ones.
    assert not f.allow("k0", 20)
    assert not any(f.allow(f"k{i}", 20) for i in range(900, 8192))
    # Evicted: the oldest, which start again from nothing.
    assert all(f.allow(f"k{i}", 20) for i in range(1, 800))

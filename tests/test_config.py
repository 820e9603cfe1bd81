import time

import pytest

from vorlisk._rust import RedactionConfig, RuntimeConfig, validate_patterns

LOOKBEHIND = r"(?<=user=)\w+"
# Exponential for a backtracking engine on a run of "a" with no "b"; the
# look-ahead keeps the linear-time engine from taking it.
CATASTROPHIC = r"^(a|aa)+(?=b)"


def test_runtime_config_defaults():
    config = RuntimeConfig("api")
    assert (config.service, config.console, config.colors, config.blocking) == ("api", False, False, True)
    assert config.pattern_count == 0
    assert config.redact_patterns("secret 1234") == "secret 1234"


def test_runtime_config_keeps_its_settings():
    config = RuntimeConfig(service="w\ud800", sensitive_keys=["user"], sensitive_patterns=(r"\d+", "x"),
                           pattern_replacement="#", console=True, colors=True, blocking=False)
    assert config.service == "w\ufffd"
    assert (config.console, config.colors, config.blocking, config.pattern_count) == (True, True, False, 2)


@pytest.mark.parametrize("patterns, replacement, text, expected", [
    # Each pattern sees the previous one's output.
    (["foo", "R"], "R!", "foo", "R!!"),
    ([r"user=(\w+)"], "user=<$1>", "login user=alice", "login user=<alice>"),
    ([r"user=(\w+)"], "${1}x", "user=alice", "alicex"),
    ([r"\d+"], "", "a1b22", "ab"),
    ([r"\d+"], None, "a1b22", "a[REDACTED]b[REDACTED]"),
    ([r"zzz"], None, "untouched \U0001f600", "untouched \U0001f600"),
])
def test_redact_patterns(patterns, replacement, text, expected):
    config = RuntimeConfig("s", sensitive_patterns=patterns, pattern_replacement=replacement)
    assert config.redact_patterns(text) == expected
    assert config.redact_patterns(text=text) == expected


@pytest.mark.parametrize("make", [
    lambda patterns, **kw: RuntimeConfig("s", sensitive_patterns=patterns, **kw),
    lambda patterns, **kw: RedactionConfig(patterns, **kw),
])
def test_patterns_compile_at_construction(make):
    with pytest.raises(ValueError) as first:
        make(["(", "["])
    with pytest.raises(ValueError) as alone:
        make(["("])
    assert str(first.value) == str(alone.value) != ""
    with pytest.raises(ValueError):
        make(["ok", "["])
    with pytest.raises(ValueError):
        make([LOOKBEHIND])
    make([LOOKBEHIND], allow_backtracking=True)
    with pytest.raises(ValueError, match=r"^Parsing error at position \d+: "):
        make(["("], allow_backtracking=True)


def test_catastrophic_backtracking_is_cut_short():
    config = RuntimeConfig("s", sensitive_patterns=[CATASTROPHIC], pattern_replacement="#",
                           allow_backtracking=True)
    started = time.thread_time()  # the work of this thread, however long it waited
    assert config.redact_patterns("a" * 5000) == "[REDACTED]"
    assert time.thread_time() - started < 5
    assert config.redact_patterns("aab") == "#b"


def test_redaction_config_length_and_truth():
    empty = RedactionConfig([])
    assert (empty.len, bool(empty)) == (0, False)
    two = RedactionConfig(("a", "b"), replacement="x")
    assert (two.len, bool(two)) == (2, True)


@pytest.mark.parametrize("call, message, parameter", [
    (lambda: RuntimeConfig(None), "'None' is not an instance of 'str'", "service"),
    (lambda: RuntimeConfig("s", sensitive_keys="password"), "Can't extract `str` to `Vec`", "sensitive_keys"),
    (lambda: RuntimeConfig("s", allow_backtracking=None), "'None' is not an instance of 'bool'",
     "allow_backtracking"),
    (lambda: RuntimeConfig("s", blocking=1), "'int' object is not an instance of 'bool'", "blocking"),
    (lambda: RuntimeConfig("s").redact_patterns(5), "'int' object is not an instance of 'str'", "text"),
    (lambda: RedactionConfig(None), "'None' is not an instance of 'Sequence'", "patterns"),
    (lambda: RedactionConfig([], replacement=3), "'int' object is not an instance of 'str'", "replacement"),
])
def test_argument_errors_name_the_parameter(call, message, parameter):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


def test_validate_patterns():
    assert validate_patterns([]) == 0
    assert validate_patterns(("a", r"\d+")) == 2
    with pytest.raises(ValueError) as second:
        validate_patterns(["a", "("])
    with pytest.raises(ValueError) as alone:
        validate_patterns(["("])
    assert str(second.value) == str(alone.value)
    with pytest.raises(ValueError):
        validate_patterns([r"(\w)\1"])
    assert validate_patterns([r"(\w)\1"], allow_backtracking=True) == 1
    with pytest.raises(TypeError) as raised:
        validate_patterns("a")
    assert raised.value.__notes__ == ["while processing 'patterns'"]

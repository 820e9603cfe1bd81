import datetime
import json
import time

import pytest

from vorlisk._rust import (RedactionConfig, RuntimeConfig, _NativeStringWriter,
                           render_console_with_config, render_line, render_line_console,
                           render_line_with_config)

TS = "2024-01-02T03:04:05.123456Z"
ESC = "\x1b"


def parse_line(line):
    """What a consumer of the log does: one JSON object, a parseable UTC time."""
    assert not line.endswith("\n")
    record = json.loads(line)
    moment = datetime.datetime.fromisoformat(record["timestamp"].replace("Z", "+00:00"))
    assert moment.utcoffset() == datetime.timedelta(0)
    return record


def test_the_documented_example_line():
    tail = ('"logger":"app","level":"WARN","severity":4,"timestamp":"2024-01-02T03:04:05.123456Z",'
            '"service":"api","message":"hi"}')
    assert render_line({}, "app", "warning", "api", "hi", timestamp=TS) == "{" + tail
    line = render_line({"user": "bob", "attempt": 3}, "app", "warning", "api", "hi", TS)
    assert line == '{"user":"bob","attempt":3,' + tail
    parse_line(line)


def test_fields_convert_and_fixed_members_take_their_place():
    deep = 1
    for _ in range(63):  # the fields dict is no level: the 1 sits at depth 64
        deep = [deep]
    fields = {"level": 0, "when": datetime.date(2024, 1, 2), "big": 2**70, "nested": {1: [None, 1.5]},
              "stack": "old", "\ud800k": "lone", "_vorlisk_redacted": True, "d": deep, "e": [deep]}
    record = parse_line(render_line(fields, "app\ud800", "notice", "svc", "m\nx", TS, stack="trace"))
    assert list(record) == ["level", "when", "big", "nested", "stack", "\ufffdk", "d", "e", "logger",
                            "severity", "timestamp", "service", "message"]
    assert record["level"] == "NOTICE" and record["severity"] == 6
    assert record["when"] == "2024-01-02" and record["big"] == 2**70
    assert record["nested"] == {"1": [None, 1.5]}
    assert (record["stack"], record["logger"], record["message"]) == ("trace", "app\ufffd", "m\nx")
    assert json.dumps(record["d"]) == "[" * 63 + "1" + "]" * 63
    assert json.dumps(record["e"]) == "[" * 64 + '"<max depth exceeded>"' + "]" * 64


def test_current_time_when_no_timestamp_is_given():
    before = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(seconds=1)
    record = parse_line(render_line({}, "app", "info", "svc", "hi"))
    moment = datetime.datetime.fromisoformat(record["timestamp"].replace("Z", "+00:00"))
    assert before <= moment <= datetime.datetime.now(datetime.timezone.utc)
    assert len(record["timestamp"]) == 27


class SlowToConvert:
    """A field whose conversion takes a while, noting when it ended."""
    finished = 0.0

    def isoformat(self):
        time.sleep(0.02)
        SlowToConvert.finished = time.time()
        return "done"


def line_time(line):
    text = line.split(" ", 1)[0] if not line.startswith("{") else json.loads(line)["timestamp"]
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


WRITER_CONFIGS = {"json": RuntimeConfig("svc"), "console": RuntimeConfig("svc", console=True)}


# The clock is read once the fields are converted, on every path: written
# as they convert, from a value tree (patterns, a field named "timestamp",
# console lines) and through the writer's log.
@pytest.mark.parametrize("render", [
    lambda fields: render_line(fields, "app", "info", "svc", "hi"),
    lambda fields: render_line({**fields, "timestamp": 1}, "app", "info", "svc", "hi"),
    lambda fields: render_line(fields, "app", "info", "svc", "hi", sensitive_patterns=["x"]),
    lambda fields: render_line_with_config(fields, "app", "info", "svc", "hi", RedactionConfig([])),
    lambda fields: render_line_console(fields, "app", "info", "svc", "hi", False),
    lambda fields: _NativeStringWriter(0).log_capture(
        WRITER_CONFIGS["json"], "app", "info", "hi", {}, fields, {}, None, None, False)[1],
    lambda fields: _NativeStringWriter(0).log_capture(
        WRITER_CONFIGS["json"], "app", "info", "hi", {}, fields, {"timestamp": 1}, None, None,
        False)[1],
    lambda fields: _NativeStringWriter(0).log_capture(
        WRITER_CONFIGS["console"], "app", "info", "hi", {}, fields, {}, None, None, False)[1],
], ids=["streamed", "timestamp field", "patterns", "config", "console", "log", "log timestamp field",
        "log console"])
def test_the_clock_is_read_after_the_fields_convert(render):
    line = render({"slow": SlowToConvert()})
    # Timestamps are truncated to the microsecond.
    assert line_time(line) >= SlowToConvert.finished - 1e-6


def test_timestamp_text_is_copied_verbatim():
    assert json.loads(render_line({}, "a", "info", "s", "m", "not a time"))["timestamp"] == "not a time"


@pytest.mark.parametrize("keys, fields, expected", [
    (None, {"password": "p", "user": "u", "nested": [{"TOKEN": {"x": 1}}]},
     {"password": "[REDACTED]", "user": "u", "nested": [{"TOKEN": "[REDACTED]"}]}),
    ([], {"password": "p"}, {"password": "p"}),
    (["user"], {"password": "p", "USER": "u"}, {"password": "p", "USER": "[REDACTED]"}),
    (["message", "level"], {}, {"message": "[REDACTED]", "level": "INFO"}),
])
def test_redaction_by_keys(keys, fields, expected):
    record = parse_line(render_line(fields, "app", "info", "svc", "m", TS, sensitive_keys=keys))
    assert {key: record[key] for key in expected} == expected


def test_redaction_by_value_patterns():
    record = parse_line(render_line(
        {"note": "user=alice", "id": 1234567890123456, "n": 42, "password": "x"}, "user=logger", "info",
        "svc", "login user=bob", TS, sensitive_patterns=[r"user=(\w+)", r"\d{16}", "RED"],
        pattern_replacement="user=<$1>"))
    assert record["note"] == "user=<alice>" and record["message"] == "login user=<bob>"
    assert record["logger"] == "user=<logger>"
    assert record["id"] == "user=<>" and record["n"] == 42
    assert record["password"] == "[user=<>ACTED]"  # patterns run after key redaction
    assert record["level"] == "INFO" and record["timestamp"] == TS


def test_backtracking_only_with_a_prebuilt_config():
    with pytest.raises(ValueError):
        render_line({}, "app", "info", "svc", "user=alice", TS, sensitive_patterns=[r"(?<=user=)\w+"])
    config = RedactionConfig([r"(?<=user=)\w+"], allow_backtracking=True)
    record = parse_line(render_line_with_config({"who": "user=bob"}, "app", "info", "svc", "user=alice",
                                                config, TS))
    assert (record["who"], record["message"]) == ("user=[REDACTED]", "user=[REDACTED]")


@pytest.mark.parametrize("render", [
    lambda patterns: render_line({"n": "17 x9"}, "app", "info", "svc", "Grüße 3 an 12", TS,
                                 sensitive_patterns=patterns, pattern_replacement="<$0>"),
    lambda patterns: console({"n": "17 x9"}, message="id 3 and 12", sensitive_patterns=patterns),
], ids=["json", "console"])
def test_per_call_patterns_answer_alike_on_every_call(render):
    # More patterns than are kept from one call to the next, each given
    # again after all the others: the same line, or the same error, as the
    # first time.
    pattern_lists = [[rf"\b{i}\d*", r"x\d"] for i in range(1, 41)] + \
        [[r"\d", "("], [r"(?<=x)\d"], [r"\w+\>", r"\b{start}\p{L}"]]

    def outcome(patterns):
        try:
            return render(patterns)
        except ValueError as error:
            return "ValueError: " + str(error)

    first = [outcome(patterns) for patterns in pattern_lists]
    assert first[0] != first[1] and first[-3].startswith("ValueError: missing )")
    for _ in range(2):
        assert [outcome(patterns) for patterns in pattern_lists] == first


def test_catastrophic_pattern_redacts_the_whole_text_quickly():
    config = RedactionConfig([r"^(a|aa)+(?=b)"], replacement="#", allow_backtracking=True)
    started = time.thread_time()  # the work of this thread, however long it waited
    record = parse_line(render_line_with_config({"f": "a" * 5000}, "app", "info", "svc", "a" * 5000, config, TS))
    assert time.thread_time() - started < 5
    assert record["f"] == record["message"] == "[REDACTED]"


# ---- console lines ---------------------------------------------------------------

def console(fields=None, level="info", message="hi", colors=False, **kw):
    return render_line_console(fields or {}, "app", level, "svc", message, colors,
                               timestamp="2026-01-02T03:04:05.000006Z", **kw)


@pytest.mark.parametrize("kwargs, expected", [
    ({}, "2026-01-02T03:04:05.000006Z [INFO    ] hi"),
    ({"colors": True}, f"2026-01-02T03:04:05.000006Z [INFO    ]{ESC}[0m hi"),
    ({"colors": True, "level": "warning"}, f"2026-01-02T03:04:05.000006Z {ESC}[33m[WARN    ]{ESC}[0m hi"),
    ({"colors": True, "level": "critical"}, f"2026-01-02T03:04:05.000006Z {ESC}[1;31m[CRITICAL]{ESC}[0m hi"),
    ({"level": "notice_level"}, "2026-01-02T03:04:05.000006Z [NOTICE_LEVEL] hi"),
    ({"message": f"a{ESC}[31mb\u202ec\td"}, "2026-01-02T03:04:05.000006Z [INFO    ] a\\x1b[31mb\\u202ec\\td"),
    ({"fields": {"n": 3, "user": "alice", "my key": {"a,b": [True, None]}, "level": 1, "service": "s",
                 "password": "p"}},
     '2026-01-02T03:04:05.000006Z [INFO    ] hi  n=3  user="alice"  "my key"={"a,b":[True, None]}'
     '  service="s"  password="[REDACTED]"'),
    ({"fields": {"exception": "Traceback\nValueError", "stack": "inline"}, "stack": "s1\r\ns2\n"},
     "2026-01-02T03:04:05.000006Z [INFO    ] hi\n  s1\\r\n  s2\n  \n  Traceback\n  ValueError"),
])
def test_console_lines_byte_for_byte(kwargs, expected):
    assert console(**kwargs) == expected


def test_console_with_config_and_patterns():
    config = RedactionConfig([r"\d+"], replacement="#")
    line = render_console_with_config({"id": 42}, "app", "info", "svc", "code 7", False, config,
                                      "2026-01-02T03:04:05.000006Z")
    assert line == '2026-01-02T03:04:05.000006Z [INFO    ] code #  id="#"'
    assert console(message="code 7", sensitive_patterns=[r"\d"], pattern_replacement="") == \
        "2026-01-02T03:04:05.000006Z [INFO    ] code "


# ---- arguments -------------------------------------------------------------------

def base_args(function):
    args = {"fields": {}, "logger": "a", "level": "info", "service": "s", "message": "m"}
    if function in (render_line_console, render_console_with_config):
        args["colors"] = False
    if function in (render_line_with_config, render_console_with_config):
        args["config"] = RedactionConfig([])
    return args


RENDERERS = [render_line, render_line_with_config, render_line_console, render_console_with_config]


ARGUMENT_ERRORS = [
    ("fields", [], TypeError, "'list' object is not an instance of 'dict'"),
    ("logger", None, TypeError, "'None' is not an instance of 'str'"),
    ("level", "\ud800", UnicodeEncodeError, None),
    ("message", 1, TypeError, "'int' object is not an instance of 'str'"),
    ("colors", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ("config", object(), TypeError, "'object' object is not an instance of 'RedactionConfig'"),
    ("timestamp", 5, TypeError, "'int' object is not an instance of 'str'"),
    ("sensitive_keys", "password", TypeError, "Can't extract `str` to `Vec`"),
    ("stack", b"x", TypeError, "'bytes' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("function, name, value, error, message", [
    (function, *case) for function in RENDERERS for case in ARGUMENT_ERRORS
    if case[0] not in ("colors", "config") or case[0] in base_args(function)
])
def test_argument_errors_carry_their_note(function, name, value, error, message):
    args = base_args(function)
    args[name] = value
    with pytest.raises(error) as raised:
        function(**args)
    if message is not None:
        assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("function", RENDERERS)
def test_field_keys_must_be_strings(function):
    args = base_args(function)
    args["fields"] = {"a": 1, 2: "x"}
    with pytest.raises(TypeError, match="^field keys must be strings$"):
        function(**args)


def test_missing_argument_message():
    with pytest.raises(TypeError, match=r"^render_line\(\) missing 1 required positional argument: 'message'$"):
        render_line({}, "a", "info", "s")

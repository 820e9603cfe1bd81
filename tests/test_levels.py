import pytest

import vorlisk._rust as rust


@pytest.mark.parametrize(
    "level, canonical",
    [
        ("warning", "WARN"),
        ("WARNING", "WARN"),
        ("Warn", "WARN"),
        ("fatal", "CRITICAL"),
        ("FaTaL", "CRITICAL"),
        ("success", "INFO"),
        ("trace", "DEBUG"),
        ("Exception", "ERROR"),
        ("notice_level", "NOTICE_LEVEL"),
        ("", ""),
        ("info ", "INFO "),
        # A dotless i is no ASCII letter: no match, only a-z are upper-cased.
        ("\u0131nfo", "\u0131NFO"),
    ],
)
def test_normalize_level(level, canonical):
    assert rust.normalize_level(level) == canonical


@pytest.mark.parametrize(
    "text, severity",
    [("CRITICAL", 2), ("ERROR", 3), ("WARN", 4), ("DEBUG", 7), ("INFO", 6),
     ("WARNING", 6), ("warn", 6), ("FATAL", 6), ("info", 6), ("", 6)],
)
def test_syslog_severity_is_exact(text, severity):
    assert rust.syslog_severity(text) == severity


@pytest.mark.parametrize(
    "level, severity",
    [("WARNING", 4), ("warn", 4), ("trace", 7), ("fatal", 2), ("Exception", 3),
     ("notice", 6), ("info", 6)],
)
def test_normalized_syslog_severity(level, severity):
    assert rust.normalized_syslog_severity(level) == severity


def test_level_table():
    expected = [("trace", 5), ("debug", 10), ("info", 20), ("success", 20), ("warning", 30),
                ("warn", 30), ("error", 40), ("exception", 40), ("critical", 50), ("fatal", 50)]
    first = rust.level_table()
    assert first == expected
    first.clear()
    assert rust.level_table() == expected and rust.level_table() is not rust.level_table()


def test_redaction_constants():
    assert rust._default_sensitive_keys() == [
        "password", "passwd", "secret", "token", "api_key", "apikey", "access_token",
        "refresh_token", "authorization", "cookie", "session_id", "credit_card", "ssn",
        "private_key"]
    assert rust._redacted_marker_key() == "_vorlisk_redacted"
    assert rust.version() == "1.5.0"


@pytest.mark.parametrize("function, param", [
    (rust.normalize_level, "level"),
    (rust.syslog_severity, "canonical_level"),
    (rust.normalized_syslog_severity, "level"),
])
def test_level_arguments_are_strict_text(function, param):
    with pytest.raises(TypeError) as info:
        function(20)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == [f"while processing '{param}'"]
    with pytest.raises(TypeError) as info:
        function(None)
    assert str(info.value) == "'None' is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError) as info:
        function("a\ud800")
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_str_subclass_is_accepted():
    class Name(str):
        pass

    assert rust.normalize_level(Name("warning")) == "WARN"

"""Value patterns: Unicode classes and word boundaries, the syntax patterns
are written in, and long searches, through every entry point."""

import json
import time
import unicodedata

import pytest

import vorlisk._rust as rust

# pattern, text, what the text becomes with the replacement "#"
UNICODE_CASES = [
    (r"token=\w+", "token=пароль99 ok", "# ok"),
    (r"secret=\w+", "secret=pässwort", "#"),
    (r"\d+", "a٣٤b 12", "a#b #"),
    (r"\s+", "a\u00a0b\u3000c\x0bd", "a#b#c#d"),
    (r"\B", "éé", "é#é"),
    (r"\<secret\>", "my secret is here", "my # is here"),
    (r"\b{start}\w+", "hello", "#"),
    (r"\w+\b{end}", "über! ok", "#! #"),
    (r"\bé", "é xé", "# xé"),
    (r"(?<key>\w+)=\u{31}", "schlüssel=1", "#"),
    (r"(?x) \p{Greek}+ \s # Greek words, then a space", "αβ γ", "#γ"),
]


def redact(pattern, text, *, allow_backtracking=False):
    config = rust.RuntimeConfig("svc", sensitive_patterns=[pattern], pattern_replacement="#",
                                allow_backtracking=allow_backtracking)
    return config.redact_patterns(text)


def via_redact_patterns(pattern, text):
    return redact(pattern, text)


def via_render_line(pattern, text):
    line = rust.render_line({}, "app", "info", "svc", text, "T", sensitive_patterns=[pattern],
                            pattern_replacement="#")
    return json.loads(line)["message"]


def via_render_line_with_config(pattern, text):
    config = rust.RedactionConfig([pattern], "#")
    return json.loads(rust.render_line_with_config({}, "app", "info", "svc", text, config, "T"))["message"]


def via_render_line_console(pattern, text):
    """The message of a console line, read back by rendering the expected
    text without patterns: the console escapes control characters."""
    line = rust.render_line_console({}, "app", "info", "svc", text, False, timestamp="T",
                                    sensitive_patterns=[pattern], pattern_replacement="#")
    return line


def console_message(text):
    return rust.render_line_console({}, "app", "info", "svc", text, False, timestamp="T")


def via_log(pattern, text):
    config = rust.RuntimeConfig("svc", sensitive_patterns=[pattern], pattern_replacement="#")
    writer = rust._NativeStringWriter(0)
    assert writer.log(config, "app", "info", text, {}, {}, {}, None, None) == 0
    writer.close()
    [line] = writer.messages()
    return json.loads(line)["message"]


@pytest.mark.parametrize("entry", [via_redact_patterns, via_render_line, via_render_line_with_config,
                                   via_log])
@pytest.mark.parametrize("pattern, text, expected", UNICODE_CASES)
def test_unicode_meaning_through_every_entry_point(entry, pattern, text, expected):
    assert entry(pattern, text) == expected


# Word assertions searched in linear time, on ASCII text and off it; sets
# folded before they are negated; patterns PCRE2 could not compile.
LINEAR_CASES = [
    (r"\w+_token\b", "\u00e9 " + "a" * 65536 + "_tokenx", None),
    (r"\w+_token\>", "x " + "a_token" * 9000 + "a", None),
    (r"(?:a|aa)*c\b", "\u00e9" + "a" * 40 + "c\u00e9", None),
    (r"\btoken=(?:[a-z]*|\d+)+", "\u00e9 token=abc123", "\u00e9 #"),
    (r"\btoken=(?:[a-z]*|\d+)+", "e token=abc123", "e #"),
    (r"(?i)\P{Lu}", "aA1", "aA#"),
    (r"(?i)[^\P{Lu}]+", "SECRET secret 12", "# # 12"),
    (r"(?i)\b(?:\p{L}+[ -]){1,12}\p{L}+\b", "die Gr\u00f6\u00dfe 42", "# 42"),
    (r"\b\p{Kawi}+", "x \U00011F04 y", "x # y"),
    (r"(?m)^(?:\b|\B)", "a\n\u00e9\n", "#a\n#\u00e9\n#"),
    (r"(?m)^(?:\b|\B)", "a\ne\n", "#a\n#e\n#"),
]


@pytest.mark.parametrize("entry", [via_redact_patterns, via_render_line, via_render_line_console,
                                   via_render_line_with_config, via_log])
@pytest.mark.parametrize("pattern, text, expected", LINEAR_CASES,
                         ids=[f"{p[:24]}-{i}" for i, (p, _, _) in enumerate(LINEAR_CASES)])
def test_linear_patterns_through_every_entry_point(entry, pattern, text, expected):
    expected = text if expected is None else expected
    got = entry(pattern, text)
    if entry is via_render_line_console:
        expected = console_message(expected)
    assert got == expected


@pytest.mark.parametrize("pattern, text, expected", UNICODE_CASES)
def test_look_around_form_agrees_with_the_linear_form(pattern, text, expected):
    # An empty look-ahead sends the same pattern to the backtracking engine.
    assert redact("(?=)" + pattern, text, allow_backtracking=True) == expected


@pytest.mark.parametrize("pattern, message", [
    (r"\b{begin}", r'Unknown word boundary "\b{begin}" at position 0; the named ones are '
                   r"\b{start}, \b{end}, \b{start-half} and \b{end-half}."),
    (r"[a\d-z]", r'Character class range "\d-z" at position 2 has a class at one end; '
                 r'escape the "-" to match it literally.'),
    (r"(?R)^a$", "invalid perl operator: (?R"),
    (r"\w+(\d", r"missing ): \w+(\d"),
    (r"(?<a-b>\w)", "invalid named capture group: (?<a-b>"),
])
def test_refused_and_invalid_patterns_fail_at_construction(pattern, message):
    with pytest.raises(ValueError) as error:
        rust.RuntimeConfig("svc", sensitive_patterns=[pattern])
    assert str(error.value) == message
    with pytest.raises(ValueError):
        rust.validate_patterns([pattern], allow_backtracking=True)


def test_named_groups_of_either_spelling_in_the_replacement():
    config = rust.RuntimeConfig("svc", sensitive_patterns=[r"(?<user>\w+)@(?P<host>\w+)"],
                                pattern_replacement="<${user} at $host>")
    assert config.redact_patterns("mail jürgen@höst") == "mail <jürgen at höst>"


# ---- the classes against Python's own Unicode data ---------------------------

def assigned_characters():
    for cp in range(0x110000):
        category = unicodedata.category(chr(cp))
        if category not in ("Cn", "Cs"):
            yield chr(cp), category


WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")


def test_classes_hold_the_characters_of_their_categories():
    digits, others, words, non_words = [], [], [], []
    for char, category in assigned_characters():
        (digits if category == "Nd" else others).append(char)
        if category[0] in "LM" or category in ("Nd", "Nl", "Pc") or char in "\u200c\u200d":
            words.append(char)
        elif category[0] in "PZC":
            non_words.append(char)
    everything = "".join(c for c, _ in assigned_characters())
    assert redact(r"\d", "".join(digits)) == "#" * len(digits)
    assert redact(r"\d", "".join(others)) == "".join(others)
    assert redact(r"\w", "".join(words)) == "#" * len(words)
    assert redact(r"\w", "".join(non_words)) == "".join(non_words)
    assert redact(r"\S", everything).replace("#", "") == WHITE_SPACE


# ---- long texts and the backtracking engine's limits -------------------------

def test_long_text_within_the_step_limit_is_searched():
    text = "x" + "b" * 150_000 + " tail"
    assert redact("(?<=x)(?:b|c)*", text, allow_backtracking=True) == "x# tail"


def test_catastrophic_pattern_still_fails_closed_quickly():
    config = rust.RuntimeConfig("svc", sensitive_patterns=["(a|a)+(?=b)"], pattern_replacement="#",
                                allow_backtracking=True)
    start = time.thread_time()  # the work of this thread, however long it waited
    assert config.redact_patterns("a" * 40 + "c") == "[REDACTED]"
    assert time.thread_time() - start < 1.0  # about 10 ms; sanitizer builds are slower


def test_search_over_many_start_positions_is_bounded_as_a_whole():
    # Quadratic: each of the 200,000 positions scans the rest of the text.
    start = time.thread_time()
    assert redact("(?=.*z)a", "a" * 200_000, allow_backtracking=True) == "[REDACTED]"
    assert time.thread_time() - start < 5.0  # about 25 ms; unbounded, it takes minutes


# ---- "${}" in the replacement, on every road ----------------------------------
# No group is called "", so "${}" appends nothing: an unnamed group must not
# answer to it, or part of a secret is copied into the line.

def replaced_by_redact_patterns(pattern, text, replacement):
    config = rust.RuntimeConfig("svc", sensitive_patterns=[pattern], pattern_replacement=replacement)
    return config.redact_patterns(text)


def replaced_by_render_line(pattern, text, replacement):
    line = rust.render_line({}, "app", "info", "svc", text, "T", sensitive_patterns=[pattern],
                            pattern_replacement=replacement)
    return json.loads(line)["message"]


def replaced_by_render_line_console(pattern, text, replacement):
    return rust.render_line_console({}, "app", "info", "svc", text, False, timestamp="T",
                                    sensitive_patterns=[pattern], pattern_replacement=replacement)


def replaced_by_render_line_with_config(pattern, text, replacement):
    config = rust.RedactionConfig([pattern], replacement)
    return json.loads(rust.render_line_with_config({}, "app", "info", "svc", text, config, "T"))["message"]


def replaced_by_writer(pattern, text, replacement):
    """log, log_capture and render_enqueue_json, which must agree."""
    config = rust.RuntimeConfig("svc", sensitive_patterns=[pattern], pattern_replacement=replacement)
    writer = rust._NativeStringWriter(0)
    assert writer.log(config, "app", "info", text, {}, {}, {}, None, None) == 0
    code, captured, _ = writer.log_capture(config, "app", "info", text, {}, {}, {}, None, None, False)
    assert code == 0
    assert writer.render_enqueue_json({}, "app", "info", "svc", text, True,
                                      config=rust.RedactionConfig([pattern], replacement))
    writer.close()
    messages = [json.loads(line)["message"] for line in writer.messages()]
    assert messages[1] == json.loads(captured)["message"]
    assert messages[0] == messages[1] == messages[2]
    return messages[0]


# ASCII text is searched by RE2; a Unicode \b over non-ASCII text by the Pike VM.
EMPTY_NAME_CASES = [
    (r"(a)(b)", "xaby", "<${}>", "x<>y"),
    (r"(?P<k>a)(b)", "xaby", "<${}>", "x<>y"),
    (r"\b(a)(b)", "é ab", "<${}>", "é <>"),
    (r"\b(?P<k>a)(b)", "x ab", "<${}>", "x <>"),
    (r"(?P<k>a)(b)", "xaby", "<${}|${k}|${2}|$k$|${}$$>", "x<|a|b|a$|$>y"),
    (r"\b(a)(b)", "é ab", "<$1|${}|${>", "é <a||${>"),
]


@pytest.mark.parametrize("road", [replaced_by_redact_patterns, replaced_by_render_line,
                                  replaced_by_render_line_console,
                                  replaced_by_render_line_with_config, replaced_by_writer])
@pytest.mark.parametrize("pattern, text, replacement, expected", EMPTY_NAME_CASES)
def test_an_empty_group_name_appends_nothing_on_every_road(road, pattern, text, replacement,
                                                           expected):
    got = road(pattern, text, replacement)
    if road is replaced_by_render_line_console:
        expected = console_message(expected)
    assert got == expected


@pytest.mark.parametrize("pattern, text, replacement, expected", EMPTY_NAME_CASES)
def test_an_empty_group_name_means_the_same_to_the_backtracking_engine(pattern, text, replacement,
                                                                        expected):
    config = rust.RuntimeConfig("svc", sensitive_patterns=["(?=)" + pattern],
                                pattern_replacement=replacement, allow_backtracking=True)
    assert config.redact_patterns(text) == expected

"""Value patterns: Unicode classes and word boundaries, the syntax patterns
are written in, and long searches, through every entry point."""

import ctypes
import ctypes.util
import json
import time
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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
    start = time.perf_counter()
    assert config.redact_patterns("a" * 40 + "c") == "[REDACTED]"
    assert time.perf_counter() - start < 1.0  # about 10 ms; sanitizer builds are slower


def test_search_over_many_start_positions_is_bounded_as_a_whole():
    # Quadratic: each of the 200,000 positions scans the rest of the text.
    start = time.perf_counter()
    assert redact("(?=.*z)a", "a" * 200_000, allow_backtracking=True) == "[REDACTED]"
    assert time.perf_counter() - start < 5.0  # about 25 ms; unbounded, it takes minutes


# ---- property: the linear engine against PCRE2 --------------------------------

class Pcre2:
    """PCRE2 called directly, with the Unicode meanings spelt out in its own
    properties: the referee for the linear engine."""

    UTF, UCP, DOLLAR_ENDONLY = 0x00080000, 0x00020000, 0x00000010
    WORD = r"\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\p{Join_Control}"
    SPELLING = {
        r"\w": f"[{WORD}]", r"\W": f"[^{WORD}]", r"\d": r"\p{Nd}", r"\D": r"\P{Nd}",
        r"\s": r"\p{White_Space}", r"\S": r"\P{White_Space}",
        r"\b": f"(?:(?<=[{WORD}])(?![{WORD}])|(?<![{WORD}])(?=[{WORD}]))",
        r"\B": f"(?:(?<=[{WORD}])(?=[{WORD}])|(?<![{WORD}])(?![{WORD}]))",
    }

    def __init__(self):
        lib = ctypes.CDLL(ctypes.util.find_library("pcre2-8") or "libpcre2-8.so.0")
        lib.pcre2_compile_8.restype = ctypes.c_void_p
        lib.pcre2_compile_8.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint32,
                                        ctypes.POINTER(ctypes.c_int),
                                        ctypes.POINTER(ctypes.c_size_t), ctypes.c_void_p]
        lib.pcre2_match_data_create_8.restype = ctypes.c_void_p
        lib.pcre2_match_data_create_8.argtypes = [ctypes.c_uint32, ctypes.c_void_p]
        lib.pcre2_match_8.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                      ctypes.c_size_t, ctypes.c_uint32, ctypes.c_void_p,
                                      ctypes.c_void_p]
        lib.pcre2_get_ovector_pointer_8.restype = ctypes.POINTER(ctypes.c_size_t)
        lib.pcre2_get_ovector_pointer_8.argtypes = [ctypes.c_void_p]
        lib.pcre2_code_free_8.argtypes = [ctypes.c_void_p]
        lib.pcre2_match_data_free_8.argtypes = [ctypes.c_void_p]
        self.lib = lib

    def replace(self, tokens, text):
        """`text` with every match of the pattern made of `tokens` replaced by
        "#", matches taken as the value patterns take them."""
        pattern = "".join(self.SPELLING.get(token, token) for token in tokens).encode()
        error, offset = ctypes.c_int(), ctypes.c_size_t()
        code = self.lib.pcre2_compile_8(pattern, len(pattern), self.UTF | self.UCP | self.DOLLAR_ENDONLY,
                                        ctypes.byref(error), ctypes.byref(offset), None)
        assert code, f"PCRE2 error {error.value} at {offset.value} in {pattern!r}"
        data = self.lib.pcre2_match_data_create_8(1, None)
        try:
            subject = text.encode()
            out, copied, start, last_end, changed = bytearray(), 0, 0, None, False
            while start <= len(subject):
                if self.lib.pcre2_match_8(code, subject, len(subject), start, 0, data, None) < 0:
                    break
                ovector = self.lib.pcre2_get_ovector_pointer_8(data)
                begin, end = ovector[0], ovector[1]
                if begin == end == last_end:  # not right after the previous match
                    start = begin + 1
                    while start < len(subject) and subject[start] & 0xC0 == 0x80:
                        start += 1
                    continue
                out += subject[copied:begin] + b"#"
                copied = start = last_end = end
                changed = True
            return (out + subject[copied:]).decode() if changed else text
        finally:
            self.lib.pcre2_match_data_free_8(data)
            self.lib.pcre2_code_free_8(code)


ALPHABET = ("a", "Z", "_", "7", "-", "!", ".", "é", "ß", "Ä", "ж", "Д", "٣", "٤", "中", "。",
            "\u0301", "\u0308", "\u200d") + tuple(WHITE_SPACE)
CLASSES = [r"\w", r"\W", r"\d", r"\D", r"\s", r"\S"]


def literal(char):
    return "\\x{%X}" % ord(char)


atoms = st.one_of(st.sampled_from(CLASSES), st.sampled_from(ALPHABET).map(literal))
quantified = st.tuples(atoms, st.sampled_from(["", "", "*", "+", "?", "{1,3}", "*?", "+?", "??"]))
tokens = st.one_of(quantified.map(lambda q: [q[0], q[1]] if q[1] else [q[0]]),
                   st.sampled_from([[r"\b"], [r"\B"]]))
branches = st.lists(tokens, min_size=1, max_size=5).map(lambda parts: sum(parts, []))
patterns = st.lists(branches, min_size=1, max_size=2).map(
    lambda bs: sum(([*(["|"] if i else []), *b] for i, b in enumerate(bs)), []))


@settings(max_examples=400, deadline=None)
@given(patterns, st.lists(st.sampled_from(ALPHABET), max_size=24).map("".join))
def test_linear_engine_agrees_with_pcre2(pattern_tokens, text):
    pattern = "".join(pattern_tokens)
    expected = REFEREE.replace(pattern_tokens, text)
    assert redact(pattern, text) == expected
    assert redact(f"(?=)(?:{pattern})", text, allow_backtracking=True) == expected


REFEREE = Pcre2()

"""Value patterns against referees, on random patterns over random texts.

- On ASCII text, RE2 running the pattern's ASCII form with its own \\b and
  \\B gives exactly the matches and groups of our Pike VM (both reached
  through a test-only library, loaded with ctypes), and the extension
  replaces exactly the VM's matches, whatever word assertions it holds.
- On any text, PCRE2 (UCP, with the Unicode meanings spelt out in its own
  syntax) replaces what the extension replaces, with the linear engine and
  with the backtracking one, for patterns without a repeated part that can
  match empty (where a backtracking engine's matches differ from
  leftmost-first ones by design).
"""

import ctypes
import ctypes.util
import os
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorlisk._rust as rust

ASCII = ("a", "b", "k", "s", "Z", "K", "S", "_", "7", "-", " ", "!", "\n")
OTHERS = ("\u00e9", "\u00df", "\u00c4", "\u017f", "\u212a", "\u0436", "\u0414", "\u03b1", "\u03a3",
          "\u03c2", "\u4e2d", "\u3002", "\u0301", "\u0308", "\u0663", "\u0664", "\u200d", "\u00a0")
ALPHABET = ASCII + OTHERS

WORD = r"\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\p{Join_Control}"
BEFORE, NOT_BEFORE = f"(?<=[{WORD}])", f"(?<![{WORD}])"
AFTER, NOT_AFTER = f"(?=[{WORD}])", f"(?![{WORD}])"

# assertion: (our spelling, PCRE2's)
ASSERTIONS = {
    "b": (r"\b", f"(?:{BEFORE}{NOT_AFTER}|{NOT_BEFORE}{AFTER})"),
    "B": (r"\B", f"(?:{BEFORE}{AFTER}|{NOT_BEFORE}{NOT_AFTER})"),
    "<": (r"\<", f"(?:{NOT_BEFORE}{AFTER})"),
    ">": (r"\>", f"(?:{BEFORE}{NOT_AFTER})"),
    "start": (r"\b{start}", f"(?:{NOT_BEFORE}{AFTER})"),
    "end": (r"\b{end}", f"(?:{BEFORE}{NOT_AFTER})"),
    "start-half": (r"\b{start-half}", NOT_BEFORE),
    "end-half": (r"\b{end-half}", NOT_AFTER),
    "^": ("^", r"\A"),
    "$": ("$", r"\z"),
    "A": (r"\A", r"\A"),
    "z": (r"\z", r"\z"),
    "m^": ("(?m:^)", r"(?:\A|(?<=\n))"),
    "m$": ("(?m:$)", r"(?=\n|\z)"),
}
ASCII_WORD_ASSERTIONS = {"b", "B"}
OTHER_WORD_ASSERTIONS = {"<", ">", "start", "end", "start-half", "end-half"}

# set: (our spelling, PCRE2's, PCRE2's under (?i)); PCRE2 folds no property
# under (?i), ours are folded like any set. A bare script name is PCRE2's
# Script_Extensions; ours is the Script property.
CASED = r"\p{Lu}\p{Ll}\p{Lt}"
SETS = [
    (r"\w", f"[{WORD}]", None), (r"\W", f"[^{WORD}]", None), (r"\d", r"\p{Nd}", None),
    (r"\D", r"\P{Nd}", None), (r"\s", r"\p{White_Space}", None), (r"\S", r"\P{White_Space}", None),
    (r"\p{Greek}", r"\p{sc=Greek}", None), (r"\p{Cyrillic}", r"\p{sc=Cyrillic}", None),
    (r"\p{Latin}", r"\p{sc=Latin}", None), (r"\pL", r"\pL", None), (r"\p{Mn}", r"\p{Mn}", None),
    (r"\p{Lu}", r"\p{Lu}", f"[{CASED}]"), (r"\P{Lu}", r"\P{Lu}", f"[^{CASED}]"),
    (r"\p{Ll}", r"\p{Ll}", f"[{CASED}]"), (r"\p{Han}", r"\p{sc=Han}", None),
    ("[a-z]", "[a-z]", None), ("[^a-z]", "[^a-z]", None), (r"[\w-]", f"[{WORD}\\-]", None),
    (r"[\d\s]", r"[\p{Nd}\p{White_Space}]", None), (r"[^\W\d]", f"(?:(?!\\p{{Nd}})[{WORD}])", None),
    (".", ".", None),
]
QUANTIFIERS = ["*", "+", "?", "{1,3}", "{2}", "*?", "+?", "??", "{0,2}?"]


# ---- random patterns: an abstract tree, written in both syntaxes -------------

leaves = st.one_of(
    st.sampled_from(ALPHABET).map(lambda c: ("char", c)),
    st.sampled_from(range(len(SETS))).map(lambda i: ("set", i)),
    st.sampled_from(sorted(ASSERTIONS)).map(lambda a: ("assert", a)),
    st.just(("empty",)),
)


def compound(children):
    return st.one_of(
        st.lists(children, min_size=2, max_size=4).map(lambda xs: ("concat", *xs)),
        st.lists(children, min_size=2, max_size=3).map(lambda xs: ("alt", *xs)),
        st.tuples(st.sampled_from(["capture", "group", "caseless"]), children),
        st.tuples(st.just("repeat"), st.sampled_from(QUANTIFIERS), children),
    )


trees = st.recursive(leaves, compound, max_leaves=10)


class Written:
    """A tree in our syntax and in PCRE2's, and what the referees need to
    know of it."""

    def __init__(self, tree):
        self.assertions = set()
        self.empty_loop = False  # a repeated part that can match empty
        self.ours, self.pcre2, _ = self.write(tree, caseless=False)

    def write(self, node, caseless):
        """(ours, PCRE2's, whether it can match empty)"""
        kind = node[0]
        if kind == "char":
            code = "\\x{%X}" % ord(node[1])
            return code, code, False
        if kind == "set":
            ours, theirs, folded = SETS[node[1]]
            return ours, (folded or theirs) if caseless else theirs, False
        if kind == "assert":
            self.assertions.add(node[1])
            ours, theirs = ASSERTIONS[node[1]]
            return ours, theirs, True
        if kind == "empty":
            return "(?:)", "(?:)", True
        if kind in ("concat", "alt"):
            parts = [self.write(child, caseless) for child in node[1:]]
            if kind == "concat":
                return ("".join(f"(?:{p[0]})" for p in parts), "".join(f"(?:{p[1]})" for p in parts),
                        all(p[2] for p in parts))
            return ("|".join(p[0] for p in parts), "|".join(p[1] for p in parts),
                    any(p[2] for p in parts))
        if kind == "repeat":
            quantifier, child = node[1], node[2]
            ours, theirs, nullable = self.write(child, caseless)
            self.empty_loop |= nullable
            return f"(?:{ours}){quantifier}", f"(?:{theirs}){quantifier}", nullable or quantifier[0] in "*?{"
        wrapper, child = node
        ours, theirs, nullable = self.write(child, caseless or wrapper == "caseless")
        if wrapper == "capture":
            return f"({ours})", f"({theirs})", nullable
        if wrapper == "caseless":
            return f"(?i:{ours})", f"(?i:{theirs})", nullable
        return f"(?:{ours})", f"(?:{theirs})", nullable


ascii_texts = st.lists(st.sampled_from(ASCII), max_size=16).map("".join)
mixed_texts = st.lists(st.sampled_from(ALPHABET), max_size=16).map("".join)


def redact(pattern, text, allow_backtracking=False):
    config = rust.RuntimeConfig("svc", sensitive_patterns=[pattern], pattern_replacement="#",
                                allow_backtracking=allow_backtracking)
    return config.redact_patterns(text)


# ---- referee (a): RE2 with its own \b against the Pike VM, on ASCII text -----

class Probe:
    """The test-only library with the matchers the extension does not
    expose."""

    RE2_ASCII, PIKE_VM = 0, 1

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.vorlisk_probe_matches.restype = ctypes.c_long
        self.lib.vorlisk_probe_matches.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t,
                                                   ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                                   ctypes.c_size_t]

    def matches(self, matcher, pattern, text):
        pattern, text = pattern.encode(), text.encode()
        size = 256
        while True:
            out = ctypes.create_string_buffer(size)
            length = self.lib.vorlisk_probe_matches(matcher, pattern, len(pattern), text, len(text), out, size)
            assert length >= 0, f"probe error {length} for {pattern!r}"
            if length <= size:
                return out.raw[:length].decode()
            size = length


def probe_path():
    path = os.environ.get("VORLISK_PATTERN_PROBE")
    if path:
        return path
    # A build directory on PYTHONPATH keeps the library in its tests/.
    build = os.path.dirname(os.path.dirname(os.path.abspath(rust.__file__)))
    return os.path.join(build, "tests", "libvorlisk_pattern_probe.so")


@pytest.fixture(scope="module")
def probe():
    path = probe_path()
    if not os.path.exists(path):
        pytest.skip("the pattern probe library is not built")
    return Probe(path)


def replaced_by(matches, text):
    """`text` with each match of a probe answer replaced by "#"."""
    data, out, copied = text.encode(), b"", 0
    for start, end in re.findall(r"\[(\d+),(\d+)\)", matches):
        out += data[copied:int(start)] + b"#"
        copied = int(end)
    return (out + data[copied:]).decode()


@settings(max_examples=4000, deadline=None)
@given(trees, st.lists(ascii_texts, min_size=1, max_size=3))
def test_re2_and_the_pike_vm_agree_on_ascii_text(probe, tree, texts):
    written = Written(tree)
    for text in texts:
        vm = probe.matches(Probe.PIKE_VM, written.ours, text)
        if not written.assertions & OTHER_WORD_ASSERTIONS:
            assert probe.matches(Probe.RE2_ASCII, written.ours, text) == vm, (written.ours, text)
        assert redact(written.ours, text) == replaced_by(vm, text), (written.ours, text)


# ---- referee (b): PCRE2 on any text ------------------------------------------

class Pcre2:
    UTF, UCP, DOLLAR_ENDONLY = 0x00080000, 0x00020000, 0x00000010

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

    def replace(self, pattern, text):
        """`text` with every match replaced by "#", matches taken as the
        value patterns take them."""
        pattern = pattern.encode()
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


PCRE2 = Pcre2()


@settings(max_examples=400, deadline=None)
@given(trees, st.lists(mixed_texts, min_size=1, max_size=3))
def test_the_linear_engine_agrees_with_pcre2(tree, texts):
    written = Written(tree)
    if written.empty_loop:
        return
    for text in texts:
        expected = PCRE2.replace(written.pcre2, text)
        assert redact(written.ours, text) == expected, (written.ours, text)
        # An empty look-ahead sends the pattern to our backtracking engine.
        assert redact(f"(?=)(?:{written.ours})", text, allow_backtracking=True) == expected

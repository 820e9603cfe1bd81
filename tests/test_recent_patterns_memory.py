"""What per-call value patterns leave resident once their calls are over.

The render functions keep recently compiled per-call patterns for the next
call; what the table keeps is bounded by the memory its engines may come to
hold, so patterns that compile to large programs leave nothing behind. Each
measure runs in a process of its own and reads its resident set after
`malloc_trim(0)`, before and after the calls. Both processes start at once
(each takes seconds of compiling). Skipped under the sanitizers, whose
allocators keep freed memory in quarantine or shadow it.
"""

import json
import subprocess
import sys
import textwrap

import pytest

from dispatch_helpers import child_env, under_sanitizer

MIB = 1 << 20

pytestmark = pytest.mark.skipif(
    under_sanitizer(), reason="the sanitizer's allocator makes the resident set meaningless")

PRELUDE = textwrap.dedent("""
    import ctypes, json, os
    import vorlisk._rust as rust

    libc = ctypes.CDLL("libc.so.6")
    PAGE = os.sysconf("SC_PAGE_SIZE")

    def resident():
        libc.malloc_trim(0)
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * PAGE

    def render(pattern, message, console=False):
        if console:
            rust.render_line_console({}, "app", "info", "svc", message, False, "T",
                                     sensitive_patterns=[pattern])
        else:
            rust.render_line({}, "app", "info", "svc", message, "T", sensitive_patterns=[pattern])

    # Whatever the first calls set up for good is not what is measured.
    render(r"\\w+", "warm up \\u00e9")
    render(r"\\w+", "warm up", console=True)
    start = resident()
""")

# 32 distinct patterns of 300 and more word characters, each used once by
# both per-call render functions on a 400-character message; the growth
# after the first 24 and after all 32.
SHORT_MESSAGES = PRELUDE + textwrap.dedent("""
    growth = {}
    for i in range(32):
        pattern = r"\\w{%d}" % (300 + i)
        render(pattern, "x" * 400)
        render(pattern, "x" * 400, console=True)
        if i + 1 in (24, 32):
            growth[i + 1] = resident() - start
    print(json.dumps(growth))
""")

# 34 distinct patterns of 700 and more word characters, each rendered once
# on a 20,000-character message that is not ASCII and once on an ASCII one.
LONG_MESSAGES = PRELUDE + textwrap.dedent("""
    other = ("\\u00e9" + "x" * 99) * 200
    ascii = "x" * 20000
    for i in range(34):
        pattern = r"\\w{%d}" % (700 + i)
        render(pattern, other)
        render(pattern, ascii)
    print(json.dumps({"34": resident() - start}))
""")


def start(script):
    return subprocess.Popen([sys.executable, "-c", script], env=child_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


@pytest.fixture(scope="module")
def growth():
    children = {"short": start(SHORT_MESSAGES), "long": start(LONG_MESSAGES)}
    results = {}
    try:
        for name, child in children.items():
            out, err = child.communicate(timeout=900)
            assert child.returncode == 0, err
            results[name] = {int(calls): grown for calls, grown in json.loads(out).items()}
    finally:
        for child in children.values():
            if child.poll() is None:
                child.kill()
                child.wait()
    return results


@pytest.mark.parametrize("patterns", [24, 32])
def test_large_patterns_on_short_messages_leave_little_resident(growth, patterns):
    assert growth["short"][patterns] <= 40 * MIB, f"{growth['short'][patterns] / MIB:.1f} MiB"


def test_very_large_patterns_on_long_messages_leave_little_resident(growth):
    assert growth["long"][34] <= 256 * MIB, f"{growth['long'][34] / MIB:.1f} MiB"

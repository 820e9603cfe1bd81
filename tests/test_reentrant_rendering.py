"""Rendering entered again from the user code it runs: a record holding an
object whose isoformat() renders that record again ends in RecursionError,
which the conversion one level up turns into its placeholder, long before a
thread's native stack runs out."""

import json
import subprocess
import sys

import pytest

import vorlisk._rust as rust
from dispatch_helpers import under_sanitizer

PLACEHOLDER = "<unsupported: Loop>"

# A thread stack of 2 MiB; the sanitizers' frames take about three times the
# stack a level.
STACK_MIB = 8 if under_sanitizer() else 2

# Each entry renders {"v": loop} and returns what the level below gave,
# read from its own output (so that the text does not grow level by level).
ENTRIES = {
    "render_line": 'rust.render_line(fields, "a", "info", "s", "m")',
    "render_line_console": 'rust.render_line_console(fields, "a", "info", "s", "m", False)',
    "render_line_with_config": 'rust.render_line_with_config(fields, "a", "info", "s", "m", redaction)',
    "render_console_with_config":
        'rust.render_console_with_config(fields, "a", "info", "s", "m", True, redaction)',
    "_render_json_debug": "rust._render_json_debug(loop)",
    "_convert_value_debug": "rust._convert_value_debug(loop)",
    "log_capture": 'writer.log_capture(config, "a", "info", "m", fields, {}, {}, None, None, False)[1]',
    "log, value patterns": 'writer.log(patterns, "a", "info", "m", fields, {}, {}, None, None)',
    "log, console": 'writer.log(console, "a", "info", "m", {}, fields, {}, None, None)',
    "log": 'writer.log(config, "a", "info", "m", {}, {}, fields, None, None)',
    "render_enqueue_json": 'writer.render_enqueue_json(fields, "a", "info", "s", "m", True)',
    "render_enqueue_json_outcome":
        'writer.render_enqueue_json_outcome(fields, "a", "info", "s", "m", True)',
}

REENTRY = """
import json, sys, threading
import vorlisk._rust as rust

PLACEHOLDER = "<unsupported: Loop>"
writer = rust._NativeStringWriter(0)
config = rust.RuntimeConfig("s")
patterns = rust.RuntimeConfig("s", sensitive_patterns=[r"\\d{{16}}"])
console = rust.RuntimeConfig("s", console=True)
redaction = rust.RedactionConfig([r"\\d{{16}}"])
levels = 0

class Loop:
    def isoformat(self):
        global levels
        levels += 1
        loop, fields = self, {{"v": self}}
        rendered = {call}
        # A line (or value) holding the placeholder, or a line written.
        return PLACEHOLDER if PLACEHOLDER in str(rendered) else "rendered"

results = []
threading.stack_size({stack_mib} << 20)
thread = threading.Thread(target=lambda: results.append(Loop().isoformat()))
thread.start()
thread.join()
writer.close()
lines = writer.messages()
print(json.dumps([results, levels, bool(lines) and PLACEHOLDER in lines[0]]))
"""


@pytest.mark.parametrize("entry", list(ENTRIES))
def test_rendering_that_renders_itself_ends_in_the_placeholder(entry):
    source = REENTRY.format(call=ENTRIES[entry], stack_mib=STACK_MIB)
    out = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    [result], levels, first_line_holds_it = json.loads(out.stdout)
    # Ended by the recursion limit (not by the stack), well below the
    # interpreter's own depth of about a thousand levels.
    assert 10 < levels < sys.getrecursionlimit() / 2
    if entry.startswith(("log", "render_enqueue")) and entry != "log_capture":
        # The deepest line written holds the placeholder; the rest hold
        # what their level's isoformat() returned.
        assert first_line_holds_it
        assert result == "rendered"
    else:
        assert result == PLACEHOLDER


class HashEntersMerge(str):
    """A key whose hash, taken while merging, merges again."""
    armed = False

    def __hash__(self):
        if HashEntersMerge.armed:
            rust.merge_fields({"a": 0}, MERGED_KWARGS, {})
        return str.__hash__(self)


MERGED_KWARGS = {HashEntersMerge("a"): 1}


def test_merging_that_merges_again_ends_in_recursion_error():
    HashEntersMerge.armed = True
    try:
        with pytest.raises(RecursionError, match="while rendering a record"):
            rust.merge_fields({"a": 0}, MERGED_KWARGS, {})
    finally:
        HashEntersMerge.armed = False


class Interrupting:
    def isoformat(self):
        raise KeyboardInterrupt


def reachable_depth():
    def down(depth):
        try:
            return down(depth + 1)
        except RecursionError:
            return depth
    return down(0)


def test_every_way_out_gives_its_count_back():
    writer = rust._NativeStringWriter(0)
    config = rust.RuntimeConfig("s")
    fields = {"v": Interrupting()}
    failing_calls = [
        lambda: rust.render_line(fields, "a", "info", "s", "m"),
        lambda: rust.render_line(fields, "a", 5, "s", "m"),
        lambda: rust._render_json_debug(Interrupting()),
        lambda: rust._convert_value_debug(Interrupting()),
        lambda: rust._conversion_stats(Interrupting()),
        lambda: rust.merge_fields({}, [], {}),
        lambda: writer.log(config, "a", "info", "m", fields, {}, {}, None, None),
        lambda: writer.log_capture(config, "a", "info", "m", {}, {}, {}, None, None, 1),
        lambda: writer.render_enqueue_json(fields, "a", "info", "s", "m", True),
    ]
    before = reachable_depth()
    for _ in range(sys.getrecursionlimit()):
        for call in failing_calls:
            with pytest.raises((KeyboardInterrupt, TypeError)):
                call()
    assert json.loads(rust.render_line({"v": 1}, "a", "info", "s", "m"))["v"] == 1
    assert reachable_depth() == before
    writer.close()


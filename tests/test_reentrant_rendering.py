"""Rendering entered again from the user code it runs: a record holding an
object whose isoformat() renders a new record holding such an object again
ends, once too little of the thread's native stack is left, in
RecursionError or in a placeholder, never in a stack overflow, whatever the
values' nesting, the thread's stack size or the interpreter."""

import json
import subprocess
import sys
import threading

import pytest

import vorlisk._rust as rust
from dispatch_helpers import child_env, under_sanitizer
from test_module import _interpreters as interpreters

# A record converted where the stack ran short holds this for the object or
# the container met there.
PLACEHOLDER = "<unsupported: "

# The sanitizers' frames take several times the stack a level.
SMALL_STACK_MIB = 8 if under_sanitizer() else 2

# Each entry renders {"v": value} (value: a new Loop inside `lists` nested
# lists) and returns what the level below gave, read from its own output (so
# that the text does not grow level by level).
ENTRIES = {
    "render_line": 'rust.render_line(fields, "a", "info", "s", "m")',
    "render_line_console": 'rust.render_line_console(fields, "a", "info", "s", "m", False)',
    "render_line_with_config": 'rust.render_line_with_config(fields, "a", "info", "s", "m", redaction)',
    "render_console_with_config":
        'rust.render_console_with_config(fields, "a", "info", "s", "m", True, redaction)',
    "_render_json_debug": "rust._render_json_debug(value)",
    "_convert_value_debug": "rust._convert_value_debug(value)",
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

PLACEHOLDER = {placeholder!r}
LISTS = {lists}
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
        value = Loop()
        for _ in range(LISTS):
            value = [value]
        fields = {{"v": value}}
        rendered = {call}
        # A line (or value) holding the placeholder, or a line written.
        return PLACEHOLDER if PLACEHOLDER in str(rendered) else "rendered"

results = []
if {stack_mib}:
    threading.stack_size({stack_mib} << 20)
    thread = threading.Thread(target=lambda: results.append(Loop().isoformat()))
    thread.start()
    thread.join()
else:
    # The main thread's stack; the recursion limit set so high that the
    # stack is what ends it.
    sys.setrecursionlimit(1_000_000)
    results.append(Loop().isoformat())
writer.close()
lines = writer.messages()
print(json.dumps([results, levels, bool(lines) and PLACEHOLDER in lines[0]]))
"""


def run_reentry(entry, lists, stack_mib, interpreter=sys.executable):
    source = REENTRY.format(call=ENTRIES[entry], lists=lists, stack_mib=stack_mib,
                            placeholder=PLACEHOLDER)
    out = subprocess.run([interpreter, "-c", source], capture_output=True, text=True, env=child_env(),
                         timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
    [result], levels, first_line_holds_it = json.loads(out.stdout)
    assert levels > 5
    if entry.startswith(("log", "render_enqueue")) and entry != "log_capture":
        # The deepest line written holds the placeholder; the rest hold
        # what their level's isoformat() returned.
        assert first_line_holds_it
        assert result == "rendered"
    else:
        assert result == PLACEHOLDER


@pytest.mark.parametrize("entry", list(ENTRIES))
def test_rendering_that_renders_itself_ends_in_the_placeholder(entry):
    run_reentry(entry, 0, SMALL_STACK_MIB)


# Each level converts a value nested `lists` deep: the deeper the values, the
# fewer levels fit, on a small thread stack and on the main thread's.
@pytest.mark.parametrize("interpreter", interpreters())
@pytest.mark.parametrize("stack_mib", [SMALL_STACK_MIB, 0], ids=["thread", "main"])
@pytest.mark.parametrize("lists", [12, 63])
@pytest.mark.parametrize("entry", ["render_line", "log_capture", "_convert_value_debug",
                                   "_render_json_debug"])
def test_nested_values_rendered_again_end_before_the_stack_does(entry, lists, stack_mib,
                                                                 interpreter):
    run_reentry(entry, lists, stack_mib, interpreter)


def nested(depth):
    value = 1
    for _ in range(depth):
        value = [value]
    return value


def on_thread(stack_bytes, call):
    results = []
    thread = threading.Thread(target=lambda: results.append(call()))
    # The size applies to threads started while it is set.
    threading.stack_size(stack_bytes)
    try:
        thread.start()
    finally:
        threading.stack_size(0)
    thread.join()
    return results[0]


def innermost(value, depth):
    for _ in range(depth):
        [value] = value
    return value


def test_data_that_does_not_enter_again_converts_to_its_full_depth_on_a_small_stack():
    # The top-level object is at depth 1: 63 lists around 1 are all kept;
    # one more, and what the 64th holds becomes the depth placeholder.
    small = 2 << 20
    assert on_thread(small, lambda: rust._convert_value_debug(nested(63))) == nested(63)
    deeper = on_thread(small, lambda: rust._convert_value_debug(nested(64)))
    assert innermost(deeper, 63) == ["<max depth exceeded>"]
    line = on_thread(small, lambda: rust.render_line({"v": nested(63)}, "a", "info", "s", "m"))
    assert json.loads(line)["v"] == nested(63)
    patterns = rust.RuntimeConfig("s", sensitive_patterns=[r"\d{16}"], console=True)
    writer = rust._NativeStringWriter(0)
    on_thread(small, lambda: writer.log(patterns, "a", "info", "m", {"v": nested(63)}, {}, {},
                                        None, None))
    writer.close()
    assert "v=" + "[" * 63 + "1" + "]" * 63 in writer.messages()[0]


def test_a_thread_with_a_small_stack_still_logs():
    stack = (2 << 20) if under_sanitizer() else (256 << 10)
    writer = rust._NativeStringWriter(0)
    config = rust.RuntimeConfig("s")
    fields = {"user": {"id": 7, "tags": ["a", "b"]}, "n": 1.5}
    assert on_thread(stack, lambda: writer.log(config, "a", "info", "m", fields, {}, {}, None,
                                               None)) == 0
    writer.close()
    assert json.loads(writer.messages()[0])["user"] == {"id": 7, "tags": ["a", "b"]}


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
        with pytest.raises(RecursionError, match="maximum recursion depth exceeded"):
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


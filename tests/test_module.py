import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import vorlisk._rust as rust
from dispatch_helpers import child_env

# The fixed order of the module's items; each subsystem's items appear in
# their place once it is built.
MODULE_ORDER = [
    "version", "normalize_level", "syslog_severity", "normalized_syslog_severity",
    "level_table", "_default_sensitive_keys", "_redacted_marker_key",
    "_convert_value_debug", "_conversion_stats", "_render_json_debug", "validate_patterns",
    "render_line", "render_line_with_config", "render_line_console",
    "render_console_with_config", "_NativeStringWriter", "NativeFilter", "RedactionConfig",
    "RuntimeConfig", "merge_fields", "CallableDispatcher", "DispatchChannel", "in_callback",
    "enter_callback", "exit_callback", "report_unraisable",
]


def test_module_doc_is_empty():
    assert rust.__doc__ == ""


def test_all_lists_items_in_their_fixed_order():
    assert rust.__all__ == [name for name in MODULE_ORDER if name in rust.__all__]
    assert len(set(rust.__all__)) == len(rust.__all__)
    for name in rust.__all__:
        assert hasattr(rust, name)


def test_functions_carry_text_signatures():
    assert rust.version.__text_signature__ == "()"
    assert rust.normalize_level.__text_signature__ == "(level)"
    assert rust.syslog_severity.__text_signature__ == "(canonical_level)"


def test_version_takes_no_arguments():
    with pytest.raises(TypeError):
        rust.version(1)


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not installed")
    out = subprocess.run([nm, "-D", "--defined-only", rust.__file__], check=True,
                         capture_output=True, text=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__rust"]


def _version_of(versions_dir):
    try:
        return tuple(int(part) for part in versions_dir.name.split(".")[:2])
    except ValueError:
        return (0, 0)


def _interpreters():
    """Every Python 3.11+ on this machine (the stable ABI must serve them all)."""
    candidates = [sys.executable, "/usr/bin/python3"]
    candidates += [d / "bin" / "python3" for d in pathlib.Path("/root/.pyenv/versions").glob("3.*")
                   if _version_of(d) >= (3, 11)]
    found = {}
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            found[os.path.realpath(candidate)] = str(candidate)
    return sorted(found.values())


def _run_with_the_build(interpreter, code):
    return subprocess.run([interpreter, "-c", code], env=child_env(), capture_output=True, text=True,
                          timeout=60)


@pytest.mark.parametrize("interpreter", _interpreters())
def test_imports_under_every_interpreter(interpreter):
    code = "import sys, vorlisk._rust as r; assert sys.version_info >= (3, 11); print(r.version())"
    out = _run_with_the_build(interpreter, code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1.5.0"


SUB_INTERPRETER_IMPORTS = '''
import sys
try:
    import _interpreters as subs  # 3.13+
    kinds = {"shared": lambda: subs.create("legacy"), "own": lambda: subs.create("isolated")}
    run = subs.exec
except ImportError:
    try:
        import _xxsubinterpreters as subs
    except ImportError:
        sys.exit(3)
    kinds = {"shared": lambda: subs.create(isolated=False)}
    if sys.version_info >= (3, 12):
        kinds["own"] = lambda: subs.create(isolated=True)
    run = subs.run_string
code = """
try:
    import vorlisk._rust
except ImportError as exc:
    result = str(exc)
else:
    result = "imported"
import sys
sys.stdout.write(result + chr(10))
"""
for kind, make in kinds.items():
    interp = make()
    sys.stdout.write(kind + ": ")
    sys.stdout.flush()
    run(interp, code)
    subs.destroy(interp)
import vorlisk._rust as r  # the refusals left nothing behind
print("main:", r.CallableDispatcher().idle())
'''


@pytest.mark.parametrize("interpreter", _interpreters())
def test_sub_interpreters_cannot_import(interpreter):
    out = _run_with_the_build(interpreter, SUB_INTERPRETER_IMPORTS)
    if out.returncode == 3:
        pytest.skip("no sub-interpreter module")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "shared: vorlisk._rust can only be imported in the main interpreter"
    # Interpreters with a lock of their own refuse such modules themselves.
    assert lines[1:-1] in ([], ["own: module vorlisk._rust does not support loading in "
                                "subinterpreters"])
    assert lines[-1] == "main: True"

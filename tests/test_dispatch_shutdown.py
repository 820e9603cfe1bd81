"""Interpreter exit while dispatch workers are busy, idle, or waiting for
their turn: the process ends normally, whatever the workers were doing."""
import subprocess
import textwrap

import pytest

from dispatch_helpers import child_env
from test_module import _interpreters as interpreters

SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import vorlisk._rust as r

    mode = sys.argv[1]
    d = r.CallableDispatcher()
    def sleepy(line):
        time.sleep(0.002)  # leaves the interpreter lock inside the call
    def busy(line):
        sum(range(20000))
    d.add(sleepy if mode == "sleep" else busy, enabled=True)
    if mode == "behind":
        d.sync([busy], maxsize=0)  # a second generation waiting for its turn
    if mode != "idle":
        for _ in range(1100):  # just past the bound: the producer blocks
            d.enqueue("x\\n", 20, overflow="block")
        def producer():  # a daemon thread blocked on a full queue at exit
            while True:
                d.enqueue("y\\n", 20, overflow="block")
        threading.Thread(target=producer, daemon=True).start()
    time.sleep(0.05)
    print("exiting", flush=True)
""")


@pytest.mark.parametrize("mode", ["sleep", "busy", "behind", "idle"])
@pytest.mark.parametrize("interpreter", interpreters())
def test_interpreter_exits_cleanly_under_working_dispatchers(interpreter, mode):
    env = child_env(unjoined_threads=True)
    out = subprocess.run([interpreter, "-W", "ignore", "-c", SCRIPT, mode], env=env,
                         capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout, out.stderr) == (0, "exiting\n", "")

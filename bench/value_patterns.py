"""Value patterns: word assertions over long texts, and what a per-call
pattern costs to compile.

Run by `make bench` (a Release build on PYTHONPATH), or alone:

    PYTHONPATH=build-bench /usr/bin/python3 bench/value_patterns.py

1. `RuntimeConfig.redact_patterns` with `\\w+_token\\b` over "é " + "a"*n +
   "_tokenx" (no match: the text is not ASCII, so RE2 finds where a match
   may start and the Pike VM searches from there), and with `\\w+_token\\>`
   over "x " + "a_token"*n + "a" (ASCII, but RE2 has no \\>: the same path),
   at 64 KiB and 1 MiB; and, with matches, `a(?:\\B.*)?` over "é " +
   "a "*n, where the form with \\B left out matches from each "a" to the
   end of the text, but the pattern only "a". Best of several runs, in ms,
   and the growth from 64 KiB to 1 MiB (16 times the text).
2. `render_line` with per-call `sensitive_patterns`, which after the first
   call come from the table of recently compiled patterns: five common
   patterns, and `\\w+` alone, on an ASCII record and on one whose message
   is not ASCII, less the same call without patterns. Median of several
   runs, in ms per call. Then the same with patterns that miss the table at
   every call: 40 variants of each list in turn, each pattern followed by a
   distinct `(?:yN){0}`, which matches the empty text.
"""

import statistics
import time

import vorlisk._rust as rust

COMMON = [r"\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,}\b", r"\b(?:\d[ -]*?){13,16}\b",
          r"(?i)\bbearer\s+[A-Za-z0-9._~+/-]+=*", r"\b\d{3}-\d{2}-\d{4}\b", r"(?i)password=\S+"]


def best_ms(call, runs=5):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best * 1000


def long_texts():
    config_b = rust.RuntimeConfig("bench", sensitive_patterns=[r"\w+_token\b"])
    config_end = rust.RuntimeConfig("bench", sensitive_patterns=[r"\w+_token\>"])
    config_rest = rust.RuntimeConfig("bench", sensitive_patterns=[r"a(?:\B.*)?"])
    print(f"{'pattern':16} {'text':38} {'64 KiB ms':>10} {'1 MiB ms':>9} {'growth':>7}")
    for name, config, make, shape, matches in [
            (r"\w+_token\b", config_b, lambda size: "\u00e9 " + "a" * size + "_tokenx",
             '"\u00e9 " + a*n + "_tokenx"', False),
            (r"\w+_token\>", config_end, lambda size: "x " + "a_token" * (size // 7) + "a",
             '"x " + "a_token"*n + "a"', False),
            (r"a(?:\B.*)?", config_rest, lambda size: "\u00e9 " + "a " * (size // 2),
             '"\u00e9 " + "a "*n', True)]:
        times = []
        for size in (64 * 1024, 1024 * 1024):
            text = make(size)
            assert (config.redact_patterns(text) != text) == matches
            times.append(best_ms(lambda: config.redact_patterns(text)))
        print(f"{name:16} {shape:38} {times[0]:10.2f} {times[1]:9.2f} {times[1] / times[0]:6.1f}x")


def variants(patterns, count=40):
    return [[f"{pattern}(?:y{i}){{0}}" for pattern in patterns] for i in range(count)]


def per_call_ms(patterns, message, calls=400, repeats=7, missing=False):
    lists = variants(patterns) if missing else [patterns]

    def run():
        for call in range(calls):
            kwargs = {"sensitive_patterns": lists[call % len(lists)]} if patterns else {}
            rust.render_line({"user": "alice", "attempt": 3}, "app", "info", "svc", message, "T", **kwargs)

    run()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        samples.append((time.perf_counter() - start) / calls * 1000)
    return statistics.median(samples)


def compile_costs():
    print(f"{'render_line per-call patterns':52} {'ASCII ms':>9} {'non-ASCII ms':>13}")
    messages = {"ASCII": "user signed in", "non-ASCII": "Benutzer j\u00fcrgen hat sich angemeldet"}
    floor = {name: per_call_ms(None, message) for name, message in messages.items()}
    for name, patterns in [("the five common patterns", COMMON), (r"\w+ alone", [r"\w+"])]:
        for missing in (False, True):
            cost = {key: per_call_ms(patterns, message, missing=missing) - floor[key]
                    for key, message in messages.items()}
            label = name + (", missing the table" if missing else "")
            print(f"{label:52} {cost['ASCII']:9.3f} {cost['non-ASCII']:13.3f}")


def main():
    long_texts()
    compile_costs()


if __name__ == "__main__":
    main()

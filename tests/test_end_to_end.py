"""A configuration, a writer and a callable-sink dispatcher together: the
lines log_capture returns are handed to the dispatcher while the same
records reach the rotating file."""

import json
import threading

import vorlisk._rust as rust

LEVELS = {"debug": 10, "info": 20, "warning": 30, "error": 40}


def test_log_capture_feeds_callable_sinks_and_the_file(tmp_path):
    config = rust.RuntimeConfig("svc")
    writer = rust._NativeStringWriter(0, file_path=str(tmp_path / "app.log"),
                                      file_max_bytes=2048, file_backup_count=100)
    everything, warnings = [], []
    dispatcher = rust.CallableDispatcher()
    dispatcher.configure([everything.append], maxsize=16)
    dispatcher.add(lambda line, level: warnings.append((level, line)), 30, enabled=True,
                   level_callback=lambda line, level: warnings.append((level, line)))

    def produce(thread):
        for i in range(300):
            name = list(LEVELS)[i % 4]
            code, line, _ = writer.log_capture(config, "app", name, "event", {"thread": thread},
                                               {"i": i}, {}, None, None, False)
            assert code == 0
            if not dispatcher.idle():
                assert dispatcher.enqueue(line, LEVELS[name], overflow="block")

    threads = [threading.Thread(target=produce, args=(t,)) for t in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert dispatcher.flush() == 0
    assert writer.close() == 0

    assert len(everything) == 900
    assert len(warnings) == 450 and all(level >= 30 for level, _ in warnings)
    for thread in range(3):  # each producer's records arrive in its own order
        mine = [json.loads(line)["i"] for line in everything if f'"thread":{thread},' in line]
        assert mine == list(range(300))
    on_disk = sorted(line for f in tmp_path.iterdir() if ".lock" not in f.name
                     for line in f.read_text().splitlines(keepends=True))
    assert on_disk == sorted(everything)
    assert dispatcher.metrics()["callable_dropped"] == 0
    dispatcher.stop(drain=True)

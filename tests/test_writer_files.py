"""The writer's log file: rotation, lock file, paths, following files moved
by others, and the construction errors."""

import os

import pytest

from vorlisk._rust import _NativeStringWriter as Writer


def write_lines(path, lines, **kwargs):
    writer = Writer(0, file_path=str(path), **kwargs)
    for line in lines:
        assert writer.try_enqueue(line)
    assert writer.close() == 0
    return writer


def read(path):
    return path.read_text() if path.exists() else None


def line_of(char):
    return char * 39 + "\n"  # 40 bytes


@pytest.mark.parametrize("count, log, backup1, backup2", [
    (2, "ab", None, None),
    (3, "c", "ab", None),
    (5, "e", "cd", "ab"),
    (8, "gh", "ef", "cd"),
])
def test_rotation_table(tmp_path, count, log, backup1, backup2):
    path = tmp_path / "app.log"
    write_lines(path, [line_of(c) for c in "abcdefgh"[:count]],
                file_max_bytes=100, file_backup_count=2)

    def text(letters):
        return None if letters is None else "".join(line_of(c) for c in letters)

    assert read(path) == text(log)
    assert read(tmp_path / "app.log.1") == text(backup1)
    assert read(tmp_path / "app.log.2") == text(backup2)
    assert not (tmp_path / "app.log.3").exists()
    assert (tmp_path / "app.log.lock").read_bytes() == b""


def test_oversized_line_then_rotation(tmp_path):
    path = tmp_path / "app.log"
    write_lines(path, ["x" * 199 + "\n", "next\n"], file_max_bytes=100, file_backup_count=1)
    assert read(path) == "next\n"
    assert len(read(tmp_path / "app.log.1")) == 200


@pytest.mark.parametrize("max_bytes, backups", [(100, 0), (0, 5)])
def test_rotation_needs_both_limits(tmp_path, max_bytes, backups):
    path = tmp_path / "app.log"
    write_lines(path, [line_of("a")] * 5, file_max_bytes=max_bytes, file_backup_count=backups)
    assert len(read(path)) == 200
    assert sorted(p.name for p in tmp_path.iterdir()) == ["app.log", "app.log.lock"]


def test_lines_without_newline_do_not_run_together(tmp_path):
    path = tmp_path / "app.log"
    write_lines(path, ["a", "b"])
    assert read(path) == "a\nb"


def test_appends_to_an_existing_file(tmp_path):
    path = tmp_path / "app.log"
    path.write_text("old\n")
    write_lines(path, ["new\n"])
    assert read(path) == "old\nnew\n"


def test_follows_a_file_moved_away(tmp_path):
    path = tmp_path / "app.log"
    writer = Writer(0, file_path=str(path))
    writer.try_enqueue("one\n")
    writer.flush()
    path.rename(tmp_path / "moved.log")
    writer.try_enqueue("two\n")
    writer.close()
    assert read(tmp_path / "moved.log") == "one\n"
    assert read(path) == "two\n"


# A hold of the lock writes at most this many lines.
LINES_PER_HOLD = 64


def test_a_file_moved_away_while_streaming_is_left_within_a_hold(tmp_path):
    path, moved_path = str(tmp_path / "app.log"), str(tmp_path / "moved.log")
    writer = Writer(0, file_path=path)
    total, move_at = 20_000, 5_000
    pad = "x" * 2000  # long lines: the worker drains a backlog while lines arrive
    for i in range(total):
        writer.try_enqueue(f"{i} {pad}\n")
        if i == move_at:
            written_before = writer.metrics()["written"]
            os.rename(path, moved_path)  # without the lock, as mv does
            written_after = writer.metrics()["written"]
    assert writer.close() == 0
    with open(moved_path) as moved_file, open(path) as new_file:
        moved, rest = moved_file.read().split()[::2], new_file.read().split()[::2]
    assert moved + rest == [str(i) for i in range(total)]
    # Each hold checks the path before it writes and is counted as soon as
    # it ends. What was counted before the rename is in the moved file; what
    # went there after it came from holds that checked the path before the
    # rename took effect: all were counted by the time it returned but the
    # last one, which may still have been under way.
    assert written_before <= len(moved) <= written_after + LINES_PER_HOLD


def test_relative_path_and_missing_directories(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_lines("logs/./deeper/app.log", ["x\n"])
    assert read(tmp_path / "logs" / "deeper" / "app.log") == "x\n"
    assert (tmp_path / "logs" / "deeper" / "app.log.lock").exists()


def test_files_are_private(tmp_path):
    path = tmp_path / "app.log"
    write_lines(path, ["x\n"])
    assert path.stat().st_mode & 0o077 == 0
    assert (tmp_path / "app.log.lock").stat().st_mode & 0o077 == 0


def test_a_rotation_that_cannot_complete_keeps_logging(tmp_path):
    path = tmp_path / "app.log"
    (tmp_path / "app.log.1").mkdir()
    (tmp_path / "app.log.1" / "keep").mkdir()
    writer = Writer(0, file_path=str(path), file_max_bytes=50, file_backup_count=1)
    for c in "abc":
        writer.try_enqueue(line_of(c))
    writer.close()
    assert read(path) == line_of("a") + line_of("b") + line_of("c")
    metrics = writer.metrics()
    assert (metrics["written"], metrics["sink_errors"]) == (3, 2)


@pytest.mark.parametrize("file_path, message", [
    ("", "cannot make an empty path absolute"),
    ("a\0b", "file name contained an unexpected NUL byte"),
])
def test_unusable_paths(file_path, message):
    with pytest.raises(ValueError) as info:
        Writer(0, file_path=file_path)
    assert str(info.value) == message


def test_os_errors_carry_their_number(tmp_path):
    (tmp_path / "file").write_text("")
    with pytest.raises(ValueError, match=r"^File exists \(os error 17\)$"):
        Writer(0, file_path=str(tmp_path / "file" / "app.log"))
    with pytest.raises(ValueError, match=r"^Is a directory \(os error 21\)$"):
        Writer(0, file_path=str(tmp_path))
    assert not os.path.exists(tmp_path / "app.log")

"""Logs 100,000 records from four threads into a rotating log file in a
temporary directory, shows what was written, then removes the directory.

Run with `make demo`. The records carry the kinds of value the writer renders
natively: numbers, nested dicts and lists, UUIDs, datetimes, enum members and
dataclasses. A value pattern redacts card numbers, and the default sensitive
keys redact passwords and API keys at any depth.
"""

import dataclasses
import datetime
import enum
import os
import tempfile
import threading
import time
import uuid

import vorlisk._rust as rust

RECORDS = 100_000
THREADS = 4


class Status(enum.Enum):
    PLACED = "placed"
    BACKORDERED = "backordered"


# An exact amount as integer cents: a type with no JSON form of its own (a
# Decimal, say) would be written as a placeholder such as
# "<unsupported: Decimal>", so that logging never fails on its data.
@dataclasses.dataclass
class Money:
    cents: int
    currency: str


def log_records(writer, config, thread_index, count):
    bound = {"worker": thread_index, "region": "eu-west-1"}
    for i in range(count):
        kwargs = {
            "order": i,
            "status": Status.BACKORDERED if i % 9 == 0 else Status.PLACED,
            "total": Money(cents=999 + 37 * i, currency="EUR"),
            "customer": {"id": uuid.UUID(int=i), "tier": "gold" if i % 7 == 0 else "standard",
                         "api_key": "sk-live-%08x" % i},
            "items": [i % 5, "sku-%d" % (i % 13), None, True],
            "placed_at": datetime.datetime(2026, 12, 7, 4, i % 60, i % 60,
                                           tzinfo=datetime.timezone.utc),
            "note": "card 4111 1111 1111 1111 on file" if i % 11 == 0 else "ok",
            "password": "hunter2",
        }
        writer.log(config, "shop.orders", "warning" if i % 10 == 0 else "info",
                   "order %d placed" % i, bound, kwargs, {"request_id": "%d-%d" % (thread_index, i)},
                   None, None)


def log_to(directory):
    path = os.path.join(directory, "orders.log")
    config = rust.RuntimeConfig("shop", sensitive_patterns=[r"\b(?:\d{4} ){3}\d{4}\b"],
                                pattern_replacement="[CARD]")
    writer = rust._NativeStringWriter(0, file_path=path, file_max_bytes=4 << 20,
                                      file_backup_count=20)
    per_thread = RECORDS // THREADS
    threads = [threading.Thread(target=log_records, args=(writer, config, t, per_thread))
               for t in range(THREADS)]
    start = time.perf_counter()
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        logged = time.perf_counter() - start
    finally:
        writer.close()  # before the directory goes: nothing may still write into it
    total = time.perf_counter() - start

    print(f"logged {RECORDS:,} records from {THREADS} threads in {logged:.2f} s; "
          f"written and closed after {total:.2f} s")
    print("writer metrics:")
    for key, value in writer.metrics().items():
        print(f"  {key:12} {value}")


def show_files(directory):
    """Lists the log files and prints the first lines of the oldest; returns
    the number of files and their size in bytes."""
    # orders.log is the newest file, orders.log.1 the newest backup.
    files = sorted((name for name in os.listdir(directory) if not name.endswith(".lock")),
                   key=lambda name: int(name.rsplit(".", 1)[1]) if name != "orders.log" else 0)
    size = sum(os.path.getsize(os.path.join(directory, name)) for name in files)
    print(f"{len(files)} log files, {size / 1e6:.1f} MB: {', '.join(files)}")
    oldest = files[-1]
    with open(os.path.join(directory, oldest)) as log_file:
        print(f"first three lines (of {oldest}):")
        for _ in range(3):
            print("  " + log_file.readline().rstrip("\n"))
    return len(files), size


def main():
    with tempfile.TemporaryDirectory(prefix="vorlisk-demo-") as directory:
        print(f"logging into {directory}")
        log_to(directory)
        count, size = show_files(directory)
    print(f"removed {directory} and its {count} log files ({size / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()

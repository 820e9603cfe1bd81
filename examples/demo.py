"""Logs 100,000 records from four threads into a rotating log file.

Run with `make demo`. The records carry mixed field types; a value pattern
redacts card numbers, and the default sensitive keys redact passwords.
"""

import datetime
import decimal
import os
import tempfile
import threading
import time
import uuid

import vorlisk._rust as rust

RECORDS = 100_000
THREADS = 4


def log_records(writer, config, thread_index, count):
    bound = {"worker": thread_index, "region": "eu-west-1"}
    for i in range(count):
        kwargs = {
            "order": i,
            "amount": round(i * 0.37, 2),
            "customer": {"id": uuid.UUID(int=i), "tier": "gold" if i % 7 == 0 else "standard"},
            "items": [i % 5, "sku-%d" % (i % 13), None, True],
            "placed_at": datetime.datetime(2026, 12, 7, 4, i % 60, i % 60,
                                           tzinfo=datetime.timezone.utc),
            "note": "card 4111 1111 1111 1111 on file" if i % 11 == 0 else "ok",
            "password": "hunter2",
            "price": decimal.Decimal("9.99"),
        }
        writer.log(config, "shop.orders", "warning" if i % 10 == 0 else "info",
                   "order %d placed" % i, bound, kwargs, {"request_id": "%d-%d" % (thread_index, i)},
                   None, None)


def main():
    directory = tempfile.mkdtemp(prefix="vorlisk-demo-")
    path = os.path.join(directory, "orders.log")
    config = rust.RuntimeConfig("shop", sensitive_patterns=[r"\b(?:\d{4} ){3}\d{4}\b"],
                                pattern_replacement="[CARD]")
    writer = rust._NativeStringWriter(0, file_path=path, file_max_bytes=4 << 20,
                                      file_backup_count=20)
    per_thread = RECORDS // THREADS
    threads = [threading.Thread(target=log_records, args=(writer, config, t, per_thread))
               for t in range(THREADS)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    logged = time.perf_counter() - start
    writer.close()
    total = time.perf_counter() - start

    print(f"logged {RECORDS:,} records from {THREADS} threads in {logged:.2f} s; "
          f"written and closed after {total:.2f} s")
    print("writer metrics:")
    for key, value in writer.metrics().items():
        print(f"  {key:12} {value}")
    # orders.log is the newest file, orders.log.1 the newest backup.
    files = sorted((name for name in os.listdir(directory) if not name.endswith(".lock")),
                   key=lambda name: int(name.rsplit(".", 1)[1]) if name != "orders.log" else 0)
    print(f"{len(files)} log files in {directory}: {', '.join(files)}")
    oldest = files[-1]
    with open(os.path.join(directory, oldest)) as log_file:
        print(f"first three lines (of {oldest}):")
        for _ in range(3):
            print("  " + log_file.readline().rstrip("\n"))


if __name__ == "__main__":
    main()

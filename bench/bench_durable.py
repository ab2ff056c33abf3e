"""The durable store (Store.open) against the floors it sits on, measured in the same rounds.

Run: python bench/bench_durable.py [--rounds R] [--dir DIR] [--entries N]
* fsync="always", one writer, 1 KB values: per write, against appending 4 KB with os.pwrite and
  os.fdatasync (the disk's own floor, in the same rounds: it swings from minute to minute).
* fsync="always", 8 threads: throughput against one thread's (group commit shares the syncs).
* fsync="interval": per write against the same write on a memory store.
* Cost per write with 100 records in the log and with N (default 1M): appends do not look back.
* Replay: opening a log of N small records (records per second), and opening an N-entry image
  against pickle.load of the same dict of dicts.
* A writer's p99 latency while a compaction of N entries runs, against its p99 outside it.
Wall-clock medians of interleaved rounds, with their ranges; ratios printed beside the figures.
"""

import argparse
import gc
import os
import pickle
import platform
import shutil
import statistics
import sys
import tempfile
import threading
import time

import tallowmere
from tallowmere import Store

VALUE_1K = {"messages": [{"role": "user", "content": "x" * 960}]}


def per_call(fn, count):
    gc.disable()
    try:
        start = time.perf_counter()
        for i in range(count):
            fn(i)
        return (time.perf_counter() - start) / count
    finally:
        gc.enable()


def floor_write_sync(directory, count):
    path = os.path.join(directory, "floor.bin")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    block = b"x" * 4096
    try:
        return per_call(lambda i: (os.pwrite(fd, block, i * 4096), os.fdatasync(fd)), count)
    finally:
        os.close(fd)
        os.unlink(path)


def durable_per_write(directory, mode, count, value=VALUE_1K):
    path = os.path.join(directory, f"{mode}.db")
    with Store.open(path, fsync=mode) as store:
        result = per_call(lambda i: store.set("thread-1", f"ckpt-{i:07}", value), count)
    os.unlink(path)
    return result


def memory_per_write(count, value=VALUE_1K):
    store = Store()
    return per_call(lambda i: store.set("thread-1", f"ckpt-{i:07}", value), count)


def threads_throughput(directory, threads, per_thread):
    path = os.path.join(directory, f"threads{threads}.db")
    with Store.open(path) as store:
        barrier = threading.Barrier(threads + 1)

        def work(t):
            barrier.wait()
            for i in range(per_thread):
                store.set(f"thread-{t}", f"ckpt-{i:07}", VALUE_1K)

        workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
        for worker in workers:
            worker.start()
        barrier.wait()
        start = time.perf_counter()
        for worker in workers:
            worker.join()
        elapsed = time.perf_counter() - start
    os.unlink(path)
    return threads * per_thread / elapsed


def fill_log(path, records):
    """A log of `records` small records (about 55 bytes each, so a million stay under the 64 MiB at
    which the log would be compacted), written without syncing each."""
    with Store.open(path, fsync="never") as store:
        for i in range(records):
            store.set(f"t{i % 100}", f"{i:x}", i)


def build_state(entries):
    store, plain = Store(), {}
    for start in range(0, entries, 10_000):
        items = [(f"thread-{i % 1000}", f"ckpt-{i:07}", {"step": i, "ok": True})
                 for i in range(start, min(entries, start + 10_000))]
        store.set_many(items)
        for ns, key, value in items:
            plain.setdefault(ns, {})[key] = value
    return store, plain


def compaction_p99(directory, entries, writes):
    path = os.path.join(directory, "compact.db")
    store, _ = build_state(entries)
    store.snapshot().save(path)
    del store
    with Store.open(path, fsync="interval") as durable:
        def latencies(count):
            out = []
            for i in range(count):
                start = time.perf_counter()
                durable.set("writer", f"k{i % 1000}", VALUE_1K)
                out.append(time.perf_counter() - start)
            return sorted(out)

        quiet = latencies(writes)
        compactor = threading.Thread(target=durable.compact)
        compactor.start()
        during = []
        while compactor.is_alive():
            during += latencies(200)
        compactor.join()
    os.unlink(path)
    during.sort()
    return quiet[int(len(quiet) * 0.99)], during[int(len(during) * 0.99)], len(during)


def median_range(values):
    return statistics.median(values), min(values), max(values)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=None, help="a directory on the disk to measure (default: a temp dir)")
    parser.add_argument("--entries", type=int, default=1_000_000)
    args = parser.parse_args()
    directory = tempfile.mkdtemp(dir=args.dir)
    print(f"tallowmere {tallowmere.__version__}, CPython {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} cores, directory {directory}\n")
    try:
        rows = {key: [] for key in ("floor", "always", "interval", "memory", "t1", "t8")}
        for _ in range(args.rounds):
            rows["floor"].append(floor_write_sync(directory, 300))
            rows["always"].append(durable_per_write(directory, "always", 300))
            rows["interval"].append(durable_per_write(directory, "interval", 20_000))
            rows["memory"].append(memory_per_write(20_000))
            rows["t1"].append(threads_throughput(directory, 1, 200))
            rows["t8"].append(threads_throughput(directory, 8, 100))
        ratio = lambda a, b: [x / y for x, y in zip(rows[a], rows[b])]
        print("| case | tallowmere | peer | ratio (range) |\n|---|---|---|---|")
        print("| fsync='always', 1 KB, per write vs pwrite 4 KB + fdatasync | %.1f us | %.1f us | %.2fx (%.2f-%.2f) |"
              % (statistics.median(rows["always"]) * 1e6, statistics.median(rows["floor"]) * 1e6,
                 *median_range(ratio("always", "floor"))))
        print("| fsync='interval', 1 KB, per write vs the same set on a memory store | %.2f us | %.2f us | "
              "%.2fx (%.2f-%.2f) |" % (statistics.median(rows["interval"]) * 1e6,
                                      statistics.median(rows["memory"]) * 1e6, *median_range(ratio("interval", "memory"))))
        print("| fsync='always', 8 threads vs 1 thread, writes per second | %.0f | %.0f | %.2fx (%.2f-%.2f) |"
              % (statistics.median(rows["t8"]), statistics.median(rows["t1"]), *median_range(ratio("t8", "t1"))))

        small = {"step": 1}
        log = os.path.join(directory, "long.db")
        fill_log(log, 100)
        with Store.open(log, fsync="never") as store:
            at_100 = [per_call(lambda i: store.set("w", f"k{i}", small), 20_000) for _ in range(args.rounds)]
        os.unlink(log)
        start = time.perf_counter()
        fill_log(log, args.entries)
        fill_time = time.perf_counter() - start
        size = os.path.getsize(log)
        opens = []
        for _ in range(args.rounds):
            gc.collect()
            start = time.perf_counter()
            store = Store.open(log, fsync="never")
            opens.append(time.perf_counter() - start)
            at_n = per_call(lambda i: store.set("w", f"k{i}", small), 20_000)
            store.close()
            del store
        print(f"| per write (fsync='never') at 100 records vs {args.entries:,} in the log | "
              f"{at_n * 1e6:.2f} us | {statistics.median(at_100) * 1e6:.2f} us | {at_n / statistics.median(at_100):.2f}x |")
        print(f"| replay: open a log of {args.entries:,} records ({size / 2**20:.0f} MiB, written in {fill_time:.1f} s) "
              f"| {statistics.median(opens):.2f} s | | {args.entries / statistics.median(opens) / 1e6:.2f}M records/s |")
        os.unlink(log)

        store, plain = build_state(args.entries)
        image = os.path.join(directory, "image.db")
        store.snapshot().save(image)
        pickled = os.path.join(directory, "image.pickle")
        with open(pickled, "wb") as file:
            pickle.dump(plain, file, protocol=pickle.HIGHEST_PROTOCOL)
        del store, plain
        ours, theirs = [], []
        for _ in range(args.rounds):
            gc.collect()
            start = time.perf_counter()
            Store.open(image, fsync="never").close()
            ours.append(time.perf_counter() - start)
            gc.collect()
            start = time.perf_counter()
            with open(pickled, "rb") as file:
                pickle.load(file)
            theirs.append(time.perf_counter() - start)
        print(f"| open an image of {args.entries:,} entries vs pickle.load of the same dict | "
              f"{statistics.median(ours):.2f} s | {statistics.median(theirs):.2f} s | "
              f"{statistics.median(theirs) / statistics.median(ours):.2f}x faster |")

        quiet, during, samples = compaction_p99(directory, args.entries, 5000)
        print(f"| writer p99 during a compaction of {args.entries:,} entries vs outside ({samples} writes during) | "
              f"{during * 1e6:.0f} us | {quiet * 1e6:.0f} us | {during / quiet:.2f}x |")
    finally:
        shutil.rmtree(directory)


if __name__ == "__main__":
    sys.exit(main())

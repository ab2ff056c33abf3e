"""Saving and loading snapshots, against the I/O floor and against pickle and msgpack.

Run: python bench/bench_persist.py [--entries N] [--rounds R] [--dir DIR]
* Full save / load of N entries (default 1M): `Snapshot.save` and `Store.load` against
  writing / reading the same bytes with plain Python file calls plus fsync (the I/O
  floor), and against pickle and msgpack of an equivalent dict of dicts. Wall-clock
  times (the work is I/O), medians and ranges over interleaved rounds.
* Delta save with 10 changed keys at 10k and at N entries, on /dev/shm where fsync
  costs nothing, so the ratio shows what the append itself costs.
* A writer thread's `set` throughput while another thread saves N entries, against
  the same writer alone.
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

import msgpack

import tallowmere
from tallowmere import Store


def build(n, namespaces=1000):
    store, plain = Store(), {}
    for start in range(0, n, 10_000):
        items = [(f"thread-{i % namespaces}", f"ckpt-{i:07d}", {"step": i, "ok": True})
                 for i in range(start, min(n, start + 10_000))]
        store.set_many(items)
        for ns, key, value in items:
            plain.setdefault(ns, {})[key] = value
    return store, plain


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        gc.enable()


def write_synced(path, data):
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


def read_all(path):
    with open(path, "rb") as f:
        return f.read()


def summary(times):
    return f"{statistics.median(times) * 1000:8.1f} ms ({min(times) * 1000:.0f}-{max(times) * 1000:.0f})"


def interleaved(cases, rounds):
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            times[name].append(timed(fn))
    return times


def report(title, times, reference):
    print(f"\n-- {title}: median (range) over {len(times[reference])} rounds, ratio to {reference!r}")
    base = statistics.median(times[reference])
    for name, values in times.items():
        print(f"{name:>28} {summary(values)}  {statistics.median(values) / base:5.2f}x")


def full_save_and_load(n, rounds, directory):
    store, plain = build(n)
    snap = store.snapshot()
    ours, floor = os.path.join(directory, "ours.snap"), os.path.join(directory, "floor.bin")
    pickled, packed = os.path.join(directory, "dict.pickle"), os.path.join(directory, "dict.msgpack")
    snap.save(ours)
    data = read_all(ours)
    print(f"\nfile: {len(data) / 1e6:.1f} MB for {n:,} entries; pickle "
          f"{len(pickle.dumps(plain, pickle.HIGHEST_PROTOCOL)) / 1e6:.1f} MB, msgpack {len(msgpack.packb(plain)) / 1e6:.1f} MB")

    def pickle_dump():
        with open(pickled, "wb") as f:
            pickle.dump(plain, f, pickle.HIGHEST_PROTOCOL)
            f.flush()
            os.fsync(f.fileno())

    saves = interleaved({
        "Snapshot.save": lambda: snap.save(ours),
        "I/O floor (write+fsync)": lambda: write_synced(floor, data),
        "pickle.dump+fsync": pickle_dump,
        "msgpack.packb+write+fsync": lambda: write_synced(packed, msgpack.packb(plain)),
    }, rounds)
    report(f"full save of {n:,} entries", saves, "I/O floor (write+fsync)")

    def pickle_load():
        with open(pickled, "rb") as f:
            return pickle.load(f)

    loads = interleaved({
        "Store.load": lambda: Store.load(ours),
        "I/O floor (read)": lambda: read_all(ours),
        "pickle.load": pickle_load,
        "msgpack.unpackb(read)": lambda: msgpack.unpackb(read_all(packed)),
    }, rounds)
    report(f"full load of {n:,} entries (page cache warm)", loads, "pickle.load")
    return store, snap


def delta_cost(n, rounds):
    directory = tempfile.mkdtemp(prefix="tm-bench-delta-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        store = build(n)[0]  # the dict peer is not needed here: gc.collect() before each timing would walk it
        path = os.path.join(directory, "s.snap")
        previous = store.snapshot()
        previous.save(path)
        times = []
        for r in range(rounds):
            for i in range(10):
                j = (r * 10 + i) * 7919 % n
                store.set(f"thread-{j % 1000}", f"ckpt-{j:07d}", {"step": -j, "ok": False})
            snap = store.snapshot()
            times.append(timed(lambda: snap.save(path, base=previous)))
            previous = snap
        return times
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def writer_throughput(store, snap, directory, seconds):
    def run_writer(stop, counts):
        i = 0
        while not stop.is_set():
            store.set("writer", f"k{i % 10_000}", i)
            i += 1
        counts.append(i)

    def measure(during):
        stop, counts = threading.Event(), []
        thread = threading.Thread(target=run_writer, args=(stop, counts))
        start = time.perf_counter()
        thread.start()
        saves = during(start)
        stop.set()
        thread.join()
        return counts[0] / (time.perf_counter() - start), saves

    def idle(start):
        time.sleep(seconds)
        return 0

    def saving(start):
        saves = 0
        while time.perf_counter() - start < seconds:
            snap.save(os.path.join(directory, "concurrent.snap"))
            saves += 1
        return saves

    alone, during = [], []
    for _ in range(3):
        alone.append(measure(idle)[0])
        rate, saves = measure(saving)
        during.append(rate)
    ratios = [d / a for d, a in zip(during, alone)]
    print(f"\n-- a writer thread's set() rate while another thread saves the {len(snap.keys):,}-entry snapshot")
    print(f"   alone {statistics.median(alone):,.0f}/s, during saves {statistics.median(during):,.0f}/s: "
          f"{statistics.median(ratios):.2f}x (range {min(ratios):.2f}-{max(ratios):.2f}) over 3 rounds of {seconds}s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=None, help="where full saves go (default: a temporary directory)")
    args = parser.parse_args()
    print(f"tallowmere {tallowmere.__version__}, msgpack {msgpack.version}, CPython {platform.python_version()}, "
          f"{platform.machine()}, {os.cpu_count()} CPUs")
    directory = tempfile.mkdtemp(prefix="tm-bench-persist-", dir=args.dir)
    try:
        store, snap = full_save_and_load(args.entries, args.rounds, directory)
        writer_throughput(store, snap, directory, seconds=2)
        del store, snap
        gc.collect()
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    small = delta_cost(10_000, 20)
    large = delta_cost(args.entries, 20)
    ratio = statistics.median(large) / statistics.median(small)
    print(f"\n-- delta save with 10 changed keys (on /dev/shm: no fsync cost), 20 appends each")
    print(f"   10,000 entries: {statistics.median(small) * 1e6:.0f} us ({min(small) * 1e6:.0f}-{max(small) * 1e6:.0f}); "
          f"{args.entries:,} entries: {statistics.median(large) * 1e6:.0f} us "
          f"({min(large) * 1e6:.0f}-{max(large) * 1e6:.0f}); ratio {ratio:.2f}")


if __name__ == "__main__":
    sys.exit(main())

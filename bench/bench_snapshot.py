"""Snapshot, diff and history costs, against copying plain dicts.

Run: python bench/bench_snapshot.py [--quick]
Times are the calling thread's CPU time (time.thread_time_ns, so other processes on the
machine do not inflate them), medians over rounds in which ours and the peer's run interleaved;
memory is RSS growth in fresh child processes.
"""

import argparse
import copy
import gc
import os
import platform
import statistics
import subprocess
import sys
import time

import tallowmere
from tallowmere import Store


def build(n, namespaces=1000):
    store, plain = Store(), {}
    for start in range(0, n, 10_000):
        items = [(f"thread-{i % namespaces}", f"ckpt-{i:07d}", {"step": i}) for i in range(start, min(n, start + 10_000))]
        store.set_many(items)
        for ns, key, value in items:
            plain.setdefault(ns, {})[key] = value
    return store, plain


def median_us(fn, rounds, repeat=1):
    times = []
    for _ in range(rounds):
        gc.disable()
        start = time.thread_time_ns()
        for _ in range(repeat):
            fn()
        times.append((time.thread_time_ns() - start) / repeat / 1000)
        gc.enable()
    return statistics.median(times)


def snapshot_cost(sizes, rounds):
    print("\n-- taking a snapshot (us per call) vs copying the same data as dicts of decoded values")
    print(f"{'entries':>10} {'snapshot()':>12} {'shallow copy':>14} {'deepcopy':>12}")
    for n in sizes:
        store, plain = build(n)
        snap_us = median_us(store.snapshot, rounds, repeat=200)
        shallow_us = median_us(lambda: {ns: dict(keys) for ns, keys in plain.items()}, max(3, rounds // 3))
        deep_us = median_us(lambda: copy.deepcopy(plain), 3) if n <= 100_000 else float("nan")
        print(f"{n:>10,} {snap_us:>12.2f} {shallow_us:>14.0f} {deep_us:>12.0f}")
        del store, plain
        gc.collect()
    print("   (deepcopy skipped above 100k entries: it takes seconds)")


def diff_cost(sizes, rounds):
    print("\n-- diff of two snapshots that differ in 10 keys (us per call) vs comparing two dict copies")
    print(f"{'entries':>10} {'Snapshot.diff':>14} {'dict compare':>14}")
    for n in sizes:
        store, plain = build(n)
        before = store.snapshot()
        base_copy = {ns: dict(keys) for ns, keys in plain.items()}
        for i in range(10):
            j = i * 7919 % n
            ns, key = f"thread-{j % 1000}", f"ckpt-{j:07d}"
            store.set(ns, key, {"step": -1 - i})
            plain[ns][key] = {"step": -1 - i}
        after = store.snapshot()
        assert sum(len(v) for v in after.diff(before).values()) == 10

        def compare_dicts():
            changed = []
            for ns, keys in plain.items():
                old = base_copy.get(ns, {})
                for key, value in keys.items():
                    if key not in old or old[key] != value:
                        changed.append((ns, key))
            return changed

        diff_us = median_us(lambda: after.diff(before), rounds, repeat=100)
        dict_us = median_us(compare_dicts, max(3, rounds // 3))
        print(f"{n:>10,} {diff_us:>14.2f} {dict_us:>14.0f}")
        del store, plain, base_copy, before, after
        gc.collect()


HISTORY_CHILD = r"""
import ctypes, gc

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2

def heap_in_use():  # bytes malloc has handed out and not taken back (the store's nodes and values live here)
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd

from tallowmere import Store
n = 100_000
gc.collect()
empty = heap_in_use()
store = Store(max_history=None)
for start in range(0, n, 10_000):
    store.set_many([(f"thread-{i % 1000}", f"ckpt-{i:07d}", {"step": i, "messages": ["hi"] * 4}) for i in range(start, start + 10_000)])
gc.collect()
one = heap_in_use()
for s in range(100):
    for w in range(10):
        i = (s * 10 + w) * 97 % n
        store.set(f"thread-{i % 1000}", f"ckpt-{i:07d}", {"step": -i, "messages": ["hi"] * 4})
    store.snapshot()
gc.collect()
print(one - empty, heap_in_use() - one, len(store.history()))
"""


def history_memory():
    print("\n-- 100k-entry store, max_history=None, 100 snapshots each after 10 writes (malloc heap in use)")
    out = subprocess.run([sys.executable, "-c", HISTORY_CHILD], capture_output=True, text=True, check=True).stdout
    store_bytes, growth, kept = map(int, out.split())
    print(f"store alone: {store_bytes / 2**20:.1f} MiB; {kept} retained snapshots add {growth / 2**20:.2f} MiB "
          f"= {growth / store_bytes:.3f}x of one store ({growth / 1000:.0f} B per written key), "
          f"where 100 full copies would add 100x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    rounds = 5 if args.quick else 11
    print(f"tallowmere {tallowmere.__version__}, Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} CPUs, {platform.platform()}")
    snapshot_cost([1_000, 100_000] if args.quick else [1_000, 100_000, 1_000_000], rounds)
    diff_cost([10_000, 100_000] if args.quick else [10_000, 1_000_000], rounds)
    history_memory()


if __name__ == "__main__":
    main()

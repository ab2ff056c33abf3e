"""Store throughput and memory against a dict-of-dicts store that keeps msgpack bytes.

Run: python bench/bench_store.py [--quick]
Single-thread figures are CPU time of the calling thread (time.thread_time_ns), so
other processes on the machine do not inflate them; the two-thread scenario uses
wall time. Every figure is a median over interleaved rounds (ours and the peer's timed in the
same round), with the median of the per-round ratios. Memory is measured in fresh
child processes from their resident set size.
"""

import argparse
import gc
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

import immutables
import msgpack

import tallowmere
from tallowmere import Store


class DictStore:
    """The obvious pure-Python equivalent: namespace -> {key: msgpack bytes}."""

    def __init__(self):
        self.data = {}

    def set(self, namespace, key, value):
        self.data.setdefault(namespace, {})[key] = msgpack.packb(value)

    def get(self, namespace, key, default=None):
        ns = self.data.get(namespace)
        if ns is None or key not in ns:
            return default
        return msgpack.unpackb(ns[key])


class ImmutablesStore:
    """The persistent-map peer: immutables.Map of namespace -> Map of key -> msgpack bytes.
    Like ours, a snapshot of it is O(1) (keep a reference to the root)."""

    def __init__(self):
        self.root = immutables.Map()
        self.empty = immutables.Map()

    def set(self, namespace, key, value):
        root = self.root
        self.root = root.set(namespace, root.get(namespace, self.empty).set(key, msgpack.packb(value)))

    def get(self, namespace, key, default=None):
        ns = self.root.get(namespace)
        if ns is None:
            return default
        data = ns.get(key)
        return default if data is None else msgpack.unpackb(data)


def timed(fn, repeat, clock=time.thread_time_ns):
    gc.disable()
    try:
        start = clock()
        fn(repeat)
        return (clock() - start) / repeat
    finally:
        gc.enable()


def compare(label, ours, peer, repeat, rounds, unit="ns/op", clock=time.thread_time_ns):
    """Interleaves the two, prints medians and the median per-round ratio (ours / peer)."""
    ours_t, peer_t, ratios = [], [], []
    for _ in range(rounds):
        a = timed(ours, repeat, clock)
        b = timed(peer, repeat, clock)
        ours_t.append(a)
        peer_t.append(b)
        ratios.append(a / b)
    print(f"{label:<52} ours {statistics.median(ours_t):>10.1f}  peer {statistics.median(peer_t):>10.1f} {unit}"
          f"   ours/peer {statistics.median(ratios):.2f}x")
    return statistics.median(ratios)


def single_key(rounds):
    print("\n-- single-key operations, small value {'step': 3} (peer: dict of dicts + msgpack)")
    store, peer = Store(), DictStore()
    value = {"step": 3}
    for i in range(1000):
        store.set("threads", f"t{i}", value)
        peer.set("threads", f"t{i}", value)

    def set_loop(target):
        def run(n):
            s = target.set
            for _ in range(n):
                s("threads", "t1", value)
        return run

    def get_loop(target):
        def run(n):
            g = target.get
            for _ in range(n):
                g("threads", "t1")
        return run

    def in_ours(n):
        for _ in range(n):
            "threads" in store

    def in_peer(n):
        d = peer.data
        for _ in range(n):
            "threads" in d

    compare("set(ns, key, small dict)", set_loop(store), set_loop(peer), 20000, rounds)
    compare("get(ns, key) -> small dict", get_loop(store), get_loop(peer), 20000, rounds)

    persistent = ImmutablesStore()
    for i in range(1000):
        persistent.set("threads", f"t{i}", value)
    compare("set vs an immutables.Map store (+ msgpack)", set_loop(store), set_loop(persistent), 20000, rounds)
    compare("get vs an immutables.Map store (+ msgpack)", get_loop(store), get_loop(persistent), 20000, rounds)
    compare("'ns' in store (GIL release + read lock bound)", in_ours, in_peer, 20000, rounds)


def batch_loops(store, make):
    """1,000 items over 10 namespaces, written once, and loops of set_many / get_many over them."""
    items = [(f"ns{i % 10}", f"k{i}", make(i)) for i in range(1000)]
    pairs = [(ns, k) for ns, k, _ in items]
    store.set_many(items)

    def set_many(n):
        for _ in range(n):
            store.set_many(items)

    def get_many(n):
        for _ in range(n):
            store.get_many(pairs)

    return items, pairs, set_many, get_many


def batches(rounds):
    print("\n-- batches of 1,000 items vs 1,000 single calls, per item (10 namespaces, interleaved)")
    for label, make in (("small int", lambda i: i), ("{'i': i}", lambda i: {"i": i})):
        store = Store()
        items, pairs, set_many, get_many = batch_loops(store, make)

        def set_single(n):
            s = store.set
            for _ in range(n):
                for ns, k, v in items:
                    s(ns, k, v)

        def get_single(n):  # builds the same list get_many returns
            g = store.get
            for _ in range(n):
                [g(ns, k) for ns, k in pairs]

        r1 = compare(f"set_many vs set, value {label} (ns per 1000 items)", set_many, set_single, 20, rounds, "ns")
        r2 = compare(f"get_many vs get, value {label} (ns per 1000 items)", get_many, get_single, 20, rounds, "ns")
        print(f"   per-item speed-up with value {label}: set_many {1 / r1:.2f}x, get_many {1 / r2:.2f}x")


def queries(rounds):
    print("\n-- key and namespace queries (peer: the same dict of dicts)")
    store, peer = Store(), DictStore()
    for i in range(10_000):
        store.set("big", f"ckpt-{i:06d}", i)
        peer.set("big", f"ckpt-{i:06d}", i)
    for i in range(10_000):
        store.set(f"tenant:{i % 100}/thread:{i}", "k", 0)
        peer.set(f"tenant:{i % 100}/thread:{i}", "k", 0)

    compare("keys(ns) on a 10k-key namespace", lambda n: [store.keys("big") for _ in range(n)],
            lambda n: [list(peer.data["big"]) for _ in range(n)], 50, rounds, "ns/call")
    compare("keys(ns, prefix) matching 10 of 10k", lambda n: [store.keys("big", "ckpt-00999") for _ in range(n)],
            lambda n: [[k for k in peer.data["big"] if k.startswith("ckpt-00999")] for _ in range(n)],
            50, rounds, "ns/call")
    compare("max_key(ns) on a 10k-key namespace", lambda n: [store.max_key("big") for _ in range(n)],
            lambda n: [max(peer.data["big"]) for _ in range(n)], 50, rounds, "ns/call")
    compare("namespaces(prefix) matching 100 of 10k namespaces",
            lambda n: [store.namespaces("tenant:7/") for _ in range(n)],
            lambda n: [[k for k in peer.data if k.startswith("tenant:7/")] for _ in range(n)], 50, rounds, "ns/call")


def threads(rounds):
    print("\n-- two threads writing to different namespaces vs one thread doing both shares (bytes values)")
    for size, per_thread in ((10_240, 4000), (102_400, 800), (1_048_576, 80)):
        value = b"x" * size

        def work(store, namespace):
            s = store.set
            for i in range(per_thread):
                s(namespace, str(i % 50), value)

        def one_thread(n):
            for _ in range(n):
                store = Store()
                work(store, "a")
                work(store, "b")

        def two_threads(n):
            for _ in range(n):
                store = Store()
                ts = [threading.Thread(target=work, args=(store, ns)) for ns in ("a", "b")]
                for t in ts:
                    t.start()
                for t in ts:
                    t.join()

        r = compare(f"2 x {per_thread} sets of {size // 1024} KB: two threads vs one", two_threads, one_thread, 1,
                    rounds, "ns/run", clock=time.perf_counter_ns)
        print(f"   {size // 1024} KB values: two threads give {1 / r:.2f}x the throughput of one")


MEMORY_CHILD = r"""
import gc, sys
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
kind, n, shape = sys.argv[1], int(sys.argv[2]), sys.argv[3]
value = (lambda i: i) if shape == "int" else (lambda i: {"step": i, "ok": True})
def chunk(start):
    return [(f"thread-{i % 1000}", f"ckpt-{i:07d}", value(i)) for i in range(start, min(n, start + 10000))]
if kind == "store":
    from tallowmere import Store
    s = Store()
gc.collect(); base = rss()
for start in range(0, n, 10000):
    items = chunk(start)
    if kind == "store":
        s.set_many(items)
    else:
        d = locals().setdefault("d", {})
        for ns, k, v in items:
            d.setdefault(ns, {})[k] = v
    del items
gc.collect()
print((rss() - base) / n)
"""


def memory(n):
    print(f"\n-- memory per entry, {n:,} entries in 1,000 namespaces (RSS growth in a fresh process)")
    for shape in ("int", "dict"):
        got = {}
        for kind in ("store", "dict"):
            out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, kind, str(n), shape],
                                 capture_output=True, text=True, check=True)
            got[kind] = float(out.stdout)
        label = "small int" if shape == "int" else "{'step': i, 'ok': True}"
        print(f"value {label:<28} Store {got['store']:>6.1f} B/entry   dict of decoded objects "
              f"{got['dict']:>6.1f} B/entry   ratio {got['store'] / got['dict']:.2f}x")
    print("   (both built from the same generated items, 10,000 at a time; RSS growth over an empty start)")


def overheads(rounds):
    print("\n-- what a call adds to the codec (interleaved; thread CPU time, page faults included)")
    clock = time.thread_time_ns
    store = Store()
    big = os.urandom(1 << 20)
    store.set("big", "k", big)

    def set_big(n):
        for _ in range(n):
            store.set("big", "k", big)

    def copy_big(n):
        for _ in range(n):
            bytearray(big)

    compare("set of a 1 MB bytes value vs bytearray(value)", set_big, copy_big, 50, rounds, "ns", clock)
    for label, make in (("small int", lambda i: i), ("{'i': i}", lambda i: {"i": i})):
        items, pairs, set_many, get_many = batch_loops(store, make)
        values = [v for _, _, v in items]
        encoded = [tallowmere.dumps(v) for v in values]

        def dumps_all(n):
            d = tallowmere.dumps
            for _ in range(n):
                for v in values:
                    d(v)

        def loads_all(n):
            ld = tallowmere.loads
            for _ in range(n):
                [ld(e) for e in encoded]

        for name, ours, codec in (("set_many", set_many, dumps_all), ("get_many", get_many, loads_all)):
            extra = []
            for _ in range(rounds):
                extra.append((timed(ours, 20, clock) - timed(codec, 20, clock)) / len(items))
            print(f"{name} of 1,000, value {label}: per item above the codec {statistics.median(extra):6.1f} ns"
                  f"  (range {min(extra):.1f} .. {max(extra):.1f})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds and 100k entries for memory")
    args = parser.parse_args()
    rounds = 5 if args.quick else 11
    print(f"tallowmere {tallowmere.__version__}, msgpack {'.'.join(map(str, msgpack.version))}, "
          f"immutables {immutables.__version__}, "
          f"Python {platform.python_version()}, {platform.machine()}, {os.cpu_count()} CPUs, {platform.platform()}")
    single_key(rounds)
    batches(rounds)
    overheads(rounds)
    queries(rounds)
    threads(max(3, rounds // 2))
    memory(100_000 if args.quick else 1_000_000)


if __name__ == "__main__":
    main()

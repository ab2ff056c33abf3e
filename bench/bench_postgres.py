"""TallowmereSaver on a `tallowmere.postgres` store against LangGraph's PostgresSaver, one private
PostgreSQL server (Unix socket, default durability: fsync and synchronous_commit on) for both.

Run: python bench/bench_postgres.py [--quick]
Per-call figures are wall-clock medians over interleaved rounds (ours and the peer's timed in the
same round), with the median of the per-round ratios ours/peer (below 1.00x ours is faster).
Then: aggregate write throughput of 4 processes on disjoint namespaces against 1 process, and the
time a process takes to join a 1M-entry store against `Store.load` of the same state from a file.
"""

import argparse
import gc
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "python")]

import psycopg  # noqa: E402
from bench_langgraph import cfg, checkpoint, filled, payload  # noqa: E402
from langgraph.checkpoint.postgres import PostgresSaver  # noqa: E402
from pg_server import Server, make_template  # noqa: E402
from psycopg.rows import dict_row  # noqa: E402

from tallowmere import Store  # noqa: E402
from tallowmere.langgraph import TallowmereSaver  # noqa: E402
from tallowmere.postgres import connect  # noqa: E402


def timed(fn, repeat):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn(repeat)
        return (time.perf_counter() - start) / repeat * 1e6
    finally:
        gc.enable()


def compare(label, ours, peer, repeat, rounds):
    a_t, b_t, ratios = [], [], []
    for _ in range(rounds):
        a, b = timed(ours, repeat), timed(peer, repeat)
        a_t.append(a)
        b_t.append(b)
        ratios.append(a / b)
    print(f"| {label} | {statistics.median(a_t):.0f} us | {statistics.median(b_t):.0f} us | "
          f"{statistics.median(ratios):.2f}x ({min(ratios):.2f}-{max(ratios):.2f}) |", flush=True)


def saver_cases(savers, repeat, rounds):
    values = payload(1000)
    versions = {"messages": "00000000000000000000000000000001.5", "step": "00000000000000000000000000000001.7"}
    counters = [0, 0]

    def put(i):
        def run(n):
            for _ in range(n):
                counters[i] += 1
                savers[i].put(cfg(f"p{counters[i] % 50}"), checkpoint(counters[i], values, versions),
                              {"step": 1}, versions)
        return run

    compare("put, 1 KB", put(0), put(1), repeat, rounds)
    writes = [("messages", values["messages"][:2])]
    write_cfg = cfg("w", "000000000001")

    def put_writes(i):
        def run(n):
            for _ in range(n):
                counters[i] += 1
                savers[i].put_writes(write_cfg, writes, f"task{counters[i]}")
        return run

    compare("put_writes, 1 write", put_writes(0), put_writes(1), repeat, rounds)
    for saver in savers:
        filled(saver, 1000)

    def call(i, fn):
        def run(n):
            for _ in range(n):
                fn(savers[i])
        return run

    latest, by_id = cfg("t"), cfg("t", f"{50:012d}")
    for label, fn in (("get_tuple latest (ours syncs first)", lambda s: s.get_tuple(latest)),
                      ("get_tuple by id (ours syncs first)", lambda s: s.get_tuple(by_id)),
                      ("list(limit=10) (ours syncs first)", lambda s: list(s.list(latest, limit=10)))):
        compare(f"{label}, 1 KB, 100 in thread", call(0, fn), call(1, fn), repeat, rounds)
    # What the replica alone costs: the same saver without its sync() round trip.
    savers[0] = TallowmereSaver(savers[0].store)
    savers[0]._sync = None
    compare("get_tuple latest, replica only (no sync), 1 KB, 100 in thread",
            call(0, lambda s: s.get_tuple(latest)), call(1, lambda s: s.get_tuple(latest)), repeat, rounds)
    savers[0]._sync = savers[0].store.sync
    # The floor of sync(): a prepared SELECT 1 on the connection it uses (the pool's most recent).
    store = savers[0].store
    link = store._pool.take()
    store._pool.give(link)
    link.pq.prepare(b"bench_floor", b"SELECT 1")

    def select_one(n):
        for _ in range(n):
            link.pq.exec_prepared(b"bench_floor", None)

    def sync(n):
        for _ in range(n):
            store.sync()

    compare("sync() / prepared SELECT 1 on its connection (the round-trip floor)", sync, select_one, repeat, rounds)


def graph_case(savers, runs, rounds):
    from typing import TypedDict

    from langgraph.graph import END, START, StateGraph

    class State(TypedDict):
        messages: list
        count: int

    def build(saver):
        g = StateGraph(State)
        names = ["a", "b", "c", "d", "e"]
        for name in names:
            g.add_node(name, lambda s, name=name: {"count": s["count"] + 1,
                                                   "messages": s["messages"] + [{"text": name * 200}]})
        g.add_edge(START, "a")
        for left, right in zip(names, names[1:]):
            g.add_edge(left, right)
        g.add_edge("e", END)
        return g.compile(checkpointer=saver)

    apps = [build(saver) for saver in savers]
    counter = [0]

    def invoke(i):
        def run(n):
            for _ in range(n):
                counter[0] += 1
                apps[i].invoke({"messages": [], "count": 0}, {"configurable": {"thread_id": f"g{counter[0]}"}})
        return run

    compare("StateGraph invoke, 5 nodes", invoke(0), invoke(1), runs, rounds)


def writer(conninfo, namespace, seconds):
    store = connect(conninfo, "throughput")
    value = {"text": "x" * 1000}
    count, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        store.set(namespace, f"k{count % 1000}", value)
        count += 1
    print(count, flush=True)
    store.close()


def throughput_case(conninfo, seconds, rounds):
    def run(processes):
        procs = [subprocess.Popen([sys.executable, __file__, "--writer", conninfo, f"ns{p}", str(seconds)],
                                  stdout=subprocess.PIPE, text=True) for p in range(processes)]
        return sum(int(p.communicate()[0]) for p in procs) / seconds

    ones, fours = [], []
    for _ in range(rounds):
        ones.append(run(1))
        fours.append(run(4))
    ratios = [b / a for a, b in zip(ones, fours)]
    print(f"| writes/s, 1 KB `set`: 1 process / 4 processes on disjoint namespaces | {statistics.median(ones):.0f}"
          f" | {statistics.median(fours):.0f} | {statistics.median(ratios):.2f}x "
          f"({min(ratios):.2f}-{max(ratios):.2f}) |", flush=True)


def join_case(conninfo, entries, rounds):
    source = Store()
    per = 1000
    for n in range(entries // per):
        source.set_many([(f"thread-{n}", f"{k:06d}", {"step": k, "text": "x" * 40}) for k in range(per)])
    snapshot = source.snapshot()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "state.snap")
        snapshot.save(path)
        seed = connect(conninfo, "join", poll_interval=None)
        seed.restore(snapshot)
        seed.sync()
        seed._write_image()
        seed.close()
        loads, joins = [], []
        for _ in range(rounds):
            start = time.perf_counter()
            loaded = Store.load(path)
            loads.append(time.perf_counter() - start)
            del loaded
            start = time.perf_counter()
            joined = connect(conninfo, "join", poll_interval=None)
            joins.append(time.perf_counter() - start)
            assert len(joined) == entries
            joined.close()
            del joined
    ratios = [j / s for s, j in zip(loads, joins)]
    print(f"| join a {entries:,}-entry store: `Store.load` from a file / `connect` | {statistics.median(loads):.2f} s"
          f" | {statistics.median(joins):.2f} s | {statistics.median(ratios):.2f}x "
          f"({min(ratios):.2f}-{max(ratios):.2f}) |", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--writer", nargs=3)
    parser.add_argument("--fsync", choices=["on", "off"], default="on",
                        help="off shows what a disk with a fast flush would: commits still wait for the WAL write")
    args = parser.parse_args()
    if args.writer:
        writer(args.writer[0], args.writer[1], float(args.writer[2]))
        return
    template = make_template()
    server = Server(template, f"fsync={args.fsync}")
    try:
        print(f"PostgreSQL {psycopg.connect(server.conninfo).info.server_version}, psycopg {psycopg.__version__},"
              f" Python {sys.version.split()[0]}, {os.cpu_count()} cores, fsync {args.fsync}")
        print("| case | tallowmere | PostgresSaver | ratio (range) |\n|---|---|---|---|")
        peer_conn = psycopg.connect(server.conninfo, autocommit=True, prepare_threshold=0, row_factory=dict_row)
        peer = PostgresSaver(peer_conn)
        peer.setup()
        savers = [TallowmereSaver(connect(server.conninfo, "bench")), peer]
        repeat, rounds = (20, 5) if args.quick else (100, 11)
        saver_cases(savers, repeat, rounds)
        graph_case(savers, max(1, repeat // 10), rounds)
        savers[0].store.close()
        peer_conn.close()
        print("\n| case | 1 process | 4 processes | ratio (range) |\n|---|---|---|---|")
        throughput_case(server.conninfo, 2 if args.quick else 5, 3)
        print("\n| case | file | PostgreSQL | ratio (range) |\n|---|---|---|---|")
        join_case(server.conninfo, 100_000 if args.quick else 1_000_000, 3)
    finally:
        server.close()
        import shutil
        shutil.rmtree(template.parent, ignore_errors=True)


if __name__ == "__main__":
    main()

"""TallowmereSaver / TallowmereStore against LangGraph's InMemorySaver / InMemoryStore, and on a file
against SqliteSaver / SqliteStore.

Run: python bench/bench_langgraph.py [--quick] [--profile] [--lag] [--durable] [--dir DIR]
Per-call figures are CPU time of the calling thread, medians over interleaved rounds
(ours and the peer's timed in the same round), with the median of the per-round
ratios ours/peer (below 1.00x ours is faster). The durable cases are wall time: a
StateGraph invoke on the memory savers, on stores kept in files (Store.open, fsync
"always" and "interval") and on SqliteSaver, and a memory-store put on a file against
SqliteStore, at the same durability, with the disk's fsync floor measured in the same
rounds (--durable runs only those; the files go to --dir, else to the temporary
directory, or to the working directory if that one is a tmpfs). The async case counts how late the event loop
wakes while many graphs with big states run at once; RSS is measured in fresh child
processes. --profile prints where the time of TallowmereSaver.put and get_tuple goes.
"""

import argparse
import gc
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

from langgraph.checkpoint.base import BaseCheckpointSaver, empty_checkpoint
from langgraph.checkpoint.memory import InMemorySaver
from langgraph.store.memory import InMemoryStore

from tallowmere.langgraph import TallowmereSaver, TallowmereStore


def payload(size):
    """Channel values of about `size` bytes: a chat history."""
    message = {"role": "assistant", "content": "x" * 180, "id": "msg", "meta": {"tokens": 42}}
    return {"messages": [dict(message, id=f"m{i}") for i in range(max(1, size // 240))], "step": 3}


def checkpoint(n, values, versions):
    c = empty_checkpoint()
    c["id"] = f"{n:012d}"
    c["channel_values"] = values
    c["channel_versions"] = versions
    return c


def cfg(thread, checkpoint_id=None):
    c = {"thread_id": thread, "checkpoint_ns": ""}
    if checkpoint_id is not None:
        c["checkpoint_id"] = checkpoint_id
    return {"configurable": c}


def timed(fn, repeat):
    gc.collect()
    gc.disable()
    try:
        start = time.thread_time_ns()
        fn(repeat)
        return (time.thread_time_ns() - start) / repeat / 1000
    finally:
        gc.enable()


RESULTS = []


def compare(label, ours, peer, repeat, rounds):
    a_t, b_t, ratios = [], [], []
    for _ in range(rounds):
        a = timed(ours, repeat)
        b = timed(peer, repeat)
        a_t.append(a)
        b_t.append(b)
        ratios.append(a / b)
    row = (label, statistics.median(a_t), statistics.median(b_t), statistics.median(ratios), min(ratios), max(ratios))
    RESULTS.append(row)
    print(f"| {label} | {row[1]:.2f} us | {row[2]:.2f} us | {row[3]:.2f}x ({row[4]:.2f}-{row[5]:.2f}) |", flush=True)


def filled(saver, size, count=100):
    values = payload(size)
    versions = {}
    parent = None
    for n in range(count):
        versions = {"messages": saver.get_next_version(versions.get("messages"), None),
                    "step": saver.get_next_version(versions.get("step"), None)}
        config = saver.put(cfg("t", parent), checkpoint(n, values, versions), {"source": "loop", "step": n}, versions)
        saver.put_writes(config, [("messages", values["messages"][:1]), ("step", n)], f"task{n}")
        parent = config["configurable"]["checkpoint_id"]
    return saver


def saver_cases(size, repeat, rounds):
    values = payload(size)
    versions = {"messages": "00000000000000000000000000000001.5", "step": "00000000000000000000000000000001.7"}
    pair = [TallowmereSaver(), InMemorySaver()]
    counters = [0, 0]

    def put(i):
        def run(n):
            saver = pair[i]
            for _ in range(n):
                counters[i] += 1
                saver.put(cfg(f"p{counters[i] % 50}"), checkpoint(counters[i], values, versions), {"step": 1}, versions)
        return run

    compare(f"put, {size // 1000} KB", put(0), put(1), repeat, rounds)
    writes = [("messages", values["messages"][:1]), ("step", 4)]  # a step's writes: a message and a counter
    write_cfg = cfg("w", "000000000001")

    def put_writes(i):
        def run(n):
            saver = pair[i]
            for _ in range(n):
                counters[i] += 1
                saver.put_writes(write_cfg, writes, f"task{counters[i]}")
        return run

    compare(f"put_writes (2 writes), {size // 1000} KB", put_writes(0), put_writes(1), repeat, rounds)
    full = [filled(TallowmereSaver(), size), filled(InMemorySaver(), size)]

    def call(i, fn):
        def run(n):
            saver = full[i]
            for _ in range(n):
                fn(saver)
        return run

    latest = cfg("t")
    by_id = cfg("t", f"{50:012d}")
    for label, fn in (("get_tuple latest", lambda s: s.get_tuple(latest)),
                      ("get_tuple by id", lambda s: s.get_tuple(by_id)),
                      ("list(limit=10)", lambda s: list(s.list(latest, limit=10)))):
        compare(f"{label}, {size // 1000} KB (100 in thread)", call(0, fn), call(1, fn),
                max(1, repeat // (10 if "list" in label else 1)), rounds)


def graph_app(saver):
    """A 5-node StateGraph with a conditional edge: each invoke saves 6 checkpoints and their writes."""
    from typing import TypedDict

    from langgraph.graph import END, START, StateGraph

    class State(TypedDict):
        messages: list
        count: int

    g = StateGraph(State)
    g.add_node("plan", lambda s: {"count": s["count"] + 1, "messages": s["messages"] + [{"text": "p" * 200}]})
    g.add_node("search", lambda s: {"messages": s["messages"] + [{"text": "s" * 400}]})
    g.add_node("review", lambda s: {"count": s["count"] * 2})
    g.add_node("write", lambda s: {"messages": s["messages"] + [{"text": "w" * 200}]})
    g.add_node("check", lambda s: {"count": s["count"] - 1})
    g.add_edge(START, "plan")
    g.add_conditional_edges("plan", lambda s: "search" if s["count"] % 2 else "review", ["search", "review"])
    g.add_edge("search", "review")
    g.add_edge("review", "write")
    g.add_edge("write", "check")
    g.add_edge("check", END)
    return g.compile(checkpointer=saver)


def filesystem(path):
    """The type of the file system holding `path` ("" if /proc/self/mounts does not say)."""
    path, best, kind = os.path.realpath(path), "", ""
    try:
        with open("/proc/self/mounts") as mounts:
            for line in mounts:
                point, fs = line.split()[1:3]
                if (path == point or path.startswith(point.rstrip("/") + "/")) and len(point) >= len(best):
                    best, kind = point, fs
    except OSError:
        pass
    return kind


def disk_directory(requested):
    """Where the durable cases keep their files: `requested`, else the temporary directory unless it
    is a tmpfs (memory, where a sync costs nothing), else the working directory."""
    if requested:
        return requested
    return os.getcwd() if filesystem(tempfile.gettempdir()) == "tmpfs" else tempfile.gettempdir()


class KeepNothingSaver(BaseCheckpointSaver):
    """A saver that keeps nothing: what LangGraph itself costs, the least any saver can take."""

    def get_tuple(self, config):
        return None

    def list(self, config, **kwargs):
        return iter(())

    def put(self, config, checkpoint, metadata, new_versions):
        return {"configurable": {**config["configurable"], "checkpoint_id": checkpoint["id"]}}

    def put_writes(self, config, writes, task_id, task_path=""):
        pass


def durable_cases(directory, runs, rounds):
    """Wall time per 5-node StateGraph `invoke` and per memory-store `put`, on stores kept in files
    and on LangGraph's SQLite classes at the same durability (every put and put_writes synced before
    it returns: SqliteSaver's WAL takes one fdatasync each, SqliteStore's rollback journal four per
    put), beside the memory savers and the disk's floor (a 4 KB append and its fdatasync). The
    floor swings from minute to minute, so calls are interleaved one by one, in a shuffled order,
    and only figures of one run compare."""
    import sqlite3

    from langgraph.checkpoint.sqlite import SqliteSaver
    from langgraph.store.sqlite import SqliteStore

    from tallowmere import Store

    always = Store.open(os.path.join(directory, "always.db"))
    interval = Store.open(os.path.join(directory, "interval.db"), fsync="interval")
    saver_db = sqlite3.connect(os.path.join(directory, "checkpoints.sqlite"), check_same_thread=False)
    store_db = sqlite3.connect(os.path.join(directory, "store.sqlite"), check_same_thread=False, isolation_level=None)
    # Without syncs, for what SqliteSaver costs besides its disk.
    unsynced_db = sqlite3.connect(os.path.join(directory, "unsynced.sqlite"), check_same_thread=False)
    unsynced = SqliteSaver(unsynced_db)
    unsynced.setup()
    unsynced_db.execute("PRAGMA synchronous=OFF")
    sqlite_store = SqliteStore(store_db)
    sqlite_store.setup()
    floor_fd = os.open(os.path.join(directory, "floor"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    block = b"\0" * 4096
    doc = {"text": "y" * 200, "kind": "note", "score": 3, "tags": ["a", "b"]}

    def floor(tag):
        os.write(floor_fd, block)
        os.fdatasync(floor_fd)

    def invoke(app):
        return lambda tag: app.invoke({"messages": [], "count": len(tag)}, {"configurable": {"thread_id": tag}})

    def put(store):
        return lambda tag: store.put(("users", f"u{len(tag) % 10}", "memories"), tag, doc)

    cases, kinds = {"fsync floor: 4 KB append + fdatasync": floor}, {}
    for name, saver in (("InMemorySaver", InMemorySaver()), ("a saver that keeps nothing", KeepNothingSaver()),
                        ("TallowmereSaver(Store())", TallowmereSaver()),
                        ('TallowmereSaver(Store.open(fsync="interval"))', TallowmereSaver(interval)),
                        ('TallowmereSaver(Store.open(fsync="always"))', TallowmereSaver(always)),
                        ("SqliteSaver", SqliteSaver(saver_db)), ("SqliteSaver, synchronous=OFF", unsynced)):
        cases[name], kinds[name] = invoke(graph_app(saver)), "StateGraph invoke, 5 nodes, "
    for name, store in (('TallowmereStore(Store.open(fsync="always"))', TallowmereStore(always)),
                        ("SqliteStore", sqlite_store)):
        cases[name], kinds[name] = put(store), "store put, "
    times = {name: [] for name in cases}
    order = list(cases)
    shuffle = random.Random(7).shuffle  # the call after a sync runs slower: no case always follows one
    for r in range(rounds):
        spent = dict.fromkeys(cases, 0.0)
        for n in range(runs):
            gc.collect()
            shuffle(order)
            for name in order:
                start = time.perf_counter()
                cases[name](f"r{r}-{n}")
                spent[name] += time.perf_counter() - start
        for name, total in spent.items():
            times[name].append(total / runs * 1e6)
    os.close(floor_fd)
    for db in (saver_db, unsynced_db, store_db):
        db.close()
    always.close()
    interval.close()
    print(f"\nDurable, files in {directory} ({filesystem(directory) or 'unknown file system'}); wall time, "
          f"medians of {rounds} interleaved rounds of {runs} calls each\n\n"
          "| case | per call (range) | ratio to InMemorySaver / SqliteStore (range) |\n|---|---|---|")
    for name, spent in times.items():
        peer = {"": None, "store put, ": "SqliteStore"}.get(kinds.get(name, ""), "InMemorySaver")
        ratios = [a / b for a, b in zip(spent, times[peer])] if peer else None
        ratio = f"{statistics.median(ratios):.2f}x ({min(ratios):.2f}-{max(ratios):.2f})" if ratios else ""
        print(f"| {kinds.get(name, '')}{name} | {statistics.median(spent):.0f} us "
              f"({min(spent):.0f}-{max(spent):.0f}) | {ratio} |")

    def bar(ours, peer, limit):
        """The per-round ratios ours/peer against a bar: at most `limit`, or at least `-limit` if negative."""
        ratios = [a / b for a, b in zip(times[ours], times[peer])]
        median = statistics.median(ratios)
        met = median <= limit if limit > 0 else median >= -limit
        print(f"| {ours} / {peer} | {median:.2f}x ({min(ratios):.2f}-{max(ratios):.2f}) | "
              f"{'at most' if limit > 0 else 'at least'} {abs(limit):.2f}x: {'met' if met else 'NOT met'} |")

    print("\n| bar | ratio per round, median (range) | |\n|---|---|---|")
    synced, batched = (f'TallowmereSaver(Store.open(fsync="{mode}"))' for mode in ("always", "interval"))
    bar(synced, "SqliteSaver", 1.0)
    bar('TallowmereStore(Store.open(fsync="always"))', "SqliteStore", 1 / 3)
    bar(batched, "TallowmereSaver(Store())", 1.3)
    bar(batched, "InMemorySaver", 1.3)
    bar("SqliteSaver", batched, -2.0)
    # What SqliteSaver loses to a store that syncs in the background grows with the disk's floor.
    floors = times["fsync floor: 4 KB append + fdatasync"]
    rounds_by_floor = sorted(zip(floors, times["SqliteSaver"], times[batched]))
    print("\nSqliteSaver / interval per round, by the round's floor: "
          + ", ".join(f"{f:.0f} us {a / b:.2f}x" for f, a, b in rounds_by_floor))


def async_lag_case(graphs, size, rounds):
    """Event-loop lag while `graphs` graphs with states of `size` bytes run at once under ainvoke:
    a ticker asks for a wake-up every millisecond and records how late it comes."""
    import asyncio
    import operator
    from typing import Annotated, TypedDict

    from langgraph.graph import END, START, StateGraph

    class State(TypedDict):
        messages: Annotated[list, operator.add]
        count: int

    def build(saver):
        g = StateGraph(State)
        g.add_node("a", lambda s: {"messages": [{"text": "a" * 200}], "count": s["count"] + 1})
        g.add_node("b", lambda s: {"count": s["count"] * 2})
        g.add_node("c", lambda s: {"messages": [{"text": "c" * 200}]})
        g.add_edge(START, "a")
        g.add_edge("a", "b")
        g.add_edge("b", "c")
        g.add_edge("c", END)
        return g.compile(checkpointer=saver)

    history = [{"role": "user", "content": "x" * 1000, "id": f"m{i}"} for i in range(size // 1050)]

    async def run(app, tag):
        loop = asyncio.get_running_loop()
        lags, done = [], False

        async def ticker():
            while not done:
                start = loop.time()
                await asyncio.sleep(0.001)
                lags.append((loop.time() - start - 0.001) * 1000)
        tick = asyncio.create_task(ticker())
        start = time.perf_counter()
        await asyncio.gather(*(app.ainvoke({"messages": history, "count": n},
                                           {"configurable": {"thread_id": f"{tag}-{n}"}}) for n in range(graphs)))
        elapsed = time.perf_counter() - start
        done = True
        await tick
        lags.sort()
        return elapsed, lags[int(len(lags) * 0.99)], lags[-1]

    apps = [build(TallowmereSaver()), build(InMemorySaver())]
    figures = [[], []]
    for r in range(rounds):
        for i, app in enumerate(apps):
            gc.collect()
            figures[i].append(asyncio.run(run(app, f"r{r}")))
    cells = []
    for runs in figures:
        wall, p99, worst = (sorted(f[k] for f in runs) for k in range(3))
        cells.append(f"{statistics.median(wall):.2f} s, loop lag p99 {statistics.median(p99):.0f} ms "
                     f"({p99[0]:.0f}-{p99[-1]:.0f}), max {statistics.median(worst):.0f} ms")
    print(f"| {graphs} graphs at once, {size // 1_000_000} MB states, ainvoke | {cells[0]} | {cells[1]} | |",
          flush=True)


RSS_CHILD = """
import gc, sys
sys.path[:0] = {path!r}
from bench_langgraph import filled, payload
from langgraph.checkpoint.memory import InMemorySaver
from tallowmere.langgraph import TallowmereSaver
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4096
saver = {cls}()
gc.collect(); before = rss()
filled(saver, {size}, 10_000)
gc.collect(); print(rss() - before)
"""


def rss_case(size):
    here = os.path.dirname(os.path.abspath(__file__))
    out = []
    for cls in ("TallowmereSaver", "InMemorySaver"):
        code = RSS_CHILD.format(path=[here], cls=cls, size=size)
        out.append(int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                      check=True).stdout))
    print(f"| RSS growth, 10k checkpoints + writes, {size // 1000} KB | {out[0] / 2**20:.1f} MiB | "
          f"{out[1] / 2**20:.1f} MiB | {out[0] / out[1]:.2f}x |", flush=True)


def store_cases(repeat, rounds):
    pair = [TallowmereStore(), InMemoryStore()]
    doc = {"text": "y" * 200, "kind": "note", "score": 3, "tags": ["a", "b"]}
    for store in pair:
        for u in range(100):
            for k in range(50):
                store.put(("users", f"u{u}", "memories"), f"k{k}", dict(doc, score=k % 10, kind=f"kind{k % 5}"))
    counters = [0, 0]

    def put(i):
        def run(n):
            for _ in range(n):
                counters[i] += 1
                pair[i].put(("users", f"u{counters[i] % 100}", "memories"), f"new{counters[i] % 1000}", doc)
        return run

    def call(fn):
        def make(i):
            def run(n):
                for _ in range(n):
                    fn(pair[i])
            return run
        return make

    compare("store put", put(0), put(1), repeat, rounds)
    get = call(lambda s: s.get(("users", "u7", "memories"), "k3"))
    compare("store get", get(0), get(1), repeat, rounds)
    search = call(lambda s: s.search(("users", "u7"), filter={"kind": "kind2", "score": {"$gte": 5}}, limit=10))
    compare("store search, filter, 1 of 100 users (50 items)", search(0), search(1), max(1, repeat // 10), rounds)
    wide = call(lambda s: s.search(("users",), filter={"kind": "kind2", "score": {"$gte": 5}}, limit=10))
    compare("store search, filter, all 100 users (5k items)", wide(0), wide(1), max(1, repeat // 100), rounds)
    listing = call(lambda s: s.list_namespaces(prefix=("users",), max_depth=2, limit=100))
    compare("store list_namespaces (100)", listing(0), listing(1), max(1, repeat // 10), rounds)


def profile():
    import cProfile
    import pstats

    saver = filled(TallowmereSaver(), 1000)
    values = payload(1000)
    versions = {"messages": "1.1", "step": "1.2"}
    prof = cProfile.Profile()
    prof.enable()
    for n in range(20_000):
        saver.put(cfg("prof"), checkpoint(n, values, versions), {"step": 1}, versions)
        saver.get_tuple(cfg("t"))
    prof.disable()
    pstats.Stats(prof).sort_stats("tottime").print_stats(12)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--lag", action="store_true", help="only the event-loop lag case")
    parser.add_argument("--durable", action="store_true", help="only the cases on files")
    parser.add_argument("--dir", help="directory for the files (default: the temporary one, unless a tmpfs)")
    args = parser.parse_args()
    if args.profile:
        profile()
        return
    if args.lag:
        async_lag_case(20, 5_000_000, 3 if args.quick else 7)
        return
    repeat, rounds = (200, 5) if args.quick else (1000, 11)
    if args.durable:
        with tempfile.TemporaryDirectory(dir=disk_directory(args.dir)) as directory:
            durable_cases(directory, 10 if args.quick else 30, rounds)
        return
    print("| case | tallowmere | LangGraph in-memory | ratio (range) |\n|---|---|---|---|")
    for size in (1000, 50_000):
        saver_cases(size, repeat if size < 10_000 else repeat // 5, rounds)
    store_cases(repeat, rounds)
    with tempfile.TemporaryDirectory(dir=disk_directory(args.dir)) as directory:
        durable_cases(directory, 10 if args.quick else 30, rounds)
    async_lag_case(20, 5_000_000, 3 if args.quick else 7)
    for size in (1000, 50_000):
        rss_case(size)


if __name__ == "__main__":
    main()

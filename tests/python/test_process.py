"""Whole processes, each a script run in a fresh interpreter: the interpreter exits normally while daemon
threads are inside store and graph calls (CPython ends a daemon thread that asks for the interpreter lock back
while it finalizes), and the store still works from an atexit handler and from a finalizer run at teardown;
a child forked while threads write, snapshot, restore and make stores can use every store it inherited."""

import os
import subprocess
import sys
import textwrap

import warnings

import pytest

from tallowmere import Store

TIMEOUT_SECONDS = 120

PRELUDE = """
import atexit, os, signal, threading, time, warnings
from tallowmere import HandoffGraph, Store, dumps

s = Store(max_history=2)
s.set_many([(f"ns{i % 16}", f"k{i}", i) for i in range(10_000)])
pairs = [(f"ns{i % 16}", f"k{i}") for i in range(10_000)]

def spawn(loop, count=4):
    for _ in range(count):
        threading.Thread(target=loop, daemon=True).start()

@atexit.register
def at_exit():
    s.set_many([("exit", str(i), i) for i in range(100)])
    assert s.snapshot().keys

class AtTeardown:
    # Dropped with the module's globals: the daemon threads are gone by then.
    def __del__(self):
        s.set("teardown", "k", 1)
        s.snapshot()
        s.get_many(pairs[:100])

keeper = AtTeardown()

def writes():
    n = 0
    while True:
        n += 1
        s.set_many([(f"ns{i % 256}", f"w{i}", [n] * (n % 5)) for i in range(2_000)])
        s.set(f"ns{n % 256}", "single", n)
        s.delete(f"ns{(n + 3) % 256}", "single")
        snap = s.snapshot()
        s.history()
        s.keys("ns3")
        if n % 5 == 0:
            s.restore(snap)
"""

GET_MANY = """
def loop():
    while True:
        s.get_many(pairs)
spawn(loop)
"""

ROUTE = """
g = HandoffGraph()
for i in range(50):
    g.add_edge("a", f"t{i}", f"x.k{i} == {i} and y > 3")
g.add_edge("a", "end")
state = {"x": {f"k{i}": -1 for i in range(50)}, "y": 1}
def loop():
    while True:
        assert g.route("a", state) == "end"
spawn(loop)
"""

# Each child checks both stores whole and takes every lock of each (16 shards, history, ids); one stuck on a
# lock that a parent thread held at the fork dies of its alarm.
FORK = """
churn = [Store(max_history=None)]
def churner():
    n = 0
    while True:
        n += 1
        store = Store(max_history=None)
        store.set_many([(f"ns{i}", "c", n) for i in range(64)])
        store.snapshot()
        churn[0] = store
spawn(writes, 3)
spawn(churner, 1)

def check(store):
    snap = store.snapshot()
    values = store.get_many(snap.keys)
    assert snap.size_bytes == sum(len(dumps(v)) for v in values) and len(store) == len(snap.keys)
    names = [f"ns{i}" for i in range(256)]
    store.set_many([(ns, "child", os.getpid()) for ns in names])
    assert store.get_many([(ns, "child") for ns in names]) == [os.getpid()] * len(names)
    assert sorted(store.namespaces("ns")) == sorted(names)
    after = store.snapshot()
    assert after.parent == snap.id and store.history()[-1].id == after.id
    store.restore(snap)
    assert store.get_many(snap.keys) == values
    store.clear_history()
    store.clear()
    assert len(store) == 0

with warnings.catch_warnings():
    # 3.12+ warn that forking a multi-threaded process may deadlock the child: the point here.
    warnings.simplefilter("ignore", DeprecationWarning)
    for _ in range(20):
        time.sleep(0.005)
        pid = os.fork()
        if pid == 0:
            signal.alarm(30)
            code = 1
            try:
                check(s)
                check(churn[0])
                code = 0
            finally:
                os._exit(code)
        assert os.waitpid(pid, 0)[1] == 0
"""

# A durable store written by daemon threads when the interpreter exits: records are synced at exit, and a
# thread cut off inside a write leaves at most a torn tail. The test then checks each thread's writes.
DURABLE_EXIT = """
d = Store.open(os.environ["TM_DB"], fsync="never")
def loop():
    n = 0
    while True:
        d.set(f"t{threading.get_ident()}", f"{n:07}", n)
        n += 1
spawn(loop)
"""

# A child's copy of a durable store reads, and refuses to write its parent's file (the rest, locks and
# lineage included, is the C++ fork test's).
DURABLE_FORK = """
d = Store.open(os.environ["TM_DB"])
d.set("ns", "k", "parent")
pid = os.fork()
if pid == 0:
    code = 1
    try:
        assert d.get("ns", "k") == "parent"
        d.set("ns", "k", "child")
    except RuntimeError as error:
        code = 0 if "inherited across fork" in str(error) else 1
    finally:
        os._exit(code)
assert os.waitpid(pid, 0)[1] == 0
d.set("ns", "k2", "parent")
d.close()
assert Store.open(os.environ["TM_DB"]).get("ns", "k2") == "parent"
"""

# GCC 12's AddressSanitizer runtime does not hold its allocator's locks across fork, so under it a child can
# hang in malloc on a lock that a parent thread held: the runtime's fault, not one of ours.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


FORK_UNDER_ASAN = pytest.mark.skipif(UNDER_ASAN, reason="the ASan allocator is not fork-safe with threads")


@pytest.mark.parametrize("script, runs", [
    pytest.param(GET_MANY, 8, id="exit-get_many"),
    pytest.param("spawn(writes, 3)", 8, id="exit-writes"),
    pytest.param(ROUTE, 8, id="exit-route"),
    pytest.param(DURABLE_EXIT, 4, id="exit-durable-writes"),
    pytest.param(FORK, 1, id="fork-while-threads-write", marks=FORK_UNDER_ASAN),
    pytest.param(DURABLE_FORK, 1, id="fork-durable", marks=FORK_UNDER_ASAN),
])
def test_script_exits_cleanly(tmp_path, script, runs):
    code = textwrap.dedent(PRELUDE) + textwrap.dedent(script) + "\ntime.sleep(0.05)\n"
    for run in range(runs):
        database = str(tmp_path / f"run{run}.db")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT_SECONDS,
                              env={**os.environ, "TM_DB": database})
        assert (done.returncode, done.stderr) == (0, ""), f"run {run}"
        if script is DURABLE_EXIT:  # what the threads wrote is, for each, its first n writes
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                store = Store.open(database)
            for thread in store.namespaces("t"):
                keys = sorted(store.keys(thread))
                assert keys == [f"{i:07}" for i in range(len(keys))], f"run {run}"

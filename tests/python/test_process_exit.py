"""The interpreter exits normally while daemon threads are inside store and graph calls (CPython ends a
daemon thread that asks for the interpreter lock back while it finalizes), and the store still works from an
atexit handler and from a finalizer run at teardown. Each script runs several times in a fresh interpreter."""

import subprocess
import sys
import textwrap
import warnings

import pytest

from tallowmere import Store

RUNS = 8
TIMEOUT_SECONDS = 60

PRELUDE = """
import atexit, threading, time
from tallowmere import HandoffGraph, Store

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
"""

LOOPS = {
    "get_many": """
def loop():
    while True:
        s.get_many(pairs)
spawn(loop)
""",
    "writes": """
def loop():
    n = 0
    while True:
        n += 1
        s.set_many([(f"ns{i % 16}", f"w{i}", n) for i in range(2_000)])
        s.snapshot()
        s.history()
        s.keys("ns3")
spawn(loop, 3)
""",
    "route": """
g = HandoffGraph()
for i in range(50):
    g.add_edge("a", f"t{i}", f"x.k{i} == {i} and y > 3")
g.add_edge("a", "end")
state = {"x": {f"k{i}": -1 for i in range(50)}, "y": 1}
def loop():
    while True:
        assert g.route("a", state) == "end"
spawn(loop)
""",
}


@pytest.mark.parametrize("loop", sorted(LOOPS))
def test_exit_with_daemon_threads_inside_calls(loop):
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(LOOPS[loop]) + "time.sleep(0.05)\n"
    for run in range(RUNS):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=TIMEOUT_SECONDS)
        assert (done.returncode, done.stderr) == (0, ""), f"run {run}"


def test_exit_with_daemon_threads_writing_a_durable_store(tmp_path):
    """Records are synced at exit; a thread cut off inside a write leaves at most a torn tail."""
    script = textwrap.dedent(PRELUDE) + textwrap.dedent("""
        import sys
        d = Store.open(sys.argv[1], fsync="never")
        def loop():
            n = 0
            while True:
                d.set(f"t{threading.get_ident()}", f"{n:07}", n)
                n += 1
        spawn(loop)
        time.sleep(0.05)
        """)
    for run in range(RUNS // 2):
        path = str(tmp_path / f"d{run}.db")
        done = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True,
                              timeout=TIMEOUT_SECONDS)
        assert (done.returncode, done.stderr) == (0, ""), f"run {run}"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            store = Store.open(path)
        for thread in store.namespaces("t"):
            keys = sorted(store.keys(thread))
            assert keys == [f"{i:07}" for i in range(len(keys))], f"run {run}"

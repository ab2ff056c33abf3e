"""scan's `where` filter against stored values, atomic batches under a concurrent reader, and importing without LangGraph."""

import subprocess
import sys
import threading

import pytest

from tallowmere import Store


@pytest.mark.parametrize("value, where, matches", [
    ({"status": "done", "n": 3}, 'status == "done" and n >= 3', True),
    ({"status": "done", "n": 3}, "n > 3", False),
    ({"user": {"tier": "gold"}}, 'user.tier == "gold"', True), ({"tags": ["a", "b"]}, '"b" in tags', True),
    ({"n": 2.0}, "n == 2", True),  # numbers compare as numbers across int and float
    ({"flag": True}, "flag == 1", False),  # a boolean is not a number, as in JSON
    ({"tags": ["a"]}, "tags", True), ({"tags": []}, "tags", False),
    ({}, "missing == null", True), ({}, "not missing", True),
    ([1, 2], "x", False), ("text", 'x != "y"', True),  # a value that is no map: every path is null
    ({"b": b"\x00"}, "b", True),
])
def test_where_against_stored_values(value, where, matches):
    store = Store()
    store.set("ns", "k", value)
    assert store.scan("ns", where=where) == (["k"] if matches else [])
    assert store.scan("ns", where=where, values=True) == ([("k", value)] if matches else [])


def test_atomic_batch_is_never_seen_in_part():
    store = Store()
    names = [f"ns{i}" for i in range(32)]  # over every shard
    stop = threading.Event()
    torn = []

    def reader():
        view = Store()
        while not stop.is_set():
            view.restore(store.snapshot())  # one moment of every shard
            seen = set(view.get_many([(n, "k") for n in names]))
            if len(seen) > 1:
                torn.append(seen)

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for generation in range(300):
            store.set_many_atomic([(n, "k", generation) for n in names])
    finally:
        stop.set()
        thread.join()
    assert not torn


def test_import_works_without_langgraph():
    code = "import sys; sys.modules['langgraph'] = None; import tallowmere; print(tallowmere.Store().scan('x'))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"

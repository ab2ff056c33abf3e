"""Python threads on one store with the GIL handed over as often as possible, for what only the binding
can get wrong: argument checks under contention, argument lists rewritten mid-call, and atomic batches
seen whole. (Writers, readers, snapshots and restores racing each other are tested in C++ under ThreadSanitizer.)"""

import threading

import pytest

from tallowmere import Store
from thread_helpers import run_threads


def test_restore_or_diff_with_a_non_snapshot_raises_under_contention():
    store = Store()
    store.set("a", "k", 1)
    snap = store.snapshot()

    def misuse():
        for _ in range(300):
            with pytest.raises(TypeError):
                store.restore({"a": 1})
            with pytest.raises(TypeError):
                snap.diff(store)

    def writer():
        for i in range(300):
            store.set("b", str(i % 7), i)

    run_threads(misuse, writer, misuse)
    assert store.get("a", "k") == 1 and snap.keys == [("a", "k")]


def test_batches_whose_list_is_rewritten_by_another_thread():
    # The batch calls read names straight from the argument strings while the GIL is released; another
    # thread replacing the list's tuples, and so dropping the list's references to fresh non-ASCII names,
    # must not pull those names from under them (the sanitizer build catches a dangling read).
    def fresh(generation):
        return [("".join(["ñs", str(n)]), "".join(["κ", str(k)]), generation) for n in range(12) for k in range(4)]

    store = Store()
    items = fresh(0)
    pairs = [(ns, key) for ns, key, _ in items]
    store.set_many(items)
    done = threading.Event()

    def rewriter():
        for generation in range(1, 400):
            items[:] = fresh(generation)
            pairs[:] = [(ns, key) for ns, key, _ in fresh(generation)]
        done.set()

    def batch_caller():
        while not done.is_set():
            store.set_many(items)  # the very list the rewriter empties and refills
            assert all(isinstance(v, int) for v in store.get_many(pairs))

    run_threads(rewriter, batch_caller, batch_caller)
    assert {(ns, key) for ns in store.namespaces() for key in store.keys(ns)} == {(ns, k) for ns, k, _ in fresh(0)}


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

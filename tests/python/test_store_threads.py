"""Python threads on one store with the GIL handed over as often as possible, for what only the binding can
get wrong: argument lists rewritten by another thread while a batch reads them. (Writers, readers, snapshots,
restores and atomic batches racing each other are tested in C++ under ThreadSanitizer.)"""

import threading

from tallowmere import Store
from thread_helpers import run_threads


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

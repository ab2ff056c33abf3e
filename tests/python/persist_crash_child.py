"""Run by test_persistence.py in a fresh single-threaded interpreter (safe to fork): each round, a child
opens a durable store and writes from several threads, reporting every call that returned through a pipe,
until it is killed with SIGKILL at a random moment. Reopened, the store must hold, for each thread, exactly
its first n writes (a prefix: replay follows apply order) with n at least what the child acknowledged (a
record is in the OS before its call returns, in every fsync mode). Prints one JSON line; exits 1 on a failure.

usage: persist_crash_child.py always|interval|never DIRECTORY ROUNDS SEED"""

import json
import os
import random
import signal
import struct
import sys
import threading
import time
import warnings

from tallowmere import Store

THREADS = 4


def writer(store, thread, pipe):
    for i in range(1_000_000):
        store.set(f"t{thread}", f"{i:07}", i)
        if i % 3 == 0:
            store.set_many([(f"t{thread}", "last", i), ("shared", "by", [thread, i])])
        os.write(pipe, struct.pack("<BI", thread, i))


def child(path, mode, pipe):
    store = Store.open(path, fsync=mode, fsync_interval=0.005)
    threads = [threading.Thread(target=writer, args=(store, t, pipe)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def main():
    mode, directory, rounds, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    torn = 0
    for round_ in range(rounds):
        path = os.path.join(directory, f"store{round_}.db")
        read_fd, write_fd = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_fd)
            try:
                child(path, mode, write_fd)
            finally:
                os._exit(0)
        os.close(write_fd)
        time.sleep(rng.uniform(0.05, 0.4))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        acknowledged = [-1] * THREADS
        with os.fdopen(read_fd, "rb") as pipe:
            reports = pipe.read()
        for thread, i in struct.iter_unpack("<BI", reports[: len(reports) // 5 * 5]):
            acknowledged[thread] = max(acknowledged[thread], i)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            store = Store.open(path)
        torn += any(w.category is RuntimeWarning for w in caught)
        for thread in range(THREADS):
            keys = sorted(k for k in store.keys(f"t{thread}") if k != "last")
            if keys != [f"{i:07}" for i in range(len(keys))]:
                sys.exit(f"round {round_}: thread {thread}'s writes are not a prefix")
            if len(keys) <= acknowledged[thread]:
                sys.exit(f"round {round_}: thread {thread} lost write {len(keys)} after it was acknowledged")
            last = store.get(f"t{thread}", "last")
            if last is not None and (last % 3 or last >= len(keys)):
                sys.exit(f"round {round_}: thread {thread}'s batch landed apart from its set")
        store.close()
    print(json.dumps({"rounds": rounds, "torn": torn}))


if __name__ == "__main__":
    main()

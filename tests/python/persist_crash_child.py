"""Run by test_persistence.py in a fresh single-threaded interpreter (safe to fork): children save or append
and are killed with SIGKILL after a random delay; the file must then load as a state that was saved or was
being saved, never losing a save that returned. Prints one JSON line of outcome counts; exits 1 on a failure.

usage: persist_crash_child.py image|append PATH ROUNDS SEED"""

import json
import os
import random
import signal
import sys
import time
import warnings

from tallowmere import Store

EMPTY = {"added": [], "removed": [], "changed": []}


def same_state(loaded, snap):
    view = loaded.snapshot()
    return len(view.keys) == len(snap.keys) and view.diff(snap) == EMPTY


def load(path):
    """The store `path` holds, and whether loading it warned of a torn tail."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        loaded = Store.load(path)
    return loaded, any(issubclass(w.category, RuntimeWarning) for w in caught)


def fail(message):
    print(message)
    sys.exit(1)


def kill_after(delay, work):
    """Forks a child running the steps in `work`, kills it after `delay` seconds; returns how many steps
    finished (the child reports each with one byte on a pipe)."""
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_fd)
            for step in work:
                step()
                os.write(write_fd, b"x")
        finally:
            os._exit(0)
    os.close(write_fd)
    time.sleep(delay)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    finished = 0
    while chunk := os.read(read_fd, 4096):
        finished += len(chunk)
    os.close(read_fd)
    return finished


def build_states(rng, count, size, pad=0):
    store = Store()
    store.set_many([(f"ns{i % 13}", f"key{i}", {"i": i, "pad": "x" * (i % 50)}) for i in range(size)])
    snaps = [store.snapshot()]
    for _ in range(count - 1):
        for op in range(rng.randrange(1, 40)):
            i = rng.randrange(size * 2)
            if op > 0 and rng.random() < 0.2:  # the first op always changes the state
                store.delete(f"ns{i % 13}", f"key{i}")
            else:
                store.set(f"ns{i % 13}", f"key{i}", [i, rng.random(), "x" * pad])
        snaps.append(store.snapshot())
    return snaps


def image_rounds(path, rounds, rng):
    old, new = build_states(rng, 2, 4000)
    counts = {"old": 0, "new": 0}
    start = time.perf_counter()
    new.save(path)
    duration = time.perf_counter() - start
    for _ in range(rounds):
        old.save(path)
        finished = kill_after(rng.uniform(0, duration * 1.5), [lambda: new.save(path)])
        loaded, torn = load(path)
        if torn:
            fail("a full image was reported as torn")
        if same_state(loaded, new):
            counts["new"] += 1
        elif same_state(loaded, old) and not finished:
            counts["old"] += 1
        else:
            fail(f"after a kill the file holds neither state (save finished: {bool(finished)})")
    return counts


def append_rounds(path, rounds, rng):
    counts = {"complete": 0, "torn": 0}
    for _ in range(rounds):
        # Large values make each delta span many pages, so some kills land inside its write.
        snaps = build_states(rng, 8, 500, pad=5_000)
        snaps[0].save(path)
        steps = [lambda i=i: snaps[i].save(path, base=snaps[i - 1]) for i in range(1, len(snaps))]
        # Appends of a few dozen pairs take about a millisecond each with their fsync:
        # the window covers every step and some kills after the last.
        finished = kill_after(rng.uniform(0, 0.002 * len(steps)), steps)
        loaded, torn = load(path)
        counts["torn" if torn else "complete"] += 1
        # Base plus every complete delta: what returned is there, at most one more.
        matches = [i for i in (finished, finished + 1) if i < len(snaps) and same_state(loaded, snaps[i])]
        if not matches:
            fail(f"after {finished} finished appends the file holds another state")
        at = matches[0]
        if at + 1 < len(snaps):  # the file goes on from where it stands, torn tail cut
            snaps[at + 1].save(path, base=snaps[at])
            loaded, torn = load(path)
            if torn or not same_state(loaded, snaps[at + 1]):
                fail("appending after a crash did not continue the file")
    return counts


def main():
    mode, path, rounds, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    counts = image_rounds(path, rounds, rng) if mode == "image" else append_rounds(path, rounds, rng)
    leftovers = sorted(set(os.listdir(os.path.dirname(path))) - {os.path.basename(path)})
    print(json.dumps({"counts": counts, "temporary_files": len(leftovers)}))


if __name__ == "__main__":
    main()

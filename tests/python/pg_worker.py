"""Child process of the PostgreSQL tests.

mix CONNINFO WORKER THREADS ROUNDS LOG: threads write their own namespace, increment a shared
counter in transactions, race to `add` claims and overwrite shared keys; every call is logged
("try" before, its outcome after, flushed) so the parent can tell acknowledged from in-doubt
writes. Then waits for a line on stdin, syncs and prints the whole state as JSON.
graph CONNINFO: reads "thread value" lines, runs a small LangGraph graph on that thread, prints the
resulting state as JSON.
"""

import json
import os
import random
import sys
import threading
import time



def mix(conninfo, worker, threads, rounds, log_path):
    from tallowmere.postgres import ConflictError, ConnectionLost, connect
    store = connect(conninfo, "mix", poll_interval=0.05, image_every=200)
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)

    def call(entry, fn):
        os.write(log, (json.dumps(["try", *entry]) + "\n").encode())
        try:
            result = fn()
        except ConflictError:
            result = "conflict"
        except ConnectionLost:
            result = "doubt"
            time.sleep(0.02)
        os.write(log, (json.dumps(["end", *entry, result]) + "\n").encode())

    def run(thread):
        rng = random.Random(worker * 100 + thread)
        me = f"own-{worker}-{thread}"  # this thread's own namespace, and its name in shared values

        def increment():
            with store.transaction() as tx:
                tx.set("shared", "counter", tx.get("shared", "counter", 0) + 1)
        for step in range(rounds):
            key, claim = f"k{rng.randrange(6)}", f"c{step % 25}"
            if rng.random() < 0.7:
                call([me, "own", key, step], lambda: store.set(me, key, step))
            else:
                call([me, "own", key, None], lambda: store.delete(me, key) and None)
            call([me, "count"], increment)
            call([me, "claim", claim], lambda: store.add("claims", claim, me))
            call([me, "lww"], lambda: store.set("shared", f"s{step % 3}", me))

    workers = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print("written", flush=True)
    sys.stdin.readline()
    while True:
        try:
            store.sync()
            break
        except ConnectionLost:
            time.sleep(0.05)
    state = {ns: {k: store.get(ns, k) for k in sorted(store.keys(ns))} for ns in sorted(store.namespaces())}
    print(json.dumps(state), flush=True)
    store.close()


def build(saver):
    """Accumulating state, a conditional edge: a run continues from the thread's last checkpoint."""
    import operator
    from typing import Annotated, TypedDict

    from langgraph.graph import END, START, StateGraph

    class State(TypedDict):
        total: Annotated[int, operator.add]
        steps: Annotated[list, operator.add]

    graph = StateGraph(State)
    graph.add_node("double", lambda s: {"total": s["total"], "steps": ["double"]})
    graph.add_node("inc", lambda s: {"total": 1, "steps": ["inc"]})
    graph.add_node("tag", lambda s: {"steps": [f"odd{s['total']}"]})
    graph.add_edge(START, "double")
    graph.add_edge("double", "inc")
    graph.add_conditional_edges("inc", lambda s: "tag" if s["total"] % 2 else END)
    graph.add_edge("tag", END)
    return graph.compile(checkpointer=saver)


def graph(conninfo):
    from tallowmere.langgraph import TallowmereSaver
    from tallowmere.postgres import connect

    store = connect(conninfo, "graph", poll_interval=None)  # no follower: only sync() catches up
    app = build(TallowmereSaver(store))
    for line in sys.stdin:
        thread, value = line.split()
        state = app.invoke({"total": int(value), "steps": []}, {"configurable": {"thread_id": thread}})
        print(json.dumps(state), flush=True)
    store.close()


if __name__ == "__main__":
    if sys.argv[1] == "mix":
        mix(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), sys.argv[6])
    else:
        graph(sys.argv[2])

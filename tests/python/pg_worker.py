"""Child of test_postgres.py. mix: 3 threads write their own namespace, increment a shared counter and
race to `add` claims, logging each call ("try" before, the outcome after); then sync and print the
state. graph: runs a LangGraph graph for each "thread value" line, printing the final state."""

import json
import os
import random
import sys
import time
from concurrent.futures import ThreadPoolExecutor


def mix(conninfo, worker, rounds, log_path):
    from tallowmere.postgres import ConflictError, ConnectionLost, connect
    store = connect(conninfo, "mix", poll_interval=0.05, image_every=200)
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)

    def call(entry, fn):
        os.write(log, (json.dumps(["try", *entry]) + "\n").encode())
        try:
            outcome = fn()
        except ConflictError:
            outcome = "conflict"
        except ConnectionLost:
            outcome = "doubt"
            time.sleep(0.02)
        os.write(log, (json.dumps(["end", *entry, outcome]) + "\n").encode())

    def increment():
        with store.transaction() as tx:
            tx.set("shared", "counter", tx.get("shared", "counter", 0) + 1)

    def run(me, rng):
        for step in range(rounds):
            key, claim = f"k{rng.randrange(6)}", f"c{step % 25}"
            if rng.random() < 0.7:
                call([me, "own", key, step], lambda: store.set(me, key, step))
            else:
                call([me, "own", key, None], lambda: store.delete(me, key) and None)
            call([me, "count"], increment)
            call([me, "claim", claim], lambda: store.add("claims", claim, me) if step % 2
                 else store.add_many([("claims", claim, me), ("claims", claim, "?")])[0])
            call([me, "count"], increment)

    with ThreadPoolExecutor(3) as pool:
        list(pool.map(lambda t: run(f"own-{worker}-{t}", random.Random(worker * 10 + t)), range(3)))
    print("written", flush=True)
    sys.stdin.readline()
    while True:
        try:
            store.sync()
            break
        except ConnectionLost:
            time.sleep(0.05)
    print(json.dumps({ns: {k: store.get(ns, k) for k in store.keys(ns)} for ns in store.namespaces()}), flush=True)


def build(saver):
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


if __name__ == "__main__":
    if sys.argv[1] == "mix":
        mix(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    else:
        from tallowmere.langgraph import TallowmereSaver
        from tallowmere.postgres import connect
        app = build(TallowmereSaver(connect(sys.argv[2], "graph", poll_interval=None)))  # only sync() catches up
        for line in sys.stdin:
            thread, value = line.split()
            print(json.dumps(app.invoke({"total": int(value), "steps": []}, {"configurable": {"thread_id": thread}})),
                  flush=True)

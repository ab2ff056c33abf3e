"""A short tour: python -m tallowmere

Round-trips an agent checkpoint through the codec, keeps per-thread state in a
Store with snapshots, a diff and a roll-back, and routes a small agent
workflow through a HandoffGraph.
"""

from __future__ import annotations

import time

from tallowmere import HandoffGraph, Store, __version__, dumps, loads


def checkpoint(step: int) -> dict:
    """A checkpoint shaped like the ones agent frameworks keep per thread."""
    messages = []
    for turn in range(12):
        messages.append({
            "id": f"msg-{step:04d}-{turn:02d}",
            "role": ("user", "assistant", "tool")[turn % 3],
            "content": "Summarise the quarterly report and flag anything unusual. " * (1 + turn % 3),
            "tool_calls": [{"id": f"call-{turn}", "name": "search", "args": {"q": "revenue", "k": 5}}]
            if turn % 3 == 1 else [],
            "tokens": 120 + 17 * turn,
            "score": 0.5 + turn / 100,
        })
    return {"v": 1, "step": step, "thread": "t-42", "messages": messages,
            "channel_versions": {"messages": step, "plan": step // 2}, "done": False}


def best_of(fn, repeat: int = 2000) -> float:
    """Median-free quick timing: the best of a few batches, in microseconds per call."""
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        best = min(best, (time.perf_counter() - start) / repeat)
    return best * 1e6


def codec_tour() -> None:
    print("== codec ==")
    state = checkpoint(7)
    encoded = dumps(state)
    assert loads(encoded) == state
    print(f"checkpoint: {len(repr(state))} chars of repr -> {len(encoded)} bytes of MessagePack")
    print(f"dumps {best_of(lambda: dumps(state)):.1f} us, loads {best_of(lambda: loads(encoded)):.1f} us per call")


def store_tour() -> None:
    print("\n== store ==")
    store = Store(max_history=10)
    for step in range(3):
        store.set("thread:t-42", f"ckpt-{step:04d}", checkpoint(step))
    store.set_many([("thread:t-7", "ckpt-0000", checkpoint(0)), ("tenant:acme", "quota", {"tokens": 90_000})])
    print(repr(store))
    print("threads:", sorted(store.namespaces("thread:")))
    print("latest checkpoint of t-42:", store.max_key("thread:t-42"))
    before = store.snapshot()
    store.set("thread:t-42", "ckpt-0003", checkpoint(3))
    store.set("tenant:acme", "quota", {"tokens": 85_000})
    store.delete("thread:t-7", "ckpt-0000")
    after = store.snapshot()
    print(before, "->", after)
    changes = after.diff(before)
    print("diff:", {kind: sorted(pairs) for kind, pairs in sorted(changes.items())})
    store.restore(before)
    print("rolled back:", repr(store), "| quota is", store.get("tenant:acme", "quota"))
    print("history ids:", [snap.id for snap in store.history()])


def graph_tour() -> None:
    print("\n== routing ==")
    graph = HandoffGraph()
    graph.add_edge("intake", "triage")
    graph.add_edge("triage", "billing", when='intent == "billing" and (user.tier == "gold" or user.tier == "platinum")')
    graph.add_edge("triage", "human", when="retries >= 3 or not user.verified")
    graph.add_edge("triage", "support")
    graph.add_edge("billing", "done")
    graph.add_edge("support", "done")
    graph.add_edge("human", "done")
    print(repr(graph), "| acyclic:", graph.is_dag())
    states = [
        {"intent": "billing", "user": {"tier": "gold", "verified": True}, "retries": 0},
        {"intent": "billing", "user": {"tier": "free", "verified": True}, "retries": 0},
        {"intent": "chat", "user": {"tier": "gold", "verified": False}, "retries": 0},
    ]
    for state in states:
        print(f"  triage with {state} -> {graph.route('triage', state)}")
    try:
        graph.add_edge("done", "intake")
    except ValueError as error:
        print("  refused:", error)


def main() -> None:
    print(f"tallowmere {__version__}\n")
    codec_tour()
    store_tour()
    graph_tour()


if __name__ == "__main__":
    main()

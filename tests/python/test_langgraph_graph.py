"""A real StateGraph on both savers, and the thread scenarios where InMemorySaver fails."""

import operator
import threading
from typing import Annotated, TypedDict

import pytest

pytest.importorskip("langgraph.graph")

from langgraph.checkpoint.base import empty_checkpoint  # noqa: E402
from langgraph.checkpoint.memory import InMemorySaver  # noqa: E402
from langgraph.graph import END, START, StateGraph  # noqa: E402
from langgraph.types import Command, interrupt  # noqa: E402

from tallowmere.langgraph import TallowmereSaver  # noqa: E402

from thread_helpers import run_threads  # noqa: E402


class State(TypedDict):
    log: Annotated[list[str], operator.add]
    count: int


def plan(state):
    return {"log": ["plan"], "count": state["count"] + 1}


def review(state):
    answer = interrupt({"question": "approve?", "count": state["count"]})
    return {"log": [f"review:{answer}"]}


def work(state):
    return {"log": ["work"], "count": state["count"] * 10}


def route(state):
    return "review" if state["count"] % 2 else "work"


def build(saver):
    graph = StateGraph(State)
    graph.add_node("plan", plan)
    graph.add_node("review", review)
    graph.add_node("work", work)
    graph.add_edge(START, "plan")
    graph.add_conditional_edges("plan", route, ["review", "work"])
    graph.add_edge("review", "work")
    graph.add_edge("work", END)
    return graph.compile(checkpointer=saver)


def history_view(app, cfg):
    """What a user sees of a thread's history (ids and times differ between runs)."""
    return [(s.values, s.next, s.metadata.get("step"), s.metadata.get("source"),
             [(t.name, [i.value for i in t.interrupts]) for t in s.tasks]) for s in app.get_state_history(cfg)]


def plain(result):
    """An invoke result without the interrupt ids, which are random per run."""
    result = dict(result)
    if "__interrupt__" in result:
        result["__interrupt__"] = [i.value for i in result["__interrupt__"]]
    return result


def run_scenario(saver):
    app = build(saver)
    out = []
    for thread, start in (("odd", 0), ("even", 1)):
        cfg = {"configurable": {"thread_id": thread}}
        out.append(plain(app.invoke({"log": [], "count": start}, cfg)))
        state = app.get_state(cfg)
        out.append((state.values, state.next))
        if state.next:
            out.append(plain(app.invoke(Command(resume="yes"), cfg)))
        out.append(history_view(app, cfg))
    # Fork: go back to the checkpoint before `review` ran and change the count there.
    cfg = {"configurable": {"thread_id": "odd"}}
    before_review = next(s for s in app.get_state_history(cfg) if s.next == ("review",))
    forked = app.update_state(before_review.config, {"count": 4})
    out.append((app.get_state(forked).values, app.get_state(forked).next))
    out.append(plain(app.invoke(Command(resume="again"), forked)))
    out.append(history_view(app, cfg))
    return out


def test_state_graph_runs_alike_on_both_savers():
    ours = run_scenario(TallowmereSaver())
    assert ours == run_scenario(InMemorySaver())
    assert ours[2]["log"] == ["plan", "review:yes", "work"]  # the interrupt was resumed


def test_state_graph_async_run_matches():
    import asyncio

    async def run(saver):
        app = build(saver)
        cfg = {"configurable": {"thread_id": "t"}}
        await app.ainvoke({"log": [], "count": 0}, cfg)
        await app.ainvoke(Command(resume="ok"), cfg)
        return [(s.values, s.next) async for s in app.aget_state_history(cfg)]

    assert asyncio.run(run(TallowmereSaver())) == asyncio.run(run(InMemorySaver()))


def put(saver, thread, ns, n):
    checkpoint = empty_checkpoint()
    checkpoint["id"] = f"{ns}-{n:06d}"
    checkpoint["channel_values"] = {"n": n}
    checkpoint["channel_versions"] = {"n": f"{n}"}
    saver.put({"configurable": {"thread_id": thread, "checkpoint_ns": ns}}, checkpoint, {"n": n}, {"n": f"{n}"})


def test_threads_first_touching_one_thread_id_lose_nothing():
    # Four threads write each new thread id at once, under different namespaces:
    # InMemorySaver's nested defaultdict now and then drops one of the four.
    saver = TallowmereSaver()
    threads = 2500
    run_threads(*[lambda i=i: [put(saver, f"thread{n}", f"ns{i}", n) for n in range(threads)] for i in range(4)])
    assert len(list(saver.list(None))) == 4 * threads
    for n in (0, threads // 2, threads - 1):
        got = list(saver.list({"configurable": {"thread_id": f"thread{n}"}}))
        assert sorted(t.config["configurable"]["checkpoint_ns"] for t in got) == ["ns0", "ns1", "ns2", "ns3"]


def test_list_of_everything_while_other_threads_put():
    # InMemorySaver's list(None) iterates a live dict and raises here.
    saver = TallowmereSaver()
    for n in range(120):
        put(saver, f"t{n}", "", 0)
    finished = []
    seen = []

    def writer(i):
        for n in range(1, 400):
            put(saver, f"w{i}-{n}", "", n)
        finished.append(i)

    def lister():
        while len(finished) < 2:
            seen.append(len(list(saver.list(None, limit=100))))

    run_threads(lambda: writer(0), lambda: writer(1), lister)
    assert all(count == 100 for count in seen)
    assert len(list(saver.list(None))) == 120 + 2 * 399

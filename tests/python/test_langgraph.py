"""The LangGraph adapter: LangGraph's own conformance suite, names that a joined encoding would alias, every
serializer type, TallowmereStore beside InMemoryStore over random operation sequences and random filters, and
a real StateGraph on both savers."""

import asyncio
import operator
import re
from collections import deque
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal
from ipaddress import IPv4Address
from pathlib import PurePosixPath
from typing import Annotated, TypedDict
from uuid import UUID

import pytest

pytest.importorskip("langgraph.graph")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, rule  # noqa: E402
from langchain_core.messages import AIMessage  # noqa: E402
from langgraph.checkpoint.base import empty_checkpoint  # noqa: E402
from langgraph.checkpoint.memory import InMemorySaver  # noqa: E402
from langgraph.checkpoint.serde.jsonplus import JsonPlusSerializer  # noqa: E402
from langgraph.graph import END, START, StateGraph  # noqa: E402
from langgraph.store.base import GetOp, ListNamespacesOp, MatchCondition, PutOp, SearchOp  # noqa: E402
from langgraph.store.memory import InMemoryStore  # noqa: E402
from langgraph.types import Command, interrupt  # noqa: E402

from tallowmere import Store  # noqa: E402
from tallowmere.langgraph import _OPERATORS, TallowmereSaver, TallowmereStore, _matches  # noqa: E402

IMPLEMENTED = {"put", "put_writes", "get_tuple", "list", "delete_thread", "copy_thread", "delete_for_runs", "prune"}


def test_conformance_suite_passes_every_capability_with_tests_run():
    conformance = pytest.importorskip("langgraph.checkpoint.conformance")

    @conformance.checkpointer_test(name="TallowmereSaver")
    async def saver():
        yield TallowmereSaver()

    report = asyncio.run(conformance.validate(saver))
    results = report.to_dict()["results"]
    assert not {name: r["failures"] for name, r in results.items() if r["tests_failed"]}
    assert report.passed_all_base()
    # A saver whose async methods were not detected scores as passing with nothing
    # run: every capability must have run tests.
    ran = {name for name, r in results.items() if r["tests_passed"] > 0}
    assert IMPLEMENTED <= ran, (IMPLEMENTED - ran, results)
    assert sum(r["tests_passed"] for r in results.values()) >= 70


SETTINGS = settings(max_examples=120, stateful_step_count=40, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow])

# Ids and namespaces laden with the separators LangGraph itself uses ("|" and ":"),
# and pairs that a joined encoding would alias ("a|b" + "c" against "a" + "b|c").
SCOPES = [("a|b", "c", "x"), ("a", "b|c", "x"), ("1:t", "", "1:x"), ("1", ":t", "1:x"), ("", "", "")]
scalars = st.one_of(st.integers(-5, 5), st.text(max_size=4), st.lists(st.integers(0, 3), max_size=3))


def config(thread, ns):
    return {"configurable": {"thread_id": thread, "checkpoint_ns": ns}}


def checkpoint_of(values, checkpoint_id):
    """A checkpoint holding `values`, each channel at version "1"."""
    checkpoint = empty_checkpoint()
    checkpoint["id"] = checkpoint_id
    checkpoint["channel_values"] = dict(values)
    checkpoint["channel_versions"] = {channel: "1" for channel in values}
    return checkpoint


def as_tuple(t):
    return None if t is None else (t.config, t.checkpoint, t.metadata, t.parent_config, t.pending_writes)


def test_names_with_separators_never_alias():
    ours, theirs = TallowmereSaver(), InMemorySaver()
    for n, (thread, ns, cid) in enumerate(SCOPES):
        checkpoint = checkpoint_of({cid: n}, cid)
        for saver in (ours, theirs):
            saved = saver.put(config(thread, ns), checkpoint, {"n": n}, {cid: "1"})
            saver.put_writes(saved, [(cid, n)], cid)
    for thread, ns, cid in SCOPES:
        assert as_tuple(ours.get_tuple(config(thread, ns))) == as_tuple(theirs.get_tuple(config(thread, ns)))
        assert [as_tuple(t) for t in ours.list({"configurable": {"thread_id": thread}})] == \
            [as_tuple(t) for t in theirs.list({"configurable": {"thread_id": thread}})]
    ours.delete_thread("a")
    assert sorted(t.config["configurable"]["thread_id"] for t in ours.list(None)) == ["", "1", "1:t", "a|b"]


def test_every_serializer_type_round_trips_as_in_memory_saver():
    # One value per type tag the serializer writes (its msgpack tag with each kind of extension it uses,
    # and pickle for what msgpack cannot hold), as channel values and as pending writes.
    values = [None, b"ab", bytearray(b"ab"), "s", 2**64 - 1, 1.5, [1, (2,)], {"k": {1, 2}}, frozenset({3}),
              deque([1]), datetime(2024, 1, 2, tzinfo=timezone.utc), date(2024, 1, 2), timedelta(seconds=3),
              Decimal("1.5"), UUID(int=5), PurePosixPath("a/b"), re.compile("x+"), IPv4Address("1.2.3.4"),
              AIMessage(content="hi", id="m1"), complex(1, 2)]
    serde = JsonPlusSerializer(pickle_fallback=True)
    assert {serde.dumps_typed(v)[0] for v in values} == {"null", "bytes", "bytearray", "msgpack", "pickle"}
    channels = {f"c{i}": v for i, v in enumerate(values)}
    checkpoint, got = checkpoint_of(channels, "1"), []
    for saver in (TallowmereSaver(serde=serde), InMemorySaver(serde=serde)):
        saved = saver.put(config("t", ""), checkpoint, {}, checkpoint["channel_versions"])
        saver.put_writes(saved, list(channels.items()), "task")
        got.append(as_tuple(saver.get_tuple(saved)))
    assert got[0] == got[1] and got[0][1]["channel_values"]["c2"] == bytearray(b"ab")


# Labels whose length-prefixed names sort apart from their tuples ("10:aaaaaaaaaa" < "1:a").
LABELS = ["a", "ab", "a.b", "b", "x|y", "aaaaaaaaaa"]
namespaces = st.lists(st.sampled_from(LABELS), min_size=1, max_size=3).map(tuple)
items = st.fixed_dictionaries({"n": st.one_of(st.integers(-3, 3), st.floats(-3, 3, allow_nan=False)),
                               "s": st.sampled_from(["", "x", "y", "a b"])},
                              optional={"x": scalars})
filters = st.one_of(
    st.none(),
    st.fixed_dictionaries({}, optional={"s": st.sampled_from(["x", "y"]), "x": scalars,
                                        "n": st.one_of(st.integers(-3, 3), st.fixed_dictionaries(
                                            {}, optional={op: st.integers(-3, 3) for op in _OPERATORS}))}),
    st.fixed_dictionaries({"s": st.fixed_dictionaries({"$ne": st.sampled_from(["x", "y"])})}),
)


def item_view(item):
    return None if item is None else (item.namespace, item.key, item.value)


class StoreMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.ours, self.theirs = TallowmereStore(), InMemoryStore()
        self.total = 0

    def both(self, ops):
        return self.ours.batch(ops), self.theirs.batch(ops)

    @rule(ns=namespaces, key=st.sampled_from(["k", "k|1", "k2"]), value=st.one_of(st.none(), items))
    def put(self, ns, key, value):
        ours, theirs = self.both([PutOp(ns, key, value)])
        assert ours == theirs == [None]

    @rule(ns=namespaces, key=st.sampled_from(["k", "k|1", "k2"]))
    def get(self, ns, key):
        ours, theirs = self.both([GetOp(ns, key)])
        assert item_view(ours[0]) == item_view(theirs[0])
        if ours[0] is not None:  # a copy: changing it changes nothing stored
            ours[0].value["n"] = "changed"
            assert self.ours.batch([GetOp(ns, key)])[0].value == theirs[0].value

    @rule(prefix=st.lists(st.sampled_from(LABELS), max_size=2).map(tuple), filter=filters,
          limit=st.integers(0, 5), offset=st.integers(0, 2))
    def search(self, prefix, filter, limit, offset):
        ours, theirs = self.both([SearchOp(prefix, filter, limit=100, offset=0)])
        # Ours come by namespace, then key; InMemoryStore's in insertion order.
        assert list(map(item_view, ours[0])) == sorted(map(item_view, theirs[0]), key=lambda view: view[:2])
        window = self.ours.batch([SearchOp(prefix, filter, limit=limit, offset=offset)])[0]
        assert list(map(item_view, window)) == list(map(item_view, ours[0]))[offset:offset + limit]

    @rule(prefix=st.lists(st.sampled_from(LABELS + ["*"]), max_size=2).map(tuple),
          suffix=st.lists(st.sampled_from(LABELS + ["*"]), max_size=1).map(tuple),
          max_depth=st.one_of(st.none(), st.integers(1, 3)), limit=st.integers(1, 10), offset=st.integers(0, 2))
    def list_namespaces(self, prefix, suffix, max_depth, limit, offset):
        conditions = tuple(c for c in (MatchCondition("prefix", prefix) if prefix else None,
                                       MatchCondition("suffix", suffix) if suffix else None) if c)
        op = ListNamespacesOp(match_conditions=conditions, max_depth=max_depth, limit=limit, offset=offset)
        ours, theirs = self.both([op])
        # InMemoryStore also lists namespaces that were only read or whose last item
        # went; ours lists only namespaces holding items.
        live = InMemoryStore()
        live.batch([PutOp(ns, key, item.value) for ns, held in self.theirs._data.items() for key, item in held.items()])
        assert ours[0] == live.batch([op])[0]


TestStoreAgainstInMemoryStore = StoreMachine.TestCase
TestStoreAgainstInMemoryStore.settings = SETTINGS


def test_a_batch_applies_whole_or_not_at_all():
    store = TallowmereStore()
    store.put(("a",), "x", {"n": 1})
    for bad in (PutOp(("a",), "y", {"n": object()}), PutOp(("a", 1), "y", {}), PutOp(("a",), "y", [1]),
                SearchOp(("a",), {"n": {"$in": [1]}})):
        with pytest.raises((TypeError, ValueError)):
            store.batch([PutOp(("a",), "x", None), PutOp(("a",), "z", {"n": 2}), bad])
        assert [(item.key, item.value) for item in store.search(("a",))] == [("x", {"n": 1})]


# Filters over values of every kind, field names the condition language cannot say, and numbers it
# cannot spell or compare exactly: the core's answer must be the Python rules' answer.
FIELDS = ["n", "None", "a-b"]
leaves = st.sampled_from([0, 1, 6, True, False, None, 2**53, 2**53 + 1, 2**60, 2**60 + 1, 2**64 - 1, -2**63, 0.5, -0.0,
                          1e20, 1e-05, 2.0**60, float("inf"), float("nan"), "", "1", "10", "a", 'b"\\', "\u00e9\n"])
values = st.one_of(leaves, st.lists(leaves, max_size=2), st.fixed_dictionaries({}, optional={"x": leaves}))
operands = st.one_of(leaves, st.just(2**70), st.lists(leaves, max_size=2))
operators = st.dictionaries(st.sampled_from(list(_OPERATORS)), operands, min_size=1, max_size=2)
entries = st.one_of(operands, operators, st.fixed_dictionaries({}, optional={"x": st.one_of(operands, operators)}))


@settings(SETTINGS, max_examples=400)
@given(st.lists(st.fixed_dictionaries({}, optional={f: values for f in FIELDS}), max_size=6),
       st.dictionaries(st.sampled_from(FIELDS), entries, min_size=1, max_size=2))
def test_filters_in_the_core_follow_the_python_rules(records, filter):
    store = TallowmereStore()
    store.batch([PutOp(("t",), str(i), record) for i, record in enumerate(records)])
    found = [item.key for item in store.search(("t",), filter=filter, limit=10)]
    assert found == [str(i) for i, record in enumerate(records) if _matches(record, filter)]


ITEMS = {"one": 1, "true": True, "ten": "10", "six": 6, "odd": 2**53 + 1, "big": 2**60 + 1, "huge": 1e20,
         "tiny": 1e-05, "null": None, "a": "a", "quote": 'b"\\', "map": {"x": None}, "list": [1]}
RULES = [  # bool is not a number, strings compare with strings, integers exactly, a missing field never matches
    ({"n": 1}, ["one"]), ({"n": True}, ["true"]), ({"n": {"$gte": 1}}, ["big", "huge", "odd", "one", "six"]),
    ({"n": {"$gt": "5"}}, ["a", "quote"]), ({"n": 2**53}, []), ({"n": {"$gt": 2**60}}, ["big", "huge"]),
    ({"n": {"$lte": 2**60}}, ["odd", "one", "six", "tiny"]), ({"n": 1e20}, ["huge"]), ({"n": 1e-05}, ["tiny"]),
    ({"n": None}, ["null"]), ({"n": 'b"\\'}, ["quote"]), ({"None": 6, "a-b": {"$lt": 7}}, ["six"]),
    ({"n": {"x": None}}, ["map"]), ({"n": {"x": {"$ne": 1}}}, ["map"]), ({"n": {"y": {"$ne": 1}}}, []),
    ({"n": 2.0**53}, []), ({"n": {"$eq": {}}}, []), ({"n": {"$eq": [1, 6]}}, []), ({"n": [1, 6]}, []),
    ({"n": [1]}, ["list"]),
    ({"n": {"$ne": 1}}, ["a", "big", "huge", "list", "map", "null", "odd", "quote", "six", "ten", "tiny", "true"]),
]


@pytest.mark.parametrize("filter, keys", RULES)
def test_filter_rules(filter, keys):
    store = TallowmereStore()
    store.batch([PutOp(("t",), "missing", {})] +
                [PutOp(("t",), key, {"n": v, "None": v, "a-b": v}) for key, v in ITEMS.items()])
    assert [item.key for item in store.search(("t",), filter=filter, limit=20)] == keys


def test_next_version_is_increasing_with_a_random_suffix():
    saver = TallowmereSaver()
    first = saver.get_next_version(None, None)
    forks = {saver.get_next_version(first, None) for _ in range(20)}
    assert len(forks) == 20  # two forks of one thread get different versions
    assert all(v > first and v.split(".")[0] == f"{2:032}" for v in forks)
    assert saver.get_next_version(7, None).startswith(f"{8:032}.")


class State(TypedDict):
    log: Annotated[list[str], operator.add]
    count: int


def review(state):
    answer = interrupt({"question": "approve?", "count": state["count"]})
    return {"log": [f"review:{answer}"]}


def build(saver):
    graph = StateGraph(State)
    graph.add_node("plan", lambda state: {"log": ["plan"], "count": state["count"] + 1})
    graph.add_node("review", review)
    graph.add_node("work", lambda state: {"log": ["work"], "count": state["count"] * 10})
    graph.add_edge(START, "plan")
    graph.add_conditional_edges("plan", lambda state: "review" if state["count"] % 2 else "work", ["review", "work"])
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


def run_scenario(saver, restart=lambda saver: saver):
    """What the graph does and keeps; `restart(saver)` gives the saver of the process after each run."""
    app = build(saver)
    out = []
    for thread, start in (("odd", 0), ("even", 1)):
        cfg = {"configurable": {"thread_id": thread}}
        out.append(plain(app.invoke({"log": [], "count": start}, cfg)))
        app = build(restart(app.checkpointer))
        state = app.get_state(cfg)
        out.append((state.values, state.next))
        if state.next:
            out.append(plain(app.invoke(Command(resume="yes"), cfg)))
            app = build(restart(app.checkpointer))
        out.append(history_view(app, cfg))
    # Fork: go back to the checkpoint before `review` ran and change the count there.
    cfg = {"configurable": {"thread_id": "odd"}}
    before_review = next(s for s in app.get_state_history(cfg) if s.next == ("review",))
    forked = app.update_state(before_review.config, {"count": 4})
    app = build(restart(app.checkpointer))
    out.append((app.get_state(forked).values, app.get_state(forked).next))
    out.append(plain(app.invoke(Command(resume="again"), forked)))
    app = build(restart(app.checkpointer))
    out.append(history_view(app, cfg))
    return out


def test_state_graph_runs_alike_on_both_savers(tmp_path):
    ours = run_scenario(TallowmereSaver())
    assert ours == run_scenario(InMemorySaver())

    def restart(saver):  # the process ends after each run; the next one opens the file again
        saver.store.close()
        return TallowmereSaver(Store.open(tmp_path / "agents.db"))
    assert run_scenario(TallowmereSaver(Store.open(tmp_path / "agents.db")), restart) == ours
    assert ours[2]["log"] == ["plan", "review:yes", "work"]  # the interrupt was resumed

"""route: how the state becomes a context, which edge wins, and the graph changed while it routes."""

import sys
import types
from functools import reduce

import pytest
from hypothesis import example, given, strategies as st

from tallowmere._core import HandoffGraph
from thread_helpers import run_threads


def nested(depth):
    return reduce(lambda value, _: [value], range(depth), 1)


def never_called(name):
    def hook(*args):
        raise AssertionError(f"{name} called")
    return hook


# A dict whose lookup hooks must never run: route reads the dict itself.
Loud = type("Loud", (dict,), {name: never_called(name) for name in ("__getitem__", "__missing__", "get")})


LOOP = []
LOOP.append(LOOP)
FLAG = {"b": "flag", "c": None}
GOLD = "user.tier == 'gold'"
EU = {"gold_eu": GOLD + " and user.region == 'eu'", "other": None}
TIERS = {"missing": "user.tier == null", "present": None}
UNSUPPORTED = (TypeError, "^unsupported value type for the tallowmere msgpack codec")
TOO_DEEP = (ValueError, "^value nests deeper than 128 levels")

# (edges out of "a" as {to: when} in insertion order, state, the route or the (error, pattern) raised)
ROUTES = [
    *[({"b": None, "c": "true"}, state, "b") for state in (None, {}, {"x": 1}, [1], 5, "s")],  # first edge wins
    ({"b": "false"}, None, None),
    # truthiness of every kind of value
    *[(FLAG, {"flag": v}, "b") for v in (True, -0.5, "x", [0], {"k": None}, b"\0", float("nan"), 2**64 - 1)],
    *[(FLAG, {"flag": v}, "c") for v in (0, "", [], None, False, -0.0, {}, b"", ())],
    (FLAG, {}, "c"),
    # paths that share a prefix are read from one nested value
    (EU, {"user": {"tier": "gold", "region": "eu"}}, "gold_eu"), (EU, {"user": {"tier": "gold", "region": "us"}}, "other"),
    # an intermediate that is not a dict drops the path
    (TIERS, {"user": 5}, "missing"), (TIERS, {"user": ["tier"]}, "missing"), (TIERS, {"user": {"tier": 0}}, "present"),
    # a state that is not a dict becomes the whole context, holding no paths
    *[({"b": "x == null and 1 == 1.0"}, state, "b") for state in ([{"x": 1}], 7, b"x", (1,))],
    ({"b": "x"}, [{"x": True}], None),
    # only the values at read paths are converted; a shorter read path takes its whole value
    ({"t": GOLD}, {"user": {"tier": "gold", "blob": {1, 2}}, "other": object()}, "t"),
    (FLAG, {"flag": 1, "junk": {1, 2}, "deep": nested(500), "big": 2**100}, "b"),
    ({"t": GOLD, "u": "user"}, {"user": {"tier": "x", "blob": {1, 2}}}, UNSUPPORTED),
    ({"t": GOLD, "u": "user"}, {"user": {"tier": "gold", "n": [1]}}, "t"),
    ({"t": GOLD, "u": "user"}, {"user": {"tier": "silver"}}, "u"),
    # read values follow the codec's rules
    (FLAG, {"flag": {1, 2}}, UNSUPPORTED), (FLAG, {"flag": 2**64}, (ValueError, "^integer out of 64-bit range")),
    (FLAG, {"flag": nested(129)}, TOO_DEEP), (FLAG, {"flag": nested(128)}, "b"), (FLAG, {"flag": LOOP}, TOO_DEEP),
    (FLAG, {"flag": "\ud800"}, (UnicodeEncodeError, None)),
    # the state itself is converted even when no condition reads it
    *[({"b": None}, state, UNSUPPORTED) for state in ({1, 2}, types.MappingProxyType({"flag": True}), bytearray(b"x"))],
    ({"b": GOLD, "c": "absent == null"}, Loud(user=Loud(tier="gold")), "b"),
    ({"b": GOLD, "c": "absent == null"}, Loud(user=Loud()), "c"),
]


@pytest.mark.parametrize("edges, state, expected", ROUTES)
def test_route(edges, state, expected):
    graph = HandoffGraph()
    for to, when in edges.items():
        graph.add_edge("a", to, when=when)
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=expected[1]):
            graph.route("a", state)
    else:
        assert graph.route("a", state) == expected
        assert graph.route("a", state=state) == expected
        if state is None:
            assert graph.route("a") == expected


def test_unknown_and_edgeless_nodes():
    graph = HandoffGraph()
    graph.add_node("n")
    graph.add_edge("a", "b", when="false")
    assert graph.route("nowhere") is None and graph.route("b") is None and graph.route("n", {"x": 1}) is None
    assert graph.route("nowhere", {"junk": {1, 2}, "big": 2**100}) is None
    for state in ({1, 2}, types.MappingProxyType({}), object(), bytearray(b"x")):
        with pytest.raises(TypeError):
            graph.route("nowhere", state)


@pytest.fixture
def flag_graph():
    graph = HandoffGraph()
    graph.add_edge("a", "b", when="flag")
    graph.add_edge("a", "c")
    return graph


def colliding_key(on_compare):
    """A key in the hash slot of "flag", so looking "flag" up compares against it."""

    class Key(str):
        def __hash__(self):
            return hash("flag")

        def __eq__(self, other):
            return on_compare()

    return Key("zzz")


def test_python_code_run_by_a_lookup(flag_graph):
    def explode():
        raise KeyError("from __eq__")

    with pytest.raises(KeyError, match="from __eq__"):  # the error ends the route
        flag_graph.route("a", {colliding_key(explode): 1})

    # Changing the graph mid-route is refused (from any thread: the route holds the graph, not the thread).
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        flag_graph.route("a", {colliding_key(lambda: flag_graph.add_edge("a", "d")): 1})
    assert flag_graph.edges("a") == [("b", "flag"), ("c", None)]
    assert flag_graph.route("a", {"flag": 1}) == "b"
    seen = []
    reading = colliding_key(lambda: seen.append((flag_graph.route("a", {"flag": 1}), len(flag_graph), flag_graph.is_dag())))
    assert flag_graph.route("a", {reading: 1}) == "c"  # reading the graph mid-route is allowed
    assert seen and seen[0] == ("b", 3, True)


def test_no_references_leak(flag_graph):
    value = object()
    payload = ["x" * 10]
    state = {"flag": payload, "other": value}
    before = (sys.getrefcount(state), sys.getrefcount(payload), sys.getrefcount(value))
    for _ in range(200):
        assert flag_graph.route("a", state) == "b"
        with pytest.raises(TypeError):
            flag_graph.route("a", {"flag": value})
    assert (sys.getrefcount(state), sys.getrefcount(payload), sys.getrefcount(value)) == before


def test_cached_keys_and_names_are_released_with_the_graph():
    # Built at run time, so neither string is interned (interned ones are immortal on 3.12+).
    key, name = "".join(["zq_cached", "_key"]), "".join(["zq_cached", "_target"])
    before = (sys.getrefcount(key), sys.getrefcount(name))
    graph = HandoffGraph()
    graph.add_edge("a", name, when="zq_cached_key.inner")
    for _ in range(3):
        assert graph.route("a", {key: {"inner": 1}}) == name
    graph.add_edge("a", "other", when="zq_cached_key")  # drops the node's cached keys
    assert graph.route("a", {key: {"inner": 0}}) == "other"
    del graph
    assert (sys.getrefcount(key), sys.getrefcount(name)) == before


# Each thread reuses one routing context from call to call, whatever the graph: a
# route must see its own state only, never what an earlier one of another shape left.
READ_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-2, 2) | st.sampled_from(["a", "ab", "b" * 40, "k"]) | st.just(frozenset()),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.sampled_from(["a", "k"]), inner, max_size=2),
    max_leaves=10,
)


def at_k(v):
    return v.get("k") if isinstance(v, dict) else None


def convertible(v):
    if isinstance(v, frozenset):
        return False
    children = v.values() if isinstance(v, dict) else v if isinstance(v, list) else ()
    return all(convertible(child) for child in children)


def holds_in(needle, hay):
    return isinstance(hay, (str, list, dict)) and needle in hay


# condition on v, the part of v it reads, and what it means
READERS = [
    ("'a' in v", lambda v: v, lambda v: holds_in("a", v)),
    ("v.k", at_k, lambda v: bool(at_k(v))),
    ("'a' in v.k or v == 'ab'", lambda v: v, lambda v: holds_in("a", at_k(v)) or v == "ab"),
    ("v.a == 1", lambda v: v.get("a") if isinstance(v, dict) else None,
     lambda v: isinstance(v, dict) and type(v.get("a")) is int and v["a"] == 1),
]


# shrinking containers, a failed conversion part way through, and changes of kind
@example([["x", "a"], ["x"], {"k": ["a", "b"], "a": 1}, {"k": ["b"]}, ["a", frozenset()], [], "xa", {"a": 1}, {}])
@given(st.lists(READ_VALUES, min_size=2, max_size=6))
def test_routes_in_a_row_see_only_their_own_state(values):
    route_in_a_row(values)


def test_threads_route_with_contexts_of_their_own():
    values = [["x", "a"], {"k": "ab", "a": 1}, ["b" * 40] * 5, "xa", {"k": [["a"]]}, [], {"a": True}]

    def worker(shift):
        for _ in range(300):
            route_in_a_row(values[shift:] + values[:shift])

    run_threads(*[lambda shift=shift: worker(shift) for shift in range(3)])


def route_in_a_row(values):
    graphs = []
    for when, _, _ in READERS:
        graph = HandoffGraph()
        graph.add_edge("a", "yes", when=when)
        graph.add_edge("a", "no")
        graphs.append(graph)
    for graph, (_, read, means) in zip(graphs, READERS):
        for value in values:
            if not convertible(read(value)):
                with pytest.raises(TypeError):
                    graph.route("a", {"v": value})
            else:
                assert graph.route("a", {"v": value}) == ("yes" if means(value) else "no"), value

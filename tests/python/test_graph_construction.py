"""HandoffGraph construction and queries: the cycle policy, add_node, add_edge, their refusals,
the read-only views and is_dag against a reference."""

import pytest
from hypothesis import given, strategies as st

from tallowmere._core import HandoffGraph

NOT_STR = "argument '{}': '{}' object is not an instance of 'str'"


# (call, error, exact message or None); none of them may change the graph. Argument conversions every
# function shares are listed once (test_module.py has the binding's own messages).
BAD_CALLS = [
    *[(lambda g, bad=bad: HandoffGraph(bad), ValueError, "on_cycle must be 'error' or 'allow'") for bad in ["Error", "allow\0"]],
    (lambda g: HandoffGraph(None), TypeError, "argument 'on_cycle': 'None' is not an instance of 'str'"),
    (lambda g: g.add_edge("a", 2), TypeError, NOT_STR.format("to", "int")),
    (lambda g: g.add_edge("a", "b", b"x"), TypeError, NOT_STR.format("when", "bytes")),
    (lambda g: g.add_edge("a", "b", when="'\udfff'"), UnicodeEncodeError, None),
    (lambda g: g.add_edge("a", "a"), ValueError, "adding edge 'a' -> 'a' would create a cycle (on_cycle='error')"),
    (lambda g: 5 in g, TypeError, NOT_STR.format("node", "int")),
    (lambda g: setattr(g, "on_cycle", "allow"), AttributeError, None),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS)
def test_bad_calls(call, error, message):
    graph = HandoffGraph()
    with pytest.raises(error) as info:
        call(graph)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert len(graph) == 0 and graph.nodes() == [] and graph.on_cycle == "error"


def test_policy_and_keywords():
    assert HandoffGraph().on_cycle == HandoffGraph(on_cycle="error").on_cycle == "error"
    graph = HandoffGraph(on_cycle="allow")
    graph.add_node(name="n")
    graph.add_edge(from_node="a", to="b", when="x")
    assert graph.route(node="a", state={"x": 1}) == "b"
    assert graph.edges(node="a") == [("b", "x")]
    assert graph.has_node(node="n")


def test_cycle_policy():
    graph = HandoffGraph()
    graph.add_edge("a", "b")
    graph.add_edge("b", "c")
    with pytest.raises(ValueError) as info:
        graph.add_edge("c", "a")
    assert str(info.value) == "adding edge 'c' -> 'a' would create a cycle (on_cycle='error')"
    with pytest.raises(ValueError, match="would create a cycle"):
        graph.add_edge("c", "a", when="secret")  # nor are its paths kept: route never converts "secret"
    with pytest.raises(ValueError, match=r"^invalid condition: unexpected token None$"):
        graph.add_edge("b", "a", when="x ==")  # the condition is checked before the cycle
    graph.add_edge("c", "d", when="x")
    assert graph.route("c", {"x": 1, "secret": {1}}) == "d"
    assert graph.edges("c") == [("d", "x")] and graph.edges("b") == [("c", None)]
    graph.add_edge("a", "b")
    assert graph.edges("a") == [("b", None), ("b", None)] and graph.is_dag()
    loop = HandoffGraph("allow")
    for a, b in [("a", "a"), ("a", "b"), ("b", "a")]:
        loop.add_edge(a, b)
    assert loop.edges("a") == [("a", None), ("b", None)]
    assert not loop.is_dag()


def test_queries_and_repr():
    assert repr(HandoffGraph()) == "HandoffGraph(nodes=0, edges=0, on_cycle='error')"
    graph = HandoffGraph()
    assert graph.nodes() == [] and len(graph) == 0 and graph.is_dag()
    graph.add_node("b")
    graph.add_node("b")
    graph.add_node("")
    graph.add_edge("a", "c")
    graph.add_edge("a", "c", when="  x  ==  'y'\n")  # kept verbatim
    assert graph.nodes() == ["", "a", "b", "c"] and len(graph) == 4
    assert graph.edges("a") == [("c", None), ("c", "  x  ==  'y'\n")]
    assert isinstance(graph.edges("a")[0], tuple)
    assert graph.edges("b") == [] and graph.edges("zzz") == [] and graph.route("b") is None
    assert repr(graph) == "HandoffGraph(nodes=4, edges=2, on_cycle='error')"
    assert graph.has_node("b") and "b" in graph and "" in graph
    assert not graph.has_node("zzz") and "zzz" not in graph


def test_any_str_is_a_name_and_names_sort_by_utf8_bytes():
    graph = HandoffGraph()
    names = ["nul\0in", "é", "日本", "\U0001F600", "\uffff", "a'b", "", "B", "a"]
    for name in names:
        graph.add_edge(name, "end", when="flag")
        assert graph.route(name, {"flag": True}) == "end"
    with pytest.raises(ValueError) as info:
        graph.add_edge("end", "a'b")
    assert str(info.value) == "adding edge 'end' -> 'a'b' would create a cycle (on_cycle='error')"
    assert graph.nodes() == sorted(names + ["end"], key=lambda s: s.encode())


def has_cycle(edges, nodes):
    """Reference: peel off nodes without incoming edges; a cycle is what can never be peeled."""
    left, edges = set(nodes), list(edges)
    while sources := left - {b for _, b in edges}:
        left -= sources
        edges = [(a, b) for a, b in edges if a in left]
    return bool(left)


@given(st.lists(st.tuples(st.integers(0, 9), st.integers(0, 9)), max_size=40))
def test_random_graphs_match_the_reference(pairs):
    strict, loose = HandoffGraph(), HandoffGraph("allow")
    named, kept = [(f"n{a}", f"n{b}") for a, b in pairs], []
    for a, b in named:
        loose.add_edge(a, b)
        if has_cycle(kept + [(a, b)], {n for e in kept for n in e} | {a, b}):
            with pytest.raises(ValueError, match=f"^adding edge '{a}' -> '{b}' would create a cycle"):
                strict.add_edge(a, b)
        else:
            strict.add_edge(a, b)
            kept.append((a, b))
        assert strict.is_dag()
    nodes = {n for e in named for n in e}
    assert loose.is_dag() == (not has_cycle(named, nodes)) and loose.nodes() == sorted(nodes)
    assert repr(loose) == f"HandoffGraph(nodes={len(nodes)}, edges={len(named)}, on_cycle='allow')"
    assert len(strict) == len({n for e in kept for n in e})
    assert sum(len(strict.edges(n)) for n in strict.nodes()) == len(kept)

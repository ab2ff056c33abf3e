"""HandoffGraph construction and queries as Python sees them: the cycle policy, add_node, add_edge, their
refusals and the read-only views. (Random graphs against a reference are in the C++ graph tests.)"""

import pytest

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
        graph.add_edge("c", "a", when="secret")
    assert str(info.value) == "adding edge 'c' -> 'a' would create a cycle (on_cycle='error')"
    graph.add_edge("c", "d", when="x")  # the refused edge kept no path: route never converts "secret"
    assert graph.route("c", {"x": 1, "secret": {1}}) == "d" and graph.edges("c") == [("d", "x")]
    with pytest.raises(ValueError, match=r"^invalid condition: unexpected token None$"):
        graph.add_edge("b", "a", when="x ==")  # the condition is checked before the cycle
    loop = HandoffGraph("allow")
    for a, b in [("a", "a"), ("a", "b"), ("b", "a")]:
        loop.add_edge(a, b)
    assert loop.edges("a") == [("a", None), ("b", None)] and not loop.is_dag()


def test_queries_and_repr():
    assert repr(HandoffGraph()) == "HandoffGraph(nodes=0, edges=0, on_cycle='error')"
    graph = HandoffGraph()
    assert graph.nodes() == [] and len(graph) == 0 and graph.is_dag()
    for name in ("b", "b", ""):  # a second add_node of a name changes nothing
        graph.add_node(name)
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

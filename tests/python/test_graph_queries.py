"""Read-only queries: nodes, edges, membership, size, the printed form and is_dag."""

import pytest
from hypothesis import given, strategies as st

from tallowmere._core import HandoffGraph


def test_empty_graph():
    graph = HandoffGraph()
    assert graph.nodes() == [] and len(graph) == 0 and graph.is_dag()
    assert repr(graph) == "HandoffGraph(nodes=0, edges=0, on_cycle='error')"
    assert repr(HandoffGraph("allow")) == "HandoffGraph(nodes=0, edges=0, on_cycle='allow')"


def test_small_graph():
    graph = HandoffGraph()
    graph.add_node("b")
    graph.add_edge("a", "c")
    graph.add_edge("a", "c", when="x")
    assert graph.nodes() == ["a", "b", "c"]
    assert len(graph) == 3
    assert graph.edges("a") == [("c", None), ("c", "x")]
    assert graph.edges("b") == [] and graph.edges("zzz") == []
    assert repr(graph) == "HandoffGraph(nodes=3, edges=2, on_cycle='error')"
    assert graph.has_node("b") and "b" in graph
    assert not graph.has_node("zzz") and "zzz" not in graph
    assert isinstance(graph.edges("a")[0], tuple)


def test_nodes_sort_by_utf8_bytes():
    graph = HandoffGraph("allow")
    names = ["ab", "a", "B", "", "é", "z", "\U0001F600", "\uffff", "a\0"]
    for name in names:
        graph.add_node(name)
    assert graph.nodes() == sorted(names, key=lambda s: s.encode())
    assert graph.nodes() == sorted(names)  # UTF-8 byte order is code point order


@pytest.mark.parametrize("edges", [
    [("a", "a")],
    [("a", "b"), ("b", "a")],
    [("a", "b"), ("b", "c"), ("c", "d"), ("d", "b")],
])
def test_is_dag_sees_cycles_under_allow(edges):
    graph = HandoffGraph("allow")
    for a, b in edges[:-1]:
        graph.add_edge(a, b)
    assert graph.is_dag()
    graph.add_edge(*edges[-1])
    assert not graph.is_dag()


def test_deep_chains_need_no_recursion():
    graph = HandoffGraph()
    for i in range(3000):
        graph.add_edge(f"n{i}", f"n{i + 1}")
    assert graph.is_dag() and len(graph) == 3001
    with pytest.raises(ValueError, match="would create a cycle"):
        graph.add_edge("n3000", "n0")
    loop = HandoffGraph("allow")
    for i in range(3000):
        loop.add_edge(f"n{i}", f"n{(i + 1) % 3000}")
    assert not loop.is_dag()


def has_cycle(edges, nodes):
    """Reference: depth-first search with colours over a plain adjacency dict."""
    adjacency = {n: [] for n in nodes}
    for a, b in edges:
        adjacency[a].append(b)
    colour = dict.fromkeys(nodes, 0)
    for root in nodes:
        if colour[root]:
            continue
        stack = [(root, iter(adjacency[root]))]
        colour[root] = 1
        while stack:
            node, children = stack[-1]
            child = next(children, None)
            if child is None:
                colour[node] = 2
                stack.pop()
            elif colour[child] == 1:
                return True
            elif colour[child] == 0:
                colour[child] = 1
                stack.append((child, iter(adjacency[child])))
    return False


edge_lists = st.lists(st.tuples(st.integers(0, 9), st.integers(0, 9)), max_size=40)


@given(edge_lists)
def test_random_graphs_under_error_stay_acyclic(pairs):
    graph = HandoffGraph()
    kept = []
    for a, b in pairs:
        a, b = f"n{a}", f"n{b}"
        nodes = {n for e in kept for n in e} | {a, b}
        closes = has_cycle(kept + [(a, b)], nodes)
        if closes:
            with pytest.raises(ValueError, match=f"^adding edge '{a}' -> '{b}' would create a cycle"):
                graph.add_edge(a, b)
        else:
            graph.add_edge(a, b)
            kept.append((a, b))
        assert graph.is_dag()
    assert len(graph) == len({n for e in kept for n in e})
    assert sum(len(graph.edges(n)) for n in graph.nodes()) == len(kept)


@given(edge_lists, st.lists(st.integers(0, 12), max_size=5))
def test_random_graphs_under_allow_match_the_reference(pairs, lone):
    graph = HandoffGraph("allow")
    named = [(f"n{a}", f"n{b}") for a, b in pairs]
    for a, b in named:
        graph.add_edge(a, b)
    for n in lone:
        graph.add_node(f"n{n}")
    nodes = {n for e in named for n in e} | {f"n{n}" for n in lone}
    assert graph.is_dag() == (not has_cycle(named, nodes))
    assert graph.nodes() == sorted(nodes)
    assert repr(graph) == f"HandoffGraph(nodes={len(nodes)}, edges={len(named)}, on_cycle='allow')"

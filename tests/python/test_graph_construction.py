"""HandoffGraph construction: the cycle policy, add_node, add_edge and their refusals."""

import pytest

from tallowmere._core import HandoffGraph


class TestPolicy:
    def test_default_and_explicit(self):
        assert HandoffGraph().on_cycle == "error"
        assert HandoffGraph("allow").on_cycle == "allow"
        assert HandoffGraph(on_cycle="error").on_cycle == "error"

    @pytest.mark.parametrize("bad", ["Error", "ALLOW", "", "error ", "allow\0", "ignore"])
    def test_unknown_policy(self, bad):
        with pytest.raises(ValueError, match=r"^on_cycle must be 'error' or 'allow'$"):
            HandoffGraph(bad)

    @pytest.mark.parametrize("bad, message", [
        (None, "argument 'on_cycle': 'None' is not an instance of 'str'"),
        (1, "argument 'on_cycle': 'int' object is not an instance of 'str'"),
        (b"error", "argument 'on_cycle': 'bytes' object is not an instance of 'str'"),
    ])
    def test_policy_must_be_str(self, bad, message):
        with pytest.raises(TypeError) as info:
            HandoffGraph(bad)
        assert str(info.value) == message

    def test_policy_is_read_only(self):
        graph = HandoffGraph()
        with pytest.raises(AttributeError):
            graph.on_cycle = "allow"
        assert graph.on_cycle == "error"


class TestArguments:
    @pytest.mark.parametrize("call, message", [
        (lambda g: HandoffGraph("error", 1),
         "HandoffGraph.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda g: HandoffGraph(policy="error"), "HandoffGraph.__new__() got an unexpected keyword argument 'policy'"),
        (lambda g: g.add_node(), "HandoffGraph.add_node() missing 1 required positional argument: 'name'"),
        (lambda g: g.add_node(5), "argument 'name': 'int' object is not an instance of 'str'"),
        (lambda g: g.add_edge("a"), "HandoffGraph.add_edge() missing 1 required positional argument: 'to'"),
        (lambda g: g.add_edge(), "HandoffGraph.add_edge() missing 2 required positional arguments: 'from_node' and 'to'"),
        (lambda g: g.add_edge("a", "b", "c", "d"),
         "HandoffGraph.add_edge() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda g: g.add_edge("a", to="b", from_node="c"),
         "HandoffGraph.add_edge() got multiple values for argument 'from_node'"),
        (lambda g: g.add_edge(None, "b"), "argument 'from_node': 'None' is not an instance of 'str'"),
        (lambda g: g.add_edge("a", 2), "argument 'to': 'int' object is not an instance of 'str'"),
        (lambda g: g.add_edge("a", "b", when=1), "argument 'when': 'int' object is not an instance of 'str'"),
        (lambda g: g.add_edge("a", "b", b"x"), "argument 'when': 'bytes' object is not an instance of 'str'"),
        (lambda g: g.route(), "HandoffGraph.route() missing 1 required positional argument: 'node'"),
        (lambda g: g.route(None), "argument 'node': 'None' is not an instance of 'str'"),
        (lambda g: g.edges(1), "argument 'node': 'int' object is not an instance of 'str'"),
        (lambda g: g.has_node([]), "argument 'node': 'list' object is not an instance of 'str'"),
        (lambda g: g.nodes(1), "HandoffGraph.nodes() takes 0 positional arguments but 1 was given"),
        (lambda g: g.is_dag(x=1), "HandoffGraph.is_dag() got an unexpected keyword argument 'x'"),
        (lambda g: 5 in g, "argument 'node': 'int' object is not an instance of 'str'"),
    ])
    def test_binding_errors(self, call, message):
        graph = HandoffGraph()
        with pytest.raises(TypeError) as info:
            call(graph)
        assert str(info.value) == message
        assert len(graph) == 0

    def test_keywords(self):
        graph = HandoffGraph(on_cycle="allow")
        graph.add_node(name="n")
        graph.add_edge(from_node="a", to="b", when="x")
        assert graph.route(node="a", state={"x": 1}) == "b"
        assert graph.edges(node="a") == [("b", "x")]
        assert graph.has_node(node="n")


class TestDocumentation:
    @pytest.mark.parametrize("name, signature, first_line", [
        ("add_node", "($self, name)", "Register a node with no edges (edges also register their endpoints)."),
        ("add_edge", "($self, from_node, to, when=None)", "Add a directed edge `from -> to`, optionally guarded by a `when`"),
        ("route", "($self, node, state=None)", "Resolve the next node from `node` given `state`."),
        ("nodes", "($self)", "All nodes in the graph (sorted for stable output)."),
        ("edges", "($self, node)", "Outgoing edges of `node` as `(to, when)` pairs, in insertion order."),
        ("has_node", "($self, node)", "Whether `node` exists in the graph."),
        ("is_dag", "($self)", "Whether the graph is currently acyclic."),
    ])
    def test_method_docs(self, name, signature, first_line):
        method = getattr(HandoffGraph, name)
        assert method.__text_signature__ == signature
        assert method.__doc__.splitlines()[0] == first_line

    def test_class_and_property_docs(self):
        assert HandoffGraph.__doc__ == "A deterministic routing graph over named nodes with conditional edges."
        assert HandoffGraph.__text_signature__ == '(on_cycle="error")'
        assert HandoffGraph.on_cycle.__doc__ == 'Behaviour on cycle detection: `"error"` or `"allow"`.'
        assert "O(V·E) — half a second" in HandoffGraph.is_dag.__doc__
        assert HandoffGraph.add_edge.__doc__.endswith(
            "Raises `ValueError` on an invalid condition, or — when `on_cycle` is\n"
            '`"error"` — if the edge would create a cycle.')


class TestAddEdge:
    def test_cycles_refused_under_error(self):
        graph = HandoffGraph()
        with pytest.raises(ValueError) as info:
            graph.add_edge("a", "a")
        assert str(info.value) == "adding edge 'a' -> 'a' would create a cycle (on_cycle='error')"
        assert len(graph) == 0
        graph.add_edge("a", "b")
        graph.add_edge("b", "c")
        with pytest.raises(ValueError) as info:
            graph.add_edge("c", "a")
        assert str(info.value) == "adding edge 'c' -> 'a' would create a cycle (on_cycle='error')"
        assert graph.edges("c") == []
        graph.add_edge("a", "b")
        assert graph.edges("a") == [("b", None), ("b", None)]

    def test_cycles_allowed_under_allow(self):
        graph = HandoffGraph("allow")
        graph.add_edge("a", "a")
        graph.add_edge("a", "b")
        graph.add_edge("b", "a")
        assert graph.edges("a") == [("a", None), ("b", None)]
        assert not graph.is_dag()

    @pytest.mark.parametrize("when", ["", "   ", "\t\n", "\u00a0\u3000"])
    def test_empty_conditions(self, when):
        graph = HandoffGraph()
        with pytest.raises(ValueError, match=r"^invalid condition: empty condition$"):
            graph.add_edge("x", "y", when=when)
        assert not graph.has_node("x") and not graph.has_node("y")

    def test_condition_errors_come_before_cycle_errors(self):
        graph = HandoffGraph()
        graph.add_edge("a", "b")
        with pytest.raises(ValueError, match=r"^invalid condition: unexpected token None$"):
            graph.add_edge("b", "a", when="x ==")

    def test_when_text_is_kept_verbatim(self):
        graph = HandoffGraph()
        graph.add_edge("a", "b", when="  x  ==  'y'\n")
        graph.add_edge("a", "c", when=None)
        assert graph.edges("a") == [("b", "  x  ==  'y'\n"), ("c", None)]

    def test_add_node(self):
        graph = HandoffGraph()
        graph.add_node("n")
        graph.add_node("n")
        graph.add_node("")
        assert graph.nodes() == ["", "n"]
        assert graph.edges("n") == [] and graph.route("n") is None

    @pytest.mark.parametrize("name", ["nul\0in", "é", "日本", "\U0001F600", "a'b", ""])
    def test_any_str_is_a_name(self, name):
        graph = HandoffGraph()
        graph.add_edge(name, "end", when="flag")
        assert graph.route(name, {"flag": True}) == "end"
        assert graph.nodes() == sorted([name, "end"], key=lambda s: s.encode())
        with pytest.raises(ValueError) as info:
            graph.add_edge("end", name)
        assert str(info.value) == f"adding edge 'end' -> '{name}' would create a cycle (on_cycle='error')"

    def test_lone_surrogates_are_refused_unchanged(self):
        graph = HandoffGraph()
        with pytest.raises(UnicodeEncodeError):
            graph.add_edge("\ud800", "b")
        with pytest.raises(UnicodeEncodeError):
            graph.add_edge("a", "b", when="'\udfff'")
        assert len(graph) == 0


class TestConditionPaths:
    """The pruned path index is visible through what route converts: only the values
    at read paths are converted, and a shorter read path takes its whole value."""

    def test_only_read_paths_are_converted(self):
        graph = HandoffGraph()
        graph.add_edge("s", "t", when="user.tier == 'gold'")
        assert graph.route("s", {"user": {"tier": "gold", "blob": {1, 2}}, "other": object()}) == "t"

    def test_a_shorter_path_takes_the_whole_value(self):
        graph = HandoffGraph()
        graph.add_edge("s", "t", when="user.tier == 'gold'")
        graph.add_edge("s", "u", when="user")
        with pytest.raises(TypeError, match="unsupported value type"):
            graph.route("s", {"user": {"tier": "x", "blob": {1, 2}}})
        assert graph.route("s", {"user": {"tier": "gold", "n": [1]}}) == "t"
        assert graph.route("s", {"user": {"tier": "silver"}}) == "u"

    def test_paths_of_a_failed_edge_are_not_kept(self):
        graph = HandoffGraph()
        graph.add_edge("a", "b")
        with pytest.raises(ValueError):
            graph.add_edge("b", "a", when="secret")
        graph.add_edge("b", "c", when="x")
        assert graph.route("b", {"x": 1, "secret": {1}}) == "c"

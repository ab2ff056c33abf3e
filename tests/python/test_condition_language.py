"""The condition language through add_edge and route: what the binding adds to the C++ tables (messages as
Python sees them) and inputs deep enough to overflow a small thread stack."""

from functools import reduce

import pytest

from tallowmere._core import HandoffGraph
from thread_helpers import run_in_small_stack


def refusal(text):
    graph = HandoffGraph()
    try:
        graph.add_edge("a", "b", when=text)
    except ValueError as error:
        assert len(graph) == 0  # a refused edge registers neither endpoint
        return str(error)
    return None


# The lexer and parser tables live with the C++ tests; these check what the binding
# adds: the prefix, messages carrying non-ASCII and NUL characters intact, and the
# debug forms as Python sees them. None marks a text that is accepted.
@pytest.mark.parametrize("text, message", [
    *[(blank, "empty condition") for blank in ["", "   ", "\t\n", "\u00a0\u3000"]],
    ("x = 1", "expected '==' (single '=' is not valid)"), ("x == '\0", "unterminated string literal"),
    ("\0", "unexpected character '\0'"), ("x €", "unexpected character '€'"),
    ("a == not b", "unexpected token Some(Not)"),
    ("x 'say \"hi\"\n'", 'unexpected trailing token Str("say \\"hi\\"\\n")'),
    ("x -2.50", "unexpected trailing token Float(-2.5)"), ("x 3.0", "unexpected trailing token Float(3.0)"),
    ("x état", 'unexpected trailing token Ident("état")'),
    ("(" * 13 + "x" + ")" * 13, "condition nested too deeply"), ("not " * 61 + "x", "condition nested too deeply"),
    ("(" * 12 + "x" + ")" * 12, None), ("not " * 60 + "x", None), ("état == 1 and x² > 0", None),
])
def test_refusals(text, message):
    assert refusal(text) == (None if message is None else "invalid condition: " + message)


def test_hostile_depths_fit_a_small_stack():
    def work():
        nots = refusal("not " * 100_000 + "x")
        parens = refusal("(" * 100_000 + "x" + ")" * 100_000)
        graph = HandoffGraph()
        chain = " and ".join(f"k{i % 7}.v" for i in range(100_000))
        graph.add_edge("a", "all", when=chain)
        either = " or ".join(f"k{i}.v" for i in range(100_000))
        graph.add_edge("a", "any", when=either)
        graph.add_edge("a", "none")
        state = {**{f"k{i}": {"v": False} for i in range(7)}, "k99999": {"v": True}}
        routes = (graph.route("a", state), graph.route("a", {"k3": 1}), graph.route("a", {}))
        del graph  # releasing the long chains must not recurse either
        # A path of 50,000 segments, then one of its prefixes: indexed and walked in linear time.
        deep = HandoffGraph()
        deep.add_edge("p", "far", when=".".join(["k"] * 50_000))
        nested = reduce(lambda value, _: {"k": value}, range(50_000), 1)
        far = deep.route("p", nested)
        deep.add_edge("p", "near", when=".".join(["k"] * 25_000) + " == 1")
        return nots, parens, routes, far, deep.route("p", {"k": {}}), deep, nested

    nots, parens, routes, far, near, deep, nested = run_in_small_stack(work)
    assert nots == parens == "invalid condition: condition nested too deeply"
    assert routes == ("any", "none", "none")
    assert far == "far" and near is None
    # The shorter path now takes its whole value, 25,000 levels deep. (On the main
    # thread: the codec's 128 levels of recursion outgrow 256 KiB under ASan.)
    with pytest.raises(ValueError, match="^value nests deeper than 128 levels"):
        deep.route("p", nested)

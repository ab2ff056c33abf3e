"""Routing speed: HandoffGraph.route against the same decision written as a Python
function and as expressions for simpleeval and jmespath; how route scales with the
size of the state; add_edge on a long chain; is_dag on a large graph.

Everything runs in this one process on the same data. Each round times a batch of
calls per contender, in an order that rotates from round to round; tables show the
median time per call and the median of the per-round ratios contender/route
(above 1.00 means route is faster).

    python bench/bench_route.py [--rounds N]
"""

from __future__ import annotations

import argparse
import importlib.metadata
import os
import platform
import statistics
import sys
import time

import tallowmere
from tallowmere import HandoffGraph

try:
    import simpleeval
except ImportError:  # optional peer
    simpleeval = None
try:
    import jmespath
except ImportError:  # optional peer
    jmespath = None

CONDITIONS = [
    ("escalate", 'user.tier == "gold" and retries >= 3'),
    ("review", 'user.tier == "silver" or retries > 5'),
    ("default", "retries >= 0"),
]


def make_graph() -> HandoffGraph:
    graph = HandoffGraph()
    for target, when in CONDITIONS:
        graph.add_edge("planner", target, when=when)
    return graph


def make_state(keys: int, tier: str = "bronze", retries: int = 1) -> dict:
    """`keys` entries in all, of which the conditions read two (`user` and `retries`)."""
    state = {f"field_{i}": {"value": i, "tags": ["x", "y"], "note": "unused " * 4} for i in range(keys - 2)}
    state["user"] = {"tier": tier, "name": "ada", "history": list(range(50))}
    state["retries"] = retries
    return state


def python_decision(state: dict):
    user = state.get("user")
    tier = user.get("tier") if isinstance(user, dict) else None
    retries = state.get("retries")
    if tier == "gold" and retries is not None and retries >= 3:
        return "escalate"
    if tier == "silver" or (retries is not None and retries > 5):
        return "review"
    if retries is not None and retries >= 0:
        return "default"
    return None


TOOL_CONDITIONS = [
    ("escalate", 'user.tier == "gold" and retries >= 3'),
    ("search", '"web_search" in intent.tools'),
    ("default", "retries >= 0"),
]
TOOLS = ["calculator", "code_interpreter", "file_reader", "image_gen", "web_browser", "sql_runner"]


def python_tool_decision(state: dict):
    user = state.get("user")
    tier = user.get("tier") if isinstance(user, dict) else None
    retries = state.get("retries")
    if tier == "gold" and retries is not None and retries >= 3:
        return "escalate"
    intent = state.get("intent")
    tools = intent.get("tools") if isinstance(intent, dict) else None
    if isinstance(tools, list) and "web_search" in tools:
        return "search"
    if retries is not None and retries >= 0:
        return "default"
    return None


def simpleeval_decision():
    evaluator = simpleeval.EvalWithCompoundTypes()
    parsed = [(target, evaluator.parse(when.replace("user.tier", "user['tier']")))
              for target, when in CONDITIONS]

    def decide(state):
        evaluator.names = state
        for target, tree in parsed:
            if evaluator.eval("", previously_parsed=tree):
                return target
        return None

    return decide


def jmespath_decision():
    compiled = [
        ("escalate", jmespath.compile("user.tier == 'gold' && retries >= `3`")),
        ("review", jmespath.compile("user.tier == 'silver' || retries > `5`")),
        ("default", jmespath.compile("retries >= `0`")),
    ]

    def decide(state):
        for target, expression in compiled:
            if expression.search(state):
                return target
        return None

    return decide


def time_batch(fn, args: tuple, batch: int) -> float:
    # Every contender is called the same way, fn(*args), so none pays for a wrapper.
    start = time.perf_counter_ns()
    for _ in range(batch):
        fn(*args)
    return (time.perf_counter_ns() - start) / batch


def compare(title: str, contenders: dict, rounds: int, batch: int) -> None:
    """contenders: name -> (callable, args)."""
    names = list(contenders)
    samples = {name: [] for name in names}
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            fn, args = contenders[name]
            samples[name].append(time_batch(fn, args, batch))
    base = names[0]
    print(f"\n{title}")
    print(f"  {'contender':<28}{'median':>12}{'ratio':>10}")
    for name in names:
        ratios = [s / b for s, b in zip(samples[name], samples[base])]
        print(f"  {name:<28}{statistics.median(samples[name]) / 1000:>10.3f}us{statistics.median(ratios):>10.2f}")


def time_once(fn, repeats: int) -> float:
    runs = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        fn()
        runs.append(time.perf_counter_ns() - start)
    return statistics.median(runs)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    versions = [f"tallowmere {tallowmere.__version__}"]
    for peer in ("simpleeval", "jmespath"):
        try:
            versions.append(f"{peer} {importlib.metadata.version(peer)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{peer} (not installed)")
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; " + ", ".join(versions))

    graph = make_graph()
    route = graph.route
    states = [make_state(200, tier, retries) for tier, retries in
              (("gold", 3), ("silver", 0), ("bronze", 9), ("bronze", 1))]
    for state in states:
        expected = python_decision(state)
        assert route("planner", state) == expected
        if simpleeval:
            assert simpleeval_decision()(state) == expected
        if jmespath:
            assert jmespath_decision()(state) == expected

    def contenders(state):
        table = {"HandoffGraph.route": (route, ("planner", state)), "Python function": (python_decision, (state,))}
        if simpleeval:
            table["simpleeval (pre-parsed)"] = (simpleeval_decision(), (state,))
        if jmespath:
            table["jmespath (compiled)"] = (jmespath_decision(), (state,))
        return table

    compare("route: 3 conditional edges, 200-key state, conditions read 2 keys, all 3 tried",
            contenders(states[3]), args.rounds, 20_000)
    compare("route: first edge matches (state with tier 'gold')", contenders(states[0]), args.rounds, 20_000)

    tool_graph = HandoffGraph()
    for target, when in TOOL_CONDITIONS:
        tool_graph.add_edge("planner", target, when=when)
    tool_state = make_state(200)
    tool_state["intent"] = {"name": "lookup", "tools": TOOLS}
    searching = dict(tool_state, intent={"name": "lookup", "tools": TOOLS + ["web_search"]})
    for state in (tool_state, searching):
        assert tool_graph.route("planner", state) == python_tool_decision(state)
    compare("route: 3 edges reading user.tier, retries and the 6-string list intent.tools, 200-key state",
            {"HandoffGraph.route": (tool_graph.route, ("planner", tool_state)),
             "Python function": (python_tool_decision, (tool_state,))}, args.rounds, 20_000)

    small, large = make_state(10), make_state(10_000)
    compare("route cost vs state size (ratio: 10,000 keys / 10 keys; 1.00 = independent)",
            {"10 keys": (route, ("planner", small)), "10,000 keys": (route, ("planner", large))},
            args.rounds, 20_000)

    def build_chain():
        chain = HandoffGraph()
        for i in range(9_999):
            chain.add_edge(f"n{i}", f"n{i + 1}")
        return chain

    chain_ns = time_once(build_chain, 5)
    print(f"\nadd_edge: 10,000-node chain under 'error': {chain_ns / 1e6:.2f} ms in all, "
          f"{chain_ns / 9_999 / 1000:.3f} us per edge")

    def reverse_chain():
        chain = HandoffGraph()
        for i in range(1_999, 0, -1):  # each new edge is checked against the whole chain below it
            chain.add_edge(f"n{i - 1}", f"n{i}")
        return chain

    reverse_ns = time_once(reverse_chain, 3)
    print(f"add_edge: 2,000-node chain built backwards (O(V+E) check each): {reverse_ns / 1e6:.2f} ms in all")

    big = HandoffGraph("allow")
    for i in range(99_999):
        big.add_edge(f"n{i}", f"n{i + 1}")
    assert big.is_dag()
    dag_ns = time_once(big.is_dag, 7)
    big.add_edge("n99999", "n0")
    cyclic_ns = time_once(big.is_dag, 7)
    print(f"is_dag: 100,000-node chain {dag_ns / 1e6:.2f} ms; closed into a cycle {cyclic_ns / 1e6:.2f} ms")


if __name__ == "__main__":
    sys.exit(main())

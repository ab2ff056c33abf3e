"""route: how the state becomes a context, which edge wins, and routing under threads."""

import sys
import threading
import types

import pytest

from tallowmere._core import HandoffGraph


@pytest.fixture
def flag_graph():
    graph = HandoffGraph()
    graph.add_edge("a", "b", when="flag")
    graph.add_edge("a", "c")
    return graph


class TestEdgeOrder:
    def test_unconditional_first_edge_wins(self):
        graph = HandoffGraph()
        graph.add_edge("a", "b")
        graph.add_edge("a", "c", when="true")
        for state in (None, {}, {"x": 1}, [1], 5, "s"):
            assert graph.route("a", state) == "b"

    def test_unknown_and_edgeless_nodes(self):
        graph = HandoffGraph()
        graph.add_node("n")
        graph.add_edge("a", "b", when="false")
        assert graph.route("nowhere") is None
        assert graph.route("n", {"x": 1}) is None
        assert graph.route("b") is None
        assert graph.route("a") is None

    @pytest.mark.parametrize("state, expected", [
        ({"flag": True}, "b"), ({"flag": 1}, "b"), ({"flag": -0.5}, "b"), ({"flag": "x"}, "b"),
        ({"flag": [0]}, "b"), ({"flag": {"k": None}}, "b"), ({"flag": b"\0"}, "b"),
        ({"flag": float("nan")}, "b"), ({"flag": 2**64 - 1}, "b"),
        ({"flag": 0}, "c"), ({"flag": ""}, "c"), ({"flag": []}, "c"), ({"flag": None}, "c"),
        ({"flag": False}, "c"), ({"flag": 0.0}, "c"), ({"flag": -0.0}, "c"), ({"flag": {}}, "c"),
        ({"flag": b""}, "c"), ({"flag": ()}, "c"), ({}, "c"), (None, "c"),
    ])
    def test_truthiness_decides(self, flag_graph, state, expected):
        assert flag_graph.route("a", state) == expected
        assert flag_graph.route("a") == "c"


class TestContext:
    def test_nested_paths_share_prefixes(self):
        graph = HandoffGraph()
        graph.add_edge("a", "gold_eu", when="user.tier == 'gold' and user.region == 'eu'")
        graph.add_edge("a", "other")
        assert graph.route("a", {"user": {"tier": "gold", "region": "eu"}}) == "gold_eu"
        assert graph.route("a", {"user": {"tier": "gold", "region": "us"}}) == "other"

    def test_an_intermediate_that_is_not_a_dict_drops_the_path(self):
        graph = HandoffGraph()
        graph.add_edge("a", "missing", when="user.tier == null")
        graph.add_edge("a", "present")
        assert graph.route("a", {"user": 5}) == "missing"
        assert graph.route("a", {"user": ["tier"]}) == "missing"
        assert graph.route("a", {"user": {"tier": 0}}) == "present"

    def test_non_dict_states_become_the_whole_context(self):
        graph = HandoffGraph()
        graph.add_edge("a", "b", when="x == null and 1 == 1.0")
        for state in ([{"x": 1}], 7, "x", 1.5, b"x", (1,)):
            assert graph.route("a", state) == "b"
        graph2 = HandoffGraph()
        graph2.add_edge("a", "b", when="x")
        assert graph2.route("a", [{"x": True}]) is None

    @pytest.mark.parametrize("state", [{1, 2}, types.MappingProxyType({"flag": True}), object(), bytearray(b"x")])
    def test_unsupported_states_fail_even_without_conditions(self, state):
        graph = HandoffGraph()
        graph.add_edge("a", "b")
        with pytest.raises(TypeError, match="^unsupported value type for the tallowmere msgpack codec"):
            graph.route("a", state)
        with pytest.raises(TypeError):
            graph.route("unknown", state)

    def test_unread_values_are_never_converted(self, flag_graph):
        state = {"flag": 1, "junk": {1, 2}, "deep": self.nested(500), "big": 2**100}
        assert flag_graph.route("a", state) == "b"
        assert flag_graph.route("z", state) is None

    def test_read_values_are_converted_with_the_codec_rules(self, flag_graph):
        with pytest.raises(TypeError, match="^unsupported value type"):
            flag_graph.route("a", {"flag": {1, 2}})
        with pytest.raises(ValueError, match="^integer out of 64-bit range"):
            flag_graph.route("a", {"flag": 2**64})
        with pytest.raises(ValueError, match="^value nests deeper than 128 levels"):
            flag_graph.route("a", {"flag": self.nested(129)})
        assert flag_graph.route("a", {"flag": self.nested(128)}) == "b"
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="^value nests deeper than 128 levels"):
            flag_graph.route("a", {"flag": loop})
        with pytest.raises(UnicodeEncodeError):
            flag_graph.route("a", {"flag": "\ud800"})

    @staticmethod
    def nested(depth):
        value = 1
        for _ in range(depth):
            value = [value]
        return value

    def test_dict_subclass_hooks_are_not_called(self):
        class Loud(dict):
            def __getitem__(self, key):
                raise AssertionError("__getitem__ called")

            def __missing__(self, key):
                raise AssertionError("__missing__ called")

            def get(self, *args):
                raise AssertionError("get called")

        graph = HandoffGraph()
        graph.add_edge("a", "b", when="user.tier == 'gold'")
        graph.add_edge("a", "c", when="absent == null")
        assert graph.route("a", Loud(user=Loud(tier="gold"))) == "b"
        assert graph.route("a", Loud(user=Loud())) == "c"

    def test_key_comparison_errors_end_the_route(self, flag_graph):
        class Exploding(str):
            def __hash__(self):
                return hash("flag")

            def __eq__(self, other):
                raise KeyError("from __eq__")

        with pytest.raises(KeyError, match="from __eq__"):
            flag_graph.route("a", {Exploding("zzz"): 1})

    def test_reentrant_mutation_during_a_lookup_is_refused(self, flag_graph):
        class Meddling(str):
            def __hash__(self):
                return hash("flag")

            def __eq__(self, other):
                flag_graph.add_edge("a", "d")
                return False

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            flag_graph.route("a", {Meddling("zzz"): 1})
        assert flag_graph.edges("a") == [("b", "flag"), ("c", None)]
        assert flag_graph.route("a", {"flag": 1}) == "b"

    def test_reentrant_reads_during_a_lookup_are_allowed(self, flag_graph):
        seen = []

        class Reading(str):
            def __hash__(self):
                return hash("flag")

            def __eq__(self, other):
                seen.append((flag_graph.route("a", {"flag": 1}), len(flag_graph), flag_graph.is_dag()))
                return False

        assert flag_graph.route("a", {Reading("zzz"): 1}) == "c"
        assert seen and seen[0] == ("b", 3, True)

    def test_no_references_leak(self, flag_graph):
        value = object()
        payload = ["x" * 10]
        state = {"flag": payload, "other": value}
        before = (sys.getrefcount(state), sys.getrefcount(payload), sys.getrefcount(value))
        for _ in range(200):
            assert flag_graph.route("a", state) == "b"
            with pytest.raises(TypeError):
                flag_graph.route("a", {"flag": value})
        assert (sys.getrefcount(state), sys.getrefcount(payload), sys.getrefcount(value)) == before


    def test_cached_keys_and_names_are_released_with_the_graph(self):
        key, name = sys.intern("zq_cached_key"), sys.intern("zq_cached_target")
        before = (sys.getrefcount(key), sys.getrefcount(name))
        graph = HandoffGraph()
        graph.add_edge("a", name, when="zq_cached_key.inner")
        for _ in range(3):
            assert graph.route("a", {key: {"inner": 1}}) is name  # the interned name itself
        graph.add_edge("a", "other", when="zq_cached_key")  # drops the node's cached keys
        assert graph.route("a", {key: {"inner": 0}}) == "other"
        del graph
        assert (sys.getrefcount(key), sys.getrefcount(name)) == before


class TestThreads:
    def test_parallel_routes_get_their_own_answers(self):
        graph = HandoffGraph()
        graph.add_edge("start", "gold", when="user.tier == 'gold' and n >= 3")
        graph.add_edge("start", "silver", when="user.tier == 'silver' or 'vip' in tags")
        graph.add_edge("start", "default")
        cases = [
            ({"user": {"tier": "gold"}, "n": 3, "tags": []}, "gold"),
            ({"user": {"tier": "gold"}, "n": 2, "tags": ["vip"]}, "silver"),
            ({"user": {"tier": "bronze"}, "n": 9, "tags": ["x"]}, "default"),
            ({"user": {"tier": "silver"}}, "silver"),
        ]
        barrier = threading.Barrier(4)
        failures = []

        def worker(offset):
            barrier.wait()
            for i in range(400):
                state, expected = cases[(i + offset) % len(cases)]
                got = graph.route("start", state)
                if got != expected:
                    failures.append((state, expected, got))

        old = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(old)
        assert failures == []

    def test_mutation_during_a_route_is_refused(self):
        # A long chain keeps each route in its lock-released evaluation long enough
        # for the other thread to run.
        graph = HandoffGraph()
        chain = " or ".join(f"flag{i % 50}" for i in range(20000))
        graph.add_edge("a", "hit", when=chain)
        graph.add_edge("a", "miss")
        refused = []
        routes_done = threading.Event()

        def router():
            try:
                for _ in range(300):
                    assert graph.route("a", {"flag7": 0}) == "miss"
            finally:
                routes_done.set()

        def mutator():
            while not routes_done.is_set():
                try:
                    graph.add_node("extra")
                except RuntimeError as error:
                    refused.append(str(error))

        old = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            threads = [threading.Thread(target=router), threading.Thread(target=mutator)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(old)
        assert refused, "no add_node overlapped a route"
        assert set(refused) == {"Already borrowed"}
        assert set(graph.nodes()) - {"extra"} == {"a", "hit", "miss"}
        assert graph.edges("a") == [("hit", chain), ("miss", None)]

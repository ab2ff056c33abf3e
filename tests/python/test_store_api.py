"""Store's Python surface: construction, values, batches, queries, and the errors that
bad input raises (each leaving the store exactly as it was)."""

import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tallowmere import Snapshot, Store


def contents(store):
    """Order-independent digest of everything a store holds."""
    pairs = [(ns, key) for ns in store.namespaces() for key in store.keys(ns)]
    return sorted(zip(pairs, map(repr, store.get_many(pairs))))


@pytest.fixture
def store():
    s = Store(max_history=None)
    s.set("a", "x", 1)
    s.set("a", "y", [1, 2])
    s.set("b", "x", {"k": "v"})
    return s


class TestConstruction:
    @pytest.mark.parametrize("args, kwargs, max_history", [
        ((), {}, 0),
        (("memory", "msgpack", 3), {}, 3),
        ((), {"max_history": None}, None),
        ((), {"max_history": True}, 1),
        ((), {"backend": "memory", "codec": "msgpack", "max_history": 2**64 - 1}, 2**64 - 1),
    ])
    def test_accepted(self, args, kwargs, max_history):
        s = Store(*args, **kwargs)
        assert s.max_history == max_history
        assert s.codec == "msgpack"
        assert repr(s) == "Store(backend='memory', codec='msgpack', entries=0)"
        assert len(s) == 0 and not s

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"backend": "disk"}, ValueError, "backend 'disk' is not available in this build (only 'memory')"),
        ({"backend": "Memory"}, ValueError, "backend 'Memory' is not available in this build (only 'memory')"),
        ({"codec": "json"}, ValueError, "codec 'json' is not supported (only 'msgpack')"),
        ({"backend": "x", "codec": "y"}, ValueError, "backend 'x' is not available in this build (only 'memory')"),
        ({"backend": None}, TypeError, "argument 'backend': 'None' is not an instance of 'str'"),
        ({"codec": 1}, TypeError, "argument 'codec': 'int' object is not an instance of 'str'"),
        ({"max_history": "3"}, TypeError, "argument 'max_history': "),
        ({"max_history": -1}, OverflowError, None),
        ({"max_history": 2**64}, OverflowError, None),
        ({"nope": 1}, TypeError, "Store.__new__() got an unexpected keyword argument 'nope'"),
    ])
    def test_refused(self, kwargs, error, message):
        with pytest.raises(error) as info:
            Store(**kwargs)
        if message is not None:
            assert str(info.value).startswith(message)

    def test_too_many_arguments(self):
        with pytest.raises(TypeError, match=r"Store.__new__\(\) takes from 0 to 3 positional arguments but 4 were given"):
            Store("memory", "msgpack", 1, 2)

    def test_read_only_members_and_no_container_protocol(self, store):
        for name in ("codec", "max_history"):
            with pytest.raises(AttributeError):
                setattr(store, name, 1)
        with pytest.raises(AttributeError):
            store.other = 1
        with pytest.raises(TypeError):
            iter(store)
        with pytest.raises(TypeError):
            store["a"]
        assert Store.__module__ == "tallowmere._core" and Store.__qualname__ == "Store"


class TestValues:
    def test_round_trip_and_isolation(self, store):
        value = {"list": [1, 2.5, None, True, "é"], "bytes": b"\x00\xff"}
        store.set("ns", "k", value)
        value["list"].append("later")
        got = store.get("ns", "k")
        assert got == {"list": [1, 2.5, None, True, "é"], "bytes": b"\x00\xff"}
        assert store.get("ns", "k") is not got

    def test_missing_and_default(self, store):
        marker = object()
        assert store.get("a", "missing") is None
        assert store.get("a", "missing", marker) is marker
        assert store.get("a", "missing", default=None) is None
        store.set("a", "none", None)
        assert store.contains("a", "none") and store.get("a", "none", marker) is None

    def test_delete_and_namespace_membership(self, store):
        assert store.delete("b", "x") is True
        assert store.delete("b", "x") is False
        assert store.delete("nowhere", "x") is False
        assert "b" not in store and "b" not in store.namespaces()
        assert store.max_key("b") is None
        assert store.delete("a", "x") and "a" in store

    def test_empty_names_and_len(self):
        s = Store()
        s.set("", "", 0)
        s.set("a", "x", 1)
        s.set("a", "x", 2)
        assert len(s) == 2 and s.get("", "") == 0 and "" in s
        assert repr(s) == "Store(backend='memory', codec='msgpack', entries=2)"


class TestBatches:
    def test_order_duplicates_and_last_write_wins(self):
        s = Store()
        assert s.set_many([]) is None and s.get_many([]) == []
        s.set_many((("a", "k", 1), ("b", "k", 2), ("a", "k", 3)))
        assert s.get_many([("b", "k"), ("a", "k"), ("a", "missing"), ("a", "k")]) == [2, 3, None, 3]
        snap = s.snapshot()
        assert snap.size_bytes == 2  # only the surviving values count

    def test_named_tuples_and_sequences(self):
        from collections import namedtuple
        Item = namedtuple("Item", "ns key value")

        class Seq:
            def __init__(self, items):
                self.items = items

            def __len__(self):
                return len(self.items)

            def __getitem__(self, i):
                return self.items[i]

        s = Store()
        s.set_many(Seq([Item("a", "k", 1)]))
        assert s.get_many(Seq([("a", "k")])) == [1]


# (call, error class, message start); every one must leave the store unchanged.
BAD_CALLS = [
    (lambda s: s.set(1, "k", 1), TypeError, "argument 'namespace': 'int' object is not an instance of 'str'"),
    (lambda s: s.set("a", None, 1), TypeError, "argument 'key': 'None' is not an instance of 'str'"),
    (lambda s: s.set("a\ud800", "k", 1), UnicodeEncodeError, None),
    (lambda s: s.set("a", "k\udfff", 1), UnicodeEncodeError, None),
    (lambda s: s.set("a", "x", object()), TypeError, None),
    (lambda s: s.set("a", "x", {1: {2: [set()]}}), TypeError, None),
    (lambda s: s.set("a", "x"), TypeError, "Store.set() missing 1 required positional argument: 'value'"),
    (lambda s: s.set("a", "x", 1, 2), TypeError, "Store.set() takes 3 positional arguments but 4 were given"),
    (lambda s: s.get("a", "x", 1, 2), TypeError, "Store.get() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda s: s.get("a"), TypeError, "Store.get() missing 1 required positional argument: 'key'"),
    (lambda s: s.delete(("a", "x")), TypeError, None),
    (lambda s: ("a", "x") in s, TypeError, "argument 'namespace': 'tuple' object is not an instance of 'str'"),
    (lambda s: s.set_many("abc"), TypeError, "argument 'items': Can't extract `str` to `Vec`"),
    (lambda s: s.set_many(("a", "k", 1) for _ in range(2)), TypeError, "argument 'items': "),
    (lambda s: s.set_many({("a", "k", 1)}), TypeError, "argument 'items': "),
    (lambda s: s.set_many(None), TypeError, "argument 'items': 'None' is not an instance of 'Sequence'"),
    (lambda s: s.set_many([["a", "k", 1]]), TypeError, "argument 'items': 'list' object is not an instance of 'tuple'"),
    (lambda s: s.set_many([("a", "k")]), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (lambda s: s.set_many([("a", "n1", 1), ("a", 5, 1)]), TypeError, "argument 'items': 'int' object is not an instance of 'str'"),
    (lambda s: s.set_many([("a", "n1", 1), ("a\ud800", "k", 1)]), UnicodeEncodeError, None),
    (lambda s: s.set_many([("a", "x", 9), ("b", "n", 2), ("c", "n", object())]), TypeError, None),
    (lambda s: s.set_many([("a", "x", 9), ("c", "n", 2**64)]), ValueError, None),
    (lambda s: s.get_many("ab"), TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
    (lambda s: s.get_many([("a", "k", "x")]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda s: s.get_many([("a", b"k")]), TypeError, "argument 'pairs': 'bytes' object is not an instance of 'str'"),
    (lambda s: s.keys(None), TypeError, "argument 'namespace': 'None' is not an instance of 'str'"),
    (lambda s: s.keys("a", 1), TypeError, "argument 'prefix': 'int' object is not an instance of 'str'"),
    (lambda s: s.namespaces(b"a"), TypeError, "argument 'prefix': 'bytes' object is not an instance of 'str'"),
    (lambda s: s.max_key(1), TypeError, "argument 'namespace': 'int' object is not an instance of 'str'"),
    (lambda s: s.restore(None), TypeError, "argument 'snapshot': 'None' is not an instance of 'Snapshot'"),
    (lambda s: s.restore("x"), TypeError, "argument 'snapshot': 'str' object is not an instance of 'Snapshot'"),
    (lambda s: s.restore(), TypeError, "Store.restore() missing 1 required positional argument: 'snapshot'"),
    (lambda s: s.snapshot(1), TypeError, None),
    (lambda s: s.history(None), TypeError, None),
    (lambda s: s.clear_history(1), TypeError, None),
    (lambda s: s.clear(1), TypeError, "Store.clear() takes 0 positional arguments but 1 was given"),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS)
def test_bad_input_raises_and_changes_nothing(store, call, error, message):
    before = contents(store)
    ids_before = [snap.id for snap in store.history()]
    with pytest.raises(error) as info:
        call(store)
    if message is not None:
        assert str(info.value).startswith(message)
    assert contents(store) == before
    assert [snap.id for snap in store.history()] == ids_before
    assert store.snapshot().id == 1  # no failed call took a snapshot id


def test_encoder_error_keeps_previous_value(store):
    with pytest.raises(ValueError):
        nested = []
        for _ in range(200):
            nested = [nested]
        store.set("a", "x", nested)
    assert store.get("a", "x") == 1


class TestQueries:
    def test_keys_prefix_and_max_key(self):
        s = Store()
        for key in ("k1", "k2", "x"):
            s.set("ns", key, 0)
        assert sorted(s.keys("ns")) == ["k1", "k2", "x"]
        assert sorted(s.keys("ns", "k")) == ["k1", "k2"]
        assert sorted(s.keys("ns", "")) == sorted(s.keys("ns", None)) == sorted(s.keys(namespace="ns", prefix=None))
        assert s.keys("ns", "K") == [] and s.keys("nope") == []

    @pytest.mark.parametrize("keys, greatest", [
        (["a", "b", "ab"], "b"), (["9", "10"], "9"), (["B", "a"], "a"),
        (["\uffff", "\U00010000"], "\U00010000"),  # code point order, not UTF-16 order
        (["", "\x00"], "\x00"),
    ])
    def test_max_key_is_byte_order(self, keys, greatest):
        s = Store()
        for key in keys:
            s.set("n", key, 0)
        assert s.max_key("n") == greatest

    def test_namespaces_prefix_and_clear(self):
        s = Store(max_history=5)
        for ns in ("t1", "t2", "u"):
            s.set(ns, "k", 0)
        assert sorted(s.namespaces("t")) == ["t1", "t2"]
        snap = s.snapshot()
        assert s.clear() is None
        assert len(s) == 0 and s.namespaces() == [] and s.history()[0].id == snap.id
        assert len(snap.keys) == 3
        s.restore(snap)
        assert sorted(s.namespaces()) == ["t1", "t2", "u"]


def test_snapshot_class_is_not_constructible():
    with pytest.raises(TypeError, match=r"cannot create 'tallowmere._core.Snapshot' instances"):
        Snapshot()
    assert Snapshot.__module__ == "tallowmere._core"


def test_python_code_run_during_conversion_can_reenter_the_store():
    """A custom sequence runs Python code while set_many and get_many read their
    input; by then no store lock is held, so calling back into the same store works."""
    s = Store(max_history=None)
    s.set("seed", "k", 0)

    class Reentrant:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            if i >= len(self.items):
                raise IndexError(i)
            s.set("inside", str(i), i)
            s.restore(s.snapshot())
            assert s.get_many([("seed", "k")]) == [0]
            return self.items[i]

    s.set_many(Reentrant([("outer", "a", 1), ("outer", "b", 2)]))
    assert s.get_many(Reentrant([("outer", "a"), ("inside", "1")])) == [1, 1]
    assert sorted(s.keys("inside")) == ["0", "1"] and len(s.history()) == 4


def test_no_reference_leaks():
    s = Store(max_history=2)
    marker = object()
    payload = {"a": [1, 2, {"b": "c" * 40}], "d": b"x" * 10}

    def round():
        s.set("ns", "k", payload)
        s.set_many([("ns", str(i), payload) for i in range(20)])
        s.get_many([("ns", str(i)) for i in range(25)])
        s.get("ns", "missing", marker)
        s.keys("ns", "1")
        s.namespaces("n")
        snap = s.snapshot()
        snap.diff(s.history()[0])
        snap.keys
        s.restore(snap)
        for bad in (lambda: s.set_many([("ns", "k", 1), ("ns", "k", object())]),
                    lambda: s.get_many([("a", 1)]), lambda: s.restore(None)):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    for _ in range(200):
        round()
    start = sys.getallocatedblocks()
    for _ in range(2000):
        round()
    assert sys.getallocatedblocks() - start < 200
    assert sys.getrefcount(marker) == 2 and sys.getrefcount(payload) == 2


junk = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(), st.binary(), st.tuples(st.text()),
    st.tuples(st.text(), st.text()), st.tuples(st.text(), st.text(), st.integers()), st.lists(st.integers(), max_size=3),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2), st.just(object()), st.just(Store),
    st.lists(st.tuples(st.text(max_size=3), st.one_of(st.text(max_size=3), st.integers()), st.integers()), max_size=3),
)
METHODS = ["set", "get", "contains", "delete", "set_many", "get_many", "keys", "max_key", "namespaces", "restore",
           "__contains__"]


@settings(max_examples=300, derandomize=True, database=None, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(METHODS), st.lists(junk, max_size=4)), max_size=6))
def test_arbitrary_arguments_raise_cleanly_or_work(calls):
    s = Store(max_history=2)
    s.set("seed", "k", [1])
    for name, args in calls:
        before = contents(s)
        try:
            getattr(s, name)(*args)
        except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
            assert contents(s) == before
    assert len(s) == len(contents(s))

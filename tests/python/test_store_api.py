"""Store and Snapshot as Python sees them: construction, values, the snapshot object, and the errors bad input
raises (each leaving the store as it was). What the store holds is checked against a model in the C++ tests."""

import gc
import sys
from collections import namedtuple
from functools import reduce

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tallowmere import Snapshot, Store

NOT_STR = "argument '{}': '{}' object is not an instance of 'str'"


def contents(store):
    """Order-independent digest of everything a store holds."""
    pairs = [(ns, key) for ns in store.namespaces() for key in store.keys(ns)]
    return sorted(zip(pairs, map(repr, store.get_many(pairs))))


@pytest.fixture
def store():
    s = Store(max_history=None)
    s.set_many([("a", "x", 1), ("a", "y", [1, 2]), ("b", "x", {"k": "v"})])
    return s


@pytest.mark.parametrize("args, kwargs, max_history", [
    ((), {}, 0), (("memory", "msgpack", 3), {}, 3), ((), {"max_history": None}, None),
    ((), {"backend": "memory", "codec": "msgpack", "max_history": 2**64 - 1}, 2**64 - 1),
])
def test_construction(args, kwargs, max_history):
    s = Store(*args, **kwargs)
    assert s.max_history == max_history and s.codec == "msgpack"
    assert len(s) == 0 and not s and repr(s) == "Store(backend='memory', codec='msgpack', entries=0)"
    s.set_many([("", "", 0), ("a", "x", 1), ("a", "x", 2)])
    assert len(s) == 2 and s and repr(s) == "Store(backend='memory', codec='msgpack', entries=2)"


def test_values_are_copied_in_and_out(store):
    value = {"list": [1, 2.5, None, True, "é"], "bytes": b"\x00\xff"}
    store.set("ns", "k", value)
    value["list"].append("later")
    got = store.get("ns", "k")
    assert got == {"list": [1, 2.5, None, True, "é"], "bytes": b"\x00\xff"} and store.get("ns", "k") is not got
    marker = object()
    assert store.get(namespace="a", key="missing", default=marker) is marker and store.get("a", "missing") is None
    store.set("a", "none", None)
    assert store.contains("a", "none") and store.get("a", "none", marker) is None
    assert sorted(store.keys("a", "")) == sorted(store.keys(namespace="a", prefix=None)) == ["none", "x", "y"]


# (call, error class, message start); every one must leave the store unchanged. Conversions every
# function shares are listed once; each batch form has its own rows, as a batch fails part way.
BAD_CALLS = [
    (lambda s: Store(backend="disk"), ValueError, "backend 'disk' is not available in this build (only 'memory')"),
    (lambda s: Store(codec="json"), ValueError, "codec 'json' is not supported (only 'msgpack')"),
    (lambda s: Store(backend=None), TypeError, "argument 'backend': 'None' is not an instance of 'str'"),
    (lambda s: Store(max_history="3"), TypeError, "argument 'max_history': "),
    (lambda s: Store(max_history=-1), OverflowError, None), (lambda s: Store(max_history=2**64), OverflowError, None),
    (lambda s: setattr(s, "max_history", 1), AttributeError, None), (lambda s: s["a"], TypeError, None),
    (lambda s: s.set(1, "k", 1), TypeError, NOT_STR.format("namespace", "int")),
    (lambda s: s.set("a", "k\udfff", 1), UnicodeEncodeError, None),
    (lambda s: s.set("a", "x", object()), TypeError, "unsupported value type"),
    (lambda s: s.set("a", "x", reduce(lambda v, _: [v], range(200), 1)), ValueError, "value nests deeper"),
    (lambda s: ("a", "x") in s, TypeError, NOT_STR.format("namespace", "tuple")),
    (lambda s: s.set_many("abc"), TypeError, "argument 'items': Can't extract `str` to `Vec`"),
    (lambda s: s.set_many(("a", "k", 1) for _ in range(2)), TypeError, "argument 'items': "),
    (lambda s: s.set_many([["a", "k", 1]]), TypeError, "argument 'items': 'list' object is not an instance of 'tuple'"),
    (lambda s: s.set_many([("a", "k")]), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (lambda s: s.set_many([("a", "n1", 1), ("a", 5, 1)]), TypeError, "argument 'items': 'int' object is not"),
    (lambda s: s.set_many([("a", "n1", 1), ("a\ud800", "k", 1)]), UnicodeEncodeError, None),
    (lambda s: s.set_many([("a", "x", 9), ("b", "n", 2), ("c", "n", object())]), TypeError, None),
    (lambda s: s.set_many([("a", "x", 9), ("c", "n", 2**64)]), ValueError, None),
    (lambda s: s.get_many([("a", "k", "x")]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda s: s.get_many([("a", b"k")]), TypeError, "argument 'pairs': 'bytes' object is not an instance of 'str'"),
    (lambda s: s.keys("a", 1), TypeError, NOT_STR.format("prefix", "int")),
    (lambda s: s.add("new", "k", object()), TypeError, "unsupported value type"),
    (lambda s: s.set_many_atomic([("a", "x", 9), ("b", "n", 2), ("c", "n", object())]), TypeError, None),
    (lambda s: s.scan("a", reverse=1), TypeError, "argument 'reverse': 'int' object is not an instance of 'bool'"),
    (lambda s: s.scan("a", limit=-1), OverflowError, None),
    (lambda s: s.scan("a", where="x =="), ValueError, "invalid condition: "),
    (lambda s: s.restore("x"), TypeError, "argument 'snapshot': 'str' object is not an instance of 'Snapshot'"),
    (lambda s: Snapshot(), TypeError, "cannot create 'tallowmere._core.Snapshot' instances"),
    (lambda s: Store().snapshot().diff({}), TypeError, "argument 'base': 'dict' object is not an instance of 'Snapshot'"),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS)
def test_bad_input_raises_and_changes_nothing(store, call, error, message):
    before = contents(store)
    with pytest.raises(error) as info:
        call(store)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value).startswith(message)
    assert contents(store) == before
    assert store.snapshot().id == 1  # no failed call took a snapshot id


def test_scan_selects_by_range_and_condition():
    s = Store()
    s.set_many([("jobs", f"j{i}", {"state": "done" if i % 3 else "open", "n": i}) for i in range(10)])
    s.set("jobs", "x", 5)  # no map, so it holds no paths
    assert s.scan("jobs", "j", start="j2", stop="j8", where="state == 'open'") == ["j3", "j6"]
    assert s.scan("jobs", reverse=True, limit=2, where="n >= 1", values=True) == [
        ("j9", {"state": "open", "n": 9}), ("j8", {"state": "done", "n": 8})]
    assert s.scan("jobs", where="not state") == ["x"] and s.scan("absent") == []


def test_snapshot_object():
    s = Store(max_history=3)
    first = s.snapshot()
    assert repr(first) == "Snapshot(id=1, size_bytes=0, parent=None)"
    s.set_many([("a", "x", 1), ("a", "y", 2), ("b", "x", 3), ("c", "y", "hello")])
    snap = s.snapshot()
    assert repr(snap) == "Snapshot(id=2, size_bytes=9, parent=Some(1))"
    assert type(snap.parent) is int and type(snap.timestamp) is float and first.timestamp <= snap.timestamp
    for name in ("id", "keys"):
        with pytest.raises(AttributeError):
            setattr(snap, name, 1)
    assert sorted(snap.keys) == [("a", "x"), ("a", "y"), ("b", "x"), ("c", "y")] and snap.keys is not snap.keys
    # history hands out new objects for the same record, each equal only to itself
    latest, again = s.history()[-1], s.history()[-1]
    assert latest is not again and latest != again and latest != snap and isinstance(latest, Snapshot)
    assert (latest.id, latest.timestamp, latest.keys, latest.size_bytes) == (
        snap.id, snap.timestamp, snap.keys, snap.size_bytes)
    assert set(snap.diff(base=first)) == {"added", "removed", "changed"}
    s.restore(snapshot=first)
    assert len(s) == 0


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

    item = namedtuple("Item", "ns key value")
    s.set_many(Reentrant([item("outer", "a", 1), item("outer", "b", 2)]))  # any sequence of any 3-tuples
    assert s.get_many(Reentrant([("outer", "a"), ("inside", "1")])) == [1, 1]
    assert sorted(s.keys("inside")) == ["0", "1"] and len(s.history()) == 4


def test_no_reference_leaks():
    s = Store(max_history=2)
    marker = object()
    big = b"y" * 5000  # payloads this large are held by reference while a call encodes and copies them
    payload = {"a": [1, 2, {"b": "c" * 40}], "d": b"x" * 10, "e": big, "f": "\u00e9" * 3000}

    def round():
        s.set("ns", "k", payload)
        s.set_many([("ns", str(i), payload) for i in range(20)])
        s.get_many([("ns", str(i)) for i in range(25)])
        s.get("ns", "missing", marker)
        s.keys("ns", "1")
        s.namespaces("n")
        s.add("ns", "k", payload)
        s.add("added", str(len(s)), payload)
        s.scan("ns", "1", start="1", reverse=True, limit=3, where="a", values=True)
        s.set_many_atomic([("ns2", str(i), payload) for i in range(5)])
        s.copy_namespace("ns2", "ns3")
        s.delete_namespace("ns3")
        snap = s.snapshot()
        snap.diff(s.history()[0])
        snap.keys
        s.restore(snap)
        s.apply_record(Store.encode_record([("set", "rec", "k", payload), ("delete", "rec", "k")]))
        Store.from_bytes(snap.to_bytes())
        for bad in (lambda: s.set_many([("ns", "k", payload), ("ns", "k", object())]),
                    lambda: Store.encode_record([("set", "ns", "k", payload), ("set", "ns", "k", object())]),
                    lambda: s.get_many([("a", 1)]), lambda: s.restore(None),
                    lambda: s.set_many_atomic([("ns", "k", 1), ("ns", "k", object())]), lambda: s.scan("ns", where=1)):
            with pytest.raises(TypeError):
                bad()

    for _ in range(200):
        round()
    gc.collect()  # pytest.raises may leave a reference cycle per call
    start = sys.getallocatedblocks()
    for _ in range(2000):
        round()
    gc.collect()
    assert sys.getallocatedblocks() - start < 200
    assert sys.getrefcount(marker) == 2 and sys.getrefcount(payload) == 2 and sys.getrefcount(big) == 3


junk = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(), st.binary(), st.tuples(st.text()),
    st.tuples(st.text(), st.text()), st.tuples(st.text(), st.text(), st.integers()), st.lists(st.integers(), max_size=3),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2), st.just(object()), st.just(Store),
    st.lists(st.tuples(st.text(max_size=3), st.one_of(st.text(max_size=3), st.integers()), st.integers()), max_size=3),
)
METHODS = ["set", "get", "contains", "delete", "set_many", "get_many", "keys", "max_key", "namespaces", "restore",
           "__contains__", "add", "delete_namespace", "copy_namespace", "set_many_atomic", "scan", "add_many",
           "apply_record"]


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


def test_big_values_are_stored_whole_in_every_writing_call(tmp_path):
    big, text = bytes(range(256)) * 400, "\u00e9t\u00e9" * 20_000
    values = [big, 1, [text, big], "s", {"k": big, "t": text}, b"", text]
    s = Store(max_history=None)
    s.set("one", "k", values[4])
    s.set_many([("many", str(i), v) for i, v in enumerate(values)])
    s.set_many_atomic([("atomic", str(i), v) for i, v in enumerate(values)])
    for i, v in enumerate(values):
        assert s.add("added", str(i), v)
    with pytest.raises(TypeError):
        s.set_many([("many", "0", 0), ("many", "1", big), ("many", "2", object())])
    assert s.get("one", "k") == {"k": big, "t": text}
    for ns in ("many", "atomic", "added"):
        assert s.get_many([(ns, str(i)) for i in range(len(values))]) == values
    path = tmp_path / "image"
    s.snapshot().save(path)
    assert Store.load(path).get_many([("many", str(i)) for i in range(len(values))]) == values

"""Snapshots: ids and parents, history bounds, restore, diff by encoded bytes, the
object's read-only surface, and life after the store."""

import gc

import pytest

from tallowmere import Snapshot, Store


def diff_sets(new, base):
    return {kind: set(pairs) for kind, pairs in new.diff(base).items()}


class TestIdsAndHistory:
    @pytest.mark.parametrize("max_history, retained", [(0, []), (1, [3]), (2, [2, 3]), (None, [1, 2, 3])])
    def test_retention(self, max_history, retained):
        s = Store(max_history=max_history)
        taken = [s.snapshot() for _ in range(3)]
        assert [snap.id for snap in taken] == [1, 2, 3]
        assert [snap.parent for snap in taken] == [None, 1, 2]
        assert [snap.id for snap in s.history()] == retained

    def test_clear_history_keeps_handed_out_snapshots_and_the_id_sequence(self):
        s = Store(max_history=None)
        s.set("ns", "k", 1)
        taken = [s.snapshot() for _ in range(3)]
        assert s.clear_history() is None and s.history() == []
        assert taken[0].keys == [("ns", "k")] and taken[2].id == 3
        nxt = s.snapshot()
        assert (nxt.id, nxt.parent) == (4, 3)

    def test_history_returns_new_objects_with_the_same_record(self):
        s = Store(max_history=3)
        s.set("a", "b", "c")
        snap = s.snapshot()
        first, second = s.history()[0], s.history()[0]
        assert first is not second and first != second
        for other in (first, second):
            assert (other.id, other.timestamp, other.keys, other.size_bytes) == (
                snap.id, snap.timestamp, snap.keys, snap.size_bytes)

    def test_member_types_and_repr(self):
        s = Store()
        first = s.snapshot()
        assert repr(first) == "Snapshot(id=1, size_bytes=0, parent=None)"
        s.set("a", "x", 1)
        s.set("b", "y", "hello")
        second = s.snapshot()
        assert repr(second) == "Snapshot(id=2, size_bytes=7, parent=Some(1))"
        assert type(second.id) is int and type(second.parent) is int and type(second.timestamp) is float
        assert first.timestamp <= second.timestamp and second.timestamp > 1.6e9


class TestRestore:
    def test_restore_rolls_back_and_leaves_the_snapshot_alone(self):
        s = Store(max_history=None)
        s.set("a", "x", 1)
        s.set("a", "y", 2)
        snap = s.snapshot()
        s.set("a", "x", 10)
        s.delete("a", "y")
        s.set("c", "z", 3)
        for _ in range(2):  # restoring twice gives the same contents
            s.restore(snapshot=snap)
            assert sorted(s.keys("a")) == ["x", "y"] and s.get("a", "x") == 1 and "c" not in s
            assert len(s) == len(snap.keys) == 2
            assert s.snapshot().size_bytes == snap.size_bytes
            s.set("a", "x", 99)
        assert s.get("a", "x") == 99 and sorted(snap.keys) == [("a", "x"), ("a", "y")]

    def test_restore_does_not_touch_ids(self):
        s = Store(max_history=None)
        first = s.snapshot()
        s.snapshot()
        s.snapshot()
        s.restore(first)
        nxt = s.snapshot()
        assert (nxt.id, nxt.parent) == (4, 3)

    def test_restore_across_stores_and_of_an_empty_snapshot(self):
        source, target = Store(), Store(max_history=2)
        source.set("a", "x", [1])
        target.set("b", "y", 2)
        own = target.snapshot()
        target.restore(source.snapshot())
        assert target.get("a", "x") == [1] and "b" not in target
        assert [snap.id for snap in target.history()] == [own.id]
        target.restore(Store().snapshot())
        assert len(target) == 0 and target.namespaces() == []


class TestDiff:
    def test_added_removed_changed(self):
        s = Store()
        empty = s.snapshot()
        s.set("ns", "k", 1)
        one = s.snapshot()
        assert diff_sets(one, empty) == {"added": {("ns", "k")}, "removed": set(), "changed": set()}
        assert diff_sets(empty, one) == {"added": set(), "removed": {("ns", "k")}, "changed": set()}
        assert diff_sets(one, one) == {"added": set(), "removed": set(), "changed": set()}
        assert set(one.diff(base=one)) == {"added", "removed", "changed"}

    @pytest.mark.parametrize("new_value, changed", [(1, False), (2, True), (1.0, True), (True, True), ([1], True)])
    def test_change_is_by_encoded_bytes(self, new_value, changed):
        s = Store()
        s.set("ns", "k", 1)
        before = s.snapshot()
        s.set("ns", "k", new_value)
        after = s.snapshot()
        assert diff_sets(after, before)["changed"] == ({("ns", "k")} if changed else set())

    def test_delete_of_a_namespaces_last_key_is_removed(self):
        s = Store()
        s.set("ns", "k", 1)
        before = s.snapshot()
        s.delete("ns", "k")
        after = s.snapshot()
        assert ("ns", "k") not in after.keys
        assert diff_sets(after, before)["removed"] == {("ns", "k")}

    def test_snapshots_of_different_stores(self):
        a, b = Store(), Store()
        for s in (a, b):
            s.set_many([("x", "1", {"v": 1}), ("y", "2", "two")])
        assert diff_sets(a.snapshot(), b.snapshot()) == {"added": set(), "removed": set(), "changed": set()}
        b.set("x", "1", {"v": 2})
        b.set("z", "3", None)
        d = diff_sets(b.snapshot(), a.snapshot())
        assert d == {"added": {("z", "3")}, "removed": set(), "changed": {("x", "1")}}

    def test_lists_keep_a_namespaces_pairs_together(self):
        s = Store()
        base = s.snapshot()
        s.set_many([(ns, str(k), k) for ns in ("a", "ab", "k9", "b") for k in range(5)])
        added = s.snapshot().diff(base)["added"]
        assert len(added) == 20
        for ns in ("a", "ab", "k9", "b"):
            at = [i for i, (name, _) in enumerate(added) if name == ns]
            assert at == list(range(at[0], at[0] + 5))

    @pytest.mark.parametrize("bad, message", [
        (None, "argument 'base': 'None' is not an instance of 'Snapshot'"),
        ({}, "argument 'base': 'dict' object is not an instance of 'Snapshot'"),
    ])
    def test_bad_base(self, bad, message):
        snap = Store().snapshot()
        with pytest.raises(TypeError) as info:
            snap.diff(bad)
        assert str(info.value) == message
        with pytest.raises(TypeError, match=r"Snapshot.diff\(\) missing 1 required positional argument: 'base'"):
            snap.diff()
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'other'"):
            snap.diff(other=snap)


class TestObject:
    def test_read_only_and_keys_is_a_property(self):
        s = Store()
        s.set_many([("a", "x", 1), ("a", "y", 2), ("b", "x", 3)])
        snap = s.snapshot()
        for name in ("id", "timestamp", "parent", "size_bytes", "keys"):
            with pytest.raises(AttributeError):
                setattr(snap, name, 1)
            with pytest.raises(AttributeError):
                delattr(snap, name)
        keys = snap.keys
        assert sorted(keys) == [("a", "x"), ("a", "y"), ("b", "x")]
        assert abs(keys.index(("a", "x")) - keys.index(("a", "y"))) == 1
        assert snap.keys is not keys
        with pytest.raises(TypeError):
            snap.keys()
        with pytest.raises(TypeError, match="cannot create 'tallowmere._core.Snapshot' instances"):
            type(snap)()
        assert snap != s.history() and hash(snap) == hash(snap)

    def test_snapshot_outlives_its_store(self):
        s = Store(max_history=None)
        s.set("a", "x", "value")
        snap = s.snapshot()
        later = s.snapshot()
        s.set("a", "y", 1)
        del s
        gc.collect()
        assert snap.keys == [("a", "x")] and snap.size_bytes == 6
        assert diff_sets(later, snap) == {"added": set(), "removed": set(), "changed": set()}
        fresh = Store()
        fresh.restore(snap)
        assert fresh.get("a", "x") == "value"
        assert isinstance(snap, Snapshot)


def test_big_store_and_snapshot_are_freed_while_another_thread_works():
    """Dropping the last holder of a big store or record frees it without the GIL."""
    import threading

    store = Store(max_history=None)
    store.set_many([(f"ns{i % 100}", str(i), i) for i in range(60_000)])
    snap = store.snapshot()
    other = Store()
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            other.set("x", "y", 1)

    worker = threading.Thread(target=busy)
    worker.start()
    try:
        store.set("ns0", "extra", 1)
        del store  # frees what the snapshot does not share
        assert len(snap.keys) == 60_000
        del snap  # the last holder of the record
    finally:
        stop.set()
        worker.join()
    assert other.get("x", "y") == 1

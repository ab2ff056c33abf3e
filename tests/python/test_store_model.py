"""The store against a dict model, step by step, with every live snapshot re-checked
against a frozen copy of the model it was taken from (also after the store is gone)."""

import os
import shutil
import tempfile

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, consumes, initialize, invariant, rule

from tallowmere import Snapshot, Store, dumps

# A small pool: shared prefixes, the empty string, non-ASCII, and several names
# that land in one shard ("a", "ab" and "k9" all go to shard 3).
NAMES = ["", "a", "ab", "abc", "b", "k", "k1", "k9", "k10", "t1", "t2", "users", "default",
         "é", "日本", "\uffff", "😀", "a\x00b"]
names = st.sampled_from(NAMES)
histories = st.sampled_from([0, 1, 2, None])
values = st.one_of(
    st.none(), st.booleans(), st.integers(-2**63, 2**64 - 1), st.floats(allow_nan=False), st.text(max_size=8),
    st.binary(max_size=8), st.lists(st.integers(0, 3), max_size=3),
    st.dictionaries(st.sampled_from(["x", "y"]), st.integers(0, 3), max_size=2))


def expected_diff(base, new):
    return {"added": {p for p in new if p not in base}, "removed": {p for p in base if p not in new},
            "changed": {p for p in new if p in base and dumps(new[p]) != dumps(base[p])}}


def encoded_size(model):
    return sum(len(dumps(v)) for v in model.values())


def check_grouped(pairs):
    """All pairs of one namespace are listed together."""
    namespaces = [ns for i, (ns, _) in enumerate(pairs) if i == 0 or pairs[i - 1][0] != ns]
    assert len(namespaces) == len(set(namespaces)), pairs


def check_loaded(path, snap):
    """The store loaded from `path` holds exactly the pairs and encoded bytes of `snap`, as a new store."""
    loaded = Store.load(path)
    view = loaded.snapshot()
    assert (view.id, view.parent, loaded.history()) == (1, None, [])
    assert sorted(view.keys) == sorted(snap.keys)
    assert view.diff(snap) == {"added": [], "removed": [], "changed": []}  # compares encoded bytes
    assert view.size_bytes == snap.size_bytes


def check_snapshot(snap, frozen, size=None):
    keys = snap.keys
    assert len(keys) == len(set(keys)) == len(frozen)
    assert set(keys) == set(frozen)
    assert snap.size_bytes == (encoded_size(frozen) if size is None else size)
    check_grouped(keys)


class StoreMachine(RuleBasedStateMachine):
    snapshots = Bundle("snapshots")

    @initialize(max_history=histories)
    def create(self, max_history):
        self.live = []  # (snapshot, frozen model, size) held by the test
        self.directory = tempfile.mkdtemp(prefix="tm-model-")
        self.path = os.path.join(self.directory, "state.snap")
        self.replace_store(max_history)

    def teardown(self):
        shutil.rmtree(self.directory, ignore_errors=True)

    @rule(max_history=histories)
    def replace_store(self, max_history):
        # The old store is freed here: live snapshots must not notice.
        self.store = Store(max_history=max_history)
        self.max_history = max_history
        self.model = {}
        self.retained = []  # (id, frozen model) the store's history should hold
        self.last_id = 0
        self.file_base = None  # the snapshot the file at self.path ends with, if it is this store's

    @rule(ns=names, key=names, value=values)
    def set(self, ns, key, value):
        self.store.set(ns, key, value)
        self.model[(ns, key)] = value

    @rule(ns=names, key=names)
    def delete(self, ns, key):
        assert self.store.delete(ns, key) == ((ns, key) in self.model)
        self.model.pop((ns, key), None)

    @rule(items=st.lists(st.tuples(names, names, values), max_size=12))
    def set_many(self, items):
        self.store.set_many(items)
        for ns, key, value in items:
            self.model[(ns, key)] = value

    @rule(items=st.lists(st.tuples(names, names, values), max_size=12))
    def set_many_atomic(self, items):
        self.store.set_many_atomic(items)
        for ns, key, value in items:
            self.model[(ns, key)] = value

    @rule(ns=names, key=names, value=values)
    def add(self, ns, key, value):
        absent = (ns, key) not in self.model
        assert self.store.add(ns, key, value) == absent
        if absent:
            self.model[(ns, key)] = value

    @rule(ns=names)
    def delete_namespace(self, ns):
        doomed = [p for p in self.model if p[0] == ns]
        assert self.store.delete_namespace(ns) == len(doomed)
        for pair in doomed:
            del self.model[pair]

    @rule(source=names, into=names)
    def copy_namespace(self, source, into):
        copied = {(into, k): v for (n, k), v in self.model.items() if n == source}
        assert self.store.copy_namespace(source, into) == len(copied)
        self.model = {p: v for p, v in self.model.items() if p[0] != into}
        self.model.update(copied)

    @rule(ns=names, prefix=st.one_of(st.none(), names), start=st.one_of(st.none(), names),
          stop=st.one_of(st.none(), names), reverse=st.booleans(), limit=st.one_of(st.none(), st.integers(0, 5)),
          where=st.sampled_from([None, "x >= 1", "not y", "y == 2.0"]), with_values=st.booleans())
    def scan(self, ns, prefix, start, stop, reverse, limit, where, with_values):
        def passes(value):
            fields = value if isinstance(value, dict) else {}  # a value that is no map holds no paths
            return {None: True, "x >= 1": fields.get("x", -1) >= 1, "not y": not fields.get("y"),
                    "y == 2.0": fields.get("y") == 2}[where]

        code_point = str.encode  # UTF-8 byte order is code point order
        keys = sorted((k for (n, k) in self.model if n == ns and k.startswith(prefix or "")
                       and (start is None or code_point(k) >= code_point(start))
                       and (stop is None or code_point(k) < code_point(stop)) and passes(self.model[(n, k)])),
                      key=code_point, reverse=reverse)[:limit]
        got = self.store.scan(ns, prefix, start=start, stop=stop, reverse=reverse, limit=limit, where=where,
                              values=with_values)
        assert got == ([(k, self.model[(ns, k)]) for k in keys] if with_values else keys)

    @rule(pairs=st.lists(st.tuples(names, names), max_size=12))
    def get_many(self, pairs):
        assert self.store.get_many(pairs) == [self.model.get(p) for p in pairs]

    @rule(ns=names, key=names)
    def get(self, ns, key):
        marker = object()
        got = self.store.get(ns, key, marker)
        assert got == self.model[(ns, key)] if (ns, key) in self.model else got is marker
        assert self.store.contains(ns, key) == ((ns, key) in self.model)

    @rule(ns=names, prefix=st.one_of(st.none(), names))
    def keys(self, ns, prefix):
        expected = {k for (n, k) in self.model if n == ns and k.startswith(prefix or "")}
        got = self.store.keys(ns, prefix)
        assert len(got) == len(expected) and set(got) == expected
        in_ns = [k for (n, k) in self.model if n == ns]
        assert self.store.max_key(ns) == (max(in_ns, key=lambda k: k.encode()) if in_ns else None)
        assert (ns in self.store) == bool(in_ns)

    @rule(prefix=st.one_of(st.none(), names))
    def namespaces(self, prefix):
        expected = {n for (n, _) in self.model if n.startswith(prefix or "")}
        got = self.store.namespaces(prefix)
        assert len(got) == len(expected) and set(got) == expected

    @rule()
    def clear(self):
        self.store.clear()
        self.model.clear()

    def take_snapshot(self):
        snap = self.store.snapshot()
        self.last_id += 1
        assert snap.id == self.last_id
        assert snap.parent == (self.last_id - 1 or None)
        frozen = dict(self.model)
        if self.max_history != 0:
            self.retained.append((snap.id, frozen))
            if self.max_history is not None:
                self.retained = self.retained[-self.max_history:]
        return snap, frozen

    @rule(target=snapshots)
    def snapshot(self):
        snap, frozen = self.take_snapshot()
        self.live.append((snap, frozen, encoded_size(frozen)))
        del self.live[:-8]  # re-check the newest few at every step; the bundle keeps the rest for diffs
        return (snap, frozen)

    @rule(entry=snapshots)
    def restore(self, entry):
        snap, frozen = entry
        self.store.restore(snap)
        self.model = dict(frozen)

    @rule(a=snapshots, b=snapshots)
    def diff(self, a, b):
        got = b[0].diff(a[0])
        assert set(got) == {"added", "removed", "changed"}
        want = expected_diff(a[1], b[1])
        for kind in want:
            assert len(got[kind]) == len(set(got[kind])) and set(got[kind]) == want[kind]
            check_grouped(got[kind])

    @rule()
    def save_image(self):
        snap, _ = self.take_snapshot()
        snap.save(self.path)
        check_loaded(self.path, snap)
        self.file_base = snap

    @rule()
    def append_delta(self):
        snap, _ = self.take_snapshot()
        if self.file_base is None:
            return
        snap.save(self.path, base=self.file_base)
        check_loaded(self.path, snap)
        self.file_base = snap

    @rule(entry=consumes(snapshots))
    def drop_snapshot(self, entry):
        self.live = [item for item in self.live if item[0] is not entry[0]]

    @rule()
    def history(self):
        got = self.store.history()
        assert all(isinstance(s, Snapshot) for s in got)
        assert [s.id for s in got] == [i for i, _ in self.retained]
        for snap, (_, frozen) in zip(got, self.retained):
            check_snapshot(snap, frozen)

    @rule()
    def clear_history(self):
        self.store.clear_history()
        self.retained = []

    @invariant()
    def store_matches_model(self):
        assert len(self.store) == len(self.model)
        pairs = list(self.model)
        assert self.store.get_many(pairs) == [self.model[p] for p in pairs]

    @invariant()
    def snapshots_never_change(self):
        for snap, frozen, size in self.live:
            check_snapshot(snap, frozen, size)


TestStoreMachine = StoreMachine.TestCase
TestStoreMachine.settings = settings(
    max_examples=200, stateful_step_count=50, deadline=None, derandomize=True, database=None,
    suppress_health_check=[HealthCheck.too_slow],
)

"""LangGraph on a tallowmere `Store`: a checkpoint saver and a long-term memory store.

Install with the `langgraph` extra. Only this module imports LangGraph.

Layout in the store. Every free-text component (thread id, checkpoint namespace,
checkpoint id, channel, task id, store label) is written as `<length>:<text>`,
which is self-delimiting: two different component tuples never give the same
name, and a name prefix made of whole components matches whole components only.
  saver   "lg:c" + thread + ns            key checkpoint id -> [type, bytes, type, bytes, parent]
          "lg:b" + thread + ns            key channel + version -> [type, bytes]
          "lg:w" + thread + ns + id       key task id + index -> [task id, channel, type, bytes, path]
  store   "ls:" + label + label ...       key -> {"v": value, "c": created us, "u": updated us}
Values go through the store's own codec, so reads hand out fresh copies.
"""

from __future__ import annotations

import random
import re
import time
from collections.abc import AsyncIterator, Iterable, Iterator, Sequence
from datetime import datetime, timedelta, timezone
from typing import Any

from langchain_core.runnables import RunnableConfig
from langgraph.checkpoint.base import (
    WRITES_IDX_MAP,
    BaseCheckpointSaver,
    ChannelVersions,
    Checkpoint,
    CheckpointMetadata,
    CheckpointTuple,
    SerializerProtocol,
    get_checkpoint_id,
    get_checkpoint_metadata,
    writes_sort_key,
)
from langgraph.store.base import (
    BaseStore,
    GetOp,
    Item,
    ListNamespacesOp,
    MatchCondition,
    Op,
    PutOp,
    Result,
    SearchItem,
    SearchOp,
)

from tallowmere._core import Store

try:  # the check BaseStore.get runs; private, so a release without it falls back to BaseStore.get
    from langgraph.store.base import _validate_namespace_labels
except ImportError:  # pragma: no cover
    _validate_namespace_labels = None

__all__ = ["TallowmereSaver", "TallowmereStore"]


_PARTS: dict[str, str] = {}
_CACHE_LIMIT = 65_536  # each cache is emptied when it reaches this many entries


def _part(text: str) -> str:
    # Names repeat on every call (thread ids, channels, tasks): encode each once.
    encoded = _PARTS.get(text)
    if encoded is None:
        if len(_PARTS) >= _CACHE_LIMIT:
            _PARTS.clear()
        encoded = _PARTS[text] = f"{len(text)}:{text}"
    return encoded


def _parts(name: str, start: int) -> list[str]:
    """The components of `name` from offset `start` (the inverse of joining _part)."""
    out = []
    while start < len(name):
        colon = name.index(":", start)
        end = colon + 1 + int(name[start:colon])
        out.append(name[colon + 1:end])
        start = end
    return out


_CHECKPOINTS, _BLOBS, _WRITES = "lg:c", "lg:b", "lg:w"
_SCOPES: dict[tuple[str, str], str] = {}


def _scope(thread_id: str, checkpoint_ns: str) -> str:
    """The encoded (thread, namespace) pair that every name of a checkpoint scope contains."""
    key = (thread_id, checkpoint_ns)
    scope = _SCOPES.get(key)
    if scope is None:
        if len(_SCOPES) >= _CACHE_LIMIT:
            _SCOPES.clear()
        scope = _SCOPES[key] = _part(thread_id) + _part(checkpoint_ns)
    return scope


def _config(thread_id: str, checkpoint_ns: str, checkpoint_id: str) -> RunnableConfig:
    return {"configurable": {"thread_id": thread_id, "checkpoint_ns": checkpoint_ns, "checkpoint_id": checkpoint_id}}


class TallowmereSaver(BaseCheckpointSaver[str]):
    """A LangGraph checkpoint saver on a tallowmere `Store` (a new one if none is given).

    Safe to use from any number of threads: every state change is one store call,
    and listings work on what the store returns, never on a live structure.
    `saver.store.snapshot()` / `restore()` roll every thread back at once.
    """

    def __init__(self, store: Store | None = None, *, serde: SerializerProtocol | None = None) -> None:
        super().__init__(serde=serde)
        self.store = store if store is not None else Store()
        # A store shared between processes catches up before a thread is read (one round trip).
        self._sync = getattr(self.store, "sync", None)

    # ---- reading

    def _tuple(self, thread_id: str, checkpoint_ns: str, checkpoint_id: str, saved: list,
               config: RunnableConfig | None = None, metadata: Any = None) -> CheckpointTuple:
        loads = self.serde.loads_typed
        scope = _scope(thread_id, checkpoint_ns)
        checkpoint = loads((saved[0], saved[1]))
        versions = checkpoint["channel_versions"]
        blob_ns = _BLOBS + scope
        channels = list(versions)
        found = self.store.get_many([(blob_ns, _part(ch) + str(versions[ch])) for ch in channels])
        checkpoint["channel_values"] = {
            ch: loads((blob[0], blob[1])) for ch, blob in zip(channels, found) if blob is not None and blob[0] != "empty"
        }
        writes = [w for _, w in self.store.scan(f"{_WRITES}{scope}{len(checkpoint_id)}:{checkpoint_id}", values=True)]
        if len(writes) > 1:
            writes.sort(key=lambda w: writes_sort_key(w[4], w[0], w[5]))
        parent = saved[4]
        return CheckpointTuple(
            config=config if config is not None else _config(thread_id, checkpoint_ns, checkpoint_id),
            checkpoint=checkpoint,
            metadata=metadata if metadata is not None else loads((saved[2], saved[3])),
            parent_config=_config(thread_id, checkpoint_ns, parent) if parent else None,
            pending_writes=[(w[0], w[1], loads((w[2], w[3]))) for w in writes],
        )

    def get_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        if self._sync is not None:
            self._sync()
        configurable = config["configurable"]
        thread_id = configurable["thread_id"]
        checkpoint_ns = configurable.get("checkpoint_ns", "")
        namespace = _CHECKPOINTS + _scope(thread_id, checkpoint_ns)
        checkpoint_id = get_checkpoint_id(config)
        if checkpoint_id:
            saved = self.store.get(namespace, checkpoint_id)
            if saved is None:
                return None
            return self._tuple(thread_id, checkpoint_ns, checkpoint_id, saved, config)
        newest = self.store.scan(namespace, reverse=True, limit=1, values=True)
        if not newest:
            return None
        checkpoint_id, saved = newest[0]
        return self._tuple(thread_id, checkpoint_ns, checkpoint_id, saved)

    def _scopes(self, thread_id: str | None) -> list[tuple[str, str]]:
        """(thread id, checkpoint ns) of every checkpoint namespace, of one thread or all."""
        prefix = _CHECKPOINTS + (_part(thread_id) if thread_id is not None else "")
        return [tuple(_parts(name, len(_CHECKPOINTS))) for name in self.store.namespaces(prefix)]

    def list(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> Iterator[CheckpointTuple]:
        configurable = config["configurable"] if config else {}
        wanted_ns = configurable.get("checkpoint_ns")
        wanted_id = get_checkpoint_id(config) if config else None
        before_id = get_checkpoint_id(before) if before else None
        if limit is not None and limit <= 0:
            return
        if self._sync is not None:
            self._sync()
        for thread_id, checkpoint_ns in self._scopes(configurable.get("thread_id") if config else None):
            if wanted_ns is not None and checkpoint_ns != wanted_ns:
                continue
            namespace = _CHECKPOINTS + _scope(thread_id, checkpoint_ns)
            if wanted_id:
                if before_id and wanted_id >= before_id:
                    continue
                saved = self.store.get(namespace, wanted_id)
                rows = [(wanted_id, saved)] if saved is not None else []
            else:
                rows = self.store.scan(namespace, stop=before_id or None, reverse=True,
                                       limit=None if filter else limit, values=True)
            for checkpoint_id, saved in rows:
                metadata = self.serde.loads_typed((saved[2], saved[3]))
                if filter and not all(metadata.get(k) == v for k, v in filter.items()):
                    continue
                yield self._tuple(thread_id, checkpoint_ns, checkpoint_id, saved, metadata=metadata)
                if limit is not None:
                    limit -= 1
                    if limit <= 0:
                        return

    # ---- writing

    def put(
        self,
        config: RunnableConfig,
        checkpoint: Checkpoint,
        metadata: CheckpointMetadata,
        new_versions: ChannelVersions,
    ) -> RunnableConfig:
        configurable = config["configurable"]
        thread_id = configurable["thread_id"]
        checkpoint_ns = configurable.get("checkpoint_ns", "")
        dumps = self.serde.dumps_typed
        scope = _scope(thread_id, checkpoint_ns)
        stored = checkpoint.copy()
        values = stored.pop("channel_values")  # type: ignore[misc]
        blob_ns = _BLOBS + scope
        items = [
            (blob_ns, _part(ch) + str(version), dumps(values[ch]) if ch in values else ("empty", b""))
            for ch, version in new_versions.items()
        ]
        kind, data = dumps(stored)
        meta_kind, meta_data = dumps(get_checkpoint_metadata(config, metadata))
        items.append((_CHECKPOINTS + scope, checkpoint["id"],
                      (kind, data, meta_kind, meta_data, configurable.get("checkpoint_id"))))
        # The blobs and the checkpoint that names them land together or not at all.
        self.store.set_many_atomic(items)
        return _config(thread_id, checkpoint_ns, checkpoint["id"])

    def put_writes(
        self,
        config: RunnableConfig,
        writes: Sequence[tuple[str, Any]],
        task_id: str,
        task_path: str = "",
    ) -> None:
        configurable = config["configurable"]
        checkpoint_id = configurable["checkpoint_id"]
        namespace = (f"{_WRITES}{_scope(configurable['thread_id'], configurable.get('checkpoint_ns', ''))}"
                     f"{len(checkpoint_id)}:{checkpoint_id}")
        dumps = self.serde.dumps_typed
        add = self.store.add
        add_many = getattr(self.store, "add_many", None)  # a shared store adds them in one round trip
        regular: list | None = [] if add_many is not None else None
        task = _part(task_id)
        overwrite = None
        for idx, (channel, value) in enumerate(writes):
            index = WRITES_IDX_MAP.get(channel, idx)
            kind, data = dumps(value)
            if index >= 0:
                # A task's regular writes are kept from the first attempt that made them.
                item = (namespace, f"{task}{index}", (task_id, channel, kind, data, task_path, index))
                if regular is None:
                    add(*item)
                else:
                    regular.append(item)
            else:
                if overwrite is None:
                    overwrite = []
                overwrite.append((namespace, f"{task}{index}", (task_id, channel, kind, data, task_path, index)))
        if regular:
            add_many(regular)
        if overwrite:
            self.store.set_many(overwrite)

    def _drop(self, thread_id: str, checkpoint_ns: str, checkpoint_ids: Iterable[str]) -> None:
        scope = _scope(thread_id, checkpoint_ns)
        for checkpoint_id in checkpoint_ids:
            self.store.delete(_CHECKPOINTS + scope, checkpoint_id)
            self.store.delete_namespace(_WRITES + scope + _part(checkpoint_id))

    def delete_thread(self, thread_id: str) -> None:
        thread = _part(thread_id)
        for kind in (_CHECKPOINTS, _BLOBS, _WRITES):
            for name in self.store.namespaces(kind + thread):
                self.store.delete_namespace(name)

    def copy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        """Make the target thread a copy of the source: O(1) per namespace, shared until written."""
        if source_thread_id == target_thread_id:
            return
        self.delete_thread(target_thread_id)
        source, target = _part(source_thread_id), _part(target_thread_id)
        for kind in (_CHECKPOINTS, _BLOBS, _WRITES):
            for name in self.store.namespaces(kind + source):
                self.store.copy_namespace(name, kind + target + name[len(kind) + len(source):])

    def delete_for_runs(self, run_ids: Sequence[str]) -> None:
        runs = set(run_ids)
        if not runs:
            return
        for thread_id, checkpoint_ns in self._scopes(None):
            namespace = _CHECKPOINTS + _scope(thread_id, checkpoint_ns)
            doomed = [cid for cid, saved in self.store.scan(namespace, values=True)
                      if self.serde.loads_typed((saved[2], saved[3])).get("run_id") in runs]
            self._drop(thread_id, checkpoint_ns, doomed)

    def prune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        if strategy not in ("keep_latest", "delete"):
            raise ValueError(f"unknown prune strategy: {strategy!r}")
        for thread_id in thread_ids:
            if strategy == "delete":
                self.delete_thread(thread_id)
                continue
            for _, checkpoint_ns in self._scopes(thread_id):
                namespace = _CHECKPOINTS + _scope(thread_id, checkpoint_ns)
                ids = self.store.scan(namespace, reverse=True)
                self._drop(thread_id, checkpoint_ns, ids[1:])
                latest = self.store.get(namespace, ids[0]) if ids else None
                if latest is None:
                    continue
                versions = self.serde.loads_typed((latest[0], latest[1]))["channel_versions"]
                keep = {_part(ch) + str(v) for ch, v in versions.items()}
                blob_ns = _BLOBS + _scope(thread_id, checkpoint_ns)
                for key in self.store.scan(blob_ns):
                    if key not in keep:
                        self.store.delete(blob_ns, key)

    def get_next_version(self, current: str | None, channel: None) -> str:
        # A random suffix keeps versions of two forks of one thread apart.
        if current is None:
            current_v = 0
        elif isinstance(current, int):
            current_v = current
        else:
            current_v = int(current.split(".")[0])
        return f"{current_v + 1:032}.{random.random():016}"

    # ---- async twins: the calls take microseconds, less than a hop to an executor

    async def aget_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        return self.get_tuple(config)

    async def alist(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> AsyncIterator[CheckpointTuple]:
        for item in self.list(config, filter=filter, before=before, limit=limit):
            yield item

    async def aput(self, config: RunnableConfig, checkpoint: Checkpoint, metadata: CheckpointMetadata,
                   new_versions: ChannelVersions) -> RunnableConfig:
        return self.put(config, checkpoint, metadata, new_versions)

    async def aput_writes(self, config: RunnableConfig, writes: Sequence[tuple[str, Any]], task_id: str,
                          task_path: str = "") -> None:
        self.put_writes(config, writes, task_id, task_path)

    async def adelete_thread(self, thread_id: str) -> None:
        self.delete_thread(thread_id)

    async def acopy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        self.copy_thread(source_thread_id, target_thread_id)

    async def adelete_for_runs(self, run_ids: Sequence[str]) -> None:
        self.delete_for_runs(run_ids)

    async def aprune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        self.prune(thread_ids, strategy=strategy)


# ---- long-term memory store

_ITEMS = "ls:"
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_FIELD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_KEYWORDS = {"and", "or", "not", "in", "true", "false", "null"}
_OPERATORS = {"$eq": "==", "$ne": "!=", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}
_EXACT_FLOAT = 2**53


_LABELS: dict[tuple[str, ...], str] = {}
_NAMESPACES: dict[str, tuple[str, ...]] = {}
_TIMES: dict[int, datetime] = {}


def _labels(namespace: tuple[str, ...]) -> str:
    if type(namespace) is not tuple:
        namespace = tuple(namespace)
    name = _LABELS.get(namespace)
    if name is None:
        if len(_LABELS) >= _CACHE_LIMIT:
            _LABELS.clear()
        name = _LABELS[namespace] = _ITEMS + "".join(_part(label) for label in namespace)
    return name


def _namespace(name: str) -> tuple[str, ...]:
    namespace = _NAMESPACES.get(name)
    if namespace is None:
        if len(_NAMESPACES) >= _CACHE_LIMIT:
            _NAMESPACES.clear()
        namespace = _NAMESPACES[name] = tuple(_parts(name, len(_ITEMS)))
    return namespace


def _literal(value: Any, ordered: bool) -> str | None:
    """`value` as a condition literal, or None when the condition language would not
    compare it exactly as Python does (then the filter runs in Python)."""
    if isinstance(value, bool) or value is None:
        return None
    if isinstance(value, int):
        return str(value) if abs(value) <= _EXACT_FLOAT else None
    if isinstance(value, float):
        return repr(value) if value == value and abs(value) != float("inf") else None
    if isinstance(value, str) and not ordered and value.isprintable() and '"' not in value and "\\" not in value:
        return f'"{value}"'
    return None


def _condition(filter: dict[str, Any]) -> str | None:
    """A filter as a condition on the stored record, or None if some part of it needs Python."""
    terms = []
    for field, wanted in filter.items():
        if not isinstance(field, str) or not _FIELD.match(field) or field in _KEYWORDS:
            return None
        path = "v." + field
        if isinstance(wanted, dict):
            if not wanted or not all(k in _OPERATORS for k in wanted):
                return None
            for op, operand in wanted.items():
                literal = _literal(operand, op not in ("$eq", "$ne"))
                if literal is None:
                    return None
                terms.append(f"{path} {_OPERATORS[op]} {literal}")
        else:
            literal = _literal(wanted, False)
            if literal is None:
                return None
            terms.append(f"{path} == {literal}")
    return " and ".join(terms) if terms else None


def _when(micros: int) -> datetime:
    # datetime objects are immutable: items written together share theirs.
    when = _TIMES.get(micros)
    if when is None:
        if len(_TIMES) >= _CACHE_LIMIT:
            _TIMES.clear()
        when = _TIMES[micros] = _EPOCH + timedelta(microseconds=micros)
    return when


def _item(cls: type, record: dict, key: str, namespace: tuple[str, ...]) -> Any:
    """An Item (or SearchItem) from a stored record. Its fields are set directly:
    they are already the types __init__ would convert them to, at a third of its cost."""
    item = cls.__new__(cls)
    item.value = record["v"]
    item.key = key
    item.namespace = namespace
    created, updated = record["c"], record["u"]
    item.created_at = when = _when(created)
    item.updated_at = when if updated == created else _when(updated)
    if cls is SearchItem:
        item.score = None
    return item


class TallowmereStore(BaseStore):
    """A LangGraph `BaseStore` on a tallowmere `Store` (a new one if none is given).

    Items come back as fresh copies. Search filters with `$eq`, `$ne`, `$gt`, `$gte`,
    `$lt`, `$lte` on top-level fields run in the native core; other filters run in
    Python. Results are ordered by namespace, then key. A namespace is listed only
    while it holds an item.
    """

    def __init__(self, store: Store | None = None) -> None:
        self.store = store if store is not None else Store()

    def batch(self, ops: Iterable[Op]) -> list[Result]:
        results: list[Result] = []
        puts: dict[tuple[tuple[str, ...], str], PutOp] = {}
        for op in ops:
            if isinstance(op, GetOp):
                results.append(self._get(op.namespace, op.key))
            elif isinstance(op, SearchOp):
                results.append(self._search(op))
            elif isinstance(op, ListNamespacesOp):
                results.append(self._list_namespaces(op))
            elif isinstance(op, PutOp):
                puts[(op.namespace, op.key)] = op
                results.append(None)
            else:
                raise ValueError(f"Unknown operation type: {type(op)}")
        if puts:
            self._apply(puts.values())
        return results

    async def abatch(self, ops: Iterable[Op]) -> list[Result]:
        return self.batch(ops)

    def get(self, namespace: tuple[str, ...], key: str, *, refresh_ttl: bool | None = None) -> Item | None:
        # BaseStore.get without building a one-operation batch (items carry no TTL here).
        if _validate_namespace_labels is None:
            return super().get(namespace, key, refresh_ttl=refresh_ttl)
        _validate_namespace_labels(namespace)
        return self._get(tuple(namespace), str(key))

    async def aget(self, namespace: tuple[str, ...], key: str, *, refresh_ttl: bool | None = None) -> Item | None:
        return self.get(namespace, key, refresh_ttl=refresh_ttl)

    def _get(self, namespace: tuple[str, ...], key: str) -> Item | None:
        record = self.store.get(_labels(namespace), key)
        if record is None:
            return None
        return _item(Item, record, key, tuple(namespace))

    def _apply(self, puts: Iterable[PutOp]) -> None:
        micros = time.time_ns() // 1000
        writes = []
        for op in puts:
            if op.value is None:
                self.store.delete(_labels(op.namespace), op.key)
            else:
                writes.append((_labels(op.namespace), op.key, {"v": dict(op.value), "c": micros, "u": micros}))
        if writes:
            self.store.set_many_atomic(writes)

    def _search(self, op: SearchOp) -> list[SearchItem]:
        where = _condition(op.filter) if op.filter else None
        in_python = bool(op.filter) and where is None
        prefix = _labels(op.namespace_prefix)
        found: list[SearchItem] = []
        wanted = None if op.offset < 0 or op.limit < 0 else op.offset + op.limit
        for name in sorted(self.store.namespaces(prefix)):
            namespace = _namespace(name)
            for key, record in self.store.scan(name, where=where, values=True):
                if in_python and not all(_compare_values(record["v"].get(k), v) for k, v in op.filter.items()):
                    continue
                found.append(_item(SearchItem, record, key, namespace))
                if len(found) == wanted:
                    return found[op.offset:]
        return found[op.offset:op.offset + op.limit]

    def _list_namespaces(self, op: ListNamespacesOp) -> list[tuple[str, ...]]:
        namespaces = [_namespace(name) for name in self.store.namespaces(_ITEMS)]
        for condition in op.match_conditions or ():
            namespaces = [ns for ns in namespaces if _matches(condition, ns)]
        if op.max_depth is not None:
            namespaces = sorted({ns[: op.max_depth] for ns in namespaces})
        else:
            namespaces.sort()
        return namespaces[op.offset: op.offset + op.limit]


def _matches(condition: MatchCondition, namespace: tuple[str, ...]) -> bool:
    path = condition.path
    if len(namespace) < len(path):
        return False
    if condition.match_type == "prefix":
        pairs = zip(namespace, path)
    elif condition.match_type == "suffix":
        pairs = zip(reversed(namespace), reversed(path))
    else:
        raise ValueError(f"Unsupported match type: {condition.match_type}")
    return all(p == "*" or k == p for k, p in pairs)


def _compare_values(item_value: Any, filter_value: Any) -> bool:
    """The filter semantics LangGraph documents, for filters the core cannot run."""
    if isinstance(filter_value, dict):
        if any(k.startswith("$") for k in filter_value):
            return all(_apply_operator(item_value, op, operand) for op, operand in filter_value.items())
        if not isinstance(item_value, dict):
            return False
        return all(_compare_values(item_value.get(k), v) for k, v in filter_value.items())
    if isinstance(filter_value, (list, tuple)):
        return (isinstance(item_value, (list, tuple)) and len(item_value) == len(filter_value)
                and all(_compare_values(i, f) for i, f in zip(item_value, filter_value)))
    return item_value == filter_value


def _apply_operator(value: Any, operator: str, operand: Any) -> bool:
    if operator == "$eq":
        return value == operand
    if operator == "$ne":
        return value != operand
    if operator not in _OPERATORS:
        raise ValueError(f"Unsupported operator: {operator}")
    try:
        left, right = float(value), float(operand)
    except (TypeError, ValueError):
        return False  # not a number: no match, as in the native filter
    return {"$gt": left > right, "$gte": left >= right, "$lt": left < right, "$lte": left <= right}[operator]

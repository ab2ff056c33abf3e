"""LangGraph on a tallowmere `Store`: a checkpoint saver and a long-term memory store.

Install with the `langgraph` extra. Only this module imports LangGraph.

Layout in the store. Every free-text component (thread id, checkpoint namespace,
checkpoint id, channel, task id, store label) is written as `<length>:<text>`,
which is self-delimiting: two different component tuples never give the same
name, and a name prefix made of whole components matches whole components only.
Each kind of name is built by one function below.
  saver   "lg:c" + thread + ns            key checkpoint id -> [type, bytes, type, bytes, parent]
          "lg:b" + thread + ns            key channel + version -> [type, bytes]
          "lg:w" + thread + ns + id       key task id + index -> [task id, channel, type, bytes, path, index]
  store   "ls:" + label + label ...       key -> {"v": value, "c": created us, "u": updated us}
Values go through the store's own codec, so reads hand out fresh copies.

Async twins run inline while the work is small, and in the loop's default executor
(the store releases the interpreter lock while it copies) once a thread's state
passes _INLINE_BYTES, so that no coroutine holds the event loop for work that grows
with the payload.
"""

from __future__ import annotations

import asyncio
import functools
import random
import re
import time
from collections.abc import AsyncIterator, Iterable, Iterator, Sequence
from datetime import datetime, timedelta, timezone
from decimal import Decimal
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


# ---- names

_CHECKPOINTS, _BLOBS, _WRITES, _ITEMS = "lg:c", "lg:b", "lg:w", "ls:"
_CACHE_LIMIT = 65_536  # each cache is emptied when it reaches this many entries


def _remember(cache: dict, key: Any, value: Any) -> Any:
    # Scopes and store namespaces recur on every call: each name is built once.
    if len(cache) >= _CACHE_LIMIT:
        cache.clear()
    cache[key] = value
    return value


def _part(text: str) -> str:
    return f"{len(text)}:{text}"


def _parts(name: str, start: int) -> tuple[str, ...]:
    """The components of `name` from offset `start` (the inverse of joining _part)."""
    out = []
    while start < len(name):
        colon = name.index(":", start)
        end = colon + 1 + int(name[start:colon])
        out.append(name[colon + 1:end])
        start = end
    return tuple(out)


_SCOPES: dict[tuple[str, str], tuple[str, str, str]] = {}
_ITEM_NAMES: dict[tuple[str, ...], str] = {}
_NAMESPACES: dict[str, tuple[str, ...]] = {}


def _scope(thread_id: str, checkpoint_ns: str) -> tuple[str, str, str]:
    """The names of one (thread, checkpoint ns) scope: the namespace of its checkpoints, that of
    its channel values (blobs), and the prefix of its writes' namespaces (see _writes_name)."""
    key = (thread_id, checkpoint_ns)
    names = _SCOPES.get(key)
    if names is None:
        scope = _part(thread_id) + _part(checkpoint_ns)
        names = _remember(_SCOPES, key, (_CHECKPOINTS + scope, _BLOBS + scope, _WRITES + scope))
    return names


def _writes_name(scope: tuple[str, str, str], checkpoint_id: str) -> str:
    """The namespace of one checkpoint's pending writes."""
    return scope[2] + _part(checkpoint_id)


def _blob_keys(versions: ChannelVersions) -> list[str]:
    """The keys, in a scope's blobs namespace, of these channels at these versions (_part(channel) + version)."""
    return [f"{len(channel)}:{channel}{version}" for channel, version in versions.items()]


def _thread_prefix(kind: str, thread_id: str | None) -> str:
    """The prefix of every saver name of one kind, of one thread or of all."""
    return kind if thread_id is None else kind + _part(thread_id)


def _items_name(namespace: tuple[str, ...]) -> str:
    name = _ITEM_NAMES.get(namespace)
    if name is None:
        # Labels may hold any text (names are length-prefixed, never split), but must be text.
        if not all(isinstance(label, str) for label in namespace):
            raise TypeError(f"namespace labels must be str, not {namespace!r}")
        name = _remember(_ITEM_NAMES, namespace, _ITEMS + "".join(map(_part, namespace)))
    return name


def _namespace_of(name: str) -> tuple[str, ...]:
    return _NAMESPACES.get(name) or _remember(_NAMESPACES, name, _parts(name, len(_ITEMS)))


_INDEX = {i: str(i) for i in range(-8, 64)}  # write indexes as key text, without formatting


def _config(thread_id: str, checkpoint_ns: str, checkpoint_id: str) -> RunnableConfig:
    return {"configurable": {"thread_id": thread_id, "checkpoint_ns": checkpoint_ns, "checkpoint_id": checkpoint_id}}


def _is_durable(store: Store) -> bool:
    """Whether `store` keeps its changes in a file (it then names it in `path`)."""
    return getattr(store, "path", None) is not None


def _write_as_bytes(write: Any, items: list) -> None:
    """write(items) with one of the store's batch writers, once it has refused them: the serializer
    may hand out a bytearray (or another buffer), which the codec refuses, so those become bytes."""
    if items:
        write([(ns, key, tuple(bytes(x) if isinstance(x, (bytearray, memoryview)) else x for x in value))
               for ns, key, value in items])


_EMPTY = ("empty", b"")
_INLINE_BYTES = 256 * 1024  # state of one thread above which async twins leave the loop


class TallowmereSaver(BaseCheckpointSaver[str]):
    """A LangGraph checkpoint saver on a tallowmere `Store` (a new one if none is given).

    Safe to use from any number of threads: every state change is one store call,
    and listings work on what the store returns, never on a live structure.
    `saver.store.snapshot()` / `restore()` roll every thread back at once.
    """

    def __init__(self, store: Store | None = None, *, serde: SerializerProtocol | None = None) -> None:
        super().__init__(serde=serde)
        self.store = store if store is not None else Store()
        # Bytes last seen in each thread's state, to run the async twins of big ones off the loop.
        self._sizes: dict[tuple[str, str], int] = {}
        # A store kept in a file may wait for its disk on every write: async writes then leave the loop.
        self._writes_wait = _is_durable(self.store)
        # A store shared between processes catches up before a thread is read (one round trip).
        self._sync = getattr(self.store, "sync", None)

    # ---- reading

    def _fetch(self, thread_id: str, checkpoint_ns: str, checkpoint_id: str, saved: list) -> tuple:
        """The checkpoint, its channel values and its pending writes, the last two still serialized."""
        checkpoint = self.serde.loads_typed((saved[0], saved[1]))
        scope = _scope(thread_id, checkpoint_ns)
        blob_ns = scope[1]
        blobs = self.store.get_many([(blob_ns, key) for key in _blob_keys(checkpoint["channel_versions"])])
        return checkpoint, blobs, self.store.scan(_writes_name(scope, checkpoint_id), values=True)

    def _build(self, thread_id: str, checkpoint_ns: str, checkpoint_id: str, saved: list, fetched: tuple,
               config: RunnableConfig | None = None, metadata: Any = None) -> CheckpointTuple:
        loads = self.serde.loads_typed
        checkpoint, blobs, writes = fetched
        values = checkpoint["channel_values"] = {}
        for channel, blob in zip(checkpoint["channel_versions"], blobs):
            if blob is not None and blob[0] != "empty":
                values[channel] = loads((blob[0], blob[1]))
        if len(writes) > 1:
            writes.sort(key=lambda w: writes_sort_key(w[1][4], w[1][0], w[1][5]))
        parent = saved[4]
        return CheckpointTuple(
            config=config or {"configurable": {"thread_id": thread_id, "checkpoint_ns": checkpoint_ns,
                                               "checkpoint_id": checkpoint_id}},
            checkpoint=checkpoint,
            metadata=metadata if metadata is not None else loads((saved[2], saved[3])),
            parent_config=_config(thread_id, checkpoint_ns, parent) if parent else None,
            pending_writes=[(w[0], w[1], loads((w[2], w[3]))) for _, w in writes],
        )

    def _saved(self, config: RunnableConfig) -> tuple | None:
        """(thread id, ns, checkpoint id, stored record) of the checkpoint `config` names, or None."""
        if self._sync is not None:
            self._sync()
        configurable = config["configurable"]
        thread_id = configurable["thread_id"]
        checkpoint_ns = configurable.get("checkpoint_ns", "")
        namespace = _scope(thread_id, checkpoint_ns)[0]
        checkpoint_id = configurable.get("checkpoint_id")
        if checkpoint_id:
            saved = self.store.get(namespace, checkpoint_id)
            return None if saved is None else (thread_id, checkpoint_ns, checkpoint_id, saved)
        newest = self.store.scan(namespace, reverse=True, limit=1, values=True)
        return (thread_id, checkpoint_ns, *newest[0]) if newest else None

    def get_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        found = self._saved(config)
        if found is None:
            return None
        return self._build(*found, self._fetch(*found), config if config["configurable"].get("checkpoint_id") else None)

    def _scopes(self, thread_id: str | None) -> list[tuple[str, ...]]:
        """(thread id, checkpoint ns) of every checkpoint namespace, of one thread or all."""
        return [_parts(name, len(_CHECKPOINTS))
                for name in self.store.namespaces(_thread_prefix(_CHECKPOINTS, thread_id))]

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
            namespace = _scope(thread_id, checkpoint_ns)[0]
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
                fetched = self._fetch(thread_id, checkpoint_ns, checkpoint_id, saved)
                yield self._build(thread_id, checkpoint_ns, checkpoint_id, saved, fetched, metadata=metadata)
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
        saved, items = self._checkpoint_items(config, checkpoint, metadata, new_versions)
        try:  # the blobs and the checkpoint naming them land together, or nothing does
            self.store.set_many_atomic(items)
        except TypeError:
            _write_as_bytes(self.store.set_many_atomic, items)
        return saved

    def _checkpoint_items(self, config: RunnableConfig, checkpoint: Checkpoint, metadata: CheckpointMetadata,
                          new_versions: ChannelVersions) -> tuple[RunnableConfig, list]:
        configurable = config["configurable"]
        thread_id = configurable["thread_id"]
        checkpoint_ns = configurable.get("checkpoint_ns", "")
        checkpoints_ns, blobs_ns, _ = _scope(thread_id, checkpoint_ns)
        dumps = self.serde.dumps_typed
        stored = checkpoint.copy()
        values = stored.pop("channel_values")  # type: ignore[misc]
        items = []
        for key, channel in zip(_blob_keys(new_versions), new_versions):
            items.append((blobs_ns, key, dumps(values[channel]) if channel in values else _EMPTY))
        kind, data = dumps(stored)
        meta_kind, meta_data = dumps(get_checkpoint_metadata(config, metadata))
        checkpoint_id = checkpoint["id"]
        parent = configurable.get("checkpoint_id")
        items.append((checkpoints_ns, checkpoint_id, (kind, data, meta_kind, meta_data, parent)))
        return {"configurable": {"thread_id": thread_id, "checkpoint_ns": checkpoint_ns,
                                 "checkpoint_id": checkpoint_id}}, items

    def put_writes(
        self,
        config: RunnableConfig,
        writes: Sequence[tuple[str, Any]],
        task_id: str,
        task_path: str = "",
    ) -> None:
        configurable = config["configurable"]
        namespace = _writes_name(_scope(configurable["thread_id"], configurable.get("checkpoint_ns", "")),
                                 configurable["checkpoint_id"])
        dumps = self.serde.dumps_typed
        task = _part(task_id)
        first, last = [], []
        for idx, (channel, value) in enumerate(writes):
            index = WRITES_IDX_MAP.get(channel, idx)
            kind, data = dumps(value)
            # A task's regular writes are kept from the first attempt that made them; the special
            # ones (errors, interrupts, resumes: negative indexes) from the last.
            (first if index >= 0 else last).append(
                (namespace, task + (_INDEX.get(index) or str(index)), (task_id, channel, kind, data, task_path, index)))
        try:
            if first:
                self.store.add_many(first)
            if last:
                self.store.set_many(last)
        except TypeError:
            _write_as_bytes(self.store.add_many, first)
            _write_as_bytes(self.store.set_many, last)

    def _drop(self, thread_id: str, checkpoint_ns: str, checkpoint_ids: Iterable[str]) -> None:
        scope = _scope(thread_id, checkpoint_ns)
        for checkpoint_id in checkpoint_ids:
            self.store.delete(scope[0], checkpoint_id)
            self.store.delete_namespace(_writes_name(scope, checkpoint_id))

    def delete_thread(self, thread_id: str) -> None:
        for kind in (_CHECKPOINTS, _BLOBS, _WRITES):
            for name in self.store.namespaces(_thread_prefix(kind, thread_id)):
                self.store.delete_namespace(name)

    def copy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        """Make the target thread a copy of the source: O(1) per namespace, shared until written."""
        if source_thread_id == target_thread_id:
            return
        self.delete_thread(target_thread_id)
        for kind in (_CHECKPOINTS, _BLOBS, _WRITES):
            source, target = _thread_prefix(kind, source_thread_id), _thread_prefix(kind, target_thread_id)
            for name in self.store.namespaces(source):
                self.store.copy_namespace(name, target + name[len(source):])

    def delete_for_runs(self, run_ids: Sequence[str]) -> None:
        runs = set(run_ids)
        if not runs:
            return
        for thread_id, checkpoint_ns in self._scopes(None):
            doomed = [cid for cid, saved in self.store.scan(_scope(thread_id, checkpoint_ns)[0], values=True)
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
                namespace, blob_ns, _ = _scope(thread_id, checkpoint_ns)
                ids = self.store.scan(namespace, reverse=True)
                self._drop(thread_id, checkpoint_ns, ids[1:])
                latest = self.store.get(namespace, ids[0]) if ids else None
                if latest is None:
                    continue
                versions = self.serde.loads_typed((latest[0], latest[1]))["channel_versions"]
                keep = set(_blob_keys(versions))
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

    # ---- async twins

    def _is_big(self, config: RunnableConfig | None) -> bool:
        """Whether the thread `config` names last held a state too big to handle on the
        event loop (unknown threads count as big until their first read or write)."""
        if not config:
            return True
        configurable = config["configurable"]
        size = self._sizes.get((configurable.get("thread_id"), configurable.get("checkpoint_ns", "")))
        return size is None or size > _INLINE_BYTES

    def _note_size(self, thread_id: str, checkpoint_ns: str, size: int) -> None:
        if len(self._sizes) >= _CACHE_LIMIT:
            self._sizes.clear()
        self._sizes[(thread_id, checkpoint_ns)] = size

    async def _off_loop(self, fn, *args, **kwargs):
        return await asyncio.get_running_loop().run_in_executor(None, functools.partial(fn, *args, **kwargs))

    async def aget_tuple(self, config: RunnableConfig) -> CheckpointTuple | None:
        # Fetching copies bytes with the interpreter lock released; decoding is what
        # grows with the state, so it leaves the loop once the state is big.
        found = self._saved(config)
        if found is None:
            return None
        fetched = self._fetch(*found)
        size = sum(len(b[1]) for b in fetched[1] if b is not None) + sum(len(w[3]) for _, w in fetched[2])
        self._note_size(found[0], found[1], size)
        own_config = config if config["configurable"].get("checkpoint_id") else None
        if size > _INLINE_BYTES:
            return await self._off_loop(self._build, *found, fetched, own_config)
        return self._build(*found, fetched, own_config)

    async def alist(
        self,
        config: RunnableConfig | None,
        *,
        filter: dict[str, Any] | None = None,
        before: RunnableConfig | None = None,
        limit: int | None = None,
    ) -> AsyncIterator[CheckpointTuple]:
        found = self.list(config, filter=filter, before=before, limit=limit)
        if not self._is_big(config):
            for item in found:
                yield item
            return
        done = object()
        while (item := await self._off_loop(next, found, done)) is not done:
            yield item

    def _put_noting_size(self, config: RunnableConfig, checkpoint: Checkpoint, metadata: CheckpointMetadata,
                         new_versions: ChannelVersions) -> RunnableConfig:
        saved, items = self._checkpoint_items(config, checkpoint, metadata, new_versions)
        try:
            self.store.set_many_atomic(items)
        except TypeError:
            _write_as_bytes(self.store.set_many_atomic, items)
        configurable = saved["configurable"]
        self._note_size(configurable["thread_id"], configurable["checkpoint_ns"], sum(len(i[2][1]) for i in items))
        return saved

    async def aput(self, config: RunnableConfig, checkpoint: Checkpoint, metadata: CheckpointMetadata,
                   new_versions: ChannelVersions) -> RunnableConfig:
        if self._writes_wait or self._is_big(config):
            return await self._off_loop(self._put_noting_size, config, checkpoint, metadata, new_versions)
        return self._put_noting_size(config, checkpoint, metadata, new_versions)

    async def aput_writes(self, config: RunnableConfig, writes: Sequence[tuple[str, Any]], task_id: str,
                          task_path: str = "") -> None:
        if self._writes_wait or self._is_big(config):
            await self._off_loop(self.put_writes, config, writes, task_id, task_path)
        else:
            self.put_writes(config, writes, task_id, task_path)

    async def adelete_thread(self, thread_id: str) -> None:
        await self._off_loop(self.delete_thread, thread_id)

    async def acopy_thread(self, source_thread_id: str, target_thread_id: str) -> None:
        await self._off_loop(self.copy_thread, source_thread_id, target_thread_id)

    async def adelete_for_runs(self, run_ids: Sequence[str]) -> None:
        await self._off_loop(self.delete_for_runs, run_ids)

    async def aprune(self, thread_ids: Sequence[str], *, strategy: str = "keep_latest") -> None:
        await self._off_loop(self.prune, thread_ids, strategy=strategy)


# ---- long-term memory store: filters

_OPERATORS = {"$eq": "==", "$ne": "!=", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}
_SEGMENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_KEYWORDS = frozenset({"and", "or", "not", "in", "true", "True", "false", "False", "null", "none", "None"})
_EXACT = 2**53  # numbers below this in magnitude compare exactly as the condition's floats


def _kind(value: Any) -> Any:
    """What a filter may compare `value` with: bool is not a number, a str is only a str."""
    if isinstance(value, bool):
        return bool
    if isinstance(value, (int, float)):
        return float
    if isinstance(value, (list, tuple)):
        return list
    if isinstance(value, (bytes, bytearray)):
        return bytes
    for kind in (str, dict):
        if isinstance(value, kind):
            return kind
    return type(value)


def _equal(a: Any, b: Any) -> bool:
    kind = _kind(a)
    if kind is not _kind(b):
        return False
    if kind is list:
        return len(a) == len(b) and all(map(_equal, a, b))
    if kind is dict:
        return a.keys() == b.keys() and all(_equal(v, b[k]) for k, v in a.items())
    return a == b  # numbers of any size compare exactly; NaN equals nothing


def _apply_operator(value: Any, operator: str, operand: Any) -> bool:
    if operator == "$eq":
        return _equal(value, operand)
    if operator == "$ne":
        return not _equal(value, operand)
    kind = _kind(value)
    if kind is not _kind(operand) or kind not in (float, str):
        return False  # only numbers with numbers, and strings with strings, are ordered
    if operator == "$gt":
        return value > operand
    if operator == "$gte":
        return value >= operand
    if operator == "$lt":
        return value < operand
    return value <= operand


def _holds(value: Any, wanted: Any) -> bool:
    """Whether a present `value` satisfies one filter entry (operators, a nested filter, or equality)."""
    if isinstance(wanted, dict):
        if _is_operators(wanted):
            return all(_apply_operator(value, op, operand) for op, operand in wanted.items())
        return isinstance(value, dict) and all(k in value and _holds(value[k], w) for k, w in wanted.items())
    if isinstance(wanted, (list, tuple)):
        return isinstance(value, (list, tuple)) and len(value) == len(wanted) and all(map(_holds, value, wanted))
    return _equal(value, wanted)


def _matches(value: dict, filter: dict) -> bool:
    """The filter rules, in Python: a missing field never matches."""
    return all(field in value and _holds(value[field], wanted) for field, wanted in filter.items())


def _is_operators(wanted: dict) -> bool:
    if not any(isinstance(k, str) and k.startswith("$") for k in wanted):
        return False
    for op in wanted:
        if op not in _OPERATORS:
            raise ValueError(f"Unsupported operator: {op}")
    return True


def _literal(value: Any) -> str | None:
    """`value` as a condition literal that compares exactly as the rules say, or None."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(int(value)) if -_EXACT < value < _EXACT else None
    if isinstance(value, float):
        if not -_EXACT < value < _EXACT:  # NaN and infinities too
            return None
        # The language has no exponents; below 2**53 repr() writes a "." or an "e-", so the
        # positional form of its digits is a float literal, read back as this very float.
        return format(Decimal(repr(float(value))), "f")
    if isinstance(value, str):
        try:
            value.encode()
        except UnicodeEncodeError:  # a lone surrogate cannot be stored either
            return None
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return None


def _terms(filter: dict, path: tuple = ()) -> Iterator[str | None]:
    """One condition per filter entry on a stored record, None for an entry the condition
    language cannot say exactly (Python then checks the whole filter)."""
    for field, wanted in filter.items():
        at = (*path, field)
        if isinstance(wanted, dict) and not _is_operators(wanted):
            yield from _terms(wanted, at) if wanted else (None,)
            continue
        pairs = wanted.items() if isinstance(wanted, dict) else (("$eq", wanted),)
        if not all(isinstance(s, str) and _SEGMENT.match(s) and s not in _KEYWORDS for s in at):
            yield None
            continue
        ref = "v." + ".".join(at)
        for op, operand in pairs:
            literal = _literal(operand)
            if literal is None:
                yield None
            elif op == "$ne" or literal == "null":
                # `!=` and `== null` hold for a missing field too: ask for the key first. Only
                # a top-level record is known to be a map (`in` on a string finds substrings).
                yield f'("{field}" in v and {ref} {_OPERATORS[op]} {literal})' if not path else None
            else:
                yield f"{ref} {_OPERATORS[op]} {literal}"


def _condition(filter: dict) -> tuple[str | None, bool]:
    """(condition, exact): the native condition narrowing a search, and whether it says
    the whole filter (if not, Python checks the filter on what the condition lets through)."""
    terms = list(_terms(filter))
    said = [t for t in terms if t is not None]
    return (" and ".join(said) or None), len(said) == len(terms)


# ---- long-term memory store

_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_TIMES: dict[int, datetime] = {}


def _when(micros: int) -> datetime:
    # datetime objects are immutable: items written together share theirs.
    return _TIMES.get(micros) or _remember(_TIMES, micros, _EPOCH + timedelta(microseconds=micros))


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

    Items come back as fresh copies. Search filters run in the native core where the
    condition language says them exactly, and in Python otherwise, with one set of
    rules. Results are ordered by namespace, then key. A namespace is listed only
    while it holds an item.
    """

    def __init__(self, store: Store | None = None) -> None:
        self.store = store if store is not None else Store()

    def batch(self, ops: Iterable[Op]) -> list[Result]:
        ops = list(ops)
        puts: dict[tuple[tuple[str, ...], str], PutOp] = {}
        reads = []
        for i, op in enumerate(ops):
            if isinstance(op, PutOp):
                puts[(op.namespace, op.key)] = op
            elif isinstance(op, SearchOp):
                reads.append((i, op, _condition(op.filter) if op.filter else (None, True)))
            elif isinstance(op, (GetOp, ListNamespacesOp)):
                reads.append((i, op, None))
            else:
                raise ValueError(f"Unknown operation type: {type(op)}")
        # Every put is checked and encoded before anything changes: a batch applies whole or not at all.
        writes, deletes = self._prepare(puts.values()) if puts else ((), ())
        results: list[Result] = [None] * len(ops)
        for i, op, plan in reads:  # reads see the store as it was before this batch's puts
            if plan is not None:
                results[i] = self._search(op, *plan)
            elif isinstance(op, GetOp):
                results[i] = self._get(op.namespace, op.key)
            else:
                results[i] = self._list_namespaces(op)
        if writes:
            self.store.set_many_atomic(writes)
        for name, key in deletes:
            self.store.delete(name, key)
        return results

    async def abatch(self, ops: Iterable[Op]) -> list[Result]:
        ops = list(ops)
        # Searches and listings grow with the store; writes to a store kept in a file may wait for its disk.
        off_loop = (SearchOp, ListNamespacesOp, PutOp) if _is_durable(self.store) else (SearchOp, ListNamespacesOp)
        if any(isinstance(op, off_loop) for op in ops):
            return await asyncio.get_running_loop().run_in_executor(None, self.batch, ops)
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
        record = self.store.get(_items_name(tuple(namespace)), key)
        if record is None:
            return None
        return _item(Item, record, key, tuple(namespace))

    @staticmethod
    def _prepare(puts: Iterable[PutOp]) -> tuple[list, list]:
        micros = time.time_ns() // 1000
        writes, deletes = [], []
        for op in puts:
            name = _items_name(tuple(op.namespace))
            if op.value is not None:  # the store checks the names of writes before it writes
                writes.append((name, op.key, {"v": dict(op.value), "c": micros, "u": micros}))
            else:
                if not isinstance(op.key, str):
                    raise TypeError(f"key must be str, not {type(op.key).__name__}")
                name.encode(), op.key.encode()  # what the delete will need, checked before anything changes
                deletes.append((name, op.key))
        return writes, deletes

    def _search(self, op: SearchOp, where: str | None, exact: bool) -> list[SearchItem]:
        check = None if exact else op.filter
        names = sorted(self.store.namespaces(_items_name(tuple(op.namespace_prefix))), key=_namespace_of)
        found: list[SearchItem] = []
        wanted = None if op.offset < 0 or op.limit < 0 else op.offset + op.limit
        for name in names:
            namespace = _namespace_of(name)
            for key, record in self.store.scan(name, where=where, values=True):
                if check is not None and not _matches(record["v"], check):
                    continue
                found.append(_item(SearchItem, record, key, namespace))
                if len(found) == wanted:
                    return found[op.offset:]
        return found[op.offset:op.offset + op.limit]

    def _list_namespaces(self, op: ListNamespacesOp) -> list[tuple[str, ...]]:
        namespaces = [_namespace_of(name) for name in self.store.namespaces(_ITEMS)]
        for condition in op.match_conditions or ():
            namespaces = [ns for ns in namespaces if _namespace_matches(condition, ns)]
        if op.max_depth is not None:
            namespaces = sorted({ns[: op.max_depth] for ns in namespaces})
        else:
            namespaces.sort()
        return namespaces[op.offset: op.offset + op.limit]


def _namespace_matches(condition: MatchCondition, namespace: tuple[str, ...]) -> bool:
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

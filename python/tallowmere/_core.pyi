"""The `tallowmere._core` native module."""

import os
from typing import Any, Literal, Mapping, Sequence, TypeAlias, TypedDict, final, overload

# What the codec encodes (dumps, and the values Store writes): None, bool, int, float,
# str, bytes, list, tuple and dict (and their subclasses), nested at most 128 levels
# deep; dict keys may be any of them that is hashable. Decoding gives the same types,
# with lists for tuples. Containers are spelled Sequence and Mapping because list and
# dict are invariant: `dict[str, int]` must be accepted. At run time only list, tuple
# and dict instances are (a range, deque or mappingproxy raises TypeError).
_Encodable: TypeAlias = (
    None | bool | int | float | str | bytes | Sequence[_Encodable] | Mapping[Any, _Encodable]
)

_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Operation: TypeAlias = (
    tuple[Literal["set"], str, str, _Encodable]
    | tuple[Literal["delete"], str, str]
    | tuple[Literal["delete_namespace"], str]
    | tuple[Literal["copy_namespace"], str, str]
    | tuple[Literal["clear"]]
)

class _Diff(TypedDict):
    added: list[tuple[str, str]]
    removed: list[tuple[str, str]]
    changed: list[tuple[str, str]]

__version__: str
__all__ = ["__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph"]

def core_version() -> str:
    """Return the version string of the compiled core."""

def dumps(obj: _Encodable) -> bytes:
    """Serialize a Python object to msgpack bytes (tallowmere's stable, cross-language codec)."""

def loads(data: bytes) -> Any:
    """Deserialize msgpack bytes back into a Python object."""

# --- Store and Snapshot -------------------------------------------------------

@final
class Store:
    """Framework-agnostic state store with immutable snapshots."""

    def __new__(
        cls, backend: Literal["memory"] = "memory", codec: Literal["msgpack"] = "msgpack", max_history: int | None = ...
    ) -> Store: ...
    @property
    def codec(self) -> Literal["msgpack"]:
        """Serialization codec in use (currently always `"msgpack"`)."""
    @property
    def max_history(self) -> int | None:
        """How many snapshots the store retains: `0` none, `n` the last `n`, `None` unlimited."""
    def __len__(self) -> int: ...
    def __contains__(self, namespace: str, /) -> bool: ...
    def set(self, namespace: str, key: str, value: _Encodable) -> None:
        """Store `value` under `(namespace, key)`, replacing any existing value."""
    def get(self, namespace: str, key: str, default: Any = None) -> Any:
        """Return the value at `(namespace, key)`, or `default` (None) if absent."""
    def contains(self, namespace: str, key: str) -> bool:
        """Return whether `(namespace, key)` exists."""
    def delete(self, namespace: str, key: str) -> bool:
        """Delete `(namespace, key)`. Returns True if a value was removed."""
    def add(self, namespace: str, key: str, value: _Encodable) -> bool:
        """Store `value` under `(namespace, key)` only if that pair is absent."""
    def delete_namespace(self, namespace: str) -> int:
        """Remove every key of `namespace` at once. Returns how many were removed."""
    def copy_namespace(self, source: str, target: str) -> int:
        """Make `target` a copy of `source`, replacing what `target` held."""
    def set_many(self, items: Sequence[tuple[str, str, _Encodable]]) -> None:
        """Store many `(namespace, key, value)` triples in one call."""
    def set_many_atomic(self, items: Sequence[tuple[str, str, _Encodable]]) -> None:
        """Store many `(namespace, key, value)` triples as one atomic batch."""
    def add_many(self, items: Sequence[tuple[str, str, _Encodable]]) -> int:
        """Store each `(namespace, key, value)` triple only if that pair is absent."""
    def get_many(self, pairs: Sequence[tuple[str, str]]) -> list[Any]:
        """Fetch many `(namespace, key)` pairs in one call, preserving input order."""
    def keys(self, namespace: str, prefix: str | None = None) -> list[str]:
        """Keys within `namespace`, optionally only those starting with `prefix`."""
    @overload
    def scan(
        self,
        namespace: str,
        prefix: str | None = None,
        *,
        start: str | None = None,
        stop: str | None = None,
        reverse: bool = False,
        limit: int | None = None,
        where: str | None = None,
        values: Literal[False] = False,
    ) -> list[str]:
        """Keys of `namespace` in code point order, within `[start, stop)`."""
    @overload
    def scan(
        self,
        namespace: str,
        prefix: str | None = None,
        *,
        start: str | None = None,
        stop: str | None = None,
        reverse: bool = False,
        limit: int | None = None,
        where: str | None = None,
        values: Literal[True],
    ) -> list[tuple[str, Any]]: ...
    def max_key(self, namespace: str) -> str | None:
        """The greatest key in `namespace`, or `None` if it holds nothing."""
    def namespaces(self, prefix: str | None = None) -> list[str]:
        """Namespaces in the store, optionally only those starting with `prefix`."""
    def clear(self) -> None:
        """Remove all entries (does not clear snapshot history)."""
    def snapshot(self) -> Snapshot:
        """Capture a cheap, immutable snapshot of the current state."""
    def history(self) -> list[Snapshot]:
        """Snapshots retained by this store, oldest first."""
    def clear_history(self) -> None:
        """Drop every retained snapshot, releasing the state they pin."""
    def restore(self, snapshot: Snapshot) -> None:
        """Roll the store back to a previously captured snapshot."""
    @classmethod
    def load(cls, path: _Path, max_history: int | None = 0) -> Store:
        """A new store holding the state saved in the file at `path`."""
    @classmethod
    def from_bytes(cls, data: bytes, max_history: int | None = 0) -> Store:
        """A new store holding the state in `data`, the bytes of `Snapshot.to_bytes`."""
    @classmethod
    def open(
        cls,
        path: _Path,
        *,
        fsync: Literal["always", "interval", "never"] = "always",
        fsync_interval: float = 1.0,
        max_history: int | None = 0,
    ) -> Store:
        """A store whose every change is logged to the file at `path`."""
    @property
    def path(self) -> str | bytes | None:
        """The file a durable store logs to (os.fspath of what `open` was given), or None."""
    @property
    def closed(self) -> bool:
        """Whether `close()` has been called."""
    def close(self) -> None:
        """Sync and release a durable store's file; afterwards every method raises."""
    def flush(self) -> None:
        """Sync every change logged so far to stable storage (nothing for a memory store)."""
    def compact(self) -> None:
        """Write a new image of a durable store and drop the log before it."""
    def __enter__(self) -> Store:
        """Return the store itself."""
    def __exit__(self, *exc_info: object) -> None:
        """Close the store."""
    @classmethod
    def encode_record(cls, operations: Sequence[_Operation]) -> bytes:
        """The bytes of one change: a record that `apply_record` applies."""
    def apply_record(self, record: bytes | bytearray, *, strict: bool = True) -> None:
        """Apply every operation of `record` (bytes from `Store.encode_record`) as one change."""

@final
class Snapshot:
    """A cheap, immutable point-in-time view of a [`Store`]."""

    @property
    def id(self) -> int:
        """Monotonic id assigned by the originating store."""
    @property
    def timestamp(self) -> float:
        """Seconds since the Unix epoch when the snapshot was taken."""
    @property
    def parent(self) -> int | None:
        """Id of the previous snapshot from the same store (for incremental diffs)."""
    @property
    def size_bytes(self) -> int:
        """Total size in bytes of all stored (serialized) values."""
    @property
    def keys(self) -> list[tuple[str, str]]:
        """All `(namespace, key)` pairs present in the snapshot."""
    def diff(self, base: Snapshot) -> _Diff:
        """Incremental diff describing how to go from `base` to `self`."""
    def save(self, path: _Path, base: Snapshot | None = None) -> None:
        """Write this snapshot to the file at `path` (a str or os.PathLike)."""
    def to_bytes(self) -> bytes:
        """A full image of this snapshot: the bytes `save(path)` writes to a new file."""

# --- HandoffGraph -------------------------------------------------------------

@final
class HandoffGraph:
    """A deterministic routing graph over named nodes with conditional edges."""

    def __new__(cls, on_cycle: Literal["error", "allow"] = "error") -> HandoffGraph: ...
    @property
    def on_cycle(self) -> Literal["error", "allow"]:
        """Behaviour on cycle detection: `"error"` or `"allow"`."""
    def add_node(self, name: str) -> None:
        """Register a node with no edges (edges also register their endpoints)."""
    def add_edge(self, from_node: str, to: str, when: str | None = None) -> None:
        """Add a directed edge `from -> to`, optionally guarded by a `when` condition."""
    def route(self, node: str, state: Any = None) -> str | None:
        """Resolve the next node from `node` given `state`."""
    def nodes(self) -> list[str]:
        """All nodes in the graph (sorted for stable output)."""
    def edges(self, node: str) -> list[tuple[str, str | None]]:
        """Outgoing edges of `node` as `(to, when)` pairs, in insertion order."""
    def has_node(self, node: str) -> bool:
        """Whether `node` exists in the graph."""
    def is_dag(self) -> bool:
        """Whether the graph is currently acyclic."""
    def __contains__(self, node: str, /) -> bool: ...
    def __len__(self) -> int: ...

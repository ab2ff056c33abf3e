"""Stores in many processes sharing one state through one PostgreSQL database.

Install with the `postgres` extra (psycopg 3). `connect(conninfo, name)` returns a `SharedStore`:
reads are served by the process's own in-memory replica (a `Store`), writes are logged in
PostgreSQL first and applied locally once their transaction has committed. docs/postgres.md
states the consistency model; this comment says how it is kept.

Order. Every write is one row of `tallowmere_log`, at a position: the epoch of the server's run
(ids of transactions lost in a crash may be handed out again after it), then the id of the
transaction that inserted it. Replicas apply rows in position order. Ids are handed out before
commit, so a row may still appear below ids already seen; but every id below the snapshot's
`xmin` belongs to a finished transaction, so the rows below the *horizon* (the epoch and xmin of
the reading statement) are final. A replica keeps
  base       a Store holding exactly the rows below `horizon`, applied in id order;
  tentative  the committed rows at or above it that it knows of (its own, and fetched ones);
  view       the Store callers read: base plus tentative, in id order.
A row arriving below the newest tentative one rebuilds the view (O(1) restore of the base, then
the tentative rows); otherwise it is applied on top. Rows crossing the horizon move into the base
without changing the view. So every replica's base goes through the same states, and the views
converge on it once writes stop.

Conflicts. Plain writers take shared advisory locks on the stripes (256 per store, by namespace
hash) they write before their row gets its id, in the same statement, so they never wait for each
other and commits group. A conditional write (`add`, a transaction's commit) takes its read
stripes exclusively in one statement, then in a second statement (a new snapshot) inserts its row
only if no row it has not seen touched what it read. Every row ordered before it on those stripes
was committed before its lock was granted, so the check sees all of them: nothing it read can be
overwritten earlier in the order without it noticing. Both statements form the SQL function
`tallowmere_append_if`, called in one statement. Rows carry hashes of the keys and namespaces they
touch for this check.

Images. A process holding the lease (a row with a term number, bumped by every new holder and
checked inside the writing transaction) writes an image of its base from an O(1) snapshot in a
background thread, and deletes the rows below the previous image. A joining process, or one that
fell behind past the deleted rows, loads the newest image and the rows after it.

Threads: the view is a thread-safe Store; `_lock` orders changes to base, view, tentative and
horizon (never held across a round trip). A follower thread per store listens for wake-ups
(LISTEN/NOTIFY; a wake-up is only a hint) and polls, reconnecting after failures.
"""

from __future__ import annotations

import os
import select
import struct
import threading
import time
import uuid
import warnings
import zlib
from typing import Any

import psycopg
from psycopg import pq, sql

from ._core import Snapshot, Store

__all__ = ["SCHEMA_VERSION", "ConflictError", "ConnectionLost", "SharedStore", "Transaction", "connect"]

SCHEMA_VERSION = 2
_LOCK_CLASS = 0x746D7374  # first key of every advisory lock we take ("tmst")
_STRIPES = 256
_IMAGE_PART_BYTES = 1 << 20  # rows of 1 MB stream to a joining process without huge buffers on either side
_LEASE_SECONDS = 60
_GAP_SECONDS = 0.005  # least time between two wake-ups sent, and between two catch-ups on wake-ups
# Unfinal rows this replica holds before a write catches up itself: each conditional write and each
# catch-up names them, and the server checks them one by one.
_CATCH_UP_AT = 16

# A position: the epoch of the server's run, then a transaction id: `epoch << 44 | xid`. After a crash
# the server may hand out again ids whose transactions never reached the disk; a new epoch orders
# them after everything seen before. A run ends with the postmaster, and with every crash recovery
# (which keeps the postmaster, and empties unlogged tables: `tallowmere_run` tells the two apart).
# A connection never outlives its run, so each reads the epoch once.
_XID = "pg_current_xact_id()::text::bigint"
_XMIN = "pg_snapshot_xmin(pg_current_snapshot())::text::bigint"

_SCHEMA = """
CREATE TABLE tallowmere_schema (version integer NOT NULL);
CREATE TABLE tallowmere_epochs (epoch integer PRIMARY KEY, registered timestamptz NOT NULL);
CREATE UNLOGGED TABLE tallowmere_run (started timestamptz NOT NULL, epoch integer NOT NULL);
CREATE TABLE tallowmere_stores (
    name text PRIMARY KEY,
    term bigint NOT NULL DEFAULT 0,
    holder text,
    lease_until timestamptz,
    image_horizon bigint NOT NULL DEFAULT 0,
    trimmed bigint NOT NULL DEFAULT 0);
CREATE TABLE tallowmere_log (
    name text NOT NULL,
    pos bigint NOT NULL,
    record bytea NOT NULL,
    keys bigint[] NOT NULL,
    spaces bigint[] NOT NULL,
    clears boolean NOT NULL,
    PRIMARY KEY (name, pos));
ALTER TABLE tallowmere_log ALTER COLUMN record SET STORAGE EXTERNAL;
CREATE TABLE tallowmere_images (
    name text NOT NULL,
    horizon bigint NOT NULL,
    part integer NOT NULL,
    term bigint NOT NULL,
    data bytea NOT NULL,
    PRIMARY KEY (name, horizon, part));
ALTER TABLE tallowmere_images ALTER COLUMN data SET STORAGE EXTERNAL;
-- A conditional append in one statement. Each statement of a volatile function takes a new
-- snapshot, so the check runs after the locks are granted; PL/pgSQL (built in) keeps the plans.
-- NULL: a row not seen at p_horizon (nor in p_known) touched what was read; otherwise the new
-- row's position, or 0 when there is nothing to write.
CREATE FUNCTION tallowmere_append_if(p_name text, p_epoch bigint, p_horizon bigint, p_known bigint[], p_rkeys bigint[],
    p_rspaces bigint[], p_rall boolean, p_exclusive integer[], p_shared integer[], p_record bytea,
    p_keys bigint[], p_spaces bigint[], p_clears boolean) RETURNS bigint LANGUAGE plpgsql VOLATILE AS $$
DECLARE
    added bigint;
BEGIN
    PERFORM pg_advisory_xact_lock(LOCK_CLASS, s) FROM unnest(p_exclusive) s;
    PERFORM pg_advisory_xact_lock_shared(LOCK_CLASS, s) FROM unnest(p_shared) s;
    IF EXISTS (SELECT 1 FROM tallowmere_log WHERE name = p_name AND pos >= p_horizon
               AND (keys && p_rkeys OR spaces && p_rspaces OR clears OR p_rall) AND pos <> ALL(p_known)) THEN
        RETURN NULL;
    END IF;
    IF p_record IS NULL THEN
        RETURN 0;
    END IF;
    INSERT INTO tallowmere_log (name, pos, record, keys, spaces, clears)
        VALUES (p_name, p_epoch << 44 | XID, p_record, p_keys, p_spaces, p_clears) RETURNING pos INTO added;
    RETURN added;
END
$$;
""".replace("LOCK_CLASS", str(_LOCK_CLASS)).replace("XID", _XID)

# The statements on the hot paths, prepared on every pooled connection and run through libpq
# directly with binary parameters and results: psycopg's query machinery costs several times the
# round trip itself. Parameter types: text, int8, bytea, bool, int8[], int4[].
_TEXT, _INT8, _BYTEA, _BOOL, _INT8S, _INT4S = 25, 20, 17, 16, 1016, 1007
_STATEMENTS = {
    # sync and following: the horizon, what was trimmed, the newest image, then the rows not yet seen
    b"tallowmere_follow": (
        "SELECT " + _XMIN + ", trimmed, image_horizon, NULL::bytea FROM tallowmere_stores WHERE name = $1"
        " UNION ALL SELECT pos, NULL, NULL, record FROM tallowmere_log WHERE name = $1 AND pos >= $2 AND pos <> ALL($3)",
        (_TEXT, _INT8, _INT8S)),
    # a plain write: shared stripe locks, then the row, in one statement
    b"tallowmere_append": (
        "WITH gate AS MATERIALIZED (SELECT count(*) FROM (SELECT pg_advisory_xact_lock_shared(" + str(_LOCK_CLASS)
        + ", s) FROM unnest($6::int[]) s) locks) INSERT INTO tallowmere_log (name, pos, record, keys, spaces, clears)"
        " SELECT $1, $7 << 44 | " + _XID + ", $2, $3, $4, $5 FROM gate RETURNING pos",  # $7: the epoch
        (_TEXT, _BYTEA, _INT8S, _INT8S, _BOOL, _INT4S, _INT8)),
    b"tallowmere_append_if": (
        "SELECT tallowmere_append_if($1, $13, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
        (_TEXT, _INT8, _INT8S, _INT8S, _INT8S, _BOOL, _INT4S, _INT4S, _BYTEA, _INT8S, _INT8S, _BOOL, _INT8)),
    b"tallowmere_notify": ("SELECT pg_notify($1, $2)", (_TEXT, _TEXT)),
}
_FORMATS = {name: [1] * len(types) for name, (_, types) in _STATEMENTS.items()}
_WRITES = (b"tallowmere_append", b"tallowmere_append_if")  # their last parameter is the run's epoch
_TRUE, _FALSE = b"\x01", b"\x00"


def _array(values: list[int], oid: int, code: str, size: int) -> bytes:
    """A one-dimensional array in PostgreSQL's binary format: each element after its length."""
    count = len(values)
    if count <= 16:
        if not count:
            return struct.pack("!3i", 0, 0, oid)
        return struct.pack(f"!5i{count * ('i' + code)}", 1, 0, oid, count, 1,
                           *[x for value in values for x in (size, value)])
    stride = 4 + size  # many elements: interleave by strided copies
    body = bytearray(count * stride)
    body[3::stride] = bytes([size]) * count
    packed = struct.pack(f"!{count}{code}", *values)
    for byte in range(size):
        body[4 + byte::stride] = packed[byte::size]
    return struct.pack("!5i", 1, 0, oid, count, 1) + body


def _int8s(values: list[int]) -> bytes:
    return _array(values, _INT8, "q", 8)


def _int4s(values: list[int]) -> bytes:
    return _array(values, 23, "i", 4)


_NOTHING = _int8s([])


def _int8(value: int) -> bytes:
    return value.to_bytes(8, "big", signed=True)


def _int(data: bytes) -> int:
    return int.from_bytes(data, "big", signed=True)


class ConflictError(Exception):
    """A transaction read something that a commit it had not seen changed; nothing was written."""


class ConnectionLost(ConnectionError):
    """The database could not be reached. Nothing was applied in this process.

    `in_doubt` is True when the connection broke while a write was on its way: the write may
    have committed, and then shows up when the replica catches up (as with any database client).
    """

    def __init__(self, message: str, in_doubt: bool = False) -> None:
        super().__init__(message)
        self.in_doubt = in_doubt


_NETWORK_ERRORS = (psycopg.OperationalError, psycopg.InterfaceError)
_TUPLES_OK, _COMMAND_OK = int(pq.ExecStatus.TUPLES_OK), int(pq.ExecStatus.COMMAND_OK)
_OK, _BAD, _IDLE = int(pq.ConnStatus.OK), int(pq.ConnStatus.BAD), int(pq.TransactionStatus.IDLE)


# Rows name what they touch by 64-bit hashes, the same in every process. Two CRC-32s from different
# starting values: fast, and a collision only costs a needless conflict.
def _hash(data: bytes, kind: int) -> int:
    return (zlib.crc32(data, kind) << 32 | zlib.crc32(data, kind ^ 0x5BD1E995)) - (1 << 63)


_SPACES: dict[str, int] = {}


def _space(namespace: str) -> int:
    space = _SPACES.get(namespace)
    if space is None:
        if len(_SPACES) >= 65_536:
            _SPACES.clear()
        space = _SPACES[namespace] = _hash(namespace.encode(), 1)
    return space


def _key(namespace: str, key: str) -> int:
    return _hash(namespace.encode() + b"\xff" + key.encode(), 2)


def _whole(namespace: str) -> int:
    """Stands in the key array for every key of a namespace replaced at once."""
    return _hash(namespace.encode(), 3)


class _Touches:
    """What a group of operations reads or writes, as the log's conflict columns see it."""

    __slots__ = ("keys", "spaces", "stripes", "every")

    def __init__(self) -> None:
        self.keys: set[int] = set()
        self.spaces: set[int] = set()
        self.stripes: set[int] = set()
        self.every = False

    def key(self, namespace: str, key: str) -> None:
        """A read of one pair: conflicts with writes of it and with its namespace replaced."""
        self.keys.add(_key(namespace, key))
        self.keys.add(_whole(namespace))
        self.stripes.add(_space(namespace) % _STRIPES)

    def namespace(self, namespace: str) -> None:
        space = _space(namespace)
        self.spaces.add(space)
        self.stripes.add(space % _STRIPES)

    def everything(self) -> None:
        self.every = True
        self.stripes.update(range(_STRIPES))

    @classmethod
    def of_ops(cls, ops: list[tuple]) -> _Touches:
        touches = cls()
        for op in ops:
            kind = op[0]
            if kind == "clear":
                touches.everything()
            elif kind in ("set", "delete"):
                space = _space(op[1])
                touches.keys.add(_key(op[1], op[2]))
                touches.spaces.add(space)
                touches.stripes.add(space % _STRIPES)
            else:
                namespace = op[2] if kind == "copy_namespace" else op[1]
                touches.keys.add(_whole(namespace))
                touches.namespace(namespace)
        return touches


def _set_ops(items: Any) -> list[tuple]:
    if type(items) in (list, tuple) and all(
        type(item) is tuple and len(item) == 3 and type(item[0]) is str and type(item[1]) is str for item in items
    ):
        return [("set", namespace, key, value) for namespace, key, value in items]
    Store().set_many(items)  # raises exactly as a Store would; passes for other valid sequences
    return [("set", namespace, key, value) for namespace, key, value in list(items)]


def _open(conninfo: str) -> psycopg.Connection:
    return psycopg.connect(conninfo, autocommit=True)


class _Link:
    """One connection: psycopg's for the rare statements, its libpq handle for the hot ones."""

    __slots__ = ("conn", "epoch", "epoch_param", "pq", "prepared")

    def __init__(self, conninfo: str) -> None:
        self.conn = _open(conninfo)
        self.pq = self.conn.pgconn
        self.prepared = False  # until the first hot statement: the schema may not exist before

    def run(self, name: bytes, params: list) -> pq.PGresult:
        """One prepared statement, one round trip (blocking, without the interpreter lock). A write's
        parameters are completed with the epoch of this connection's run."""
        if not self.prepared:
            self._prepare()
        if name in _WRITES:
            params.append(self.epoch_param)
        return self._checked(self.pq.exec_prepared(name, params, _FORMATS[name], 1))

    def _prepare(self) -> None:
        try:
            # Ranges over positions make PostgreSQL's generic plans look costly, so it would plan every
            # call anew (most of a short statement's time); the generic plans use the right indexes.
            self._checked(self.pq.exec_(b"SET plan_cache_mode = force_generic_plan"))
            for key, (query, types) in _STATEMENTS.items():
                self._checked(self.pq.prepare(key, query.encode(), types))
            self.epoch = _run_epoch(self.conn)
        except BaseException:
            self.conn.close()  # half prepared: never used again
            raise
        self.epoch_param = _int8(self.epoch)
        self.prepared = True

    def _checked(self, result: pq.PGresult) -> pq.PGresult:
        if result.status in (_TUPLES_OK, _COMMAND_OK):
            return result
        message = (result.error_message or self.pq.error_message).decode("utf-8", "replace").strip()
        state = result.error_field(pq.DiagnosticField.SQLSTATE)
        if state is None or self.pq.status == _BAD:  # libpq's own error: the connection failed
            raise psycopg.OperationalError(message)
        raise psycopg.errors.lookup(state.decode())(message)

    def usable(self) -> bool:
        return self.pq.status == _OK and self.pq.transaction_status == _IDLE


class _Pool:
    """A few autocommit connections shared by the calling threads, the most recently used first;
    broken ones are dropped."""

    def __init__(self, conninfo: str, size: int) -> None:
        self._conninfo, self._size = conninfo, size
        self._idle: list[_Link] = []
        self._open = self._waiting = 0
        self._lock = threading.Lock()
        self._freed = threading.Condition(self._lock)

    def borrow(self, in_doubt: bool = False) -> _Borrowed:
        """`with pool.borrow(in_doubt) as link:`; network errors inside become `ConnectionLost`."""
        return _Borrowed(self, in_doubt)

    def take(self) -> _Link:
        with self._lock:
            while not self._idle:
                if self._open < self._size:
                    self._open += 1
                    break
                self._waiting += 1
                self._freed.wait()
                self._waiting -= 1
            else:
                return self._idle.pop()
        try:
            return _Link(self._conninfo)
        except BaseException as exc:
            self.give(None)
            if isinstance(exc, _NETWORK_ERRORS):  # nothing was sent
                raise ConnectionLost(f"cannot connect to PostgreSQL: {exc}".strip()) from exc
            raise

    def give(self, link: _Link | None, drop: bool = False) -> None:
        """Return `link`; one that broke (or that `drop` condemns) is closed and frees its place."""
        if link is not None and (drop or not link.usable()):
            link.conn.close()
            link = None
        with self._lock:
            if link is None:
                self._open -= 1
            else:
                self._idle.append(link)
            if self._waiting:
                self._freed.notify()

    def close(self) -> None:
        with self._lock:
            for link in self._idle:
                link.conn.close()
            self._open -= len(self._idle)
            self._idle.clear()


class _Borrowed:
    __slots__ = ("pool", "in_doubt", "link")

    def __init__(self, pool: _Pool, in_doubt: bool) -> None:
        self.pool, self.in_doubt = pool, in_doubt

    def __enter__(self) -> _Link:
        self.link = self.pool.take()
        return self.link

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        lost = kind is not None and issubclass(kind, _NETWORK_ERRORS)
        self.pool.give(self.link, drop=lost)
        if lost:
            raise ConnectionLost(f"lost the connection to PostgreSQL: {exc}".strip(), self.in_doubt) from exc


def connect(
    conninfo: str,
    name: str = "default",
    *,
    max_history: int | None = 0,
    poll_interval: float | None = 1.0,
    image_every: int = 10_000,
    pool_size: int = 4,
) -> SharedStore:
    """Open the store `name` in the database at `conninfo`, creating the schema on first use.

    Returns once the local replica holds every commit made before the call. A follower thread
    then wakes up on other processes' commits, and polls every `poll_interval` seconds; with
    None there is no follower: the replica moves only on this process's writes and `sync()`.
    The process holding the image lease writes an image after `image_every` new log rows.
    """
    if not isinstance(name, str):
        raise TypeError(f"argument 'name': '{type(name).__name__}' object is not an instance of 'str'")
    return SharedStore(conninfo, name, max_history, poll_interval, image_every, pool_size)


class SharedStore:
    """A `Store` shared through PostgreSQL: the same methods, errors and value rules.

    Reads use the local replica; writes return after their transaction commits and are then
    visible here at once. See docs/postgres.md.
    """

    def __init__(self, conninfo: str, name: str, max_history: int | None, poll_interval: float,
                 image_every: int, pool_size: int) -> None:
        self._view = Store(max_history=max_history)
        self._name, self._conninfo = name, conninfo
        self._name_bytes = name.encode()
        self._poll_interval, self._image_every = poll_interval, image_every
        self._me = uuid.uuid4().hex
        self._stripe_base = (_hash(name.encode(), 4) & 0x7FFFFF) << 8
        self._lock = threading.Lock()
        self._reload_lock = threading.Lock()
        self._base = Store()
        self._horizon = 0
        self._tentative: dict[int, bytes] = {}
        self._top = -1
        self._catch_up_at = _CATCH_UP_AT
        self._image_horizon = 0
        self._since_image = 0
        self._image_tried = 0.0
        self._imaging: threading.Thread | None = None
        self._closed = False
        self._written = False
        self._pool = _Pool(conninfo, pool_size)
        view = self._view
        for method in ("get", "contains", "get_many", "keys", "max_key", "namespaces", "scan",
                       "snapshot", "history", "clear_history"):
            setattr(self, method, getattr(view, method))
        with self._pool.borrow() as link:
            self._create_schema(link.conn)
            self._reload(link)  # the newest image, if any, then the rows after it
            self._catch_up(link)
        self._wake_r, self._wake_w = os.pipe()
        self._follower = threading.Thread(target=self._follow, name=f"tallowmere-follow-{name}", daemon=True)
        if poll_interval is not None:
            self._follower.start()

    # ---- Store's read side (get, contains, get_many, keys, max_key, namespaces, scan,
    # snapshot, history, clear_history are the view's own methods, bound in __init__)

    codec = property(lambda self: self._view.codec, doc="Serialization codec in use.")
    max_history = property(lambda self: self._view.max_history, doc="How many snapshots the replica retains.")
    name = property(lambda self: self._name, doc="The store's name in the database.")

    def __len__(self) -> int:
        return len(self._view)

    def __contains__(self, namespace: str) -> bool:
        return namespace in self._view

    def __repr__(self) -> str:
        return f"SharedStore(name={self._name!r}, codec='msgpack', entries={len(self._view)})"

    # ---- writes: logged first, applied here once committed

    def set(self, namespace: str, key: str, value: Any) -> None:
        if type(namespace) is not str or type(key) is not str:
            self._view.contains(namespace, key)  # the Store's own argument errors
        self._write([("set", namespace, key, value)])

    def set_many(self, items: Any) -> None:
        ops = _set_ops(items)
        if ops:
            self._write(ops)

    set_many_atomic = set_many  # every write is applied whole, everywhere

    def delete(self, namespace: str, key: str) -> bool:
        present = self._view.contains(namespace, key)
        self._write([("delete", namespace, key)])
        return present

    def delete_namespace(self, namespace: str) -> int:
        count = len(self._view.keys(namespace))
        self._write([("delete_namespace", namespace)])
        return count

    def copy_namespace(self, source: str, target: str) -> int:
        count = len(self._view.keys(source))
        self._view.keys(target)
        self._write([("copy_namespace", source, target)])
        return count

    def clear(self) -> None:
        self._write([("clear",)])

    def restore(self, snapshot: Snapshot) -> None:
        contents = Store()
        contents.restore(snapshot)  # a Store's argument check, and the snapshot's pairs to read
        ops: list[tuple] = [("clear",)]
        for namespace in contents.namespaces():
            ops.extend(("set", namespace, key, value) for key, value in contents.scan(namespace, values=True))
        self._write(ops)

    def add(self, namespace: str, key: str, value: Any) -> bool:
        """Write only if the pair is absent, decided against the latest committed state."""
        if type(namespace) is not str or type(key) is not str:
            self._view.contains(namespace, key)
        ops = [("set", namespace, key, value)]
        record = Store.encode_record(ops)
        reads = _Touches()
        reads.key(namespace, key)
        while True:
            with self._lock:
                present = self._view.contains(namespace, key)
                position = (self._horizon, list(self._tentative))
            done = self._commit_if(position, reads, None if present else ops, record)
            if done:
                return not present

    def add_many(self, items: Any) -> list[bool]:
        """`add` of each `(namespace, key, value)` in one record and one round trip: the pairs
        absent from the latest committed state are written (the first of duplicates)."""
        ops = _set_ops(items)
        reads = _Touches()
        for op in ops:
            reads.key(op[1], op[2])
        while True:
            with self._lock:
                absent = [not self._view.contains(op[1], op[2]) for op in ops]
                position = (self._horizon, list(self._tentative))
            chosen, seen = [], set()
            for op, added in zip(ops, absent):
                chosen.append(added and (op[1], op[2]) not in seen)
                seen.add((op[1], op[2]))
            if self._commit_if(position, reads, [op for op, c in zip(ops, chosen) if c] or None):
                return chosen

    def transaction(self) -> Transaction:
        """An optimistic read-modify-write: `with store.transaction() as tx: ...`."""
        return Transaction(self)

    def sync(self) -> None:
        """Bring the replica up to every commit made before the call (one round trip)."""
        with self._pool.borrow() as link:
            self._catch_up(link)

    def close(self) -> None:
        """Stop following and close the connections; the replica stays readable."""
        if self._closed:
            return
        self._closed = True
        os.write(self._wake_w, b"x")
        if self._follower.is_alive():
            self._follower.join()
        if self._imaging is not None:
            self._imaging.join()
        try:
            with self._pool.borrow() as link:
                link.conn.execute("UPDATE tallowmere_stores SET lease_until = NULL WHERE name = %s AND holder = %s",
                             (self._name, self._me))
        except (ConnectionLost, psycopg.Error):
            pass
        self._pool.close()
        os.close(self._wake_r)
        os.close(self._wake_w)

    def __enter__(self) -> SharedStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- the log

    def _write(self, ops: list[tuple]) -> None:
        record = Store.encode_record(ops)  # every value checked and encoded before anything is sent
        touches = _Touches.of_ops(ops)
        params = [self._name_bytes, record, _int8s(list(touches.keys)), _int8s(list(touches.spaces)),
                  _TRUE if touches.every else _FALSE, self._lock_ids(touches.stripes)]
        with self._pool.borrow(in_doubt=True) as link:
            pos = _int(link.run(b"tallowmere_append", params).get_value(0, 0))
            self._absorb(pos, record, link)

    def _lock_ids(self, stripes: set[int]) -> bytes:
        return _int4s([self._stripe_base | stripe for stripe in sorted(stripes)])

    def _commit_if(self, position: tuple[int, list[int]], reads: _Touches, ops: list[tuple] | None,
                   record: bytes | None = None) -> bool:
        """Append `ops` (or only check, for None) unless a row this replica had not seen at
        `position` touched `reads`. On a conflict, catches up and returns False."""
        writes = _Touches.of_ops(ops) if ops else _Touches()
        if ops and record is None:
            record = Store.encode_record(ops)
        params = [self._name_bytes, _int8(position[0]), _int8s(position[1]), _int8s(list(reads.keys)),
                  _int8s(list(reads.spaces)), _TRUE if reads.every else _FALSE, self._lock_ids(reads.stripes),
                  self._lock_ids(writes.stripes - reads.stripes), record if ops else None,
                  _int8s(list(writes.keys)), _int8s(list(writes.spaces)), _TRUE if writes.every else _FALSE]
        with self._pool.borrow(in_doubt=bool(ops)) as link:
            pos = link.run(b"tallowmere_append_if", params).get_value(0, 0)
            if pos is None:
                self._catch_up(link)
                return False
            if ops:
                self._absorb(_int(pos), record, link)
        return True

    def _absorb(self, pos: int, record: bytes, link: _Link) -> None:
        with self._lock:
            self._merge({pos: record}, None)
            pending = len(self._tentative)
        if pending >= self._catch_up_at:
            # Rows above the horizon are sent back with every check: when the follower does not
            # move it (none, or a slow poll), catch up here, ever more rarely if it stays stuck.
            try:
                self._catch_up(link)
            except _NETWORK_ERRORS:
                pass  # the write itself is done
            self._catch_up_at = max(_CATCH_UP_AT, 2 * len(self._tentative))
        if not self._written and self._poll_interval is not None:
            self._written = True
            os.write(self._wake_w, b"w")

    def _merge(self, records: dict[int, bytes], horizon: int | None) -> None:
        """Take in committed rows; with `horizon`, those below it become final. Holds _lock."""
        fresh = sorted(x for x in records if x >= self._horizon and x not in self._tentative) if records else []
        rebuild = bool(fresh) and fresh[0] < self._top
        for pos in fresh:
            self._tentative[pos] = records[pos]
            if not rebuild:
                _apply(self._view, records[pos])
        if fresh:
            self._top = max(self._top, fresh[-1])
        if horizon is not None and horizon > self._horizon:
            final = sorted(x for x in self._tentative if x < horizon)
            if not rebuild and len(final) == len(self._tentative):
                if final:  # the view is the base plus every tentative row in order: it becomes the base
                    self._base.restore(self._view.snapshot())
                    self._tentative.clear()
            else:
                for pos in final:
                    _apply(self._base, self._tentative.pop(pos))
            self._since_image += len(final)
            self._horizon = horizon
        if rebuild:
            self._rebuild()

    def _rebuild(self) -> None:
        scratch = Store()
        scratch.restore(self._base.snapshot())
        for pos in sorted(self._tentative):
            _apply(scratch, self._tentative[pos])
        self._view.restore(scratch.snapshot())

    def _catch_up(self, link: _Link) -> None:
        while True:
            with self._lock:
                horizon = self._horizon
                known = _int8s(list(self._tentative)) if self._tentative else _NOTHING
            result = link.run(b"tallowmere_follow", [self._name_bytes, _int8(horizon), known])
            records, head = {}, None
            for row in range(result.ntuples):
                if result.get_value(row, 1) is None:
                    records[_int(result.get_value(row, 0))] = result.get_value(row, 3)
                else:
                    head = row
            now = link.epoch << 44 | _int(result.get_value(head, 0))
            if _int(result.get_value(head, 1)) > horizon:  # rows we still need were deleted after an image
                self._reload(link)
                continue
            image_horizon = _int(result.get_value(head, 2))
            with self._lock:
                self._merge(records, now)
                if image_horizon > self._image_horizon:
                    self._image_horizon, self._since_image = image_horizon, 0
            return

    def _reload(self, link: _Link) -> None:
        """Load the newest image (one COPY brings all its parts), if there is one."""
        query = sql.SQL("COPY (SELECT horizon, data FROM tallowmere_images WHERE name = {0} AND horizon ="
                        " (SELECT max(horizon) FROM tallowmere_images WHERE name = {0}) ORDER BY part)"
                        " TO STDOUT (FORMAT binary)").format(sql.Literal(self._name))
        with self._reload_lock:
            with link.conn.cursor().copy(query) as copy:
                copy.set_types(["int8", "bytea"])
                parts = list(copy.rows())
            horizon = parts[0][0] if parts else 0
            with self._lock:
                if horizon <= self._horizon:
                    return
            image = b"".join([part[1] for part in parts])
            del parts
            base = Store.from_bytes(image)
            del image
            with self._lock:
                if horizon <= self._horizon:
                    return
                self._base, self._horizon, self._image_horizon, self._since_image = base, horizon, horizon, 0
                self._tentative = {x: r for x, r in self._tentative.items() if x >= horizon}
                self._top = max(self._tentative, default=-1)
                self._rebuild()

    def _create_schema(self, conn: psycopg.Connection) -> None:
        with conn.transaction():
            conn.execute("SELECT pg_advisory_xact_lock(%s, -1)", (_LOCK_CLASS,))
            if conn.execute("SELECT to_regclass('tallowmere_schema')").fetchone()[0] is None:
                # plain PostgreSQL 13 or later: xid8, pg_current_xact_id, pg_current_snapshot
                conn.execute(_SCHEMA)
                conn.execute("INSERT INTO tallowmere_schema VALUES (%s)", (SCHEMA_VERSION,))
            version = conn.execute("SELECT version FROM tallowmere_schema").fetchone()[0]
            if version != SCHEMA_VERSION:
                raise RuntimeError(f"the database holds tallowmere schema version {version};"
                                   f" this release reads version {SCHEMA_VERSION}")
            conn.execute("INSERT INTO tallowmere_stores (name) VALUES (%s) ON CONFLICT DO NOTHING", (self._name,))

    # ---- the follower thread: wake-ups, polling, reconnection, images

    def _follow(self) -> None:
        channel = f"tallowmere_{self._stripe_base >> 8:x}"
        wake_up = [channel.encode(), self._me.encode()]
        link = None
        backoff, notified, caught = 0.05, 0.0, 0.0
        while not self._closed:
            try:
                if link is None:
                    link = _Link(self._conninfo)
                    link.conn.execute(f"LISTEN {channel}")
                    self._catch_up(link)
                    backoff = 0.05
                # Wake-ups that came in with a statement's results are already queued in libpq.
                woken = self._woken(link)
                if not woken:
                    wait = self._poll_interval
                    if self._written:  # wake-ups for our writes go out at most every 5 ms
                        wait = max(0.0, notified + _GAP_SECONDS - time.monotonic())
                    ready = select.select([link.pq.socket, self._wake_r], [], [], wait)[0]
                    if self._wake_r in ready:
                        os.read(self._wake_r, 4096)
                    if self._closed:
                        break
                    link.pq.consume_input()
                    woken = self._woken(link) or not ready
                if self._written and time.monotonic() - notified >= _GAP_SECONDS:
                    self._written, notified = False, time.monotonic()
                    link.run(b"tallowmere_notify", wake_up)
                if woken:
                    # At most 200 catch-ups a second: under a storm of wake-ups each brings many rows.
                    time.sleep(max(0.0, caught + _GAP_SECONDS - time.monotonic()))
                    self._catch_up(link)
                    caught = time.monotonic()
                    self._maybe_write_image()
            except (*_NETWORK_ERRORS, OSError):
                if link is not None:
                    link.conn.close()
                    link = None
                if self._closed:
                    break
                select.select([self._wake_r], [], [], backoff)
                backoff = min(backoff * 2, self._poll_interval)
        if link is not None:
            link.conn.close()

    def _woken(self, link: _Link) -> bool:
        """Drains the wake-ups libpq holds: True if one came from another process (ours come back too)."""
        woken = False
        while (note := link.pq.notifies()) is not None:
            woken = woken or note.extra != self._me.encode()
        return woken

    def _maybe_write_image(self) -> None:
        if (self._since_image < self._image_every or time.monotonic() - self._image_tried < 1.0
                or (self._imaging is not None and self._imaging.is_alive())):
            return
        self._image_tried = time.monotonic()
        self._imaging = threading.Thread(target=self._write_image, name="tallowmere-image", daemon=True)
        self._imaging.start()

    def _write_image(self) -> None:
        try:
            with _open(self._conninfo) as conn:
                term = conn.execute(
                    "UPDATE tallowmere_stores SET term = term + (holder IS DISTINCT FROM %(me)s)::int,"
                    " holder = %(me)s, lease_until = now() + %(ttl)s * interval '1 second'"
                    " WHERE name = %(name)s AND (holder = %(me)s OR lease_until IS NULL OR lease_until < now())"
                    " RETURNING term", {"me": self._me, "ttl": _LEASE_SECONDS, "name": self._name}).fetchone()
                if term is None:
                    return
                with self._lock:
                    snapshot, horizon = self._base.snapshot(), self._horizon
                image = snapshot.to_bytes()
                with conn.transaction():
                    held, previous = conn.execute(
                        "SELECT term, image_horizon FROM tallowmere_stores WHERE name = %s FOR UPDATE",
                        (self._name,)).fetchone()
                    if held != term[0] or horizon <= previous:
                        return  # another process holds the lease now, or wrote a newer image
                    data = memoryview(image)
                    with conn.cursor().copy("COPY tallowmere_images FROM STDIN (FORMAT binary)") as copy:
                        copy.set_types(["text", "int8", "int4", "int8", "bytea"])
                        for part, start in enumerate(range(0, max(len(image), 1), _IMAGE_PART_BYTES)):
                            copy.write_row((self._name, horizon, part, held, data[start:start + _IMAGE_PART_BYTES]))
                    conn.execute("DELETE FROM tallowmere_images WHERE name = %s AND horizon < %s", (self._name, horizon))
                    # Rows since the previous image stay, so replicas a little behind need no image.
                    conn.execute("DELETE FROM tallowmere_log WHERE name = %s AND pos < %s", (self._name, previous))
                    conn.execute("UPDATE tallowmere_stores SET image_horizon = %s, trimmed = GREATEST(trimmed, %s)"
                                 " WHERE name = %s", (horizon, previous, self._name))
        except (*_NETWORK_ERRORS, OSError):
            pass  # the next attempt starts over


def _run_epoch(conn: psycopg.Connection) -> int:
    """The epoch of the server's current run, registered by the first connection to ask."""
    query = "SELECT epoch FROM tallowmere_run WHERE started = pg_postmaster_start_time()"
    found = conn.execute(query).fetchone()
    if found is None:
        with conn.transaction():
            conn.execute("SELECT pg_advisory_xact_lock(%s, -2)", (_LOCK_CLASS,))
            found = conn.execute(query).fetchone()
            if found is None:
                found = conn.execute("INSERT INTO tallowmere_epochs SELECT coalesce(max(epoch), 0) + 1, now()"
                                     " FROM tallowmere_epochs RETURNING epoch").fetchone()
                conn.execute("DELETE FROM tallowmere_run")
                conn.execute("INSERT INTO tallowmere_run VALUES (pg_postmaster_start_time(), %s)", found)
    return found[0]


def _apply(store: Store, record: bytes) -> None:
    try:
        # In the total order a delete may find its pair already gone: that is no fault.
        store.apply_record(record, strict=False)
    except (ValueError, TypeError) as exc:  # the same bytes on the same state fail the same way everywhere
        warnings.warn(f"tallowmere: a log record was not applied: {exc}", RuntimeWarning, stacklevel=2)


class Transaction:
    """Reads from a private copy of the replica taken at the start (O(1)) and records them;
    writes apply to that copy and are sent at commit, whole, if nothing read has changed."""

    def __init__(self, store: SharedStore) -> None:
        self._store = store
        self._view = Store()
        with store._lock:
            self._view.restore(store._view.snapshot())
            self._position = (store._horizon, list(store._tentative))
        self._reads = _Touches()
        self._ops: list[tuple] = []

    def __enter__(self) -> Transaction:
        return self

    def __exit__(self, kind: object, exc: object, tb: object) -> None:
        if kind is None:
            self.commit()

    def commit(self) -> None:
        """Send the writes; `ConflictError` (nothing applied anywhere) if a read is stale."""
        if self._ops and not self._store._commit_if(self._position, self._reads, self._ops):
            raise ConflictError("a value this transaction read was changed by another commit")
        self._ops = []

    # reads

    def get(self, namespace: str, key: str, default: Any = None) -> Any:
        value = self._view.get(namespace, key, default)
        self._reads.key(namespace, key)
        return value

    def contains(self, namespace: str, key: str) -> bool:
        found = self._view.contains(namespace, key)
        self._reads.key(namespace, key)
        return found

    def get_many(self, pairs: Any) -> list:
        values = self._view.get_many(pairs)
        for namespace, key in pairs:
            self._reads.key(namespace, key)
        return values

    def keys(self, namespace: str, prefix: str | None = None) -> list[str]:
        found = self._view.keys(namespace, prefix)
        self._reads.namespace(namespace)
        return found

    def max_key(self, namespace: str) -> str | None:
        found = self._view.max_key(namespace)
        self._reads.namespace(namespace)
        return found

    def scan(self, namespace: str, *args: Any, **kwargs: Any) -> list:
        found = self._view.scan(namespace, *args, **kwargs)
        self._reads.namespace(namespace)
        return found

    def namespaces(self, prefix: str | None = None) -> list[str]:
        self._reads.everything()
        return self._view.namespaces(prefix)

    def __len__(self) -> int:
        self._reads.everything()
        return len(self._view)

    def __contains__(self, namespace: str) -> bool:
        found = namespace in self._view
        self._reads.namespace(namespace)
        return found

    # writes

    def set(self, namespace: str, key: str, value: Any) -> None:
        self._view.set(namespace, key, value)
        self._ops.append(("set", namespace, key, value))

    def set_many(self, items: Any) -> None:
        self._view.set_many(items)
        self._ops.extend(("set", namespace, key, value) for namespace, key, value in list(items))

    set_many_atomic = set_many

    def add(self, namespace: str, key: str, value: Any) -> bool:
        added = self._view.add(namespace, key, value)
        self._reads.key(namespace, key)
        if added:
            self._ops.append(("set", namespace, key, value))
        return added

    def delete(self, namespace: str, key: str) -> bool:
        removed = self._view.delete(namespace, key)
        self._reads.key(namespace, key)
        self._ops.append(("delete", namespace, key))
        return removed

    def delete_namespace(self, namespace: str) -> int:
        removed = self._view.delete_namespace(namespace)
        self._reads.namespace(namespace)
        self._ops.append(("delete_namespace", namespace))
        return removed

    def copy_namespace(self, source: str, target: str) -> int:
        copied = self._view.copy_namespace(source, target)
        self._reads.namespace(source)
        self._ops.append(("copy_namespace", source, target))
        return copied

    def clear(self) -> None:
        self._view.clear()
        self._ops.append(("clear",))

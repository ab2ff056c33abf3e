"""Stand-ins for the native record functions until the core provides them (removed then)."""

from __future__ import annotations

import os
import tempfile

from ._core import Store, dumps, loads


def encode_record(ops) -> bytes:
    out = []
    for op in ops:
        if op[0] == "set":
            for name in op[1:3]:
                if not isinstance(name, str):
                    raise TypeError(f"'{type(name).__name__}' object is not an instance of 'str'")
            out.append(["set", op[1], op[2], dumps(op[3])])
        else:
            out.append(list(op))
    return dumps(out)


def apply_record(store: Store, record: bytes) -> None:
    for op in loads(record):
        kind = op[0]
        if kind == "set":
            store.set(op[1], op[2], loads(op[3]))
        elif kind == "delete":
            store.delete(op[1], op[2])
        elif kind == "delete_namespace":
            store.delete_namespace(op[1])
        elif kind == "copy_namespace":
            store.copy_namespace(op[1], op[2])
        elif kind == "clear":
            store.clear()
        else:
            raise ValueError("malformed record")


def snapshot_bytes(snapshot) -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "image")
        snapshot.save(path)
        with open(path, "rb") as f:
            return f.read()


def store_from_bytes(data: bytes, max_history=0) -> Store:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "image")
        with open(path, "wb") as f:
            f.write(data)
        return Store.load(path, max_history)

// store/store_py.h: the Python classes Store and Snapshot.
// Each type object is created on first use and kept for the process; both return
// null with a Python error set when creation fails.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py/owned_ref.h"
#include "persist/loader.h"
#include "persist/snapshot_file.h"
#include "store/store.h"

namespace tallowmere::py {

// From this many entries, dropping the last reference to a store or snapshot
// frees its maps with the interpreter lock released; below it, the release and
// reacquire would cost more than the freeing.
inline constexpr std::uint64_t kFreeWithoutGil = 50'000;

PyTypeObject* store_type() noexcept;
PyTypeObject* snapshot_type() noexcept;

// A new Snapshot object showing `record` (the record is shared, not copied).
OwnedRef wrap_snapshot(SnapshotRef record);
// The record of a Snapshot object; `obj` must be an instance of snapshot_type().
const SnapshotRef& snapshot_record(PyObject* obj) noexcept;

// Raises what a failed save or load means to Python: the OSError subclass of the
// errno, naming `path`; or ValueError with the message. Always throws.
[[noreturn]] void raise_persist_error(const PersistError& error, PyObject* path);

}  // namespace tallowmere::py

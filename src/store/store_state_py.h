// store/store_state_py.h: what a Python Store object holds, shared by the files
// that bind its methods (store_py.cpp: the store itself; store_file_py.cpp: its
// files). Internal to the module.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "persist/file_log.h"
#include "py/access.h"
#include "py/errors.h"
#include "py/owned_ref.h"
#include "py/types.h"
#include "store/journal.h"
#include "store/store.h"

namespace tallowmere::py {

struct StoreState {
  StoreState(std::optional<std::uint64_t> max_history, std::string codec_name)
      : store(max_history), codec(std::move(codec_name)) {}
  // The log goes first: its background work may use the store until it stops.
  ~StoreState() { log.reset(); }

  Store store;
  AccessCounter access;
  std::string codec;
  std::shared_ptr<persist::FileLog> log;  // a durable store's; null for a memory store
  OwnedRef path;                          // os.fspath() of a durable store's path
  std::atomic<bool> closed{false};
};

// A failed or refused write of a durable store as Python sees it: OSError (the
// errno's subclass, naming the path) for the file system, ValueError for a closed
// store, RuntimeError for a store inherited across fork(). Always throws.
[[noreturn]] void raise_journal_error(const JournalError& error, PyObject* path);

// Runs a method body with shared access to the store, inside the guard. A closed
// store refuses every method that goes through here.
template <class Body>
PyObject* store_method(PyObject* self, Body&& body) noexcept {
  return guarded([&] {
    StoreState& state = unbox<StoreState>(self);
    SharedAccess access(state.access);
    if (state.closed.load(std::memory_order_acquire)) raise(PyExc_ValueError, "operation on a closed store");
    try {
      return body(state);
    } catch (const JournalError& error) {
      raise_journal_error(error, state.path.get());
    }
  });
}

// The file methods of Store (store_file_py.cpp), for store_py.cpp's method table.
PyObject* store_open(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* store_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* store_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* store_close(PyObject* self, PyObject* unused) noexcept;
PyObject* store_flush(PyObject* self, PyObject* unused) noexcept;
PyObject* store_compact(PyObject* self, PyObject* unused) noexcept;
PyObject* store_enter(PyObject* self, PyObject* unused) noexcept;
PyObject* store_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* get_path(PyObject* self, void*) noexcept;
PyObject* get_closed(PyObject* self, void*) noexcept;
// Closes a durable store's log as its object goes away (interpreter lock held).
void close_log_quietly(StoreState& state) noexcept;

}  // namespace tallowmere::py

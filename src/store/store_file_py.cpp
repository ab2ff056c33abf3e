// store_file_py.cpp: the methods of Store that deal with files: the durable store
// (open, flush, compact, close, the context manager, path, closed) and loading
// (load, from_bytes). Files are read, written and synced with the interpreter lock
// released; warnings and errors are raised after it is taken back.
#include <Python.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "persist/file_log.h"
#include "persist/loader.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/owned_ref.h"
#include "py/types.h"
#include "store/store_py.h"
#include "store/store_state_py.h"

namespace tallowmere::py {
namespace {

// A new store made by calling the class, exactly as `Store(max_history=...)`
// makes one: the same checks, the same construction path.
OwnedRef new_store(PyObject* cls, PyObject* max_history_arg, const char* function) {
  OwnedRef no_args = check_new(PyTuple_New(0));
  OwnedRef kwargs = check_new(PyDict_New());
  if (max_history_arg != nullptr) check_status(PyDict_SetItemString(kwargs.get(), "max_history", max_history_arg));
  OwnedRef store = check_new(PyObject_Call(cls, no_args.get(), kwargs.get()));
  if (!PyObject_TypeCheck(store.get(), store_type())) raise(PyExc_TypeError, std::string(function) + " needs the Store class");
  return store;
}

void warn_torn(const char* format, PyObject* path, const TornTail& torn) {
  OwnedRef message = check_new(PyUnicode_FromFormat(format, path, static_cast<unsigned long long>(torn.offset),
                                                    static_cast<unsigned long long>(torn.bytes)));
  OwnedRef text = check_new(PyUnicode_AsUTF8String(message.get()));
  check_status(PyErr_WarnEx(PyExc_RuntimeWarning, PyBytes_AsString(text.get()), 1));
}

// Fills a new store from a loaded state, freeing what the load built without the
// interpreter lock.
void fill(StoreState& state, Result<LoadedState, PersistError>& loaded) {
  without_gil([&] {
    const LoadedState taken = std::move(loaded).value();
    state.store.restore(taken.state);
  });
}

persist::SyncMode sync_mode(PyObject* arg) {
  if (arg == nullptr) return persist::SyncMode::kAlways;
  const std::string_view mode = arg_str(arg, "fsync");
  if (mode == "always") return persist::SyncMode::kAlways;
  if (mode == "interval") return persist::SyncMode::kInterval;
  if (mode == "never") return persist::SyncMode::kNever;
  raise(PyExc_ValueError, "fsync must be 'always', 'interval' or 'never', not '" + std::string(mode) + "'");
}

double sync_interval(PyObject* arg) {
  if (arg == nullptr) return 1.0;
  if (!PyFloat_Check(arg) && !PyLong_Check(arg)) raise_not_instance(arg, "float", "fsync_interval");
  const double seconds = PyFloat_AsDouble(arg);
  if (seconds == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  // A day at most: far beyond any useful interval, and well inside what the
  // thread's timed wait can represent.
  if (!(seconds > 0.0 && seconds <= 86400.0)) {
    raise(PyExc_ValueError, "fsync_interval must be a number of seconds above 0 and at most 86400");
  }
  return seconds;
}

extern "C" void flush_logs_at_exit() { persist::FileLog::flush_all_open(); }

}  // namespace

void raise_journal_error(const JournalError& error, PyObject* path) {
  switch (error.reason()) {
    case JournalError::Reason::kClosed:
      raise(PyExc_ValueError, "operation on a closed store");
    case JournalError::Reason::kInherited:
      raise(PyExc_RuntimeError, error.what());
    case JournalError::Reason::kIo:
      break;
  }
  raise_persist_error({PersistError::Kind::kOs, error.os_errno(), error.what()}, path);
}

void close_log_quietly(StoreState& state) noexcept {
  if (!state.log) return;
  GilReleased nogil;
  try {
    state.log->close();
  } catch (...) {
    // Dropped without close(): whoever wanted the error called close() itself.
  }
}

PyObject* store_open(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<4> params{"Store.open", {"path", "fsync", "fsync_interval", "max_history"}, 1};
    if (nargs > 1) {
      raise(PyExc_TypeError, "Store.open() takes 1 positional argument but " + std::to_string(nargs) + " were given");
    }
    auto [path_arg, fsync_arg, interval_arg, max_history_arg] = bind(params, args, nargs, kwnames);
    const PathArg path = arg_path(path_arg, "path");
    persist::LogOptions options;
    options.mode = sync_mode(fsync_arg);
    options.interval_seconds = sync_interval(interval_arg);
    OwnedRef store = new_store(cls, max_history_arg, "Store.open");
    StoreState& state = unbox<StoreState>(store.get());
    SharedAccess access(state.access);
    persist::OpenReport report;
    auto opened = without_gil([&] { return persist::open_log(path.native, state.store, options, report); });
    if (!opened) raise_persist_error(opened.error(), path.object.get());
    state.log = std::move(opened).value();
    state.path = OwnedRef::borrow(path.object.get());
    static bool exit_hook = false;  // set under the interpreter lock
    if (!exit_hook) exit_hook = Py_AtExit(&flush_logs_at_exit) == 0;
    if (report.torn) {
      warn_torn("store file %R: cut off a torn tail at offset %llu (%llu bytes, the trace of an interrupted "
                "write); opened the state before it",
                path.object.get(), *report.torn);
    }
    return store;
  });
}

PyObject* store_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<2> params{"Store.load", {"path", "max_history"}, 1};
    auto [path_arg, max_history_arg] = bind(params, args, nargs, kwnames);
    const PathArg path = arg_path(path_arg, "path");
    OwnedRef store = new_store(cls, max_history_arg, "Store.load");
    StoreState& state = unbox<StoreState>(store.get());
    SharedAccess access(state.access);
    auto loaded = without_gil([&] { return load_snapshot_file(path.native); });
    if (!loaded) raise_persist_error(loaded.error(), path.object.get());
    // A durable store writing the file may be part way through a record: that is
    // no trace of a crash, and nothing it acknowledged is missing.
    if (loaded.value().torn && !loaded.value().writer_active) {
      warn_torn("snapshot file %R: dropped a torn record at offset %llu (%llu bytes, the trace of an interrupted "
                "append); loaded the state before it",
                path.object.get(), *loaded.value().torn);
    }
    fill(state, loaded);
    return store;
  });
}

PyObject* store_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<2> params{"Store.from_bytes", {"data", "max_history"}, 1};
    auto [data_arg, max_history_arg] = bind(params, args, nargs, kwnames);
    if (!PyBytes_Check(data_arg)) raise_not_instance(data_arg, "bytes", "data");
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(data_arg, &data, &size));
    OwnedRef store = new_store(cls, max_history_arg, "Store.from_bytes");
    StoreState& state = unbox<StoreState>(store.get());
    SharedAccess access(state.access);
    // `data` is immutable and the caller's reference keeps it alive.
    auto loaded = without_gil([&] { return parse_snapshot_file({data, static_cast<std::size_t>(size)}); });
    if (!loaded) raise_persist_error(loaded.error(), Py_None);
    if (loaded.value().torn) {
      raise(PyExc_ValueError, "the bytes end inside a record at offset " + std::to_string(loaded.value().torn->offset));
    }
    fill(state, loaded);
    return store;
  });
}

PyObject* store_close(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    StoreState& state = unbox<StoreState>(self);
    SharedAccess access(state.access);
    if (state.closed.exchange(true, std::memory_order_acq_rel)) return none();
    if (state.log) {
      try {
        without_gil([&] { state.log->close(); });
      } catch (const JournalError& error) {
        raise_journal_error(error, state.path.get());
      }
    }
    return none();
  });
}

PyObject* store_flush(PyObject* self, PyObject*) noexcept {
  return store_method(self, [&](StoreState& state) {
    if (state.log) without_gil([&] { state.log->flush(); });
    return none();
  });
}

PyObject* store_compact(PyObject* self, PyObject*) noexcept {
  return store_method(self, [&](StoreState& state) {
    if (state.log) without_gil([&] { state.log->compact(); });
    return none();
  });
}

PyObject* store_enter(PyObject* self, PyObject*) noexcept {
  return store_method(self, [&](StoreState&) { return OwnedRef::borrow(self); });
}

PyObject* store_exit(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  return store_close(self, nullptr);
}

PyObject* get_path(PyObject* self, void*) noexcept {
  return guarded([&] {
    StoreState& state = unbox<StoreState>(self);
    return state.path ? OwnedRef::borrow(state.path.get()) : none();
  });
}

PyObject* get_closed(PyObject* self, void*) noexcept {
  return guarded([&] { return boolean(unbox<StoreState>(self).closed.load(std::memory_order_acquire)); });
}

}  // namespace tallowmere::py

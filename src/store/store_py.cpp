// store_py.cpp: the Python class Store over the C++ Store.
// Names are read as views of the argument strings' own UTF-8 (kept alive by the
// caller's references for the whole call) and copied only where they are stored.
// Every method takes shared access to the object, converts its arguments and
// encodes values while holding the interpreter lock, releases the interpreter
// lock around all shard work (nothing Python is touched meanwhile, not even a
// reference count), and decodes and builds results after taking it back. Since
// encoding can run Python code (a re-entrant call on the same store included),
// no store lock is ever held while it runs.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/codec_py.h"
#include "codec/output_buffer.h"
#include "condition/encoded.h"
#include "condition/parser.h"
#include "py/access.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/owned_ref.h"
#include "py/types.h"
#include "store/store.h"
#include "store/store_py.h"
#include "store/store_state_py.h"
#include "persist/operation_codec.h"

namespace tallowmere::py {
namespace {

// The encoder's output buffer, reused across calls on one thread. A call takes
// the thread's spare buffer and gives it back when done, so a call that re-enters
// the module while encoding (Python code run by the encoder or by a finalizer)
// simply starts with a fresh buffer instead of writing into one that is in use.
// Values are encoded back to back; the copies into shared buffers are made after
// the interpreter lock is released, so big values are copied in parallel. Large
// str and bytes payloads are not copied into the buffer but referenced (held by
// `large_`), so each is copied once, straight into its shared buffer.
// The batch must be destroyed with the interpreter lock held.
class EncodedBatch {
 public:
  EncodedBatch() : buffer_(std::move(spare())) { buffer_.clear(); }
  ~EncodedBatch() {
    buffer_.clear();  // drops the pieces that point into objects about to be released
    if (buffer_.capacity() <= kKeepBytes) spare() = std::move(buffer_);
  }
  EncodedBatch(const EncodedBatch&) = delete;
  EncodedBatch& operator=(const EncodedBatch&) = delete;

  void reserve(std::size_t count) { ends_.reserve(count); }
  // Needs the interpreter lock.
  void encode(PyObject* value) {
    encode_into(buffer_, value, &large_);
    ends_.push_back(buffer_.size());
  }
  // The i-th encoding as a new shared buffer; touches nothing Python.
  EncodedValue value(std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    const std::size_t end = ends_[i];
    if (!buffer_.has_external()) return EncodedValue::copy_of(buffer_.data() + begin, end - begin);
    return EncodedValue::filled(buffer_.output_size(begin, end),
                                [&](char* out) { buffer_.copy_to(out, begin, end); });
  }

 private:
  static constexpr std::size_t kKeepBytes = 64 * 1024;  // larger buffers go back to the system
  static OutputBuffer& spare() {
    thread_local OutputBuffer buffer;
    return buffer;
  }
  LargePayloads large_;  // declared before buffer_, so it outlives the pieces in it
  OutputBuffer buffer_;
  std::vector<std::size_t> ends_;
};

std::string utf8_copy(PyObject* obj, const char* arg_name) { return std::string(arg_str(obj, arg_name)); }

// The items of a batch element, which must be a tuple of exactly N items (borrowed
// from it). The common case is read directly; anything else goes through the
// binding layer's converter for its exact error.
template <std::size_t N>
class TupleParts {
 public:
  TupleParts(PyObject* element, const char* arg_name) {
    if ((PyTuple_CheckExact(element) || PyTuple_Check(element)) && PyTuple_Size(element) == static_cast<Py_ssize_t>(N)) {
      for (std::size_t i = 0; i < N; ++i) parts_[i] = PyTuple_GetItem(element, static_cast<Py_ssize_t>(i));
    } else {
      const std::vector<PyObject*> parts = tuple_items(element, N, arg_name);
      std::copy(parts.begin(), parts.end(), parts_.begin());
    }
  }
  PyObject* operator[](std::size_t i) const noexcept { return parts_[i]; }

 private:
  std::array<PyObject*, N> parts_{};
};

OwnedRef decode_value(const EncodedValue& value) { return decode(value.data(), value.size()); }

OwnedRef str_list(const std::vector<std::string>& names) {
  OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), str_from_utf8(names[i]).release());
  }
  return list;
}

// ---- construction and small members -----------------------------------------

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static const Params<3> params{"Store.__new__", {"backend", "codec", "max_history"}, 0};
    auto [backend_arg, codec_arg, max_history_arg] = bind(params, args, kwargs);
    const std::string backend = backend_arg != nullptr ? utf8_copy(backend_arg, "backend") : "memory";
    std::string codec = codec_arg != nullptr ? utf8_copy(codec_arg, "codec") : "msgpack";
    std::optional<std::uint64_t> max_history = 0;
    if (max_history_arg == Py_None) {
      max_history = std::nullopt;  // unlimited
    } else if (max_history_arg != nullptr) {
      max_history = arg_u64(max_history_arg, "max_history");
    }
    if (backend != "memory") {
      raise(PyExc_ValueError, "backend '" + backend + "' is not available in this build (only 'memory')");
    }
    if (codec != "msgpack") raise(PyExc_ValueError, "codec '" + codec + "' is not supported (only 'msgpack')");
    return make_instance<StoreState>(type, max_history, std::move(codec));
  });
}

// A store holding many entries is freed with the interpreter lock released, so
// dropping it does not stall every other thread (freeing touches no Python object;
// no other call can reach a store whose last reference is gone).
void store_dealloc(PyObject* self) noexcept {
  StoreState& state = unbox<StoreState>(self);
  close_log_quietly(state);
  // Closed: clearing below frees memory and must not be logged. No other thread can
  // reach a store whose last reference is gone.
  state.store.attach_journal(nullptr);
  if (state.store.entry_count() >= kFreeWithoutGil) {
    GilReleased nogil;
    state.store.clear();
    state.store.clear_history();
  }
  dealloc_instance<StoreState>(self);
}

PyObject* get_codec(PyObject* self, void*) noexcept {
  return store_method(self, [](StoreState& state) { return str_from_utf8(state.codec); });
}

PyObject* get_max_history(PyObject* self, void*) noexcept {
  return store_method(self, [](StoreState& state) {
    const std::optional<std::uint64_t> limit = state.store.max_history();
    return limit ? check_new(PyLong_FromUnsignedLongLong(*limit)) : none();
  });
}

// Closed stores refuse the protocol slots too (they are not methods).
void refuse_if_closed(const StoreState& state) {
  if (state.closed.load(std::memory_order_acquire)) raise(PyExc_ValueError, "operation on a closed store");
}

Py_ssize_t store_length(PyObject* self) noexcept {
  return guarded_value<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    StoreState& state = unbox<StoreState>(self);
    SharedAccess access(state.access);
    refuse_if_closed(state);
    const std::uint64_t count = without_gil([&] { return state.store.entry_count(); });
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      raise(PyExc_OverflowError, "the store holds more entries than fit in a Py_ssize_t");
    }
    return static_cast<Py_ssize_t>(count);
  });
}

// Works on a closed store as well, as a closed file's repr does.
PyObject* store_repr(PyObject* self) noexcept {
  return guarded([&] {
    StoreState& state = unbox<StoreState>(self);
    SharedAccess access(state.access);
    const bool closed = state.closed.load(std::memory_order_acquire);
    std::string tail = "closed";
    if (!closed) tail = "entries=" + std::to_string(without_gil([&] { return state.store.entry_count(); }));
    if (!state.log) {
      return str_from_utf8("Store(backend='memory', codec='" + state.codec + "', " + tail + ")");
    }
    static constexpr const char* kModes[] = {"always", "interval", "never"};
    OwnedRef path = check_new(PyObject_Repr(state.path.get()));
    OwnedRef text = check_new(PyUnicode_FromFormat("Store(path=%U, fsync='%s', %s)", path.get(),
                                                   kModes[static_cast<int>(state.log->mode())], tail.c_str()));
    return text;
  });
}

// ---- single-key operations -------------------------------------------------------

PyObject* store_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<3> params{"Store.set", {"namespace", "key", "value"}, 3};
    auto [namespace_arg, key_arg, value_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    const std::string_view key = arg_str(key_arg, "key");
    EncodedBatch encoded;
    encoded.encode(value_arg);
    without_gil([&] { state.store.set(namespace_name, key, encoded.value(0)); });
    return none();
  });
}

PyObject* store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<3> params{"Store.get", {"namespace", "key", "default"}, 2};
    auto [namespace_arg, key_arg, default_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    const std::string_view key = arg_str(key_arg, "key");
    const EncodedValue found = without_gil([&] { return state.store.get(namespace_name, key); });
    if (found) return decode_value(found);
    return OwnedRef::borrow(default_arg != nullptr ? default_arg : Py_None);
  });
}

PyObject* store_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<2> params{"Store.contains", {"namespace", "key"}, 2};
    auto [namespace_arg, key_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    const std::string_view key = arg_str(key_arg, "key");
    return boolean(without_gil([&] { return state.store.contains(namespace_name, key); }));
  });
}

PyObject* store_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<2> params{"Store.delete", {"namespace", "key"}, 2};
    auto [namespace_arg, key_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    const std::string_view key = arg_str(key_arg, "key");
    return boolean(without_gil([&] { return state.store.delete_key(namespace_name, key); }));
  });
}

PyObject* store_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<3> params{"Store.add", {"namespace", "key", "value"}, 3};
    auto [namespace_arg, key_arg, value_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    const std::string_view key = arg_str(key_arg, "key");
    EncodedBatch encoded;
    encoded.encode(value_arg);
    return boolean(without_gil([&] { return state.store.add(namespace_name, key, encoded.value(0)); }));
  });
}

OwnedRef count_result(std::uint64_t count) { return check_new(PyLong_FromUnsignedLongLong(count)); }

PyObject* store_delete_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.delete_namespace", {"namespace"}, 1};
    auto [namespace_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    return count_result(without_gil([&] { return state.store.delete_namespace(namespace_name); }));
  });
}

PyObject* store_copy_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<2> params{"Store.copy_namespace", {"source", "target"}, 2};
    auto [source_arg, target_arg] = bind(params, args, nargs, kwnames);
    const std::string_view source = arg_str(source_arg, "source");
    const std::string_view target = arg_str(target_arg, "target");
    return count_result(without_gil([&] { return state.store.copy_namespace(source, target); }));
  });
}

int store_contains_namespace(PyObject* self, PyObject* arg) noexcept {
  return guarded_value(-1, [&] {
    StoreState& state = unbox<StoreState>(self);
    SharedAccess access(state.access);
    refuse_if_closed(state);
    const std::string_view namespace_name = arg_str(arg, "namespace");
    return without_gil([&] { return state.store.contains_namespace(namespace_name); }) ? 1 : 0;
  });
}

// ---- batches -----------------------------------------------------------------------

// Converts a batch of (namespace, key, value) triples and writes it through `write`
// with the interpreter lock released. Every element is converted before any value
// is encoded, and every value is encoded before the first lock: bad input anywhere
// leaves the store untouched.
template <class Write>
void write_batch(PyObject* items_arg, Write&& write) {
  const std::vector<OwnedRef> elements = arg_sequence_items(items_arg, "items");
  // Names and values are borrowed from the tuples, which `elements` keeps alive.
  std::vector<WriteView> batch;
  std::vector<PyObject*> values;
  batch.reserve(elements.size());
  values.reserve(elements.size());
  for (const OwnedRef& element : elements) {
    const TupleParts<3> parts(element.get(), "items");
    const std::string_view namespace_name = arg_str(parts[0], "items");
    batch.push_back({namespace_name, arg_str(parts[1], "items"), EncodedValue()});
    values.push_back(parts[2]);
  }
  EncodedBatch encoded;
  encoded.reserve(batch.size());
  for (PyObject* value : values) encoded.encode(value);
  if (batch.empty()) return;
  without_gil([&] {
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].value = encoded.value(i);
    write(std::move(batch));
  });
}

PyObject* store_set_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.set_many", {"items"}, 1};
    auto [items_arg] = bind(params, args, nargs, kwnames);
    write_batch(items_arg, [&](std::vector<WriteView> batch) { state.store.set_many(std::move(batch)); });
    return none();
  });
}

PyObject* store_set_many_atomic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.set_many_atomic", {"items"}, 1};
    auto [items_arg] = bind(params, args, nargs, kwnames);
    write_batch(items_arg, [&](std::vector<WriteView> batch) { state.store.set_many_atomic(std::move(batch)); });
    return none();
  });
}

PyObject* store_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.add_many", {"items"}, 1};
    auto [items_arg] = bind(params, args, nargs, kwnames);
    std::uint64_t written = 0;
    write_batch(items_arg, [&](std::vector<WriteView> batch) { written = state.store.add_many(std::move(batch)); });
    return count_result(written);
  });
}

PyObject* store_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.get_many", {"pairs"}, 1};
    auto [pairs_arg] = bind(params, args, nargs, kwnames);
    const std::vector<OwnedRef> elements = arg_sequence_items(pairs_arg, "pairs");
    std::vector<KeyPath> pairs;
    pairs.reserve(elements.size());
    for (const OwnedRef& element : elements) {
      const TupleParts<2> parts(element.get(), "pairs");
      const std::string_view namespace_name = arg_str(parts[0], "pairs");
      pairs.push_back({namespace_name, arg_str(parts[1], "pairs")});
    }
    std::vector<EncodedValue> found;
    if (!pairs.empty()) found = without_gil([&] { return state.store.get_many(pairs); });
    OwnedRef results = check_new(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    const BatchDecoder decode_found;
    for (std::size_t i = 0; i < found.size(); ++i) {
      OwnedRef item = found[i] ? decode_found(found[i].data(), found[i].size()) : none();
      PyList_SetItem(results.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return results;
  });
}

// ---- key and namespace queries -------------------------------------------------------

PyObject* store_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<2> params{"Store.keys", {"namespace", "prefix"}, 1};
    auto [namespace_arg, prefix_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    const std::optional<std::string_view> prefix = arg_optional_str(prefix_arg, "prefix");
    const KeyMap keys = without_gil([&] { return state.store.key_map(namespace_name); });
    // The clone is private to this call: strings are built straight from it.
    const std::string_view filter = prefix.value_or(std::string_view());
    if (filter.empty()) {  // every key: the list's size is known
      OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(keys.size())));
      Py_ssize_t at = 0;
      keys.for_each([&](const std::string& key, const EncodedValue&) {
        PyList_SetItem(list.get(), at++, str_from_utf8(key).release());
      });
      return list;
    }
    OwnedRef list = check_new(PyList_New(0));
    keys.for_each([&](const std::string& key, const EncodedValue&) {
      if (has_prefix(key, filter)) check_status(PyList_Append(list.get(), str_from_utf8(key).get()));
    });
    return list;
  });
}

PyObject* store_max_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.max_key", {"namespace"}, 1};
    auto [namespace_arg] = bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    const std::optional<std::string> greatest = without_gil([&] { return state.store.max_key(namespace_name); });
    return greatest ? str_from_utf8(*greatest) : none();
  });
}

PyObject* store_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<8> params{
        "Store.scan", {"namespace", "prefix", "start", "stop", "reverse", "limit", "where", "values"}, 1};
    constexpr Py_ssize_t kPositional = 2;  // the rest are keyword-only
    if (nargs > kPositional) {
      raise(PyExc_TypeError, "Store.scan() takes from 1 to 2 positional arguments but " +
                                 std::to_string(nargs) + " were given");
    }
    auto [namespace_arg, prefix_arg, start_arg, stop_arg, reverse_arg, limit_arg, where_arg, values_arg] =
        bind(params, args, nargs, kwnames);
    const std::string_view namespace_name = arg_str(namespace_arg, "namespace");
    ScanRange range;
    range.prefix = arg_optional_str(prefix_arg, "prefix");
    range.start = arg_optional_str(start_arg, "start");
    range.stop = arg_optional_str(stop_arg, "stop");
    range.reverse = reverse_arg != nullptr && arg_bool(reverse_arg, "reverse");
    if (limit_arg != nullptr && limit_arg != Py_None) range.limit = arg_u64(limit_arg, "limit");
    const bool with_values = values_arg != nullptr && arg_bool(values_arg, "values");
    std::optional<condition::Expr> where;
    if (const std::optional<std::string_view> text = arg_optional_str(where_arg, "where")) {
      auto parsed = condition::parse_condition(*text);
      if (!parsed) raise(PyExc_ValueError, "invalid condition: " + parsed.error());
      where = std::move(parsed).value();
      // Runs with the interpreter lock released, on the scan's private clone.
      range.filter = [&expr = *where](const EncodedValue& value) {
        return condition::holds_encoded(expr, value.bytes());
      };
    }
    const std::vector<ScanEntry> found = without_gil([&] { return state.store.scan(namespace_name, range); });
    OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!with_values) {
      for (std::size_t i = 0; i < found.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), str_from_utf8(found[i].key).release());
      }
      return list;
    }
    const BatchDecoder decode_found;
    for (std::size_t i = 0; i < found.size(); ++i) {
      OwnedRef key = str_from_utf8(found[i].key);
      OwnedRef value = decode_found(found[i].value.data(), found[i].value.size());
      OwnedRef pair = check_new(PyTuple_New(2));
      PyTuple_SetItem(pair.get(), 0, key.release());
      PyTuple_SetItem(pair.get(), 1, value.release());
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
  });
}

PyObject* store_namespaces(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.namespaces", {"prefix"}, 0};
    auto [prefix_arg] = bind(params, args, nargs, kwnames);
    const std::optional<std::string_view> prefix = arg_optional_str(prefix_arg, "prefix");
    const std::vector<std::string> names = without_gil([&] { return state.store.namespaces(prefix); });
    return str_list(names);
  });
}

PyObject* store_clear(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<0> params{"Store.clear", {}, 0};
    bind(params, args, nargs, kwnames);
    without_gil([&] { state.store.clear(); });
    return none();
  });
}

// ---- snapshots and history ---------------------------------------------------------

PyObject* store_snapshot(PyObject* self, PyObject*) noexcept {
  return store_method(self, [&](StoreState& state) {
    check(reinterpret_cast<PyObject*>(snapshot_type()));  // before the capture, so a failure wastes no id
    SnapshotRef record = without_gil([&] { return state.store.snapshot(); });
    return wrap_snapshot(std::move(record));
  });
}

PyObject* store_history(PyObject* self, PyObject*) noexcept {
  return store_method(self, [&](StoreState& state) {
    const std::vector<SnapshotRef> records = without_gil([&] { return state.store.history(); });
    OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), wrap_snapshot(records[i]).release());
    }
    return list;
  });
}

PyObject* store_clear_history(PyObject* self, PyObject*) noexcept {
  return store_method(self, [&](StoreState& state) {
    without_gil([&] { state.store.clear_history(); });
    return none();
  });
}

PyObject* store_restore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<1> params{"Store.restore", {"snapshot"}, 1};
    auto [snapshot_arg] = bind(params, args, nargs, kwnames);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(check(reinterpret_cast<PyObject*>(snapshot_type())));
    // The record is shared with the Snapshot object, which the caller keeps alive.
    const SnapshotRef& record = snapshot_record(arg_instance(snapshot_arg, type, "Snapshot", "snapshot"));
    without_gil([&] { state.store.restore(*record); });
    return none();
  });
}

// ---- records: a change as bytes, for replicas -------------------------------------

// The items a record operation tuple holds, kind included.
std::size_t operation_arity(std::string_view kind) {
  if (kind == "set") return 4;
  if (kind == "delete" || kind == "copy_namespace") return 3;
  if (kind == "delete_namespace") return 2;
  if (kind == "clear") return 1;
  raise(PyExc_ValueError, "operations: unknown operation '" + std::string(kind) +
                              "' (expected 'set', 'delete', 'delete_namespace', 'copy_namespace' or 'clear')");
}

PyObject* store_encode_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<1> params{"Store.encode_record", {"operations"}, 1};
    auto [operations_arg] = bind(params, args, nargs, kwnames);
    // Names are views of the tuples' strings, which `elements` keeps alive.
    const std::vector<OwnedRef> elements = arg_sequence_items(operations_arg, "operations");
    std::vector<Operation> operations;
    std::vector<PyObject*> values;
    operations.reserve(elements.size());
    for (const OwnedRef& element : elements) {
      if (!PyTuple_Check(element.get()) || PyTuple_Size(element.get()) < 1) {
        raise(PyExc_TypeError, "operations: each operation must be a tuple ('kind', ...), not " +
                                   type_name(element.get()));
      }
      const std::string_view kind = arg_str(PyTuple_GetItem(element.get(), 0), "operations");
      const std::size_t arity = operation_arity(kind);
      const auto size = static_cast<std::size_t>(PyTuple_Size(element.get()));
      if (size != arity) {
        raise(PyExc_ValueError, "operations: '" + std::string(kind) + "' takes " + std::to_string(arity) +
                                    " items, got " + std::to_string(size));
      }
      // Names are refused as the store's own methods refuse them, argument names included.
      const auto text = [&](Py_ssize_t i, const char* name) { return arg_str(PyTuple_GetItem(element.get(), i), name); };
      if (kind == "set") {
        operations.push_back(Operation::set(text(1, "namespace"), text(2, "key"), EncodedValue()));
        values.push_back(PyTuple_GetItem(element.get(), 3));
      } else if (kind == "delete") {
        operations.push_back(Operation::delete_key(text(1, "namespace"), text(2, "key")));
      } else if (kind == "delete_namespace") {
        operations.push_back(Operation::delete_namespace(text(1, "namespace")));
      } else if (kind == "copy_namespace") {
        operations.push_back(Operation::copy_namespace(text(1, "source"), text(2, "target")));
      } else {
        operations.push_back(Operation::clear());
      }
    }
    EncodedBatch encoded;
    encoded.reserve(values.size());
    for (PyObject* value : values) encoded.encode(value);
    std::size_t next_value = 0;
    for (Operation& op : operations) {
      if (op.kind == OperationKind::kSet) op.value = encoded.value(next_value++);
    }
    std::string payload;
    persist::append_operations(payload, operations);
    return check_new(PyBytes_FromStringAndSize(payload.data(), static_cast<Py_ssize_t>(payload.size())));
  });
}

PyObject* store_apply_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return store_method(self, [&](StoreState& state) {
    static const Params<2> params{"Store.apply_record", {"record", "strict"}, 1};
    if (nargs > 1) {
      raise(PyExc_TypeError, "Store.apply_record() takes 1 positional argument but " + std::to_string(nargs) +
                                 " were given");
    }
    auto [record_arg, strict_arg] = bind(params, args, nargs, kwnames);
    const bool strict = strict_arg == nullptr || arg_bool(strict_arg, "strict");
    // bytes cannot change under us; a bytearray could (another thread may resize it
    // while the lock is released), so its contents are copied.
    std::string copied;
    std::string_view bytes;
    if (PyBytes_Check(record_arg)) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      check_status(PyBytes_AsStringAndSize(record_arg, &data, &size));
      bytes = {data, static_cast<std::size_t>(size)};
    } else if (PyByteArray_Check(record_arg)) {
      copied.assign(PyByteArray_AsString(record_arg), static_cast<std::size_t>(PyByteArray_Size(record_arg)));
      bytes = copied;
    } else {
      raise_not_instance(record_arg, "bytes", "record");
    }
    std::vector<Operation> operations;
    try {
      operations = persist::decode_operations(bytes, 0, persist::OperationSet::kAll);
    } catch (const persist::Damage& damage) {
      raise(PyExc_ValueError, "invalid record at offset " + std::to_string(damage.offset) + ": " + damage.what);
    }
    without_gil([&] { state.store.apply(operations, strict ? Store::Fit::kStrict : Store::Fit::kLenient); });
    return none();
  });
}

// ---- type ----------------------------------------------------------------------------

PyMethodDef store_methods[] = {
    method_entry("set", store_set,
     "set($self, namespace, key, value)\n--\n\n"
     "Store `value` under `(namespace, key)`, replacing any existing value."),
    method_entry("get", store_get,
     "get($self, namespace, key, default=None)\n--\n\n"
     "Return the value at `(namespace, key)`, or `default` (None) if absent."),
    method_entry("contains", store_contains,
     "contains($self, namespace, key)\n--\n\n"
     "Return whether `(namespace, key)` exists."),
    method_entry("delete", store_delete,
     "delete($self, namespace, key)\n--\n\n"
     "Delete `(namespace, key)`. Returns True if a value was removed.\n\n"
     "A namespace that loses its last key is dropped as well; otherwise empty\n"
     "namespaces would pile up in the result of `namespaces()`, which callers scan."),
    method_entry("add", store_add,
     "add($self, namespace, key, value)\n--\n\n"
     "Store `value` under `(namespace, key)` only if that pair is absent.\n\n"
     "Returns True if it wrote. The check and the write happen under one shard\n"
     "lock, so of several threads adding one pair exactly one wins."),
    method_entry("delete_namespace", store_delete_namespace,
     "delete_namespace($self, namespace)\n--\n\n"
     "Remove every key of `namespace` at once. Returns how many were removed."),
    method_entry("copy_namespace", store_copy_namespace,
     "copy_namespace($self, source, target)\n--\n\n"
     "Make `target` a copy of `source`, replacing what `target` held.\n\n"
     "The two share one persistent key map, so the copy costs O(1) until either\n"
     "side is written. Returns the number of keys copied."),
    method_entry("set_many", store_set_many,
     "set_many($self, items)\n--\n\n"
     "Store many `(namespace, key, value)` triples in one call.\n\n"
     "Values are encoded under the GIL, then written with the GIL released,\n"
     "locking each shard once for the whole batch (not once per item), which\n"
     "amortizes the per-call and lock overhead over the batch."),
    method_entry("set_many_atomic", store_set_many_atomic,
     "set_many_atomic($self, items)\n--\n\n"
     "Store many `(namespace, key, value)` triples as one atomic batch.\n\n"
     "Every shard the batch touches is write-locked (in ascending order) for the\n"
     "whole batch, so no reader and no snapshot sees part of it."),
    method_entry("add_many", store_add_many,
     "add_many($self, items)\n--\n\n"
     "Store each `(namespace, key, value)` triple only if that pair is absent.\n\n"
     "One call for many `add`s: each shard is locked once for its part of the\n"
     "batch; of several triples for one pair the first wins. Returns how many\n"
     "were written."),
    method_entry("get_many", store_get_many,
     "get_many($self, pairs)\n--\n\n"
     "Fetch many `(namespace, key)` pairs in one call, preserving input order.\n\n"
     "Missing pairs come back as `None`. Bytes are read with the GIL released\n"
     "(one read lock per shard for the batch), then decoded under the GIL."),
    method_entry("keys", store_keys,
     "keys($self, namespace, prefix=None)\n--\n\n"
     "Keys within `namespace`, optionally only those starting with `prefix`.\n\n"
     "Empty list if the namespace is unknown."),
    method_entry("scan", store_scan,
     "scan($self, namespace, prefix=None, *, start=None, stop=None, reverse=False, limit=None, where=None, values=False)\n--\n\n"
     "Keys of `namespace` in code point order, within `[start, stop)`.\n\n"
     "`prefix` keeps keys that begin with it; `reverse` lists greatest first;\n"
     "`limit` keeps the first `limit` in that order; `where` is a routing\n"
     "condition evaluated against each stored value in native code, with the\n"
     "GIL released. With `values=True` the result holds `(key, value)` pairs,\n"
     "and only those values are decoded."),
    method_entry("max_key", store_max_key,
     "max_key($self, namespace)\n--\n\n"
     "The greatest key in `namespace`, or `None` if it holds nothing.\n\n"
     "Scans the namespace once without building a key list: what callers after\n"
     "the newest entry need (framework adapters resolve the latest checkpoint\n"
     "id this way)."),
    method_entry("namespaces", store_namespaces,
     "namespaces($self, prefix=None)\n--\n\n"
     "Namespaces in the store, optionally only those starting with `prefix`.\n\n"
     "Filtering happens here rather than in the caller so that a prefix scan\n"
     "copies only the names it returns. Callers that key namespaces by tenant\n"
     "or thread (as framework adapters do) would otherwise pay for a full copy\n"
     "of every name on each lookup."),
    method_entry("clear", store_clear,
     "clear($self)\n--\n\n"
     "Remove all entries (does not clear snapshot history)."),
    method_entry("snapshot", store_snapshot,
     "snapshot($self)\n--\n\n"
     "Capture a cheap, immutable snapshot of the current state.\n\n"
     "Read-locks every shard (in order) so the clone is a consistent\n"
     "point-in-time view, then clones each shard map (O(1) structural share)."),
    method_entry("history", store_history,
     "history($self)\n--\n\n"
     "Snapshots retained by this store, oldest first.\n\n"
     "Empty unless the store was built with `max_history`; the snapshots\n"
     "returned by [`Store::snapshot`] are always valid on their own."),
    method_entry("clear_history", store_clear_history,
     "clear_history($self)\n--\n\n"
     "Drop every retained snapshot, releasing the state they pin."),
    method_entry("restore", store_restore,
     "restore($self, snapshot)\n--\n\n"
     "Roll the store back to a previously captured snapshot."),
    method_entry("apply_record", store_apply_record,
     "apply_record($self, record, *, strict=True)\n--\n\n"
     "Apply every operation of `record` (bytes from `Store.encode_record`) as one change.\n\n"
     "Readers and snapshots see all of it or none of it. With `strict`, the record must\n"
     "fit the store: a delete of an absent pair or namespace raises ValueError and\n"
     "nothing changes (a replica that diverged is found out); without it, such a delete\n"
     "does nothing. A malformed record always raises ValueError. A durable store logs\n"
     "what the record changed, like any write."),
    class_method_entry("encode_record", store_encode_record,
     "encode_record($type, operations)\n--\n\n"
     "The bytes of one change: a record that `apply_record` applies.\n\n"
     "`operations` holds tuples `('set', namespace, key, value)`, `('delete', namespace,\n"
     "key)`, `('delete_namespace', namespace)`, `('copy_namespace', source, target)` and\n"
     "`('clear',)`, applied in order. Values are encoded as `set` encodes them. The\n"
     "bytes are those a durable store logs for the same change."),
    class_method_entry("open", store_open,
     "open($type, path, *, fsync='always', fsync_interval=1.0, max_history=0)\n--\n\n"
     "A store whose every change is logged to the file at `path`.\n\n"
     "Opening loads the file's latest image and the changes after it (a missing file\n"
     "starts empty), and the store goes on writing the same file. `fsync` says when a\n"
     "write returns: 'always' once its record is on stable storage (concurrent writers\n"
     "share syncs), 'interval' once the record is in the OS (synced in the background\n"
     "at least every `fsync_interval` seconds), 'never' likewise (synced by `flush`,\n"
     "compaction and `close` only). One store per file: a second open raises OSError."),
    method_entry("close", store_close,
     "close($self)\n--\n\n"
     "Sync and release a durable store's file; afterwards every method raises.\n\n"
     "Closing a closed store does nothing. A memory store is closed as well."),
    method_entry("flush", store_flush,
     "flush($self)\n--\n\n"
     "Sync every change logged so far to stable storage (nothing for a memory store)."),
    method_entry("compact", store_compact,
     "compact($self)\n--\n\n"
     "Write a new image of a durable store and drop the log before it.\n\n"
     "Writers go on meanwhile: the image is written from an O(1) snapshot."),
    method_entry("__enter__", store_enter, "__enter__($self)\n--\n\nReturn the store itself."),
    method_entry("__exit__", store_exit, "__exit__($self, *exc_info)\n--\n\nClose the store."),
    class_method_entry("from_bytes", store_from_bytes,
     "from_bytes($type, data, max_history=0)\n--\n\n"
     "A new store holding the state in `data`, the bytes of `Snapshot.to_bytes`."),
    class_method_entry("load", store_load,
     "load($type, path, max_history=0)\n--\n\n"
     "A new store holding the state saved in the file at `path`.\n\n"
     "The state is the file's image plus every complete delta after it. A record\n"
     "cut short at the very end (an append interrupted by a crash) is left out with\n"
     "a RuntimeWarning naming its offset; any other damage raises ValueError naming\n"
     "the offset. The loaded store is a new store: its snapshot ids start at 1 and\n"
     "its history is empty, so continuing the file needs a fresh full image."),
    kMethodTableEnd,
};

PyGetSetDef store_getset[] = {
    {"codec", get_codec, nullptr, "Serialization codec in use (currently always `\"msgpack\"`).", nullptr},
    {"max_history", get_max_history, nullptr,
     "How many snapshots the store retains: `0` none, `n` the last `n`,\n`None` unlimited.", nullptr},
    {"path", get_path, nullptr, "The file a durable store logs to (os.fspath of what `open` was given), or None.", nullptr},
    {"closed", get_closed, nullptr, "Whether `close()` has been called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("Store(backend=\"memory\", codec=\"msgpack\", max_history=...)\n--\n\n"
                                  "Framework-agnostic state store with immutable snapshots.")},
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_tp_methods, store_methods},
    {Py_tp_getset, store_getset},
    {Py_sq_length, reinterpret_cast<void*>(store_length)},
    {Py_sq_contains, reinterpret_cast<void*>(store_contains_namespace)},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "tallowmere._core.Store",
    static_cast<int>(sizeof(Boxed<StoreState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    store_slots,
};

PyTypeObject* store_type_slot = nullptr;

}  // namespace

PyTypeObject* store_type() noexcept { return cached_type(store_type_slot, &store_spec); }

}  // namespace tallowmere::py

// snapshot_py.cpp: the Python class Snapshot, one shared reference to an
// immutable SnapshotData. Members read the record under the interpreter lock and
// take no lock of the store: the record never changes, so they never wait and
// stay valid after the store is gone. Python cannot construct a Snapshot; only
// Store.snapshot() and Store.history() make them.
#include <Python.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/owned_ref.h"
#include "py/types.h"
#include "store/snapshot_diff.h"
#include "store/store_py.h"

namespace tallowmere::py {
namespace {

const SnapshotData& record_of(PyObject* self) noexcept { return *unbox<SnapshotRef>(self); }

// Builds (namespace, key) tuples, creating each namespace's str once: pairs of one
// namespace arrive together, as views into the same stored name.
class PairTupleMaker {
 public:
  OwnedRef make(std::string_view namespace_name, std::string_view key) {
    if (!namespace_str_ || namespace_name.data() != last_namespace_.data() ||
        namespace_name.size() != last_namespace_.size()) {
      namespace_str_ = str_from_utf8(namespace_name);
      last_namespace_ = namespace_name;
    }
    OwnedRef key_str = str_from_utf8(key);
    return check_new(PyTuple_Pack(2, namespace_str_.get(), key_str.get()));
  }

 private:
  OwnedRef namespace_str_;
  std::string_view last_namespace_;
};

OwnedRef pair_list(const std::vector<KeyPairView>& pairs) {
  OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  PairTupleMaker maker;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), maker.make(pairs[i].namespace_name, pairs[i].key).release());
  }
  return list;
}

PyObject* get_id(PyObject* self, void*) noexcept {
  return guarded([&] { return check_new(PyLong_FromUnsignedLongLong(record_of(self).id)); });
}

PyObject* get_timestamp(PyObject* self, void*) noexcept {
  return guarded([&] { return check_new(PyFloat_FromDouble(record_of(self).timestamp)); });
}

PyObject* get_parent(PyObject* self, void*) noexcept {
  return guarded([&] {
    const SnapshotData& record = record_of(self);
    return record.parent ? check_new(PyLong_FromUnsignedLongLong(*record.parent)) : none();
  });
}

PyObject* get_size_bytes(PyObject* self, void*) noexcept {
  return guarded([&] { return check_new(PyLong_FromUnsignedLongLong(record_of(self).size_bytes)); });
}

PyObject* get_keys(PyObject* self, void*) noexcept {
  return guarded([&] {
    const SnapshotData& record = record_of(self);
    const std::uint64_t count = record.entry_count();
    OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(count)));
    PairTupleMaker maker;
    std::uint64_t filled = 0;
    record.for_each_pair([&](std::string_view namespace_name, std::string_view key) {
      if (filled == count) throw InternalFailure("snapshot holds more pairs than its counters say");
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(filled++), maker.make(namespace_name, key).release());
    });
    if (filled != count) throw InternalFailure("snapshot holds fewer pairs than its counters say");
    return list;
  });
}

PyObject* snapshot_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<1> params{"Snapshot.diff", {"base"}, 1};
    auto [base_arg] = bind(params, args, nargs, kwnames);
    PyObject* base = arg_instance(base_arg, snapshot_type(), "Snapshot", "base");
    // Both records stay alive for the whole call (self and base are held by the
    // caller) and never change, so the walk runs with the interpreter lock released
    // and the views in `diff` stay valid while the lists are built.
    const SnapshotData& base_record = record_of(base);
    const SnapshotData& record = record_of(self);
    const SnapshotDiff diff = without_gil([&] { return diff_snapshots(base_record, record); });
    OwnedRef result = check_new(PyDict_New());
    check_status(PyDict_SetItemString(result.get(), "added", pair_list(diff.added).get()));
    check_status(PyDict_SetItemString(result.get(), "removed", pair_list(diff.removed).get()));
    check_status(PyDict_SetItemString(result.get(), "changed", pair_list(diff.changed).get()));
    return result;
  });
}

// Writes with the interpreter lock released: the records are immutable and the
// caller's references keep both Snapshot objects (and so the records) alive.
PyObject* snapshot_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<2> params{"Snapshot.save", {"path", "base"}, 1};
    auto [path_arg, base_arg] = bind(params, args, nargs, kwnames);
    const PathArg path = arg_path(path_arg, "path");
    const SnapshotData* base = nullptr;
    if (base_arg != nullptr && base_arg != Py_None) {
      base = &record_of(arg_instance(base_arg, snapshot_type(), "Snapshot", "base"));
    }
    const SnapshotData& record = record_of(self);
    auto saved = without_gil([&] {
      return base != nullptr ? append_delta(path.native, *base, record) : save_image(path.native, record);
    });
    if (!saved) raise_persist_error(saved.error(), path.object.get());
    return none();
  });
}

PyObject* snapshot_to_bytes(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    const SnapshotData& record = record_of(self);
    const std::string bytes = without_gil([&] { return encode_image_file(record); });
    return check_new(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  });
}

PyObject* snapshot_repr(PyObject* self) noexcept {
  return guarded([&] {
    const SnapshotData& record = record_of(self);
    std::string text = "Snapshot(id=" + std::to_string(record.id) + ", size_bytes=" + std::to_string(record.size_bytes) +
                       ", parent=";
    text += record.parent ? "Some(" + std::to_string(*record.parent) + ")" : std::string("None");
    text += ")";
    return str_from_utf8(text);
  });
}

// The last holder of a big record frees it with the interpreter lock released, so
// dropping a snapshot of a million entries does not stall every other thread
// (freeing touches no Python object). use_count() may be stale by the time it is
// read, which only decides whether the lock is released.
void snapshot_dealloc(PyObject* self) noexcept {
  SnapshotRef record = std::move(unbox<SnapshotRef>(self));
  dealloc_instance<SnapshotRef>(self);
  if (record && record.use_count() == 1 && record->entry_count() >= kFreeWithoutGil) {
    GilReleased nogil;
    record.reset();
  }
}

PyMethodDef snapshot_methods[] = {
    method_entry("diff", snapshot_diff,
     "diff($self, base)\n--\n\n"
     "Incremental diff describing how to go from `base` to `self`.\n\n"
     "Returns a dict with keys `\"added\"`, `\"removed\"`, and `\"changed\"`, each\n"
     "mapping to a list of `(namespace, key)` tuples."),
    method_entry("save", snapshot_save,
     "save($self, path, base=None)\n--\n\n"
     "Write this snapshot to the file at `path` (a str or os.PathLike).\n\n"
     "Without `base`, writes a full image atomically: a temporary file in the same\n"
     "directory is flushed and renamed over `path`, so a reader sees the old file or\n"
     "the new one. With `base` (an earlier snapshot of the same store), appends only\n"
     "what changed from `base`; the file's last complete record must be `base`, or\n"
     "ValueError is raised and the file is left as it was. The interpreter lock is\n"
     "released while writing. File system errors raise OSError naming `path`."),
    method_entry("to_bytes", snapshot_to_bytes,
     "to_bytes($self)\n--\n\n"
     "A full image of this snapshot: the bytes `save(path)` writes to a new file.\n\n"
     "`Store.from_bytes` turns them back into a store."),
    kMethodTableEnd,
};

PyGetSetDef snapshot_getset[] = {
    {"id", get_id, nullptr, "Monotonic id assigned by the originating store.", nullptr},
    {"timestamp", get_timestamp, nullptr, "Seconds since the Unix epoch when the snapshot was taken.", nullptr},
    {"parent", get_parent, nullptr, "Id of the previous snapshot from the same store (for incremental diffs).",
     nullptr},
    {"size_bytes", get_size_bytes, nullptr, "Total size in bytes of all stored (serialized) values.", nullptr},
    {"keys", get_keys, nullptr, "All `(namespace, key)` pairs present in the snapshot.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot snapshot_slots[] = {
    {Py_tp_doc, const_cast<char*>("A cheap, immutable point-in-time view of a [`Store`].")},
    {Py_tp_dealloc, reinterpret_cast<void*>(snapshot_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(snapshot_repr)},
    {Py_tp_methods, snapshot_methods},
    {Py_tp_getset, snapshot_getset},
    {0, nullptr},
};

PyType_Spec snapshot_spec = {
    "tallowmere._core.Snapshot",
    static_cast<int>(sizeof(Boxed<SnapshotRef>)),
    0,
    // Calling the class raises "cannot create 'tallowmere._core.Snapshot' instances".
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    snapshot_slots,
};

PyTypeObject* snapshot_type_slot = nullptr;

}  // namespace

PyTypeObject* snapshot_type() noexcept { return cached_type(snapshot_type_slot, &snapshot_spec); }

OwnedRef wrap_snapshot(SnapshotRef record) {
  PyTypeObject* type = snapshot_type();
  if (type == nullptr) throw PythonErrorSet{};
  return make_instance<SnapshotRef>(type, std::move(record));
}

const SnapshotRef& snapshot_record(PyObject* obj) noexcept { return unbox<SnapshotRef>(obj); }

void raise_persist_error(const PersistError& error, PyObject* path) {
  if (error.kind != PersistError::Kind::kOs) raise(PyExc_ValueError, error.message);
  // OSError(errno, text, filename) picks the errno's subclass (FileNotFoundError,
  // PermissionError, ...); the text is the system's, with what failed after it.
  std::string text = std::strerror(error.os_errno);
  if (!error.message.empty()) text += " (" + error.message + ")";
  OwnedRef message = check_new(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  OwnedRef exception = check_new(
      PyObject_CallFunction(PyExc_OSError, "iOO", error.os_errno, message.get(), path != nullptr ? path : Py_None));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  throw PythonErrorSet{};
}

}  // namespace tallowmere::py

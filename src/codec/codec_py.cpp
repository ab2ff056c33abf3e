// Encoding side of the codec: Python objects to MessagePack bytes and to Value trees.
// * One dispatch states the type mapping for every destination. Every value's
//   nesting depth is checked before its type is looked at (a container checks
//   for all its elements at once). The dispatch tries the exact built-in types
//   first, one pointer compare each and the commonest first, and only then the
//   subclass tests, in the documented order str, dict, list, None, bool, int,
//   float, bytes, tuple (under the limited API each is a call to
//   PyType_GetFlags; None and bool have no subclasses).
// * A destination is a target with one member per supported type: ByteWriter
//   appends MessagePack to a buffer; ValueFill writes a Value in place, over the
//   recycled tree of a routing context or over a fresh one.
// * Failures throw: PythonErrorSet with the Python error set, CoreError for our
//   own errors, InternalFailure when a container changes size under the walk.
#include "codec/codec_py.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "codec/msgpack_writer.h"
#include "common/error.h"
#include "py/args.h"
#include "py/errors.h"

namespace tallowmere::py {
namespace {

using msgpack::kMaxDepth;

[[noreturn]] void raise_unsupported_type() {
  throw CoreError(ErrorKind::Type, msgpack::kUnsupportedTypeMessage);
}

[[noreturn]] void raise_int_out_of_range() {
  throw CoreError(ErrorKind::Value, msgpack::kIntOutOfRangeMessage);
}

// An int (or subclass instance) as a signed or unsigned 64-bit number.
struct Int64 {
  bool is_unsigned;  // set only for 2^63 .. 2^64-1
  std::int64_t signed_value;
  std::uint64_t unsigned_value;
};

// The reads below are inlined into the dispatch of every container loop: each
// is a call into the interpreter and a test, with the rare paths kept apart.
[[gnu::noinline, gnu::cold]] Int64 read_int_beyond_i64(PyObject* obj, int overflow) {
  if (overflow > 0) {
    unsigned long long big = PyLong_AsUnsignedLongLong(obj);
    if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      // Beyond 2^64-1: the interpreter's OverflowError becomes ours.
      PyErr_Clear();
      raise_int_out_of_range();
    }
    return {true, 0, big};
  }
  raise_int_out_of_range();
}

[[gnu::always_inline]] inline Int64 read_int(PyObject* obj) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) [[unlikely]]
    return read_int_beyond_i64(obj, overflow);
  if (value == -1 && PyErr_Occurred()) [[unlikely]]
    throw PythonErrorSet{};
  return {false, value, 0};
}

[[gnu::always_inline]] inline double read_float(PyObject* obj) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) [[unlikely]]
    throw PythonErrorSet{};
  return value;
}

[[gnu::always_inline]] inline std::string_view read_utf8(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // lone surrogates raise here
  if (utf8 == nullptr) [[unlikely]]
    throw PythonErrorSet{};
  return {utf8, static_cast<std::size_t>(size)};
}

[[gnu::always_inline]] inline std::string_view read_bytes(PyObject* obj) {
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &bytes, &size) < 0) [[unlikely]]
    throw PythonErrorSet{};
  return {bytes, static_cast<std::size_t>(size)};
}

// The walks below use borrowed references: nothing the encoder calls on the
// success path runs Python code or even creates a Python object (so no garbage
// collection, no finalizer), and the caller's reference keeps the root alive, so
// no container can change or lose an item while it is being converted.
// The size checks are kept all the same: if that ever stopped holding, the walk
// must stop with an internal failure rather than write a count it then breaks.
class DictEntries {
 public:
  explicit DictEntries(PyObject* dict) : dict_(dict), size_(PyDict_Size(dict)) {}
  Py_ssize_t size() const noexcept { return size_; }
  // The next entry in iteration order, or false after the last.
  bool next(PyObject*& key, PyObject*& value) {
    if (PyDict_Size(dict_) != size_) throw InternalFailure("dictionary changed size during iteration");
    if (!PyDict_Next(dict_, &position_, &key, &value)) return false;
    if (++seen_ > size_) throw InternalFailure("dictionary keys changed during iteration");
    return true;
  }

 private:
  PyObject* dict_;
  Py_ssize_t size_;
  Py_ssize_t position_ = 0;
  Py_ssize_t seen_ = 0;
};

// A list or a tuple, walked as one kind of array: its size, read once, and its
// items by index, borrowed.
class ListItems {
 public:
  explicit ListItems(PyObject* list) : list_(list), size_(PyList_Size(list)) {}
  Py_ssize_t size() const noexcept { return size_; }
  PyObject* at(Py_ssize_t i) const {
    PyObject* item = PyList_GetItem(list_, i);
    if (item == nullptr) [[unlikely]] {
      PyErr_Clear();
      throw InternalFailure("list changed size during iteration");
    }
    return item;
  }

 private:
  PyObject* list_;
  Py_ssize_t size_;
};

class TupleItems {
 public:
  explicit TupleItems(PyObject* tuple) : tuple_(tuple), size_(PyTuple_Size(tuple)) {}
  Py_ssize_t size() const noexcept { return size_; }
  PyObject* at(Py_ssize_t i) const noexcept { return PyTuple_GetItem(tuple_, i); }  // immutable: never null

 private:
  PyObject* tuple_;
  Py_ssize_t size_;
};

// ---- The dispatch ------------------------------------------------------------
// A Target has: str(obj), integer(Int64), f64(double), nil(), boolean(bool),
// bytes(obj), dict(obj, depth), array(ListItems or TupleItems, depth).
// A container checks its elements' depth once, before the first, and then
// dispatches each, inlined into its loop, so a scalar element costs no call of ours.

// Capped at 128 so a self-referential or hostile structure cannot exhaust the native stack.
inline void check_depth(unsigned depth) {
  if (depth > kMaxDepth) [[unlikely]]
    msgpack::throw_depth_error();
}

enum class Subclass : std::uint8_t { Str, Dict, List, Int, Float, Bytes, Tuple };

// Which supported type an instance of a subclass converts as, by the documented
// order; the unsupported-type error for anything else.
[[gnu::noinline]] Subclass subclass_of(PyObject* obj) {
  if (PyUnicode_Check(obj)) return Subclass::Str;
  if (PyDict_Check(obj)) return Subclass::Dict;
  if (PyList_Check(obj)) return Subclass::List;
  if (PyLong_Check(obj)) return Subclass::Int;
  if (PyFloat_Check(obj)) return Subclass::Float;
  if (PyBytes_Check(obj)) return Subclass::Bytes;
  if (PyTuple_Check(obj)) return Subclass::Tuple;
  raise_unsupported_type();
}

// Converts `obj`, at nesting level `depth` (already checked), into `target`.
template <class Target>
[[gnu::always_inline]] inline void dispatch(Target&& target, PyObject* obj, unsigned depth) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return target.str(obj);
  if (type == &PyFloat_Type) return target.f64(read_float(obj));
  if (type == &PyLong_Type) return target.integer(read_int(obj));
  if (type == &PyDict_Type) return target.dict(obj, depth);
  if (type == &PyList_Type) return target.array(ListItems(obj), depth);
  if (obj == Py_None) return target.nil();
  if (type == &PyBool_Type) return target.boolean(obj == Py_True);
  if (type == &PyTuple_Type) return target.array(TupleItems(obj), depth);
  if (type == &PyBytes_Type) return target.bytes(obj);
  switch (subclass_of(obj)) {
    case Subclass::Str: return target.str(obj);
    case Subclass::Dict: return target.dict(obj, depth);
    case Subclass::List: return target.array(ListItems(obj), depth);
    case Subclass::Int: return target.integer(read_int(obj));
    case Subclass::Float: return target.f64(read_float(obj));
    case Subclass::Bytes: return target.bytes(obj);
    case Subclass::Tuple: return target.array(TupleItems(obj), depth);
  }
}

// The top of a walk: `obj` at nesting level 0, which the limit always allows.
template <class Target>
void convert(Target&& target, PyObject* obj) {
  dispatch(target, obj, 0);
}

// ---- MessagePack -------------------------------------------------------------

// Encoded forms of recently written short str keys, found by object identity.
// Programs write the same key objects over and over (literals are interned, and
// loads hands out one object per cached key), so a hit skips the UTF-8 lookup
// and the header. A slot holds a strong reference to its key: the object cannot
// die and its address cannot be reused by another string while it is cached,
// and str is immutable, so the stored bytes stay right. Direct-mapped by
// address; at most kSlots small strings are kept alive. Only the main
// interpreter uses it (see caches_usable).
class KeyEncodings {
 public:
  static constexpr std::size_t kMaxEncodedBytes = 32;  // fixstr: header + up to 31 bytes

  static KeyEncodings* for_this_interpreter() noexcept { return caches_usable() ? &instance_ : nullptr; }

  // Writes the exact str `key`, or returns false to have the caller write it.
  bool write(OutputBuffer& out, PyObject* key) {
    Slot& slot = slots_[slot_of(key)];
    if (slot.key != key) {
      // A key is cached on its second sighting in a row at this slot, so a
      // stream of one-off keys costs one compare each and evicts nothing. The
      // candidate is only compared, never dereferenced.
      if (slot.candidate != key) {
        slot.candidate = key;
        return false;
      }
      std::string_view utf8 = read_utf8(key);
      if (utf8.size() > kMaxEncodedBytes - 1) {  // too long to cache: written here, once
        slot.candidate = nullptr;
        msgpack::write_str(out, utf8.data(), msgpack::u32_len(utf8.size(), "string"));
        return true;
      }
      Py_INCREF(key);
      PyObject* evicted = slot.key;
      slot.key = key;
      slot.size = static_cast<std::uint8_t>(utf8.size() + 1);
      slot.encoded[0] = static_cast<char>(0xa0 | utf8.size());
      msgpack::detail::copy_payload(slot.encoded + 1, utf8.data(), static_cast<std::uint32_t>(utf8.size()));
      Py_XDECREF(evicted);  // a str: its deallocation runs no Python code
    }
    char* p = out.reserve(kMaxEncodedBytes);
    msgpack::detail::copy_payload(p, slot.encoded, slot.size);
    out.commit(slot.size);
    return true;
  }

 private:
  struct Slot {
    PyObject* key = nullptr;        // strong reference
    const PyObject* candidate = nullptr;  // last key that missed here; not owned
    std::uint8_t size = 0;
    char encoded[kMaxEncodedBytes];
  };
  static constexpr unsigned kSlotBits = 8;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

  static std::size_t slot_of(PyObject* key) noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(key);
    return static_cast<std::size_t>((address * 0x9e3779b97f4a7c15ULL) >> (64 - kSlotBits));
  }

  Slot slots_[kSlots];
  static KeyEncodings instance_;
};

KeyEncodings KeyEncodings::instance_;

// Appends MessagePack, straight into the buffer: one pass, no intermediate tree.
class ByteWriter {
 public:
  // `keys`: the key cache to use, if any. `large`: when set, big str and bytes
  // payloads are spliced in by reference and kept alive there.
  ByteWriter(OutputBuffer& out, KeyEncodings* keys, LargePayloads* large) noexcept
      : out_(out), keys_(keys), large_(large) {}

  void str(PyObject* obj) {
    std::string_view utf8 = read_utf8(obj);
    if (utf8.size() >= LargePayloads::kMinBytes && write_large_payload(obj, utf8, true)) return;
    msgpack::write_str(out_, utf8.data(), msgpack::u32_len(utf8.size(), "string"));
  }
  void integer(Int64 number) {
    if (number.is_unsigned) return msgpack::write_u64(out_, number.unsigned_value);
    msgpack::write_i64(out_, number.signed_value);
  }
  void f64(double value) { msgpack::write_f64(out_, value); }
  void nil() { msgpack::write_nil(out_); }
  void boolean(bool value) { msgpack::write_bool(out_, value); }
  void bytes(PyObject* obj) {
    std::string_view bytes = read_bytes(obj);
    if (bytes.size() >= LargePayloads::kMinBytes && write_large_payload(obj, bytes, false)) return;
    msgpack::write_bin(out_, bytes.data(), msgpack::u32_len(bytes.size(), "bytes"));
  }
  void dict(PyObject* dict, unsigned depth) {
    DictEntries entries(dict);
    msgpack::write_map_header(out_, msgpack::u32_len(static_cast<std::uint64_t>(entries.size()), "dict"));
    if (entries.size() != 0) check_depth(depth + 1);
    PyObject* key;
    PyObject* value;
    while (entries.next(key, value)) {
      if (keys_ == nullptr || Py_TYPE(key) != &PyUnicode_Type || !keys_->write(out_, key)) {
        dispatch(*this, key, depth + 1);
      }
      dispatch(*this, value, depth + 1);
    }
  }
  template <class Items>
  void array(Items items, unsigned depth) {
    msgpack::write_array_header(out_, msgpack::u32_len(static_cast<std::uint64_t>(items.size()), "list"));
    if (items.size() != 0) check_depth(depth + 1);
    for (Py_ssize_t i = 0; i < items.size(); ++i) dispatch(*this, items.at(i), depth + 1);
  }

 private:
  // Writes the header of a large payload and splices its bytes in by reference.
  // The reference taken keeps the object (and so its bytes: a str's UTF-8 form
  // lives as long as the str) alive and unchanged until the output is copied
  // out, even if another thread drops it from its container meanwhile.
  bool write_large_payload(PyObject* obj, std::string_view payload, bool is_str) {
    if (large_ == nullptr) return false;
    const std::uint32_t n = msgpack::u32_len(payload.size(), is_str ? "string" : "bytes");
    large_->keep(obj);
    char* p = out_.reserve(5);
    char* body = is_str ? msgpack::detail::put_length_header(p, n, 0xa0, 31, 0xd9, 0xda, 0xdb)
                        : msgpack::detail::put_length_header(p, n, 0, 0, 0xc4, 0xc5, 0xc6);
    out_.commit(static_cast<std::size_t>(body - p));
    out_.append_external(payload.data(), payload.size());
    return true;
  }

  OutputBuffer& out_;
  KeyEncodings* keys_;
  LargePayloads* large_;
};

// ---- Value -------------------------------------------------------------------

// Writes the conversion of one object over `into`, reusing the capacity of its
// strings and containers (Value::recycle_as), and counts what it wrote.
class ValueFill {
 public:
  ValueFill(Value& into, RefillFootprint& footprint) noexcept : into_(into), footprint_(footprint) {}

  void str(PyObject* obj) { text_or_binary(Value::Kind::String, read_utf8(obj)); }
  void integer(Int64 number) {
    into_.recycle_as_scalar(number.is_unsigned ? Value::from_u64(number.unsigned_value)
                                               : Value::from_i64(number.signed_value));
  }
  void f64(double value) { into_.recycle_as_scalar(Value::f64(value)); }
  void nil() { into_.recycle_as(Value::Kind::Nil); }
  void boolean(bool value) { into_.recycle_as_scalar(Value::boolean(value)); }
  void bytes(PyObject* obj) { text_or_binary(Value::Kind::Binary, read_bytes(obj)); }
  void dict(PyObject* dict, unsigned depth) {
    DictEntries entries(dict);
    const auto size = static_cast<std::size_t>(entries.size());
    into_.recycle_as(Value::Kind::Map);
    Value::Map& pairs = into_.pairs();
    pairs.resize(size);
    footprint_.values += 2 * size;
    if (size != 0) check_depth(depth + 1);
    std::size_t filled = 0;  // never more than `size`: the walk stops first
    PyObject* key;
    PyObject* value;
    while (entries.next(key, value)) {
      dispatch(ValueFill(pairs[filled].first, footprint_), key, depth + 1);
      dispatch(ValueFill(pairs[filled].second, footprint_), value, depth + 1);
      ++filled;
    }
    pairs.resize(filled);
  }
  template <class Items>
  void array(Items items, unsigned depth) {
    const auto size = static_cast<std::size_t>(items.size());
    into_.recycle_as(Value::Kind::Array);
    Value::Array& values = into_.items();
    values.resize(size);
    footprint_.values += size;
    if (size != 0) check_depth(depth + 1);
    for (std::size_t i = 0; i < size; ++i) {
      dispatch(ValueFill(values[i], footprint_), items.at(static_cast<Py_ssize_t>(i)), depth + 1);
    }
  }

 private:
  void text_or_binary(Value::Kind kind, std::string_view bytes) {
    into_.recycle_as(kind);
    into_.recycled_bytes().assign(bytes.data(), bytes.size());
    footprint_.bytes += bytes.size();
  }

  Value& into_;
  RefillFootprint& footprint_;
};

// dumps encodes into one buffer kept between calls, so a call costs no
// allocation or regrowth for outputs that fit what earlier calls needed. It is
// used only under the interpreter lock, and a nested call (which nothing the
// encoder runs can make, but which costs nothing to allow) gets its own buffer.
constexpr std::size_t kScratchKeepBytes = std::size_t{1} << 20;
OutputBuffer scratch_buffer;
bool scratch_in_use = false;

class ScratchLease {
 public:
  ScratchLease() noexcept : borrowed_(!scratch_in_use) {
    if (borrowed_) scratch_in_use = true;
  }
  ~ScratchLease() {
    if (!borrowed_) return;
    scratch_buffer.clear();
    if (scratch_buffer.capacity() > kScratchKeepBytes) scratch_buffer.reset();  // do not pin big outputs
    scratch_in_use = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  OutputBuffer& buffer() noexcept { return borrowed_ ? scratch_buffer : own_; }

 private:
  bool borrowed_;
  OutputBuffer own_;
};

}  // namespace

void LargePayloads::keep(PyObject* obj) {
  objects_.push_back(OwnedRef::borrow(obj));  // a failed push_back releases the new reference
}

void encode_into(OutputBuffer& out, PyObject* obj, LargePayloads* large) {
  const std::size_t start = out.size();
  ByteWriter writer(out, KeyEncodings::for_this_interpreter(), large);
  try {
    python_errors_only([&] { convert(writer, obj); });
  } catch (...) {
    out.truncate(start);
    throw;
  }
}

Value py_to_value(PyObject* obj) {
  Value value;
  RefillFootprint unused;
  python_errors_only([&] { convert(ValueFill(value, unused), obj); });
  return value;
}

void py_refill_value(Value& target, PyObject* obj, RefillFootprint& footprint) {
  python_errors_only([&] { convert(ValueFill(target, footprint), obj); });
}

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<1> params{"dumps", {"obj"}, 1};
    PyObject* obj = nargs == 1 && kwnames == nullptr ? args[0] : bind(params, args, nargs, kwnames)[0];
    ScratchLease lease;
    OutputBuffer& out = lease.buffer();
    LargePayloads large;
    encode_into(out, obj, &large);
    if (!out.has_external()) return check_new(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    // Each large payload is copied once, straight into the result.
    OwnedRef result = check_new(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(out.output_size())));
    char* bytes = PyBytes_AsString(result.get());
    if (bytes == nullptr) throw PythonErrorSet{};
    out.copy_to(bytes, 0, out.size());
    return result;
  });
}

PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<1> params{"loads", {"data"}, 1};
    PyObject* data = nargs == 1 && kwnames == nullptr ? args[0] : bind(params, args, nargs, kwnames)[0];
    if (Py_TYPE(data) != &PyBytes_Type && !PyBytes_Check(data)) raise_not_instance(data, "bytes", "data");
    std::string_view bytes = read_bytes(data);
    return decode(bytes.data(), bytes.size());
  });
}

}  // namespace tallowmere::py

// Encoding side of the codec: Python objects to MessagePack bytes and to Value.
// The type tests follow one order (str, dict, list, None, bool, int, float, bytes,
// tuple); the exact built-in types are tried first because under the limited API
// every subclass test is a call to PyType_GetFlags.
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

Int64 read_int(PyObject* obj) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) [[likely]] {
    if (value == -1 && PyErr_Occurred()) throw PythonErrorSet{};
    return {false, value, 0};
  }
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

double read_float(PyObject* obj) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  return value;
}

std::string_view read_utf8(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // lone surrogates raise here
  if (utf8 == nullptr) throw PythonErrorSet{};
  return {utf8, static_cast<std::size_t>(size)};
}

std::string_view read_bytes(PyObject* obj) {
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &bytes, &size) < 0) throw PythonErrorSet{};
  return {bytes, static_cast<std::size_t>(size)};
}

// The walks below use borrowed references: nothing the encoder calls on the
// success path runs Python code or even creates a Python object (so no garbage
// collection, no finalizer), and the caller's reference keeps the root alive, so
// no container can change or lose an item while it is being converted.
// The size checks are kept all the same: if that ever stopped holding, the walk
// must stop with an internal failure rather than write a count it then breaks.
template <class Visit>
void for_each_entry(PyObject* dict, Py_ssize_t size, Visit&& visit) {
  Py_ssize_t position = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_Size(dict) != size) throw InternalFailure("dictionary changed size during iteration");
    if (!PyDict_Next(dict, &position, &key, &value)) break;
    if (++seen > size) throw InternalFailure("dictionary keys changed during iteration");
    visit(key, value);
  }
}

template <class Visit>
void for_each_list_item(PyObject* list, Py_ssize_t size, Visit&& visit) {
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) {
      PyErr_Clear();
      throw InternalFailure("list changed size during iteration");
    }
    visit(item);
  }
}

// ---- MessagePack -----------------------------------------------------------

void write_obj(OutputBuffer& out, PyObject* obj, unsigned depth);

// Set for the length of one top-level encode whose caller takes large payloads
// by reference (null: every payload is copied into the buffer).
LargePayloads* active_large_payloads = nullptr;

// Writes the header of a large str or bytes payload and splices its bytes in by
// reference. The reference taken keeps the object (and so its bytes: a str's
// UTF-8 form lives as long as the str) alive and unchanged until the output is
// copied out, even if another thread drops it from its container meanwhile.
bool write_large_payload(OutputBuffer& out, PyObject* obj, std::string_view payload, bool is_str) {
  LargePayloads* large = active_large_payloads;
  if (large == nullptr || payload.size() < LargePayloads::kMinBytes) return false;
  const std::uint32_t n = msgpack::u32_len(payload.size(), is_str ? "string" : "bytes");
  large->keep(obj);
  char* p = out.reserve(5);
  char* body = is_str ? msgpack::detail::put_length_header(p, n, 0xa0, 31, 0xd9, 0xda, 0xdb)
                      : msgpack::detail::put_length_header(p, n, 0, 0, 0xc4, 0xc5, 0xc6);
  out.commit(static_cast<std::size_t>(body - p));
  out.append_external(payload.data(), payload.size());
  return true;
}

void write_str_obj(OutputBuffer& out, PyObject* obj) {
  std::string_view utf8 = read_utf8(obj);
  if (utf8.size() >= LargePayloads::kMinBytes && write_large_payload(out, obj, utf8, true)) return;
  msgpack::write_str(out, utf8.data(), msgpack::u32_len(utf8.size(), "string"));
}

void write_int_obj(OutputBuffer& out, PyObject* obj) {
  Int64 number = read_int(obj);
  if (number.is_unsigned) {
    msgpack::write_u64(out, number.unsigned_value);
  } else {
    msgpack::write_i64(out, number.signed_value);
  }
}

void write_bytes_obj(OutputBuffer& out, PyObject* obj) {
  std::string_view bytes = read_bytes(obj);
  if (bytes.size() >= LargePayloads::kMinBytes && write_large_payload(out, obj, bytes, false)) return;
  msgpack::write_bin(out, bytes.data(), msgpack::u32_len(bytes.size(), "bytes"));
}

// Elements of the commonest scalar types are written without the general
// dispatch (where their depth is allowed at all).
inline void write_element(OutputBuffer& out, PyObject* item, unsigned depth, bool scalars_inline) {
  if (scalars_inline) {
    PyTypeObject* type = Py_TYPE(item);
    if (type == &PyFloat_Type) return msgpack::write_f64(out, read_float(item));
    if (type == &PyLong_Type) return write_int_obj(out, item);
    if (type == &PyUnicode_Type) return write_str_obj(out, item);
  }
  write_obj(out, item, depth);
}

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

// Set for the length of one top-level encode (null: write keys the long way).
KeyEncodings* active_key_encodings = nullptr;

void write_dict_obj(OutputBuffer& out, PyObject* dict, unsigned depth) {
  Py_ssize_t size = PyDict_Size(dict);
  msgpack::write_map_header(out, msgpack::u32_len(static_cast<std::uint64_t>(size), "dict"));
  const bool scalars_inline = depth + 1 <= kMaxDepth;
  KeyEncodings* key_encodings = scalars_inline ? active_key_encodings : nullptr;
  for_each_entry(dict, size, [&](PyObject* key, PyObject* value) {
    if (key_encodings == nullptr || Py_TYPE(key) != &PyUnicode_Type || !key_encodings->write(out, key)) {
      write_obj(out, key, depth + 1);
    }
    write_element(out, value, depth + 1, scalars_inline);
  });
}

void write_list_obj(OutputBuffer& out, PyObject* list, unsigned depth) {
  Py_ssize_t size = PyList_Size(list);
  msgpack::write_array_header(out, msgpack::u32_len(static_cast<std::uint64_t>(size), "list"));
  const bool scalars_inline = depth + 1 <= kMaxDepth;
  for_each_list_item(list, size, [&](PyObject* item) { write_element(out, item, depth + 1, scalars_inline); });
}

void write_tuple_obj(OutputBuffer& out, PyObject* tuple, unsigned depth) {
  Py_ssize_t size = PyTuple_Size(tuple);
  msgpack::write_array_header(out, msgpack::u32_len(static_cast<std::uint64_t>(size), "list"));
  const bool scalars_inline = depth + 1 <= kMaxDepth;
  for (Py_ssize_t i = 0; i < size; ++i) write_element(out, PyTuple_GetItem(tuple, i), depth + 1, scalars_inline);
}

// Instances of subclasses of the supported types (and everything unsupported).
void write_other(OutputBuffer& out, PyObject* obj, unsigned depth) {
  if (PyUnicode_Check(obj)) return write_str_obj(out, obj);
  if (PyDict_Check(obj)) return write_dict_obj(out, obj, depth);
  if (PyList_Check(obj)) return write_list_obj(out, obj, depth);
  if (PyLong_Check(obj)) return write_int_obj(out, obj);
  if (PyFloat_Check(obj)) return msgpack::write_f64(out, read_float(obj));
  if (PyBytes_Check(obj)) return write_bytes_obj(out, obj);
  if (PyTuple_Check(obj)) return write_tuple_obj(out, obj, depth);
  raise_unsupported_type();
}

void write_obj(OutputBuffer& out, PyObject* obj, unsigned depth) {
  // Capped at 128 so a self-referential or hostile structure cannot exhaust the native stack.
  if (depth > kMaxDepth) [[unlikely]]
    msgpack::throw_depth_error();
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return write_str_obj(out, obj);
  if (type == &PyLong_Type) return write_int_obj(out, obj);
  if (type == &PyFloat_Type) return msgpack::write_f64(out, read_float(obj));
  if (type == &PyDict_Type) return write_dict_obj(out, obj, depth);
  if (type == &PyList_Type) return write_list_obj(out, obj, depth);
  if (obj == Py_None) return msgpack::write_nil(out);
  if (type == &PyBool_Type) return msgpack::write_bool(out, obj == Py_True);
  if (type == &PyTuple_Type) return write_tuple_obj(out, obj, depth);
  if (type == &PyBytes_Type) return write_bytes_obj(out, obj);
  write_other(out, obj, depth);
}

// ---- Value -----------------------------------------------------------------

Value to_value(PyObject* obj, unsigned depth);

Value int_value(PyObject* obj) {
  Int64 number = read_int(obj);
  if (number.is_unsigned) return Value::from_u64(number.unsigned_value);
  return Value::from_i64(number.signed_value);
}

Value dict_value(PyObject* dict, unsigned depth) {
  Py_ssize_t size = PyDict_Size(dict);
  Value::Map pairs;
  pairs.reserve(static_cast<std::size_t>(size));
  for_each_entry(dict, size, [&](PyObject* key, PyObject* value) {
    Value converted_key = to_value(key, depth + 1);
    pairs.emplace_back(std::move(converted_key), to_value(value, depth + 1));
  });
  return Value::map(std::move(pairs));
}

Value list_value(PyObject* list, unsigned depth) {
  Py_ssize_t size = PyList_Size(list);
  Value::Array items;
  items.reserve(static_cast<std::size_t>(size));
  for_each_list_item(list, size, [&](PyObject* item) { items.push_back(to_value(item, depth + 1)); });
  return Value::array(std::move(items));
}

Value tuple_value(PyObject* tuple, unsigned depth) {
  Py_ssize_t size = PyTuple_Size(tuple);
  Value::Array items;
  items.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) items.push_back(to_value(PyTuple_GetItem(tuple, i), depth + 1));
  return Value::array(std::move(items));
}

Value to_value(PyObject* obj, unsigned depth) {
  if (depth > kMaxDepth) [[unlikely]]
    msgpack::throw_depth_error();
  PyTypeObject* type = Py_TYPE(obj);
  if (obj == Py_None) return Value::nil();
  if (type == &PyBool_Type) return Value::boolean(obj == Py_True);
  if (type == &PyLong_Type) return int_value(obj);
  if (type == &PyFloat_Type) return Value::f64(read_float(obj));
  if (type == &PyUnicode_Type) return Value::string(std::string(read_utf8(obj)));
  if (type == &PyBytes_Type) return Value::binary(std::string(read_bytes(obj)));
  if (type == &PyDict_Type) return dict_value(obj, depth);
  if (type == &PyList_Type) return list_value(obj, depth);
  if (type == &PyTuple_Type) return tuple_value(obj, depth);
  if (PyLong_Check(obj)) return int_value(obj);
  if (PyFloat_Check(obj)) return Value::f64(read_float(obj));
  if (PyUnicode_Check(obj)) return Value::string(std::string(read_utf8(obj)));
  if (PyBytes_Check(obj)) return Value::binary(std::string(read_bytes(obj)));
  if (PyDict_Check(obj)) return dict_value(obj, depth);
  if (PyList_Check(obj)) return list_value(obj, depth);
  if (PyTuple_Check(obj)) return tuple_value(obj, depth);
  raise_unsupported_type();
}

// ---- Value, refilled in place ------------------------------------------------
// The same conversion as to_value, written over an existing tree (see
// Value::recycle_as): same type order, errors and depth limit.

void refill(Value& target, PyObject* obj, unsigned depth, RefillFootprint& footprint);

void refill_int(Value& target, PyObject* obj) {
  Int64 number = read_int(obj);
  target.recycle_as_scalar(number.is_unsigned ? Value::from_u64(number.unsigned_value)
                                              : Value::from_i64(number.signed_value));
}

void refill_bytes(Value& target, Value::Kind kind, std::string_view bytes, RefillFootprint& footprint) {
  target.recycle_as(kind);
  target.recycled_bytes().assign(bytes.data(), bytes.size());
  footprint.bytes += bytes.size();
}

void refill_dict(Value& target, PyObject* dict, unsigned depth, RefillFootprint& footprint) {
  Py_ssize_t size = PyDict_Size(dict);
  target.recycle_as(Value::Kind::Map);
  Value::Map& pairs = target.pairs();
  pairs.resize(static_cast<std::size_t>(size));
  footprint.values += 2 * static_cast<std::size_t>(size);
  std::size_t filled = 0;  // for_each_entry never visits more than `size` entries
  for_each_entry(dict, size, [&](PyObject* key, PyObject* value) {
    refill(pairs[filled].first, key, depth + 1, footprint);
    refill(pairs[filled].second, value, depth + 1, footprint);
    ++filled;
  });
  pairs.resize(filled);
}

// An Array of `size` items, refilled from what `for_each_item` hands its visitor.
template <class ForEachItem>
void refill_array(Value& target, Py_ssize_t size, unsigned depth, RefillFootprint& footprint,
                  ForEachItem&& for_each_item) {
  target.recycle_as(Value::Kind::Array);
  Value::Array& items = target.items();
  items.resize(static_cast<std::size_t>(size));
  footprint.values += static_cast<std::size_t>(size);
  std::size_t filled = 0;
  for_each_item([&](PyObject* item) { refill(items[filled++], item, depth + 1, footprint); });
}

void refill_list(Value& target, PyObject* list, unsigned depth, RefillFootprint& footprint) {
  const Py_ssize_t size = PyList_Size(list);
  refill_array(target, size, depth, footprint, [&](auto&& visit) { for_each_list_item(list, size, visit); });
}

void refill_tuple(Value& target, PyObject* tuple, unsigned depth, RefillFootprint& footprint) {
  const Py_ssize_t size = PyTuple_Size(tuple);
  refill_array(target, size, depth, footprint, [&](auto&& visit) {
    for (Py_ssize_t i = 0; i < size; ++i) visit(PyTuple_GetItem(tuple, i));
  });
}

void refill(Value& target, PyObject* obj, unsigned depth, RefillFootprint& footprint) {
  if (depth > kMaxDepth) [[unlikely]]
    msgpack::throw_depth_error();
  PyTypeObject* type = Py_TYPE(obj);
  if (obj == Py_None) return target.recycle_as(Value::Kind::Nil);
  if (type == &PyBool_Type) return target.recycle_as_scalar(Value::boolean(obj == Py_True));
  if (type == &PyLong_Type) return refill_int(target, obj);
  if (type == &PyFloat_Type) return target.recycle_as_scalar(Value::f64(read_float(obj)));
  if (type == &PyUnicode_Type) return refill_bytes(target, Value::Kind::String, read_utf8(obj), footprint);
  if (type == &PyBytes_Type) return refill_bytes(target, Value::Kind::Binary, read_bytes(obj), footprint);
  if (type == &PyDict_Type) return refill_dict(target, obj, depth, footprint);
  if (type == &PyList_Type) return refill_list(target, obj, depth, footprint);
  if (type == &PyTuple_Type) return refill_tuple(target, obj, depth, footprint);
  if (PyLong_Check(obj)) return refill_int(target, obj);
  if (PyFloat_Check(obj)) return target.recycle_as_scalar(Value::f64(read_float(obj)));
  if (PyUnicode_Check(obj)) return refill_bytes(target, Value::Kind::String, read_utf8(obj), footprint);
  if (PyBytes_Check(obj)) return refill_bytes(target, Value::Kind::Binary, read_bytes(obj), footprint);
  if (PyDict_Check(obj)) return refill_dict(target, obj, depth, footprint);
  if (PyList_Check(obj)) return refill_list(target, obj, depth, footprint);
  if (PyTuple_Check(obj)) return refill_tuple(target, obj, depth, footprint);
  raise_unsupported_type();
}

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
  KeyEncodings* outer = std::exchange(active_key_encodings, KeyEncodings::for_this_interpreter());
  LargePayloads* outer_large = std::exchange(active_large_payloads, large);
  try {
    python_errors_only([&] { write_obj(out, obj, 0); });
  } catch (...) {
    active_key_encodings = outer;
    active_large_payloads = outer_large;
    out.truncate(start);
    throw;
  }
  active_key_encodings = outer;
  active_large_payloads = outer_large;
}

Value py_to_value_at(PyObject* obj, unsigned depth) {
  return python_errors_only([&] { return to_value(obj, depth); });
}

void py_refill_value(Value& target, PyObject* obj, RefillFootprint& footprint) {
  python_errors_only([&] { refill(target, obj, 0, footprint); });
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

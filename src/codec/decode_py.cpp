// Decoding side of the codec: MessagePack bytes to Python objects.
// * The generic reader loop (msgpack_reader.h) drives a builder that makes
//   Python objects. A list is allocated at its final size only when the unread
//   input could fill it (see PyBuilder::array_begin); otherwise its elements
//   wait on a stack of owned references that grows only as they arrive. So a
//   declared count (`dd ff ff ff ff`, or `dc ff ff` chained) costs nothing ahead
//   of the data, and on any failure the owners release what was built.
// * Short map keys go through a direct-mapped cache of str objects keyed by their
//   bytes (compared in full before use), so the keys of repeated records are made
//   once and share one object whose hash is already computed.
// Threads: runs under the interpreter lock, with automatic garbage collection
// paused, so no Python code runs in the middle of a decode. Each call still owns
// its stack, and the cache is never held across a call that allocates.
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "codec/codec_py.h"
#include "codec/msgpack_reader.h"
#include "common/error.h"
#include "common/fault.h"
#include "py/errors.h"

namespace tallowmere::py {
namespace {

// Owned references waiting to be moved into lists. The first kInline entries
// live inside the object itself, which stays on the C stack of one decode call.
class ItemStack {
 public:
  ItemStack() noexcept = default;
  ItemStack(const ItemStack&) = delete;
  ItemStack& operator=(const ItemStack&) = delete;
  ~ItemStack() {
    for (std::size_t i = size_; i-- > 0;) Py_DECREF(items_[i]);
    if (items_ != inline_) PyMem_Free(items_);
  }

  std::size_t size() const noexcept { return size_; }
  PyObject* at(std::size_t i) const noexcept { return items_[i]; }

  // Takes the reference only once there is room for it, so a failed growth
  // leaves the item with its OwnedRef, which then releases it.
  void push(OwnedRef item) {
    if (size_ == capacity_) grow();
    items_[size_++] = item.release();
  }
  // Forgets the entries from `mark` on; their references were handed elsewhere.
  void drop_moved(std::size_t mark) noexcept { size_ = mark; }

 private:
  static constexpr std::size_t kInline = 64;
  void grow() {
    std::size_t next = capacity_ * 2;
    fault::fault_point();
    // The interpreter's allocator, so tracemalloc accounts for it like the lists.
    auto* grown = static_cast<PyObject**>(PyMem_Malloc(next * sizeof(PyObject*)));
    if (grown == nullptr) throw std::bad_alloc();
    std::memcpy(grown, items_, size_ * sizeof(PyObject*));
    if (items_ != inline_) PyMem_Free(items_);
    items_ = grown;
    capacity_ = next;
  }

  PyObject* inline_[kInline];
  PyObject** items_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

// Direct-mapped cache of short map keys. A slot keeps the key's bytes beside the
// str made from them; a lookup compares length and bytes before trusting it.
// Slots hold strong references for the life of the process (at most kSlots
// small strings). The cache belongs to the interpreter that first used it; a
// decode in another interpreter does without it rather than share its objects.
class KeyCache {
 public:
  static constexpr std::size_t kMaxKeyBytes = 31;  // fixstr keys only

  static KeyCache* for_this_interpreter() noexcept {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (owner_ == nullptr) owner_ = current;
    return owner_ == current ? &instance_ : nullptr;
  }

  // A new reference to the str for `bytes`; bytes that are not valid UTF-8 give
  // a bytes object, which is not cached.
  OwnedRef get(std::string_view bytes);

 private:
  struct Slot {
    PyObject* text = nullptr;
    std::uint8_t size = 0;
    char bytes[kMaxKeyBytes];
  };
  static constexpr std::size_t kSlots = 512;

  static std::size_t slot_of(std::string_view bytes) noexcept {
    // FNV-1a: keys are at most 31 bytes, and a bad spread only costs misses.
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
    return (hash ^ (hash >> 15)) & (kSlots - 1);
  }

  Slot slots_[kSlots];
  static KeyCache instance_;
  static PyInterpreterState* owner_;
};

KeyCache KeyCache::instance_;
PyInterpreterState* KeyCache::owner_ = nullptr;

OwnedRef str_or_bytes(std::string_view bytes) {
  const auto size = static_cast<Py_ssize_t>(bytes.size());
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), size, "strict");
  if (text != nullptr) [[likely]]
    return OwnedRef::steal(text);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PythonErrorSet{};
  PyErr_Clear();  // not UTF-8: the payload comes back as bytes
  return check_new(PyBytes_FromStringAndSize(bytes.data(), size));
}

OwnedRef KeyCache::get(std::string_view bytes) {
  Slot& slot = slots_[slot_of(bytes)];
  if (slot.text != nullptr && slot.size == bytes.size() && std::memcmp(slot.bytes, bytes.data(), bytes.size()) == 0) {
    return OwnedRef::borrow(slot.text);
  }
  OwnedRef made = str_or_bytes(bytes);
  if (Py_TYPE(made.get()) != &PyUnicode_Type) return made;
  // Nothing between here and the end runs Python code; the slot is re-read
  // rather than trusted from before the allocation above.
  PyObject* evicted = slot.text;
  Py_INCREF(made.get());
  slot.text = made.get();
  slot.size = static_cast<std::uint8_t>(bytes.size());
  std::memcpy(slot.bytes, bytes.data(), bytes.size());
  Py_XDECREF(evicted);
  return made;
}

struct PyBuilder {
  using Item = OwnedRef;
  // An array whose elements the rest of the input can hold is built in place:
  // every element takes at least one byte, so a list of n slots is allocated
  // only when n unread bytes remain beyond those that the lists already open
  // still need (`pending_slots`). Valid input always qualifies, and allocation
  // never runs ahead of the bytes that back it, however counts are chained.
  // Otherwise (input that must turn out truncated) elements collect on the
  // shared stack until the list is complete.
  struct ArrayState {
    OwnedRef list;       // the list being filled in place, or null
    std::size_t mark;    // otherwise: where the elements start on the stack
    Py_ssize_t next;     // in place: the next slot to fill
  };
  using MapState = OwnedRef;

  ItemStack& stack;
  KeyCache* key_cache;
  std::uint64_t pending_slots = 0;  // empty slots of the lists being filled in place

  Item nil() { return OwnedRef::borrow(Py_None); }
  Item boolean(bool b) { return OwnedRef::borrow(b ? Py_True : Py_False); }
  Item uint(std::uint64_t u) { return check_new(PyLong_FromUnsignedLongLong(u)); }
  Item sint(std::int64_t i) { return check_new(PyLong_FromLongLong(i)); }
  Item f32(float f) { return check_new(PyFloat_FromDouble(static_cast<double>(f))); }
  Item f64(double d) { return check_new(PyFloat_FromDouble(d)); }
  Item str(std::string_view bytes) { return str_or_bytes(bytes); }
  Item map_key_str(std::string_view bytes) {
    return key_cache != nullptr ? key_cache->get(bytes) : str_or_bytes(bytes);
  }
  Item bin(std::string_view bytes) {
    return check_new(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  }

  ArrayState array_begin(std::uint64_t n, std::uint64_t bytes_left) {
    if (pending_slots <= bytes_left && n <= bytes_left - pending_slots) {
      // No Python code runs before the last slot is set (see GcPause), so
      // nothing can observe the list while it has empty slots.
      pending_slots += n;
      return {check_new(PyList_New(static_cast<Py_ssize_t>(n))), 0, 0};
    }
    return {OwnedRef(), stack.size(), 0};
  }
  void array_push(ArrayState& state, Item&& item) {
    if (state.list) {
      PyList_SetItem(state.list.get(), state.next++, item.release());
      --pending_slots;
    } else {
      stack.push(std::move(item));
    }
  }
  Item array_finish(ArrayState& state, std::uint64_t n) {
    if (state.list) return std::move(state.list);
    OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::uint64_t i = 0; i < n; ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), stack.at(state.mark + i));
    }
    stack.drop_moved(state.mark);
    return list;
  }

  MapState map_begin(std::uint64_t) { return check_new(PyDict_New()); }
  void map_insert(MapState& dict, Item&& key, Item&& value) {
    // An unhashable key (a decoded list or dict) raises the interpreter's TypeError here.
    check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
  }
  Item map_finish(MapState& dict) { return std::move(dict); }
};

// Automatic garbage collection is paused for the length of a decode (and put
// back as it was). Nothing else the decoder calls can run Python code: objects
// are built from bytes, keys are built-in types, and a failure only frees
// built-in objects. So no finalizer can re-enter the module or look at a list
// still being filled, and the collections that would have run midway run once,
// afterwards, over the finished result.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace

OwnedRef decode(const char* data, std::size_t size) {
  try {
    GcPause no_collection;
    msgpack::Reader reader(data, size);
    ItemStack stack;
    PyBuilder builder{stack, KeyCache::for_this_interpreter()};
    return msgpack::read_value(reader, builder, 0);
  } catch (const CoreError& error) {
    set_error_from_core(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  throw PythonErrorSet{};
}

}  // namespace tallowmere::py

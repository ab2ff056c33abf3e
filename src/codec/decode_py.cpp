// Decoding side of the codec: MessagePack bytes to Python objects.
// * The generic reader loop (msgpack_reader.h) drives a builder that makes
//   Python objects. A list is allocated at its final size only when the reader's
//   budget allows it (declared counts so far within the input length);
//   otherwise its elements wait on a stack that grows only as they arrive. So a
//   declared count (`dd ff ff ff ff`, or `dc ff ff` chained) costs nothing ahead
//   of the data, and on any failure the owners release what was built.
// * Short map keys go through a direct-mapped cache of str objects keyed by their
//   bytes (compared in full before use), so the keys of repeated records are made
//   once and share one object whose hash is already computed.
// * A str payload of up to 256 bytes is made here rather than by the interpreter's
//   UTF-8 decoder: ASCII from an aligned copy, other valid text from its code
//   points (see "Making a str"); invalid UTF-8 still comes back as bytes.
// Threads: runs under the interpreter lock, with automatic garbage collection
// paused, so no Python code runs in the middle of a decode. Each call still owns
// its stack, and the cache is never held across a call that allocates.
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

#include "codec/codec_py.h"
#include "codec/msgpack_reader.h"
#include "codec/short_bytes.h"
#include "codec/utf8.h"
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
// small strings). Only the main interpreter uses it (see caches_usable).
class KeyCache {
 public:
  static constexpr std::size_t kMaxKeyBytes = 31;  // fixstr keys only

  static KeyCache* when(bool usable) noexcept { return usable ? &instance_ : nullptr; }

  // A new reference to the str for `bytes`; bytes that are not valid UTF-8 give
  // a bytes object, which is not cached.
  OwnedRef get(std::string_view bytes);

 private:
  struct Slot {
    PyObject* text = nullptr;
    std::uint32_t candidate = 0;  // hash of the last key that missed here
    std::uint8_t size = 0;
    char bytes[kMaxKeyBytes];
  };
  static constexpr unsigned kSlotBits = 9;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

  // Word loads of the first, middle and last bytes (together they cover every
  // byte of a key up to 24 bytes, and most of one up to 31), one multiply.
  static std::uint64_t hash_of(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    const std::size_t n = bytes.size();
    std::uint64_t head = 0, tail = 0, middle = 0;
    if (n >= 8) {
      std::memcpy(&head, p, 8);
      std::memcpy(&tail, p + n - 8, 8);
      if (n > 16) std::memcpy(&middle, p + 8, 8);
    } else if (n >= 4) {
      std::uint32_t first, last;
      std::memcpy(&first, p, 4);
      std::memcpy(&last, p + n - 4, 4);
      head = first;
      tail = last;
    } else if (n != 0) {
      head = static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) |
             static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
             static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
    }
    return (head ^ (tail * 0x9e3779b97f4a7c15ULL) ^ (middle * 0xc2b2ae3d27d4eb4fULL) ^ n) * 0xff51afd7ed558ccdULL;
  }

  Slot slots_[kSlots];
  static KeyCache instance_;
};

KeyCache KeyCache::instance_;

// The payload of a str that is not UTF-8 comes back as bytes (kept out of line:
// the common path below is a call and a test).
[[gnu::noinline, gnu::cold]] OwnedRef bytes_for_invalid_utf8(std::string_view bytes) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PythonErrorSet{};
  PyErr_Clear();
  return check_new(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// Making a str: the stable ABI offers only the interpreter's decoders. Its UTF-8
// decoder goes byte by byte wherever the input is not word-aligned (a payload
// follows a header, so it seldom is), and on non-ASCII text widens its result in
// steps. Short payloads, nearly every str in practice, are read here first:
// * all ASCII (found by the same word-at-a-time pass that copies them to an
//   aligned buffer): the Latin-1 decoder makes the str from the copy with a
//   word-wise scan and one memcpy;
// * otherwise decoded here to code points: all within Latin-1, they are narrowed
//   for the Latin-1 decoder; any wider, they are handed over as UCS-4, which the
//   interpreter narrows with one scan for the widest character and one copy;
// * not valid UTF-8: the general decoder, whose error turns them into bytes.
constexpr std::size_t kShortTextBytes = 256;

// Copies `bytes` (at most kShortTextBytes) to `copy` a word at a time and says
// whether they are all ASCII.
inline bool copy_if_ascii(std::string_view bytes, char* copy) noexcept {
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  std::uint64_t high = 0;
  if (n >= 8) {
    std::uint64_t word;
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&word, p + i, 8);
      high |= word;
      std::memcpy(copy + i, &word, 8);
    }
    std::memcpy(&word, p + n - 8, 8);  // the last eight bytes, overlapping what came before
    high |= word;
    std::memcpy(copy + n - 8, &word, 8);
  } else if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    high = head | tail;
    std::memcpy(copy, &head, 4);
    std::memcpy(copy + n - 4, &tail, 4);
  } else if (n != 0) {
    const unsigned char first = p[0], middle = p[n / 2], last = p[n - 1];
    high = first | middle | last;
    copy[0] = static_cast<char>(first);
    copy[n / 2] = static_cast<char>(middle);
    copy[n - 1] = static_cast<char>(last);
  }
  return (high & 0x8080808080808080ULL) == 0;
}

// Short text with a non-ASCII byte, or null when it is not valid UTF-8 (or when
// wchar_t is not UCS-4 and the text is wider than Latin-1).
PyObject* short_text_from_code_points(std::string_view bytes) {
  wchar_t code_points[kShortTextBytes];
  char32_t all_bits = 0;
  const std::ptrdiff_t count = decode_utf8(bytes, reinterpret_cast<char32_t*>(code_points), &all_bits);
  if (count < 0) return nullptr;
  PyObject* text;
  if (all_bits < 0x100) {
    char latin1[kShortTextBytes];
    for (std::ptrdiff_t i = 0; i < count; ++i) latin1[i] = static_cast<char>(code_points[i]);
    text = PyUnicode_DecodeLatin1(latin1, count, nullptr);
  } else {
#if WCHAR_MAX > 0xffff
    text = PyUnicode_FromWideChar(code_points, count);
#else
    return nullptr;
#endif
  }
  if (text == nullptr) throw PythonErrorSet{};
  return text;
}

inline OwnedRef str_or_bytes(std::string_view bytes) {
  if (bytes.size() <= kShortTextBytes) {
    alignas(8) char copy[kShortTextBytes];
    if (copy_if_ascii(bytes, copy)) {
      return check_new(PyUnicode_DecodeLatin1(copy, static_cast<Py_ssize_t>(bytes.size()), nullptr));
    }
    if (PyObject* text = short_text_from_code_points(bytes)) return OwnedRef::steal(text);
  }
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
  if (text != nullptr) [[likely]]
    return OwnedRef::steal(text);
  return bytes_for_invalid_utf8(bytes);
}

OwnedRef KeyCache::get(std::string_view bytes) {
  const std::uint64_t hash = hash_of(bytes);
  Slot& slot = slots_[hash >> (64 - kSlotBits)];
  if (slot.text != nullptr && slot.size == bytes.size() && same_short_bytes(slot.bytes, bytes.data(), bytes.size())) {
    return OwnedRef::borrow(slot.text);
  }
  // A key is cached on its second sighting in a row at this slot: one-off keys
  // (ids used as keys) then cost a compare each and evict nothing.
  const auto tag = static_cast<std::uint32_t>(hash);
  if (slot.candidate != tag) {
    slot.candidate = tag;
    return str_or_bytes(bytes);
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

// The int objects for -32..127, the values a one-byte fixint holds, fetched once
// so that decoding one costs a reference increment rather than a call. The
// table keeps a reference to each; it serves the main interpreter only.
class SmallInts {
 public:
  static constexpr int kLowest = -32;
  static constexpr int kHighest = 127;

  // The table, or null when it may not be used here (or could not be filled).
  static const SmallInts* when(bool usable) noexcept {
    if (!usable) return nullptr;
    if (!instance_.filled_) instance_.fill();
    return instance_.filled_ ? &instance_ : nullptr;
  }
  OwnedRef get(int value) const noexcept { return OwnedRef::borrow(objects_[value - kLowest]); }

 private:
  void fill() noexcept {
    for (int value = kLowest; value <= kHighest; ++value) {
      PyObject* object = PyLong_FromLong(value);
      if (object == nullptr) {
        PyErr_Clear();  // try again on a later call
        return;
      }
      Py_XDECREF(objects_[value - kLowest]);
      objects_[value - kLowest] = object;
    }
    filled_ = true;
  }

  PyObject* objects_[kHighest - kLowest + 1] = {};
  bool filled_ = false;
  static SmallInts instance_;
};

SmallInts SmallInts::instance_;

struct PyBuilder {
  using Item = OwnedRef;
  // Lists the reader lets us presize are allocated at their declared size and
  // filled in place; valid input always stays within the reader's budget. An
  // array past it (input that cannot be complete) collects its elements on the
  // shared stack until the list is finished.
  struct ArrayState {
    OwnedRef list;       // the list being filled in place, or null
    std::size_t mark;    // otherwise: where the elements start on the stack
    Py_ssize_t next;     // in place: the next slot to fill
  };
  using MapState = OwnedRef;

  ItemStack& stack;
  KeyCache* key_cache;
  const SmallInts* small_ints;

  Item nil() { return OwnedRef::borrow(Py_None); }
  Item boolean(bool b) { return OwnedRef::borrow(b ? Py_True : Py_False); }
  Item fixint(int value) { return small_ints != nullptr ? small_ints->get(value) : sint(value); }
  Item uint(std::uint64_t u) {
    // The signed constructor has the interpreter's fast paths for small and
    // one-digit values; the unsigned one only for values below 2^30.
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return check_new(PyLong_FromLongLong(static_cast<long long>(u)));
    return check_new(PyLong_FromUnsignedLongLong(u));
  }
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

  ArrayState array_begin(std::uint64_t n, bool presize) {
    if (presize) {
      // No Python code runs before the last slot is set (see GcPause), so
      // nothing can observe the list while it has empty slots.
      return {check_new(PyList_New(static_cast<Py_ssize_t>(n))), 0, 0};
    }
    return {OwnedRef(), stack.size(), 0};
  }
  void array_push(ArrayState& state, Item&& item) {
    if (state.list) {
      PyList_SetItem(state.list.get(), state.next++, item.release());
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

  MapState map_begin(std::uint64_t, bool) { return check_new(PyDict_New()); }
  void map_insert(MapState& dict, Item&& key, Item&& value) {
    // An unhashable key (a decoded list or dict) raises the interpreter's TypeError here.
    check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
  }
  Item map_finish(MapState& dict) { return std::move(dict); }
};

}  // namespace

// Automatic garbage collection is paused for the length of a decode, or of a
// batch of them (and put back as it was). Nothing else the decoder calls can run
// Python code: objects are built from bytes, keys are built-in types, and a
// failure only frees built-in objects. So no finalizer can re-enter the module or
// look at a list still being filled, and the collections that would have run
// midway run once, afterwards, over the finished result.
BatchDecoder::BatchDecoder() noexcept
    : gc_was_enabled_(PyGC_Disable() != 0), caches_usable_(caches_usable()) {}

BatchDecoder::~BatchDecoder() {
  if (gc_was_enabled_) PyGC_Enable();
}

OwnedRef BatchDecoder::operator()(const char* data, std::size_t size) const {
  return python_errors_only([&] {
    msgpack::Reader reader(data, size);
    ItemStack stack;
    PyBuilder builder{stack, KeyCache::when(caches_usable_), SmallInts::when(caches_usable_)};
    return msgpack::read_value(reader, builder, 0);
  });
}

OwnedRef decode(const char* data, std::size_t size) { return BatchDecoder()(data, size); }

}  // namespace tallowmere::py

// codec/codec_py.h: the codec's Python side: PyObject <-> MessagePack, PyObject -> Value.
// * encode_into, py_to_value and py_refill_value walk the object graph
//   recursively through one type dispatch, with the codec's depth limit (128,
//   checked on entry before the type), so a self-referential container fails
//   with the depth error instead of exhausting the native stack.
// * decode builds Python objects straight from the input with the generic reader
//   loop; it never allocates ahead of the bytes present.
// * All functions need the interpreter lock. They report failure by throwing
//   PythonErrorSet with the Python error already set; nothing partly built survives.
//   The one exception is a container that changes size under the walk, a broken
//   invariant: that throws InternalFailure, which the guard turns into PanicException.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "codec/output_buffer.h"
#include "common/value.h"
#include "py/owned_ref.h"

namespace tallowmere::py {

// Strong references to the str and bytes objects whose payloads an encode left
// out of the buffer (OutputBuffer::append_external): they keep those bytes alive
// and unchanged until the holder, destroyed with the interpreter lock held, goes.
class LargePayloads {
 public:
  // Payloads of at least this many bytes are referenced rather than copied: below
  // it, a copy costs less than the reference and the splice.
  static constexpr std::size_t kMinBytes = 2048;

  LargePayloads() = default;
  LargePayloads(const LargePayloads&) = delete;
  LargePayloads& operator=(const LargePayloads&) = delete;

  void keep(PyObject* obj);

 private:
  std::vector<OwnedRef> objects_;
};

// Appends the encoding of `obj` (depth 0) to `out`. On failure `out` is left as
// it was and PythonErrorSet is thrown. With `large`, big str and bytes payloads
// are spliced in by reference (see LargePayloads); the caller must then copy the
// output out with OutputBuffer::copy_to while `large` lives.
void encode_into(OutputBuffer& out, PyObject* obj, LargePayloads* large = nullptr);

// One value decoded from the start of `data`; what follows it is ignored.
OwnedRef decode(const char* data, std::size_t size);

// Decodes one value after another under a single pause of automatic garbage
// collection and a single look at the interpreter: for callers that turn a batch
// of stored values into objects. While one lives, its owner runs no Python code.
class BatchDecoder {
 public:
  BatchDecoder() noexcept;
  ~BatchDecoder();
  BatchDecoder(const BatchDecoder&) = delete;
  BatchDecoder& operator=(const BatchDecoder&) = delete;

  // As decode().
  OwnedRef operator()(const char* data, std::size_t size) const;

 private:
  bool gc_was_enabled_;
  bool caches_usable_;
};

// `obj` as a Value tree, with the encoder's type rules and depth limit.
Value py_to_value(PyObject* obj);

// How much a refill wrote: values placed in containers and bytes of text, so the
// keeper of a reused tree can tell when it has become too big to keep.
struct RefillFootprint {
  std::size_t values = 0;
  std::size_t bytes = 0;
};
// py_to_value(obj) written over `target`, reusing the capacity of its strings
// and containers (Value::recycle_as). On failure `target` is some valid Value,
// left for the caller to refill or drop.
void py_refill_value(Value& target, PyObject* obj, RefillFootprint& footprint);

// Whether the codec's process-wide caches of Python objects (key strings) may be
// used: only in the main interpreter, whose objects live as long as the process;
// a subinterpreter's objects must not outlive it in a cache.
inline bool caches_usable() noexcept { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

// The module functions dumps(obj) and loads(data).
PyObject* dumps(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace tallowmere::py

// py/errors.h: the one place where C++ failures become Python exceptions.
// * Binding code throws PythonErrorSet right after a C-API call has set an error
//   (or after setting one itself); the guard then just returns the error value.
// * Every entry point from the interpreter runs its body inside guarded(): no C++
//   exception ever crosses into CPython. CoreError maps to its built-in class,
//   std::bad_alloc to MemoryError, anything else (a broken invariant) to
//   PanicException, a BaseException subclass, with a diagnostic on stderr.
// * A thread the interpreter ends inside Python code that a body runs (a forced
//   unwind, see py/forced_unwind.h) parks in the guard: it never returns into the
//   interpreter, and no catch-all swallows the unwind.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <type_traits>

#include "common/error.h"
#include "py/forced_unwind.h"
#include "py/owned_ref.h"

namespace tallowmere::py {

// Thrown once a Python error is set; carries nothing itself.
struct PythonErrorSet {};

// Sets `type` with `message` and throws PythonErrorSet.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Throws PythonErrorSet when `p` is null (a C-API call failed and set an error).
inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw PythonErrorSet{};
  return p;
}
inline OwnedRef check_new(PyObject* p) { return OwnedRef::steal(check(p)); }
inline int check_status(int status) {  // for C-API calls returning -1 on error
  if (status < 0) throw PythonErrorSet{};
  return status;
}

// The class PanicException, created once per process on first need.
PyObject* panic_exception_type() noexcept;

// Error translation; each sets a Python error and never throws.
void set_error_from_core(const CoreError& error) noexcept;
void set_panic(const char* message) noexcept;  // message may be null (generic text)
// The translator: sets the Python error for the exception being handled (call it
// only inside a catch block). PythonErrorSet already has one; CoreError maps to
// its class, std::bad_alloc to MemoryError, anything else to PanicException.
void set_error_from_current_exception() noexcept;

// Runs `body` and turns every C++ failure into a Python exception, returning
// `error_value` then; for slots that return a plain value (int, Py_ssize_t).
template <class T, class Body>
TM_CATCHES_FORCED_UNWIND T guarded_value(T error_value, Body&& body) noexcept {
  try {
    return body();
  } catch (const ForcedUnwind&) {
    park_exiting_thread();
  } catch (...) {
    set_error_from_current_exception();
  }
  return error_value;
}

// Runs `body` inside binding code that goes on after a failure (to restore state,
// say): any C++ failure becomes the pending Python error, and PythonErrorSet is
// thrown in its place.
template <class Body>
auto python_errors_only(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const ForcedUnwind&) {
    throw;  // the thread is being ended: let it reach the guard, which parks it
  } catch (...) {
    set_error_from_current_exception();
  }
  throw PythonErrorSet{};
}

// The same for entry points returning an object: `body` returns an OwnedRef
// (or anything with `.release()`), whose reference goes to the caller.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_value<PyObject*>(nullptr, [&] { return body().release(); });
}

// Convenience results for bodies.
inline OwnedRef none() { return OwnedRef::borrow(Py_None); }
inline OwnedRef boolean(bool b) { return OwnedRef::borrow(b ? Py_True : Py_False); }

}  // namespace tallowmere::py

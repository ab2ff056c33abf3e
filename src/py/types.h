// py/types.h: heap types that box one C++ object each.
// Every class is a heap type made by PyType_FromSpec (the stable ABI has no
// static type objects), created once on first use and kept for the process.
// An instance is a PyObject header followed by a C++ value constructed in place
// by make_instance() and destroyed by dealloc_instance().
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "py/errors.h"
#include "py/owned_ref.h"

namespace tallowmere::py {

template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* self) noexcept {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

// An entry of a method (or module function) table. The table keeps every callable
// as a PyCFunction; the calling convention comes from the function's own type:
// (self, args, nargs, kwnames) is METH_FASTCALL | METH_KEYWORDS, (self, unused)
// is METH_NOARGS. The cast goes through void (*)() so that no compiler sees a
// call through the wrong type (the interpreter calls it by the flags).
using FastcallFunction = PyObject*(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFunction = PyObject*(PyObject*, PyObject*);
inline PyMethodDef method_entry(const char* name, FastcallFunction* function, const char* doc) noexcept {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_FASTCALL | METH_KEYWORDS,
          doc};
}
inline PyMethodDef method_entry(const char* name, NoArgsFunction* function, const char* doc) noexcept {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_NOARGS, doc};
}
// A class method: called with the type object in place of an instance.
inline PyMethodDef class_method_entry(const char* name, FastcallFunction* function, const char* doc) noexcept {
  PyMethodDef entry = method_entry(name, function, doc);
  entry.ml_flags |= METH_CLASS;
  return entry;
}
inline constexpr PyMethodDef kMethodTableEnd = {nullptr, nullptr, 0, nullptr};

// Creates the type once; later calls return the same object (borrowed).
// Returns null with a Python error set when creation fails.
PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec* description) noexcept;

// Allocates an instance of `type` and constructs its T from `args`.
template <class T, class... Args>
OwnedRef make_instance(PyTypeObject* type, Args&&... args) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  OwnedRef self = check_new(alloc(type, 0));
  auto* box = reinterpret_cast<Boxed<T>*>(self.get());
  try {
    new (&box->value) T(std::forward<Args>(args)...);
  } catch (...) {
    // The C++ value never existed: free the shell without running the destructor.
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self.release());
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    throw;
  }
  return self;
}

// tp_dealloc for Boxed<T> types.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  unbox<T>(self).~T();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));  // instances of heap types own a reference to their type
}

}  // namespace tallowmere::py

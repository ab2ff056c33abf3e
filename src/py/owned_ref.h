// py/owned_ref.h: one strong reference to a Python object, released on every exit path.
#pragma once

#include <Python.h>

#include <utility>

namespace tallowmere::py {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
  static OwnedRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return OwnedRef(p);
  }
  OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (typically CPython, as a return value).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace tallowmere::py

#include "py/errors.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace tallowmere::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native core of tallowmere detects a broken internal invariant.\n\n"
    "It derives from BaseException, not Exception, so that ordinary `except Exception`\n"
    "handlers do not swallow it: like SystemExit it usually ends the interpreter.";
constexpr const char* kGenericPanic = "internal failure in the tallowmere native core";

PyObject* exception_class_for(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Value:
      return PyExc_ValueError;
    case ErrorKind::Type:
      return PyExc_TypeError;
    case ErrorKind::Runtime:
      return PyExc_RuntimeError;
    case ErrorKind::Overflow:
      return PyExc_OverflowError;
    case ErrorKind::Attribute:
      return PyExc_AttributeError;
  }
  return PyExc_RuntimeError;
}

[[noreturn]] void abort_from_guard() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonErrorSet{};
}

void raise(PyObject* type, const std::string& message) {
  // Built with its length: names and condition texts quoted in messages may hold NUL.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw PythonErrorSet{};
}

PyObject* panic_exception_type() noexcept {
  // Created under the interpreter lock, once; kept for the life of the process.
  static PyObject* type = PyErr_NewExceptionWithDoc("tallowmere._core.PanicException", kPanicDoc,
                                                    PyExc_BaseException, nullptr);
  return type;
}

void set_error_from_core(const CoreError& error) noexcept {
  try {
    PyErr_SetString(exception_class_for(error.kind()), error.what());
  } catch (...) {
    abort_from_guard();
  }
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
  } catch (const CoreError& error) {
    set_error_from_core(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_panic(error.what());
  } catch (...) {
    set_panic(nullptr);
  }
}

void set_panic(const char* message) noexcept {
  try {
    const char* text = message != nullptr && message[0] != '\0' ? message : kGenericPanic;
    std::fprintf(stderr, "tallowmere: internal failure: %s\n", text);
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_from_guard();
    PyErr_SetString(type, text);
  } catch (...) {
    abort_from_guard();
  }
}

}  // namespace tallowmere::py

// py/args.h: declarative argument binding and conversion for every callable.
// A callable declares its parameters once, as a Params table; bind() maps
// positional and keyword arguments onto it with the module's exact messages:
//   "{f} missing 1 required positional argument: 'a'"
//   "{f} got an unexpected keyword argument 'x'"
//   "{f} got multiple values for argument 'a'"
//   "{f} takes {max} positional arguments but {n} were given"
//   "{f} takes from {min} to {max} positional arguments but {n} was given"
// Every parameter may be given by position or by keyword; parameters after the
// first `required` ones are optional. Results are borrowed references, null for
// an omitted optional parameter.
//
// Converters raise through PythonErrorSet. A TypeError raised while converting
// a named argument is replaced by "argument '{name}': " + its message (cause kept).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/errors.h"
#include "py/owned_ref.h"

namespace tallowmere::py {

template <std::size_t N>
struct Params {
  const char* function;  // as shown in messages, without "()": "dumps", "Store.get", "HandoffGraph.__new__"
  std::array<const char*, N> names;
  std::size_t required;
};

void bind_vector(const char* function, const char* const* names, std::size_t count, std::size_t required,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
void bind_tuple(const char* function, const char* const* names, std::size_t count, std::size_t required,
                PyObject* args, PyObject* kwargs, PyObject** out);

// For METH_FASTCALL | METH_KEYWORDS callables.
template <std::size_t N>
std::array<PyObject*, N> bind(const Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  std::array<PyObject*, N> out{};
  bind_vector(params.function, params.names.data(), N, params.required, args, nargs, kwnames, out.data());
  return out;
}

// For tp_new-style (args tuple, kwargs dict or null) callables.
template <std::size_t N>
std::array<PyObject*, N> bind(const Params<N>& params, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> out{};
  bind_tuple(params.function, params.names.data(), N, params.required, args, kwargs, out.data());
  return out;
}

// ---- conversion messages -------------------------------------------------

// "'{type}' object is not an instance of '{expected}'" ("'None' is not an
// instance of '{expected}'" for None), prefixed with "argument '{name}': " when
// `arg_name` is given. Sets TypeError and throws.
[[noreturn]] void raise_not_instance(PyObject* obj, const char* expected, const char* arg_name = nullptr);

// If a TypeError is pending, replaces it by "argument '{name}': " + message,
// keeping its __cause__. Other errors are left as they are.
void prefix_pending_type_error(const char* arg_name) noexcept;

// Runs `convert` and applies the argument prefix to a TypeError it raises.
template <class F>
auto convert_arg(const char* arg_name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonErrorSet&) {
    prefix_pending_type_error(arg_name);
    throw;
  }
}

// Name of the object's type, as `type(obj).__name__` gives it.
std::string type_name(PyObject* obj);

// ---- converters ----------------------------------------------------------

// A str (or subclass) argument as UTF-8. The view points into the string's own
// cached UTF-8 form: it stays valid while the object lives and may be read
// without the interpreter lock while the caller's reference keeps it alive.
// A lone surrogate raises the interpreter's UnicodeEncodeError, unprefixed.
std::string_view arg_str(PyObject* obj, const char* arg_name);
// None or an omitted argument (null) gives nullopt.
std::optional<std::string_view> arg_optional_str(PyObject* obj, const char* arg_name);
// Any object with __index__ converted to an unsigned 64-bit integer (True is 1).
// Negative or too large values raise the interpreter's OverflowError unchanged.
std::uint64_t arg_u64(PyObject* obj, const char* arg_name);
// True or False exactly; anything else is the conversion error for 'bool'.
bool arg_bool(PyObject* obj, const char* arg_name);
// An instance of `type` (or a subclass); otherwise the conversion TypeError
// naming `expected` (the class name shown in the message).
PyObject* arg_instance(PyObject* obj, PyTypeObject* type, const char* expected, const char* arg_name);

// The items of a sequence argument (list, tuple, other non-mapping sequences),
// as new references. A str is refused with "Can't extract `str` to `Vec`";
// other non-sequences with the conversion error for 'Sequence'.
std::vector<OwnedRef> arg_sequence_items(PyObject* obj, const char* arg_name);
// The items of a tuple (or subclass) of exactly `length` elements, borrowed
// from `obj`. Not a tuple: the conversion error for 'tuple' naming `arg_name`;
// wrong length: ValueError "expected tuple of length {n}, but got tuple of length {m}".
std::vector<PyObject*> tuple_items(PyObject* obj, std::size_t length, const char* arg_name);

// A file system path: a str, bytes or os.PathLike argument. `native` holds the
// bytes the OS is given (str encoded with the file system encoding); `object` is
// the os.fspath() result, for error messages that name the file.
struct PathArg {
  std::string native;
  OwnedRef object;
};
// Anything else raises the interpreter's TypeError prefixed with the argument
// name; an embedded NUL raises its ValueError.
PathArg arg_path(PyObject* obj, const char* arg_name);

// ---- results -------------------------------------------------------------

OwnedRef str_from_utf8(std::string_view utf8);

}  // namespace tallowmere::py

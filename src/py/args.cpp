#include "py/args.h"

#include <string>

namespace tallowmere::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

[[noreturn]] void raise_too_many(const char* function, std::size_t count, std::size_t required, Py_ssize_t given) {
  std::string message = std::string(function) + "() takes ";
  if (required == count) {
    message += std::to_string(count);
  } else {
    message += "from " + std::to_string(required) + " to " + std::to_string(count);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  raise(PyExc_TypeError, message);
}

// Index of the parameter named `keyword`, or `count` when there is none.
std::size_t find_param(PyObject* keyword, const char* const* names, std::size_t count) {
  if (!PyUnicode_Check(keyword)) return count;
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &length);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return count;
  }
  std::string_view wanted(utf8, static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < count; ++i) {
    if (wanted == names[i]) return i;
  }
  return count;
}

void place_keyword(const char* function, const char* const* names, std::size_t count, PyObject* keyword,
                   PyObject* value, PyObject** out) {
  std::size_t index = find_param(keyword, names, count);
  if (index == count) {
    OwnedRef text = check_new(PyObject_Str(keyword));
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (utf8 == nullptr) throw PythonErrorSet{};
    raise(PyExc_TypeError, std::string(function) + "() got an unexpected keyword argument '" +
                               std::string(utf8, static_cast<std::size_t>(length)) + "'");
  }
  if (out[index] != nullptr) {
    raise(PyExc_TypeError,
          std::string(function) + "() got multiple values for argument '" + names[index] + "'");
  }
  out[index] = value;
}

void check_required(const char* function, const char* const* names, std::size_t required, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) missing.push_back(names[i]);
  }
  if (missing.empty()) return;
  raise(PyExc_TypeError, std::string(function) + "() missing " + std::to_string(missing.size()) +
                             " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                             quoted_list(missing));
}

}  // namespace

void bind_vector(const char* function, const char* const* names, std::size_t count, std::size_t required,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (static_cast<std::size_t>(nargs) > count) raise_too_many(function, count, required, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      place_keyword(function, names, count, PyTuple_GetItem(kwnames, k), args[nargs + k], out);
    }
  }
  check_required(function, names, required, out);
}

void bind_tuple(const char* function, const char* const* names, std::size_t count, std::size_t required,
                PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs < 0) throw PythonErrorSet{};
  if (static_cast<std::size_t>(nargs) > count) raise_too_many(function, count, required, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      place_keyword(function, names, count, keyword, value, out);
    }
  }
  check_required(function, names, required, out);
}

std::string type_name(PyObject* obj) {
  OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t length = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &length)) {
      return std::string(utf8, static_cast<std::size_t>(length));
    }
  }
  PyErr_Clear();
  return "object";
}

void raise_not_instance(PyObject* obj, const char* expected, const char* arg_name) {
  std::string message;
  if (arg_name != nullptr) message = std::string("argument '") + arg_name + "': ";
  if (obj == Py_None) {
    message += std::string("'None' is not an instance of '") + expected + "'";
  } else {
    message += "'" + type_name(obj) + "' object is not an instance of '" + expected + "'";
  }
  raise(PyExc_TypeError, message);
}

void prefix_pending_type_error(const char* arg_name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedRef owned_type = OwnedRef::steal(type);
  OwnedRef owned_value = OwnedRef::steal(value);
  OwnedRef owned_traceback = OwnedRef::steal(traceback);
  OwnedRef text = OwnedRef::steal(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = OwnedRef::steal(PyUnicode_FromString(""));
    if (!text) return;
  }
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", arg_name, text.get()));
  if (!message) return;
  OwnedRef replacement = OwnedRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (value != nullptr) {
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

std::string_view arg_str(PyObject* obj, const char* arg_name) {
  // The exact-type test is inline; the subclass test is a call under the limited API.
  if (obj == nullptr || (!PyUnicode_CheckExact(obj) && !PyUnicode_Check(obj))) raise_not_instance(obj, "str", arg_name);
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &length);
  if (utf8 == nullptr) throw PythonErrorSet{};
  return std::string_view(utf8, static_cast<std::size_t>(length));
}

std::optional<std::string_view> arg_optional_str(PyObject* obj, const char* arg_name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return arg_str(obj, arg_name);
}

PathArg arg_path(PyObject* obj, const char* arg_name) {
  return convert_arg(arg_name, [&] {
    OwnedRef fspath = check_new(PyOS_FSPath(obj));
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(fspath.get(), &encoded) == 0) throw PythonErrorSet{};
    OwnedRef bytes = OwnedRef::steal(encoded);
    char* data = nullptr;
    Py_ssize_t length = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &length));
    return PathArg{std::string(data, static_cast<std::size_t>(length)), std::move(fspath)};
  });
}

std::uint64_t arg_u64(PyObject* obj, const char* arg_name) {
  return convert_arg(arg_name, [&] {
    OwnedRef index = check_new(PyNumber_Index(obj));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
    return static_cast<std::uint64_t>(value);
  });
}

bool arg_bool(PyObject* obj, const char* arg_name) {
  if (obj != Py_True && obj != Py_False) raise_not_instance(obj, "bool", arg_name);
  return obj == Py_True;
}

PyObject* arg_instance(PyObject* obj, PyTypeObject* type, const char* expected, const char* arg_name) {
  if (obj == nullptr || !PyObject_TypeCheck(obj, type)) raise_not_instance(obj, expected, arg_name);
  return obj;
}

std::vector<OwnedRef> arg_sequence_items(PyObject* obj, const char* arg_name) {
  if (PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, std::string("argument '") + arg_name + "': Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(obj)) raise_not_instance(obj, "Sequence", arg_name);
  std::vector<OwnedRef> items;
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    bool is_list = PyList_CheckExact(obj);
    Py_ssize_t size = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      items.push_back(OwnedRef::borrow(is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i)));
    }
    return items;
  }
  convert_arg(arg_name, [&] {
    OwnedRef iterator = check_new(PyObject_GetIter(obj));
    while (PyObject* item = PyIter_Next(iterator.get())) items.push_back(OwnedRef::steal(item));
    if (PyErr_Occurred()) throw PythonErrorSet{};
    return 0;
  });
  return items;
}

std::vector<PyObject*> tuple_items(PyObject* obj, std::size_t length, const char* arg_name) {
  if (!PyTuple_Check(obj)) raise_not_instance(obj, "tuple", arg_name);
  Py_ssize_t size = PyTuple_Size(obj);
  if (static_cast<std::size_t>(size) != length) {
    raise(PyExc_ValueError, "expected tuple of length " + std::to_string(length) + ", but got tuple of length " +
                                std::to_string(size));
  }
  std::vector<PyObject*> items(length);
  for (std::size_t i = 0; i < length; ++i) items[i] = PyTuple_GetItem(obj, static_cast<Py_ssize_t>(i));
  return items;
}

OwnedRef str_from_utf8(std::string_view utf8) {
  return check_new(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

}  // namespace tallowmere::py

// module.cpp: the entry point of tallowmere._core.
// Multi-phase initialisation: PyInit__core only hands back the definition; the
// interpreter creates the module and runs exec_module, which adds __version__,
// the functions and the classes, appending each name to __all__ before setting
// the attribute. Class objects are created on first use and live for the process.
#include <Python.h>

#include <string>

#include "codec/codec_py.h"
#include "graph/graph_py.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/owned_ref.h"
#include "py/types.h"
#include "store/store_py.h"

namespace tallowmere::py {
namespace {

constexpr const char* kVersion = "0.11.0";

PyObject* core_version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Params<0> params{"core_version", {}, 0};
    bind(params, args, nargs, kwnames);
    return check_new(PyUnicode_FromString(kVersion));
  });
}

PyMethodDef function_defs[] = {
    method_entry("core_version", core_version,
     "core_version()\n--\n\n"
     "Return the version string of the compiled core.\n\n"
     "The Python package and its tests call this to confirm that the native\n"
     "module loaded and matches the package."),
    method_entry("dumps", dumps,
                 "dumps(obj)\n--\n\nSerialize a Python object to msgpack bytes (tallowmere's stable, cross-language codec)."),
    method_entry("loads", loads, "loads(data)\n--\n\nDeserialize msgpack bytes back into a Python object."),
    kMethodTableEnd,
};

// Appends `name` to the module's __all__ (creating the list on first use),
// then sets the attribute; takes a new reference to `value`.
void add_to_module(PyObject* module, const char* name, OwnedRef value) {
  check(value.get());
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
    PyErr_Clear();
    all = check_new(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  OwnedRef text = check_new(PyUnicode_FromString(name));
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    throw InternalFailure(std::string("could not append ") + name + " to __all__");
  }
  check_status(PyObject_SetAttrString(module, name, value.get()));
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  add_to_module(module, name, OwnedRef::borrow(check(reinterpret_cast<PyObject*>(type))));
}

int exec_module(PyObject* module) noexcept {
  return guarded_value(-1, [&] {
    if (!PyModule_Check(module)) raise_not_instance(module, "module");
    add_to_module(module, "__version__", check_new(PyUnicode_FromString(kVersion)));
    OwnedRef module_name = check_new(PyModule_GetNameObject(module));
    for (PyMethodDef* def = function_defs; def->ml_name != nullptr; ++def) {
      add_to_module(module, def->ml_name, check_new(PyCFunction_NewEx(def, nullptr, module_name.get())));
    }
    // Classes, in registration order: Store, Snapshot, HandoffGraph.
    add_type(module, "Store", store_type());
    add_type(module, "Snapshot", snapshot_type());
    add_type(module, "HandoffGraph", handoff_graph_type());
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The `tallowmere._core` native module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tallowmere::py

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&tallowmere::py::module_def); }

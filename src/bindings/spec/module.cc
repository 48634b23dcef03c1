// The module entry: multi-phase initialisation of `_kalvex`.
//
// PyInit__kalvex only hands back the definition; the interpreter creates the module and
// runs ModuleExec, which adds _KalvWriter, _KalvReader and __version__ to the module and
// to its __all__, in that order. Import touches no file.
#include <Python.h>

#include <atomic>

#include "bindings/common/convert.h"
#include "bindings/common/errors.h"
#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"
#include "bindings/spec/reader_type.h"
#include "bindings/spec/writer_type.h"

namespace kalvex::bindings {
namespace {

// The native module's own version: fixed with its interface, whatever the package's
// version (kalvex.__version__, from pyproject.toml) becomes.
constexpr const char kVersion[] = "0.3.0";

std::atomic<PyObject*> all_name{nullptr};

// Appends `name` to the module's __all__ (creating the list if the module has none),
// then sets the attribute. A non-list __all__ is a TypeError.
bool AddName(PyObject* module, const char* name, PyObject* value) {
  PyObject* all_key = InternedName(all_name, "__all__");
  if (all_key == nullptr) return false;
  PyRef all(PyObject_GetAttr(module, all_key));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_key, all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    return RaiseTypeMismatch(all.get(), "list");
  }
  PyRef name_object(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return false;
  return PyObject_SetAttr(module, name_object.get(), value) == 0;
}

int ModuleExec(PyObject* module) {
  if (!PyModule_Check(module)) {
    RaiseTypeMismatch(module, "PyModule");
    return -1;
  }
  PyObject* writer = WriterType();
  if (writer == nullptr || !AddName(module, "_KalvWriter", writer)) return -1;
  PyObject* reader = ReaderType();
  if (reader == nullptr || !AddName(module, "_KalvReader", reader)) return -1;
  PyRef version(PyUnicode_FromString(kVersion));
  if (!version || !AddName(module, "__version__", version.get())) return -1;
  return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ModuleExec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_kalvex",
    "kalvex._kalvex \u2014 native extension module entry-point",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kalvex::bindings

PyMODINIT_FUNC PyInit__kalvex() { return PyModuleDef_Init(&kalvex::bindings::kModule); }

// kalvex._native: the package's own extension module on CPython.
//
// Reader and Writer implement the package's backend contract (kalvex/_contract.py) over
// the C interface (include/kalvex.h), linked in whole; open_reader and new_writer are
// the contract's factories, the types themselves; MAX_KEY_SIZE is the header's key limit.
// jump_hash is the routing rule of sharded stores.
// Multi-phase initialisation: import creates the types and touches no file.
#include <Python.h>

#include <cstdint>

#include "bindings/native/types.h"
#include "kalvex.h"

namespace kalvex::native {
namespace {

// jump_hash(digest, n): the C interface's routing rule (kalvex_jump_hash).
PyObject* JumpHash(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "jump_hash() takes exactly 2 arguments");
    return nullptr;
  }
  const std::uint64_t digest = PyLong_AsUnsignedLongLong(args[0]);
  if (digest == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  const long buckets = PyLong_AsLong(args[1]);
  if (buckets == -1 && PyErr_Occurred()) return nullptr;
  if (buckets < 1 || buckets > 0x7FFFFFFFL) {
    PyErr_SetString(PyExc_ValueError, "n must be from 1 to 2**31 - 1");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(kalvex_jump_hash(digest, static_cast<std::uint32_t>(buckets)));
}

PyMethodDef kModuleMethods[] = {
    {"jump_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(JumpHash)), METH_FASTCALL,
     "jump_hash(digest, n, /)\n--\n\nThe bucket of a 64-bit digest among n."},
    {nullptr, nullptr, 0, nullptr},
};

// Adds `value` (borrowed) to the module as `name`.
bool AddBorrowed(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return false;
  }
  return true;
}

int ModuleExec(PyObject* module) {
  PyObject* reader = ReaderType();
  PyObject* writer = WriterType();
  const bool added = AddBorrowed(module, "Reader", reader) && AddBorrowed(module, "Writer", writer) &&
                     AddBorrowed(module, "open_reader", reader) && AddBorrowed(module, "new_writer", writer) &&
                     PyModule_AddIntConstant(module, "MAX_KEY_SIZE", KALVEX_MAX_KEY_SIZE) == 0;
  return added ? 0 : -1;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ModuleExec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_native", "The package's own extension module on CPython.",
    0, kModuleMethods, kModuleSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kalvex::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kalvex::native::kModule); }

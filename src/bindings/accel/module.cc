// `kalvex._accel`: native pieces of the Python package's own loops on CPython.
//
// The package's writer dedupes payloads through a digest table, and a sharded store routes
// every lookup through a jump hash. In pure Python each is a loop of interpreted steps per
// call; here each is one call.
// PyPy compiles the Python table well and pays for every call into a module like this one,
// so the package uses this module on CPython only (see kalvex/_dedupe.py).
//
// DigestTable(): find(digest) -> entry or -1; add(digest) -> None (as entry len(table));
// len(table). A digest is a `bytes` of exactly 16 bytes. add() of a digest already held,
// or beyond the table's capacity, raises ValueError and changes nothing.
// jump_hash(digest, n): the shard routing's bucket step (kalvex/shards.py).
#include <Python.h>

#include <new>

#include "core/writer/digest_table.h"

namespace kalvex::accel {
namespace {

using writer::DigestTable;

struct TableObject {
  PyObject_HEAD
  DigestTable* table;
};

// The digest argument's bytes, or nullptr with TypeError/ValueError set.
const std::uint8_t* DigestBytes(PyObject* digest) {
  if (!PyBytes_Check(digest)) {
    PyErr_Format(PyExc_TypeError, "digest must be bytes, not %.100s", Py_TYPE(digest)->tp_name);
    return nullptr;
  }
  if (PyBytes_GET_SIZE(digest) != static_cast<Py_ssize_t>(DigestTable::kDigestSize)) {
    PyErr_SetString(PyExc_ValueError, "digest must be 16 bytes");
    return nullptr;
  }
  return reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(digest));
}

PyObject* Table_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "DigestTable() takes no arguments");
    return nullptr;
  }
  auto* self = reinterpret_cast<TableObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->table = new (std::nothrow) DigestTable;
  if (self->table == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

void Table_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<TableObject*>(object);
  delete self->table;
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* Table_find(PyObject* object, PyObject* digest) {
  const std::uint8_t* bytes = DigestBytes(digest);
  if (bytes == nullptr) return nullptr;
  const auto entry = reinterpret_cast<TableObject*>(object)->table->Find(
      DigestTable::Digest(bytes, DigestTable::kDigestSize));
  return PyLong_FromLongLong(entry ? static_cast<long long>(*entry) : -1);
}

PyObject* Table_add(PyObject* object, PyObject* digest) {
  const std::uint8_t* bytes = DigestBytes(digest);
  if (bytes == nullptr) return nullptr;
  DigestTable& table = *reinterpret_cast<TableObject*>(object)->table;
  const DigestTable::Digest view(bytes, DigestTable::kDigestSize);
  if (table.Find(view) || table.size() >= DigestTable::kMaxEntries) {
    PyErr_SetString(PyExc_ValueError, "digest already held, or the table is full");
    return nullptr;
  }
  try {
    table.Add(view);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Py_RETURN_NONE;
}

Py_ssize_t Table_len(PyObject* object) {
  return static_cast<Py_ssize_t>(reinterpret_cast<TableObject*>(object)->table->size());
}

PyMethodDef kTableMethods[] = {
    {"find", Table_find, METH_O, "find($self, digest, /)\n--\n\nThe entry holding digest, or -1."},
    {"add", Table_add, METH_O, "add($self, digest, /)\n--\n\nAdd digest as entry len(self)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kTableSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Table_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Table_dealloc)},
    {Py_tp_methods, kTableMethods},
    {Py_sq_length, reinterpret_cast<void*>(Table_len)},
    {Py_tp_doc, const_cast<char*>("Entry numbers of 128-bit payload digests, for exact dedupe.")},
    {0, nullptr},
};

PyType_Spec kTableSpec = {"kalvex._accel.DigestTable", sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT,
                          kTableSlots};

// jump_hash(digest, n): Lamping and Veach's jump consistent hash of a 64-bit digest over
// n buckets, exactly as kalvex/shards.py writes it in Python (the multiply wraps at 2^64,
// the division is done in doubles), which stays the definition; this is its speed.
PyObject* JumpHash(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "jump_hash() takes exactly 2 arguments");
    return nullptr;
  }
  std::uint64_t digest = PyLong_AsUnsignedLongLong(args[0]);
  if (digest == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  const long buckets = PyLong_AsLong(args[1]);
  if (buckets == -1 && PyErr_Occurred()) return nullptr;
  if (buckets < 1 || buckets > 0x7FFFFFFFL) {
    PyErr_SetString(PyExc_ValueError, "n must be from 1 to 2**31 - 1");
    return nullptr;
  }
  std::int64_t bucket = -1;
  std::int64_t jump = 0;
  while (jump < buckets) {
    bucket = jump;
    digest = digest * 2862933555777941757ULL + 1;
    jump = static_cast<std::int64_t>(static_cast<double>(bucket + 1) *
                                     (2147483648.0 / static_cast<double>((digest >> 33) + 1)));
  }
  return PyLong_FromLongLong(bucket);
}

PyMethodDef kModuleMethods[] = {
    {"jump_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(JumpHash)),
     METH_FASTCALL, "jump_hash(digest, n, /)\n--\n\nThe bucket of a 64-bit digest among n."},
    {nullptr, nullptr, 0, nullptr},
};

int ModuleExec(PyObject* module) {
  PyObject* type = PyType_FromSpec(&kTableSpec);
  if (type == nullptr) return -1;
  if (PyModule_AddObject(module, "DigestTable", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ModuleExec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_accel", "Native pieces of the package's own loops on CPython.",
    0, kModuleMethods, kModuleSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace kalvex::accel

PyMODINIT_FUNC PyInit__accel() { return PyModuleDef_Init(&kalvex::accel::kModule); }

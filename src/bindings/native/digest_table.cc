// kalvex._native.DigestTable: entry numbers of 128-bit payload digests, the package
// writer's dedupe table on CPython until the writer dedupes through add_unique.
//
// DigestTable(): find(digest) -> entry or -1; add(digest) -> None (as entry len(table));
// len(table). A digest is a `bytes` of exactly 16 bytes. add() of a digest already held,
// or beyond the table's capacity, raises ValueError and changes nothing.
// PyPy compiles the Python table of kalvex/_dedupe.py well and pays for every call into
// a module like this one, so the package uses it on CPython only.
#include <Python.h>

#include <atomic>
#include <new>

#include "bindings/once.h"
#include "bindings/native/types.h"
#include "core/writer/digest_table.h"

namespace kalvex::native {
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

PyType_Spec kTableSpec = {"kalvex._native.DigestTable", sizeof(TableObject), 0, Py_TPFLAGS_DEFAULT,
                          kTableSlots};

std::atomic<PyObject*> digest_table_type{nullptr};

}  // namespace

PyObject* DigestTableType() {
  return bindings::CreatedOnce(digest_table_type, [] { return PyType_FromSpec(&kTableSpec); });
}

}  // namespace kalvex::native

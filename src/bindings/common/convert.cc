#include "bindings/common/convert.h"

#include <atomic>

#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"

namespace kalvex::bindings {
namespace {

std::atomic<PyObject*> module_attr_name{nullptr};
std::atomic<PyObject*> name_attr_name{nullptr};
std::atomic<PyObject*> bool_attr_name{nullptr};
std::atomic<PyObject*> qualname_attr_name{nullptr};

bool KeyFailure() {
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return false;
}

// A sequence of ints 0..255 as bytes; false (error left for KeyFailure) otherwise.
bool SequenceToBytes(PyObject* object, std::string& out) {
  const Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(hint));
  }
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    const long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) return false;
    out.push_back(static_cast<char>(value));
  }
  return !PyErr_Occurred();
}

// True when `name` (an attribute of `type`) is a str equal to one of the two texts.
bool AttributeIs(PyObject* type, PyObject* attr_name, const char* a, const char* b) {
  if (attr_name == nullptr) return false;
  PyRef value(PyObject_GetAttr(type, attr_name));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(value.get(), a) == 0 ||
         (b != nullptr && PyUnicode_CompareWithASCIIString(value.get(), b) == 0);
}

bool IsNumpyBoolType(PyTypeObject* type) {
  PyObject* as_object = reinterpret_cast<PyObject*>(type);
  return AttributeIs(as_object, InternedName(module_attr_name, "__module__"), "numpy", nullptr) &&
         AttributeIs(as_object, InternedName(name_attr_name, "__name__"), "bool_", "bool");
}

std::string TypeName(PyTypeObject* type) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

}  // namespace

std::string QualifiedTypeName(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000 && !defined(PYPY_VERSION)
  PyRef name(PyType_GetQualName(type));
#else
  PyRef name(PyObject_GetAttr(reinterpret_cast<PyObject*>(type),
                              InternedName(qualname_attr_name, "__qualname__")));
#endif
  const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

bool RaiseTypeMismatch(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    const std::string name = QualifiedTypeName(Py_TYPE(object));
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), expected);
  }
  return false;
}

bool ConvertAnyKey(PyObject* object, KeyBytes& out) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text != nullptr) {
      out.Borrow(text, size);
      return true;
    }
    // A lone surrogate has no UTF-8 form; a str is never taken as a sequence.
    return KeyFailure();
  }
  if (PyBytes_Check(object)) {
    out.Borrow(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
    return true;
  }
  if (PyByteArray_Check(object)) {
    // Copied: Python code run later in the call could resize the bytearray.
    out.storage_.assign(PyByteArray_AS_STRING(object),
                        static_cast<std::size_t>(PyByteArray_GET_SIZE(object)));
    out.Own();
    return true;
  }
  if (PySequence_Check(object) && SequenceToBytes(object, out.storage_)) {
    out.Own();
    return true;
  }
  return KeyFailure();
}

bool ConvertBytes(PyObject* object, std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(object)) return RaiseTypeMismatch(object, "bytes");
  out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
         static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
  return true;
}

bool ConvertU64(PyObject* object, std::uint64_t& out) {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030C0000
  // Object IDs are small ints: up to two 30-bit digits (size counts them, negative for a
  // negative int) go through the conversion that reads the digits directly; the general
  // one below serialises every int into a byte buffer first. Both give the same value,
  // and whatever could fail takes the general path with its messages.
  if constexpr (sizeof(unsigned long) >= sizeof(std::uint64_t)) {
    if (PyLong_CheckExact(object) && Py_SIZE(object) >= 0 && Py_SIZE(object) <= 2) {
      out = PyLong_AsUnsignedLong(object);
      return true;
    }
  }
#endif
  PyRef index;
  PyObject* number = object;
  if (!PyLong_Check(object)) {
    index = PyRef(PyNumber_Index(object));
    if (!index) return false;
    if (!PyLong_Check(index.get())) return RaiseTypeMismatch(index.get(), "int");
    number = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool ConvertText(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) return RaiseTypeMismatch(object, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool ConvertBool(PyObject* object, bool& out) {
  if (Py_TYPE(object) == &PyBool_Type) {
    out = object == Py_True;
    return true;
  }
  if (!IsNumpyBoolType(Py_TYPE(object))) return RaiseTypeMismatch(object, "bool");
  PyObject* bool_name = InternedName(bool_attr_name, "__bool__");
  if (bool_name == nullptr) return false;
  PyRef method(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), bool_name));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    const std::string name = TypeName(Py_TYPE(object));
    PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                 name.c_str());
    return false;
  }
  PyRef result(PyObject_CallFunctionObjArgs(method.get(), object, nullptr));
  if (!result) return false;
  if (Py_TYPE(result.get()) != &PyBool_Type) return RaiseTypeMismatch(result.get(), "bool");
  out = result.get() == Py_True;
  return true;
}

PyObject* WrapArgumentError(const char* name) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  if (type != PyExc_TypeError) {  // a subclass of TypeError passes unchanged
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return nullptr;
  }
  PyRef text(PyObject_Str(value));
  if (!text) return nullptr;
  PyRef wrapped(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!wrapped) return nullptr;
  PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, wrapped.get(), nullptr));
  if (!replacement) return nullptr;
  if (PyObject* cause = PyException_GetCause(value)) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return nullptr;
}

PyObject* KeysTuple(PyObject* keys) {
  if (PyTuple_Check(keys)) {
    Py_INCREF(keys);
    return keys;
  }
  if (PyList_Check(keys)) return PyList_AsTuple(keys);
  PyErr_SetString(PyExc_TypeError, "argument 'keys': must be a list or tuple");
  return nullptr;
}

}  // namespace kalvex::bindings

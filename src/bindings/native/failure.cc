#include "bindings/native/failure.h"

#include <atomic>
#include <string>

#include "bindings/common/errors.h"
#include "bindings/common/once.h"
#include "bindings/common/py_ref.h"

namespace kalvex::native {
namespace {

using bindings::PyRef;

std::atomic<PyObject*> errors_module{nullptr};

PyObject* ErrorsModule() {
  return bindings::CreatedOnce(errors_module, [] { return PyImport_ImportModule("kalvex.errors"); });
}

// The class of each kalvex_error_kind, by its name in kalvex.errors.
const char* ClassName(int kind) {
  switch (kind) {
    case KALVEX_KIND_CORRUPT:
      return "KalvCorruptError";
    case KALVEX_KIND_VERSION:
      return "KalvVersionError";
    case KALVEX_KIND_IO:
      return "KalvIOError";
    default:
      return "KalvError";
  }
}

// text[offset, size) as str; undecodable bytes replaced, a missing text empty.
PyObject* NewTail(const char* text, std::size_t size, std::size_t offset) {
  if (text == nullptr || offset > size) return PyUnicode_FromStringAndSize("", 0);
  return PyUnicode_DecodeUTF8(text + offset, static_cast<Py_ssize_t>(size - offset), "replace");
}

// Sets errno, strerror and filename on a KalvIOError, as OSError(errno, strerror,
// filename) would, leaving its args the detail alone. strerror is the detail too: with a
// filename set, OSError's str() is built from these three.
bool SetOsFacts(PyObject* exception, PyObject* detail, const kalvex_error& error) {
  PyRef number = error.os_errno != 0 ? PyRef(PyLong_FromLong(error.os_errno)) : PyRef::Borrow(Py_None);
  if (!number || PyObject_SetAttrString(exception, "errno", number.get()) < 0) return false;
  if (PyObject_SetAttrString(exception, "strerror", detail) < 0) return false;
  PyRef filename =
      error.path != nullptr
          ? PyRef(PyUnicode_DecodeFSDefaultAndSize(error.path, static_cast<Py_ssize_t>(error.path_size)))
          : PyRef::Borrow(Py_None);
  return filename && PyObject_SetAttrString(exception, "filename", filename.get()) == 0;
}

PyObject* RaiseStoreFailure(const kalvex_error& error) {
  PyObject* module = ErrorsModule();
  if (module == nullptr) return nullptr;
  PyRef cls(PyObject_GetAttrString(module, ClassName(error.kind)));
  if (!cls) return nullptr;
  PyRef detail(NewTail(error.message, error.message_size, error.detail_offset));
  if (!detail) return nullptr;
  PyRef exception(PyObject_CallFunctionObjArgs(cls.get(), detail.get(), nullptr));
  if (!exception) return nullptr;
  if (error.kind == KALVEX_KIND_IO && !SetOsFacts(exception.get(), detail.get(), error)) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace

PyObject* RaiseFailure(kalvex_status status, const kalvex_error& error) {
  switch (status) {
    case KALVEX_STORE_ERROR:
      return RaiseStoreFailure(error);
    case KALVEX_NO_MEMORY:
      return PyErr_NoMemory();
    default: {
      const std::string text = error.message != nullptr ? std::string(error.message, error.message_size)
                                                        : std::string("internal failure in kalvex");
      return bindings::RaiseInternalFailure(text);
    }
  }
}

PyObject* RaiseClosed() {
  PyObject* module = ErrorsModule();
  if (module == nullptr) return nullptr;
  PyRef exception(PyObject_CallMethod(module, "closed_error", nullptr));
  if (!exception) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace kalvex::native

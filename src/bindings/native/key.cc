#include "bindings/native/key.h"

#include "bindings/common/py_ref.h"

namespace kalvex::bindings {

bool ConvertAnyPackageKey(PyObject* object, KeyBytes& out) {
  if (PyMemoryView_Check(object)) {
    // bytes(view): its bytes in order whatever the view's format and strides, copied, as
    // Python code run later in the call could release the view.
    const PyRef copy(PyBytes_FromObject(object));
    if (!copy) return false;
    out.storage_.assign(PyBytes_AS_STRING(copy.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(copy.get())));
    out.Own();
    return true;
  }
  PyErr_Format(PyExc_TypeError, "key must be str, bytes, bytearray or memoryview, not %s", Py_TYPE(object)->tp_name);
  return false;
}

}  // namespace kalvex::bindings

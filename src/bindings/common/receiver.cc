#include "bindings/common/receiver.h"

#include <string>

#include "bindings/common/convert.h"

namespace kalvex::bindings {

bool RejectReceiver(PyObject* self, PyObject* type, const char* class_name) {
  if (type == nullptr) return false;  // the class could not be created; its error stands
  const std::string name = QualifiedTypeName(Py_TYPE(self));
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), class_name);
  return false;
}

}  // namespace kalvex::bindings

#include "bindings/common/once.h"

namespace kalvex::bindings {

PyObject* InternedName(std::atomic<PyObject*>& slot, const char* text) {
  return CreatedOnce(slot, [text] { return PyUnicode_InternFromString(text); });
}

}  // namespace kalvex::bindings

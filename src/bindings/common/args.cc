#include "bindings/common/args.h"

#include <cstring>
#include <string>

namespace kalvex::bindings {
namespace {

bool TooManyPositional(const ParamList& params, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (params.required == params.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 params.callable, params.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 params.callable, params.required, params.count, given, verb);
  }
  return false;
}

// The position of keyword `name`, or -1. Names are compared by their UTF-8 bytes; a
// keyword that is no str, or cannot be encoded, matches nothing.
Py_ssize_t FindParam(const ParamList& params, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (std::size_t i = 0; i < params.count; ++i) {
    const std::size_t want = std::strlen(params.names[i]);
    if (static_cast<std::size_t>(length) == want && std::memcmp(text, params.names[i], want) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool AssignKeyword(const ParamList& params, PyObject* name, PyObject* value, PyObject** slots) {
  const Py_ssize_t at = FindParam(params, name);
  if (at < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", params.callable, name);
    return false;
  }
  if (slots[at] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", params.callable,
                 params.names[at]);
    return false;
  }
  slots[at] = value;
  return true;
}

// Names every missing required parameter: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
bool CheckRequired(const ParamList& params, PyObject** slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < params.required; ++i) missing += slots[i] == nullptr;
  if (missing == 0) return true;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < params.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += params.names[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", params.callable, missing,
               missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool ParseFastcallGeneral(const ParamList& params, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames, PyObject** slots) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(nargs) > params.count) return TooManyPositional(params, nargs);
  for (std::size_t i = 0; i < params.count; ++i) {
    slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!AssignKeyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return CheckRequired(params, slots);
}

bool ParseTupleDict(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > params.count) return TooManyPositional(params, nargs);
  for (std::size_t i = 0; i < params.count; ++i) {
    slots[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!AssignKeyword(params, name, value, slots)) return false;
    }
  }
  return CheckRequired(params, slots);
}

}  // namespace kalvex::bindings

// Parsing of call arguments against a fixed parameter list.
//
// Every parameter may be given by position or by keyword; none is positional-only or
// keyword-only, and no callable takes extra arguments. Parsing only assigns objects to
// parameter slots (borrowed, valid for the call; nullptr for one not given), one slot
// per parameter name; converting them is convert.h's job.
// Failures raise TypeError with the interpreter-style texts, e.g.
//   "_KalvReader.get_raw() missing 1 required positional argument: 'key'".
#pragma once

#include <Python.h>

#include <cstddef>

namespace kalvex::bindings {

struct ParamList {
  const char* callable;      // "{Class}.{method}()", e.g. "_KalvReader.__new__()"
  const char* const* names;  // parameter names, in order
  std::size_t count;         // the length of `names`, taken from the array itself
  std::size_t required;      // the first `required` parameters have no default

  // A callable without parameters.
  constexpr explicit ParamList(const char* callable_name)
      : callable(callable_name), names(nullptr), count(0), required(0) {}
  template <std::size_t N>
  constexpr ParamList(const char* callable_name, const char* const (&param_names)[N],
                      std::size_t required_count)
      : callable(callable_name), names(param_names), count(N), required(required_count) {}
};

// The fast-call convention: a vector of positionals, then values for `kwnames`.
// Returns false with TypeError set.
bool ParseFastcallGeneral(const ParamList& params, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames, PyObject** slots);

inline bool ParseFastcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames, PyObject** slots) {
  // Lookups are called millions of times with every argument by position: that case
  // needs no name matching and no missing-argument scan.
  if (kwnames == nullptr && static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) == params.count) {
    for (std::size_t i = 0; i < params.count; ++i) slots[i] = args[i];
    return true;
  }
  return ParseFastcallGeneral(params, args, nargsf, kwnames, slots);
}

// The constructors' convention: a tuple of positionals and an optional dict of keywords.
bool ParseTupleDict(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace kalvex::bindings

#include "bindings/common/calls.h"

#include <iterator>
#include <memory>
#include <string_view>

#include "bindings/common/args.h"
#include "bindings/common/convert.h"
#include "bindings/common/handles.h"
#include "bindings/common/instance.h"
#include "bindings/common/results.h"

namespace kalvex::bindings {

namespace {
constexpr const char* kOpenParams[] = {"path", "verify"};
}  // namespace

PyObject* OpenReader(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                     bool parse_index, const ErrorClasses& classes) {
  PyObject* slots[std::size(kOpenParams)];
  if (!ParseTupleDict(ParamList{callable, kOpenParams, 1}, args, kwargs, slots)) return nullptr;
  std::string_view path;
  if (!ConvertText(slots[0], path)) return WrapArgumentError("path");
  bool verify = true;
  if (slots[1] != nullptr && !ConvertBool(slots[1], verify)) return WrapArgumentError("verify");
  const kalvex_open_options options{verify ? 1 : 0, parse_index ? 1 : 0};
  kalvex_reader* opened = nullptr;
  ErrorRecord error;
  const kalvex_status status = kalvex_reader_open_with(path.data(), path.size(), &options, &opened, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  return NewInstance(type, std::unique_ptr<kalvex_reader, CloseReader>(opened));
}

PyObject* NewWriter(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                    const ErrorClasses& classes) {
  if (!ParseTupleDict(ParamList{callable}, args, kwargs, nullptr)) return nullptr;
  kalvex_writer* made = nullptr;
  ErrorRecord error;
  const kalvex_status status = kalvex_writer_new(&made, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  return NewInstance(type, std::unique_ptr<kalvex_writer, FreeWriter>(made));
}

PyObject* VerifyReader(const kalvex_reader* reader, const ErrorClasses& classes) {
  ErrorRecord error;
  const kalvex_status status = kalvex_reader_verify(reader, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  Py_RETURN_TRUE;
}

}  // namespace kalvex::bindings

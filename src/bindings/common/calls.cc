#include "bindings/common/calls.h"

#include <iterator>
#include <memory>
#include <string_view>

#include "bindings/common/args.h"
#include "bindings/common/convert.h"
#include "bindings/common/handles.h"
#include "bindings/common/instance.h"
#include "bindings/common/results.h"
#include "bindings/common/unlocked.h"

namespace kalvex::bindings {

namespace {
constexpr const char* kOpenParams[] = {"path", "verify"};
constexpr const char* kCheckedOpenParams[] = {"path", "verify", "check"};
constexpr const char* kWriterParams[] = {"path", "memory_limit"};
}  // namespace

PyObject* OpenReader(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                     ReaderOpening opening, const ErrorClasses& classes) {
  PyObject* slots[std::size(kCheckedOpenParams)] = {};
  const ParamList params = opening.takes_check ? ParamList{callable, kCheckedOpenParams, 1}
                                               : ParamList{callable, kOpenParams, 1};
  if (!ParseTupleDict(params, args, kwargs, slots)) return nullptr;
  std::string_view path;
  if (!ConvertText(slots[0], path)) return WrapArgumentError("path");
  bool verify = true;
  if (slots[1] != nullptr && !ConvertBool(slots[1], verify)) return WrapArgumentError("verify");
  bool check = false;
  if (slots[2] != nullptr && !ConvertBool(slots[2], check)) return WrapArgumentError("check");
  kalvex_open_options options{};
  options.verify = verify ? 1 : 0;
  options.check_records = check ? 1 : 0;
  options.parse_index = opening.parse_index ? 1 : 0;
  kalvex_reader* opened = nullptr;
  ErrorRecord error;
  // No instance exists yet, and the path is an immutable str's own bytes: nothing the
  // open reads can change while the lock is let go.
  kalvex_status status = UnlockedIf(opening.unlocked, [&] {
    return kalvex_reader_open_with(path.data(), path.size(), &options, &opened, error.get());
  });
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  std::unique_ptr<kalvex_reader, CloseReader> owned(opened);
  if (check && (status = UnlockedIf(opening.unlocked, [&] { return kalvex_reader_check_index(opened, error.get()); })) !=
                   KALVEX_OK) {
    return RaiseFailure(status, *error, classes);
  }
  return NewInstance(type, std::move(owned));
}

PyObject* NewWriter(PyTypeObject* type, const char* callable, PyObject* args, PyObject* kwargs,
                    const ErrorClasses& classes, bool takes_options) {
  kalvex_writer_options options{};
  if (takes_options) {
    PyObject* slots[std::size(kWriterParams)] = {};
    if (!ParseTupleDict(ParamList{callable, kWriterParams, 0}, args, kwargs, slots)) return nullptr;
    std::string_view path;
    if (slots[0] != nullptr && slots[0] != Py_None) {
      if (!ConvertText(slots[0], path)) return WrapArgumentError("path");
      options.path = path.data();
      options.path_size = path.size();
    }
    if (slots[1] != nullptr && !ConvertU64(slots[1], options.memory_limit)) return WrapArgumentError("memory_limit");
  } else if (!ParseTupleDict(ParamList{callable}, args, kwargs, nullptr)) {
    return nullptr;
  }
  kalvex_writer* made = nullptr;
  ErrorRecord error;
  const kalvex_status status = kalvex_writer_new_with(&made, &options, error.get());
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  return NewInstance(type, std::unique_ptr<kalvex_writer, FreeWriter>(made));
}

PyObject* VerifyReader(const kalvex_reader* reader, const ErrorClasses& classes, bool unlocked) {
  ErrorRecord error;
  const kalvex_status status = UnlockedIf(unlocked, [&] { return kalvex_reader_verify(reader, error.get()); });
  if (status != KALVEX_OK) return RaiseFailure(status, *error, classes);
  Py_RETURN_TRUE;
}

}  // namespace kalvex::bindings

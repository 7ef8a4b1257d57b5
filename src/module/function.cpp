#include "module/function.h"

#include <optional>
#include <string_view>

#include "common/guard.h"
#include "module/binding.h"
#include "module/panic.h"
#include "writer/xlsx.h"

namespace cellvault::module {
namespace {

PyObject* encrypt_excelfile(PyObject* /*module*/, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kParamCount];
  if (bind_arguments(args, nargs, kwnames, bound) < 0) return nullptr;
  std::string_view utf8[kParamCount];
  if (convert_arguments(bound, utf8) < 0) return nullptr;

  // The work touches no Python object, so other threads run meanwhile and
  // several calls encrypt in parallel. The UTF-8 views stay valid: the
  // caller holds the argument objects until this function returns.
  std::optional<CallFailure> failure;
  Py_BEGIN_ALLOW_THREADS
  failure = run_guarded([&] { set_password(utf8[0], utf8[1], utf8[2]); });
  if (failure && failure->kind == CallFailure::Kind::Panic) {
    report_failure(*failure);
  }
  Py_END_ALLOW_THREADS

  if (failure) {
    raise_failure(*failure);
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef encrypt_excelfile_def = {
    "encrypt_excelfile",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(encrypt_excelfile)),
    METH_FASTCALL | METH_KEYWORDS,
    "",
};

}  // namespace cellvault::module

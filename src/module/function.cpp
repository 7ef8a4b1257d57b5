#include "module/function.h"

#include <optional>
#include <string_view>

#include "common/cancel.h"
#include "common/guard.h"
#include "module/binding.h"
#include "module/panic.h"
#include "writer/xlsx.h"

namespace cellvault::module {
namespace {

// SignalCheck is the interpreter's side of the core's cancellation hook.
// While the call waits for input, the hook takes the interpreter lock back
// for a moment and runs the Python signal handlers, as time.sleep does; an
// exception that one raises (KeyboardInterrupt for Ctrl-C) stops the call
// and is raised when it returns. The handlers run in the main thread only,
// so a call from another thread goes on waiting, as Python code there would.
struct SignalCheck {
  PyThreadState* released;     // this thread's state while the lock is out
  PyObject* raised = nullptr;  // the handler's exception, owned until raised
};

bool run_signal_handlers(void* context) {
  auto* check = static_cast<SignalCheck*>(context);
  PyEval_RestoreThread(check->released);
  if (PyErr_CheckSignals() < 0) check->raised = take_error();
  check->released = PyEval_SaveThread();
  return check->raised != nullptr;
}

PyObject* encrypt_excelfile(PyObject* /*module*/, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kParamCount];
  if (bind_arguments(args, nargs, kwnames, bound) < 0) return nullptr;
  std::string_view utf8[kParamCount];
  if (convert_arguments(bound, utf8) < 0) return nullptr;

  // The work touches no Python object, so other threads run meanwhile and
  // several calls encrypt in parallel. The UTF-8 views stay valid: the
  // caller holds the argument objects until this function returns.
  SignalCheck signals{PyEval_SaveThread()};
  const CancelHook cancel(run_signal_handlers, &signals);
  const std::optional<CallFailure> failure = run_guarded(
      [&] { set_password(utf8[0], utf8[1], utf8[2], OutputOptions{}, cancel); });
  // A call stopped by a signal handler's exception is no failure to report.
  if (failure && failure->kind == CallFailure::Kind::Panic && signals.raised == nullptr) {
    report_failure(*failure);
  }
  PyEval_RestoreThread(signals.released);

  if (signals.raised != nullptr) {
    restore_error(signals.raised);  // the interpreter owns it now
    return nullptr;
  }
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

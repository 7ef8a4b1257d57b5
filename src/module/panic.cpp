#include "module/panic.h"

namespace cellvault::module {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when an encryption call fails inside the native code: the source\n"
    "cannot be read, the destination cannot be written, or an internal check\n"
    "fails. The argument is the failure message. It derives from\n"
    "BaseException, so catch it explicitly or through BaseException.";

// Created on first need and kept for the life of the process; only touched
// with the interpreter lock held.
PyObject* panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc,
                                           PyExc_BaseException, nullptr);
  }
  return panic_type;
}

PyObject* take_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *error, *traceback;
  PyErr_Fetch(&type, &error, &traceback);
  PyErr_NormalizeException(&type, &error, &traceback);
  if (error != nullptr && traceback != nullptr) {
    PyException_SetTraceback(error, traceback);
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return error;
#endif
}

void restore_error(PyObject* error) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error));
  Py_INCREF(type);
  PyErr_Restore(type, error, PyException_GetTraceback(error));
#endif
}

void raise_failure(const CallFailure& failure) {
  if (failure.kind == CallFailure::Kind::OutOfMemory) {
    PyErr_NoMemory();
    return;
  }
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  // The messages are UTF-8 (OS texts and the caller's own paths); a stray
  // byte must not turn the failure into a decoding error.
  PyObject* message =
      PyUnicode_DecodeUTF8(failure.message.data(),
                           static_cast<Py_ssize_t>(failure.message.size()),
                           "replace");
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

}  // namespace cellvault::module

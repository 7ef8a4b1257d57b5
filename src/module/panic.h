// PanicException and the mapping of failed calls to Python exceptions.

#ifndef CELLVAULT_MODULE_PANIC_H_
#define CELLVAULT_MODULE_PANIC_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/guard.h"

namespace cellvault::module {

// panic_exception_type returns the class PanicException (a borrowed
// reference), creating it on the first call; null with an exception set if
// that fails. The class derives from BaseException, so `except Exception`
// does not catch it, and it is not an attribute of the module. The caller
// must hold the interpreter lock, which also guards the once-only creation.
PyObject* panic_exception_type();

// raise_failure sets the Python exception for |failure|: MemoryError for
// OutOfMemory, PanicException(message) for Panic. The caller must hold the
// interpreter lock and return null to the interpreter afterwards.
void raise_failure(const CallFailure& failure);

// take_error removes the pending exception and returns it normalised (a
// new reference), or null when none is pending. restore_error makes
// |error| (a reference that the call takes over) the pending exception
// again. Both need the interpreter lock.
PyObject* take_error();
void restore_error(PyObject* error);

}  // namespace cellvault::module

#endif  // CELLVAULT_MODULE_PANIC_H_

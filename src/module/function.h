// encrypt_excelfile(from_path, to_path, password): the module's one
// function.

#ifndef CELLVAULT_MODULE_FUNCTION_H_
#define CELLVAULT_MODULE_FUNCTION_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace cellvault::module {

// The method definition of encrypt_excelfile (fast call with keywords). On
// success the function returns None; wrong arguments raise TypeError (or the
// interpreter's UnicodeEncodeError for a str without a UTF-8 form), a failed
// encryption raises PanicException and exhausted memory MemoryError.
extern PyMethodDef encrypt_excelfile_def;

}  // namespace cellvault::module

#endif  // CELLVAULT_MODULE_FUNCTION_H_

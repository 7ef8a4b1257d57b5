// Argument binding and conversion of encrypt_excelfile.
//
// Both steps are kept apart from the call itself so that their exact
// TypeError texts live in one place. Each function returns 0 on success
// and -1 with a Python exception set; the first error found ends the call.

#ifndef CELLVAULT_MODULE_BINDING_H_
#define CELLVAULT_MODULE_BINDING_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace cellvault::module {

// The parameters of encrypt_excelfile, in order.
inline constexpr int kParamCount = 3;
inline constexpr const char* kParamNames[kParamCount] = {"from_path", "to_path",
                                                         "password"};
// The function's name as its argument errors show it.
inline constexpr const char* kFunctionTitle = "encrypt_excelfile()";

// bind_arguments places the fast-call arguments (|nargs| positional ones in
// |args|, then one value per name in |kwnames|) into |out|, in parameter
// order, as borrowed references. Fails with TypeError on too many
// positional arguments, a repeated or unknown keyword, or a missing
// argument.
int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject* out[kParamCount]);

// convert_arguments sets |out| to the UTF-8 form of each bound value. The
// views borrow the str objects' own UTF-8 buffers and stay valid while the
// objects live. A value that is not a str fails with TypeError "argument
// '<name>': '<type>' object cannot be converted to 'PyString'"; a str
// without a UTF-8 form (a lone surrogate) fails with the interpreter's
// UnicodeEncodeError.
int convert_arguments(PyObject* const bound[kParamCount],
                      std::string_view out[kParamCount]);

}  // namespace cellvault::module

#endif  // CELLVAULT_MODULE_BINDING_H_

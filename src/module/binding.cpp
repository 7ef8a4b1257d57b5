#include "module/binding.h"

#include <cstdio>

#include "module/panic.h"

namespace cellvault::module {
namespace {

int fail_too_many_positional(Py_ssize_t nargs) {
  PyErr_Format(PyExc_TypeError,
               "%s takes %d positional arguments but %zd %s given",
               kFunctionTitle, kParamCount, nargs, nargs == 1 ? "was" : "were");
  return -1;
}

// fail_missing lists every empty slot in parameter order: "'a'",
// "'a' and 'b'", or "'a', 'b', and 'c'".
int fail_missing(PyObject* const out[kParamCount]) {
  const char* missing[kParamCount];
  int count = 0;
  for (int i = 0; i < kParamCount; ++i) {
    if (out[i] == nullptr) missing[count++] = kParamNames[i];
  }
  // Fixed storage: the names are short and known, and a failure path
  // should not allocate outside the interpreter.
  char names[128];
  size_t len = 0;
  names[0] = '\0';
  for (int i = 0; i < count && len < sizeof(names); ++i) {
    const char* separator = i == 0                ? ""
                            : count == 2          ? " and "
                            : i == count - 1      ? ", and "
                                                  : ", ";
    int n = std::snprintf(names + len, sizeof(names) - len, "%s'%s'",
                          separator, missing[i]);
    if (n < 0) break;
    len += static_cast<size_t>(n);
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s",
               kFunctionTitle, count, count == 1 ? "argument" : "arguments",
               names);
  return -1;
}

// keyword_slot returns the parameter index whose name equals |name| as
// exact UTF-8 text, or -1. A name without a UTF-8 form matches nothing.
int keyword_slot(PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  const std::string_view given(text, static_cast<size_t>(size));
  for (int i = 0; i < kParamCount; ++i) {
    if (given == kParamNames[i]) return i;
  }
  return -1;
}

int fail_unexpected_keyword(PyObject* name) {
  // %U keeps the keyword's own text, even one that has no UTF-8 form.
  PyErr_Format(PyExc_TypeError,
               PyUnicode_Check(name)
                   ? "%s got an unexpected keyword argument '%U'"
                   : "%s got an unexpected keyword argument '%S'",
               kFunctionTitle, name);
  return -1;
}

// set_not_text_error raises the conversion error for a value that is not a
// str, naming the __qualname__ of its type.
void set_not_text_error(PyObject* value) {
  PyObject* qualname =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                             "__qualname__");
  const char* type_name = nullptr;
  if (qualname != nullptr && PyUnicode_Check(qualname)) {
    type_name = PyUnicode_AsUTF8(qualname);
  }
  if (type_name == nullptr) {
    PyErr_Clear();
    type_name = "<failed to extract type name>";
  }
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
               type_name, "PyString");
  Py_XDECREF(qualname);
}

// prefix_type_error names the parameter in a pending conversion error.
// Only an error of exactly the type TypeError is rewritten, to "argument
// '<param>': <text>" with the old error's __cause__; any other error (such
// as UnicodeEncodeError) stays as it is.
void prefix_type_error(const char* param) {
  PyObject* error = take_error();
  if (error == nullptr) return;
  if (Py_TYPE(error) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_error(error);
    return;
  }
  PyObject* replacement = nullptr;
  if (PyObject* text = PyObject_Str(error)) {
    if (PyObject* message =
            PyUnicode_FromFormat("argument '%s': %U", param, text)) {
      replacement = PyObject_CallOneArg(PyExc_TypeError, message);
      Py_DECREF(message);
    }
    Py_DECREF(text);
  }
  if (replacement != nullptr) {
    // SetCause steals the reference that GetCause returned.
    if (PyObject* cause = PyException_GetCause(error)) {
      PyException_SetCause(replacement, cause);
    }
    PyErr_SetObject(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
  }
  Py_DECREF(error);
}

}  // namespace

int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject* out[kParamCount]) {
  if (nargs > kParamCount) return fail_too_many_positional(nargs);
  for (int i = 0; i < kParamCount; ++i) out[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const int slot = keyword_slot(name);
    if (slot < 0) return fail_unexpected_keyword(name);
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError,
                   "%s got multiple values for argument '%s'", kFunctionTitle,
                   kParamNames[slot]);
      return -1;
    }
    out[slot] = args[nargs + k];
  }

  if (nargs < kParamCount) {
    for (int i = static_cast<int>(nargs); i < kParamCount; ++i) {
      if (out[i] == nullptr) return fail_missing(out);
    }
  }
  return 0;
}

int convert_arguments(PyObject* const bound[kParamCount],
                      std::string_view out[kParamCount]) {
  for (int i = 0; i < kParamCount; ++i) {
    PyObject* value = bound[i];
    if (!PyUnicode_Check(value)) {
      set_not_text_error(value);
    } else {
      Py_ssize_t size = 0;
      // The size is kept: a password (or path) may hold U+0000.
      const char* data = PyUnicode_AsUTF8AndSize(value, &size);
      if (data != nullptr) {
        out[i] = std::string_view(data, static_cast<size_t>(size));
        continue;
      }
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "attempted to fetch exception but none was set");
      }
    }
    prefix_type_error(kParamNames[i]);
    return -1;
  }
  return 0;
}

}  // namespace cellvault::module

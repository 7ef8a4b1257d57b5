// PyInit_cellvault: builds the module object `cellvault`.
//
// The module is single-phase and keeps no state of its own; it may be
// initialised once per process; a second initialisation (a reload of the
// shared object, a second interpreter) fails with ImportError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "module/function.h"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "cellvault",  // m_name
    "",           // m_doc
    0,            // m_size: no per-module state
    nullptr,      // m_methods: the function is added below
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

constexpr int kModuleApiVersion = 1013;

std::atomic<bool> initialised{false};

// add_function adds encrypt_excelfile to |module| and to its __all__.
int add_function(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  PyObject* function = PyCMethod_New(&cellvault::module::encrypt_excelfile_def,
                                     module, module_name, nullptr);
  Py_DECREF(module_name);
  if (function == nullptr) return -1;

  int status = -1;
  PyObject* all = nullptr;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  if (name == nullptr || !PyUnicode_Check(name)) {
    if (name != nullptr) {
      PyErr_SetString(PyExc_TypeError, "function __name__ is not a str");
    }
    goto done;
  }
  all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) goto done;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      goto done;
    }
  }
  if (PyList_Append(all, name) < 0) goto done;
  status = PyObject_SetAttr(module, name, function);

done:
  Py_XDECREF(all);
  Py_XDECREF(name);
  Py_DECREF(function);
  return status;
}

}  // namespace

PyMODINIT_FUNC PyInit_cellvault(void) {
  PyObject* module = PyModule_Create2(&module_def, kModuleApiVersion);
  if (module == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  // The flag is set before the function is added, so a failed first
  // initialisation also refuses every later one.
  if (initialised.exchange(true)) {
    Py_DECREF(module);
    PyErr_SetString(PyExc_ImportError,
                    "cellvault may only be initialized once per interpreter "
                    "process");
    return nullptr;
  }
  if (add_function(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

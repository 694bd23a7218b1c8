// The _torch extension module. It carries nothing but its name and docstring: the operators were
// registered with PyTorch while the shared object loaded (register/registration.cpp).
#define Py_LIMITED_API 0x03080000
#include <Python.h>

#include "register/registration.hpp"

namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_torch",
    "Private VREL PyTorch Stable-ABI registration loader.",
    0,        // per-module state
    nullptr,  // methods
    nullptr,  // slots
    nullptr,  // traverse
    nullptr,  // clear
    nullptr,  // free
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__torch(void) {
  if (const char *failure = vrel::adapter::registration_failure()) {
    PyErr_SetString(PyExc_ImportError, failure);
    return nullptr;
  }
  return PyModule_Create2(&kModule, PYTHON_ABI_VERSION);
}

// Module entry point of ventra.sandbox._native.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModule_Create2(&g_module_def, 3); }

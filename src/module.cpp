// Temporary module surface: name and docstring only, until the functions land.
#include <Python.h>

static struct PyModuleDef vorlinde_module = {
    PyModuleDef_HEAD_INIT,
    "vorlinde",
    "A Python module for the cryptographic operations necessary to do feature extraction "
    "(element matching in two datasets).",
    0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_vorlinde(void) { return PyModule_Create2(&vorlinde_module, 1013); }

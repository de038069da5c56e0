// Physical floor of a call from Python: a method written directly against the
// vectorcall (METH_FASTCALL | METH_KEYWORDS) API, returning a new float.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* kNames[5];

// Positional and keyword arguments mapped to the five parameters, as any
// keyword-aware native method must do; interned names match by pointer.
PyObject* floor_run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slot[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (nargs > 5) {
        PyErr_SetString(PyExc_TypeError, "run() takes at most 5 arguments");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slot[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int j = 0;
        while (j < 5 && kNames[j] != key) ++j;
        if (j == 5) {
            j = 0;
            while (j < 5 && PyUnicode_Compare(kNames[j], key) != 0) ++j;
        }
        if (j == 5 || slot[j]) {
            PyErr_SetString(PyExc_TypeError, "run() got an unexpected or repeated keyword argument");
            return nullptr;
        }
        slot[j] = args[nargs + k];
    }
    double acc = 0.0;
    for (int i = 0; i < 4; ++i) {
        if (!slot[i]) {
            PyErr_SetString(PyExc_TypeError, "run() missing a required argument");
            return nullptr;
        }
        acc += PyFloat_CheckExact(slot[i]) ? PyFloat_AS_DOUBLE(slot[i]) : 0.0;
    }
    (void) acc;
    return PyFloat_FromDouble(0.0);
}

PyMethodDef floor_methods[] = {
    {"run", (PyCFunction) (void (*)(void)) floor_run, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot floor_slots[] = {{Py_tp_methods, floor_methods}, {Py_tp_new, (void*) PyType_GenericNew}, {0, nullptr}};

PyType_Spec floor_spec = {"_rawfloor.Floor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, floor_slots};

int exec_module(PyObject* m) {
    const char* names[5] = {"MODE", "SP", "PV", "TV", "FF"};
    for (int i = 0; i < 5; ++i) kNames[i] = PyUnicode_InternFromString(names[i]);
    PyObject* tp = PyType_FromSpec(&floor_spec);
    if (!tp) return -1;
    return PyModule_AddObject(m, "Floor", tp);
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, (void*) exec_module}, {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_rawfloor", nullptr, 0, nullptr, module_slots};

}  // namespace

PyMODINIT_FUNC PyInit__rawfloor(void) { return PyModuleDef_Init(&module_def); }

// Physical floor of a call from Python: a method written directly against the
// vectorcall (METH_FASTCALL | METH_KEYWORDS) API, returning a new float.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

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

// A callable object with its own vectorcall slot: the physical floor of f(u).
struct CallObj {
    PyObject_HEAD vectorcallfunc vc;
};

PyObject* call_floor(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != 1 || (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "u") != 0)) {
        PyErr_SetString(PyExc_TypeError, "__call__() takes exactly one argument u");
        return nullptr;
    }
    return PyFloat_FromDouble(0.0);
}

PyObject* call_new(PyTypeObject* tp, PyObject*, PyObject*) {
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o) reinterpret_cast<CallObj*>(o)->vc = call_floor;
    return o;
}

PyMemberDef call_members[] = {{"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CallObj, vc), Py_READONLY, nullptr},
                              {nullptr, 0, 0, 0, nullptr}};

PyType_Slot call_slots[] = {{Py_tp_new, (void*) call_new},
                            {Py_tp_call, (void*) PyVectorcall_Call},
                            {Py_tp_members, call_members},
                            {0, nullptr}};

PyType_Spec call_spec = {"_rawfloor.CallFloor", sizeof(CallObj), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
                         call_slots};

int exec_module(PyObject* m) {
    PyObject* ct = PyType_FromSpec(&call_spec);
    if (!ct || PyModule_AddObject(m, "CallFloor", ct) < 0) return -1;
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

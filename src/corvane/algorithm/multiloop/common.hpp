// Shared by the parts of the multiloop module: bound types, number and
// container helpers.
#pragma once

namespace {

const char* const kModuleName = "corvane.algorithm.multiloop";

// Bound types, for the exact-type dispatch of the per-sample path.
struct Types {
    PyTypeObject *no_model = nullptr, *tfz = nullptr, *tfs = nullptr, *stp = nullptr, *stpxy = nullptr;
    PyTypeObject *miso = nullptr, *mimo = nullptr, *siso = nullptr;
} g_types;

nb::module_ this_module() { return nb::module_::import_(kModuleName); }

// ---------------------------------------------------------------------------
// Numbers

// float(u - u_ini) as the interpreter computes it.
inline double difference(PyObject* u, PyObject* ui) {
    double a, b;
    bool fa, fb;
    if (simple_number(u, a, fa) && simple_number(ui, b, fb)) return a - b;
    PyObject* d = PyNumber_Subtract(u, ui);
    if (!d) raise_pending();
    nb::object diff = nb::steal(d);
    return to_double(diff);
}

inline nb::object py_add(nb::handle a, nb::handle b, bool inplace = false) {
    return binary_op(inplace ? PyNumber_InPlaceAdd : PyNumber_Add, a, b);
}

// A float 0.0 that lives as long as the process.
PyObject* float_zero() {
    static PyObject* zero = PyFloat_FromDouble(0.0);
    return zero;
}

// mapping.get(key, default): native for an exact dict, a method call otherwise.
nb::object map_get(nb::handle mapping, nb::handle key, nb::handle dflt) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise_pending();
        return nb::borrow(dflt);
    }
    return mapping.attr("get")(key, dflt);
}

nb::object map_get(nb::handle mapping, const char* key, nb::handle dflt) {
    return map_get(mapping, nb::str(key), dflt);
}

nb::object get_item(nb::handle mapping, const char* key) {
    nb::str k(key);
    PyObject* r = PyObject_GetItem(mapping.ptr(), k.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

bool truth(nb::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0) raise_pending();
    return t != 0;
}

}  // namespace

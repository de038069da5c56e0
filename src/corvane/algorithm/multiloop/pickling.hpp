// Pickle states and garbage-collector support.
#pragma once

#include "mimo.hpp"

#include <cstring>
#include <vector>

namespace corvane::multiloop {

inline nb::object tfz_state(PyTfz& m) {
    const auto st = m.f.state();
    nb::object z = m.f.pristine() ? nb::none() : float64_array(st.data(), st.size());
    return nb::make_tuple(m.num, m.den, z);
}

// A coefficient or state array of a state: exactly a one-dimensional
// numpy float64 array (or None where allowed); its values are returned.
inline PyTypeObject* ndarray_type() {
    static PyTypeObject* tp = (PyTypeObject*) nb::object(numpy_mod().attr("ndarray")).release().ptr();
    return tp;
}

inline bool state_array(const StateView& sv, Py_ssize_t i, bool none_ok, std::vector<double>& out) {
    nb::object o = sv.item(i);
    if (none_ok && o.is_none()) return false;
    if (Py_TYPE(o.ptr()) != ndarray_type())
        sv.fail_at(i, PyExc_TypeError, "expected numpy.ndarray, got %.200s", tp_name_of(o));
    Py_buffer view;
    if (PyObject_GetBuffer(o.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        sv.fail_at(i, PyExc_ValueError, "expected a readable array");
    }
    // Native-order doubles, whatever the array's strides (an unpickled array
    // may carry an explicit byte order in its format).
    const bool ok = view.ndim == 1 && native_f64(view);
    if (ok) {
        out.resize((size_t) view.shape[0]);
        const char* p = static_cast<const char*>(view.buf);
        for (Py_ssize_t k = 0; k < view.shape[0]; ++k)
            std::memcpy(&out[(size_t) k], p + k * view.strides[0], sizeof(double));
    }
    PyBuffer_Release(&view);
    if (!ok) sv.fail_at(i, PyExc_ValueError, "expected a one-dimensional float64 array");
    return true;
}

inline nb::object readonly_array(const std::vector<double>& v) {
    return readonly_copy(float64_array(v.data(), v.size()));
}

inline void tfz_restore(PyTfz& m, nb::handle st, const char* what) {
    StateView sv(st, 3, what);
    std::vector<double> num, den, z;
    state_array(sv, 0, false, num);
    state_array(sv, 1, false, den);
    const bool has_z = state_array(sv, 2, true, z);
    m.load(readonly_array(num), readonly_array(den));
    if (has_z) {
        auto state = m.f.state_mut();
        if (z.size() != state.size())
            sv.fail_at(2, PyExc_ValueError, "expected %zu items, got %zu", state.size(), z.size());
        state = z;
    }
}

// The attributes of PyMIMO::fields(), and the exact type of each in a state (null: any).
inline const char* const kMimoFields[9] = {
    "Ts",      "process_model_dict", "cv_list", "mv_list", "ini_value_dict", "yu_model_obj", "_u_dict",
    "_y_dict", "cv_simulators"};
inline PyTypeObject* const kMimoTypes[9] = {nullptr,      &PyDict_Type, &PyList_Type, &PyList_Type, &PyDict_Type,
                                            &PyDict_Type, &PyDict_Type, &PyDict_Type, &PyDict_Type};

inline nb::object mimo_state(PyMIMO& s) {
    s.expose();
    return nb::make_tuple(s.Ts, s.process_model_dict, s.cv_list, s.mv_list, s.ini_value_dict, s.yu_model_obj, s.u_dict,
                          s.y_dict, s.cv_simulators);
}

inline void mimo_restore(PyMIMO& s, nb::handle st, const char* what) {
    StateView sv(st, 9, what);
    for (Py_ssize_t i = 0; i < 9; ++i) *s.fields()[i] = kMimoTypes[i] ? sv.typed(i, kMimoTypes[i]) : sv.item(i);
    s.index_tags();
}

template <class T, class Cls>
inline void tfz_family(Cls& cls, const char* what) {
    def_pickle<T>(cls, [](T& m) { return tfz_state(m); }, [what](T& m, nb::handle st) { tfz_restore(m, st, what); });
}

template <class T, class Cls>
inline void mimo_family(Cls& cls, const char* what) {
    def_pickle<T>(cls, [](T& s) { return mimo_state(s); }, [what](T& s, nb::handle st) { mimo_restore(s, st, what); });
}

// Garbage-collector support: the simulators hold Python objects (models,
// dicts, lists) that may lead back to them, e.g. through a model class's globals.
inline int miso_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyMISO* m = nb::inst_ptr<PyMISO>(self);
    m->exposed();  // the collector may hand the lists out (gc.get_referents)
    Py_VISIT(m->model_list.ptr());
    Py_VISIT(m->u_ini_list.ptr());
    return 0;
}

inline int miso_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyMISO* m = nb::inst_ptr<PyMISO>(self);
    nb::object a = std::move(m->model_list), b = std::move(m->u_ini_list);
    m->model_list = nb::none();
    m->u_ini_list = nb::none();
    m->exposed();
    return 0;
}

inline int mimo_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyMIMO* s = nb::inst_ptr<PyMIMO>(self);
    // Dicts that lag behind pending values hold str keys and numbers only (no
    // cycle runs through them): they are handed out only through the getters.
    const bool lag = s->engine && s->engine->dicts_lag();
    for (nb::object* o : s->fields())
        if (!lag || (o != &s->u_dict && o != &s->y_dict)) Py_VISIT(o->ptr());
    Py_VISIT(s->mv_index.ptr());
    for (const nb::object& o : s->mv_tags) Py_VISIT(o.ptr());
    if (s->engine) return s->engine->traverse(visit, arg);
    return 0;
}

inline int mimo_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyMIMO* s = nb::inst_ptr<PyMIMO>(self);
    PyMIMO old(std::move(*s));  // released after the empty state is in place
    // An empty state: later calls raise instead of touching freed objects.
    for (nb::object* o : s->fields()) *o = nb::none();
    s->cv_list = nb::list();
    s->mv_list = nb::list();
    s->mv_index = nb::dict();
    return 0;
}

inline PyType_Slot miso_slots[] = {
    {Py_tp_traverse, (void*) miso_traverse}, {Py_tp_clear, (void*) miso_clear}, {0, nullptr}};
inline PyType_Slot mimo_slots[] = {
    {Py_tp_traverse, (void*) mimo_traverse}, {Py_tp_clear, (void*) mimo_clear}, {0, nullptr}};

inline nb::list default_list(std::initializer_list<double> xs, bool ints = false) {
    nb::list l;
    for (double x : xs) {
        if (ints && x == (double) (long long) x)
            l.append(nb::int_((long long) x));
        else
            l.append(nb::float_(x));
    }
    return l;
}

}  // namespace corvane::multiloop

// Pickle states and garbage-collector support.
#pragma once

#include "mimo.hpp"

#include <vector>

namespace corvane::multiloop {

inline nb::object tfz_state(PyTfz& m) {
    const auto st = m.f.state();
    nb::object z = m.f.pristine() ? nb::none() : float64_array(st.data(), st.size());
    return nb::make_tuple(m.num, m.den, z);
}

inline nb::object readonly_array(const std::vector<double>& v) {
    return readonly_copy(float64_array(v.data(), v.size()));
}

inline void tfz_restore(PyTfz& m, nb::handle st, const char* what) {
    StateView sv(st, 3, what);
    std::vector<double> num, den, z;
    sv.array(0, false, num);
    sv.array(1, false, den);
    const bool has_z = sv.array(2, true, z);
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
    if (!s->engine) return 0;
    s->engine->distrust();
    return s->engine->traverse(visit, arg);
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

}  // namespace corvane::multiloop

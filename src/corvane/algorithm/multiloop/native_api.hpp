// The simulator's entry points for other modules (plantapi.hpp).
#pragma once

#include "../plantapi.hpp"
#include "mimo.hpp"

#include <vector>

namespace corvane {

namespace nb = nanobind;

struct PlantSnapshot {
    multiloop::Rollback filters;
    struct Entry {
        PyObject *dict, *key, *value;  // held in hold
    };
    std::vector<nb::object> hold;
    std::vector<Entry> entries;

    void clear() {
        filters = {};
        entries.clear();
        std::vector<nb::object> drop;
        drop.swap(hold);
    }

    void save_dict(nb::handle d) {
        if (!PyDict_CheckExact(d.ptr())) return;
        hold.push_back(nb::borrow(d));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d.ptr(), &pos, &k, &v)) {
            hold.push_back(nb::borrow(k));
            hold.push_back(nb::borrow(v));
            entries.push_back(Entry{d.ptr(), k, v});
        }
    }

    // The filters a simulator's per-CV simulators run, and its dicts.
    void save(nb::handle sim) {
        using namespace corvane::multiloop;
        PyMIMO& s = mimo_of(sim);
        s.expose();
        hold.push_back(nb::borrow(sim));
        save_dict(s.u_dict);
        save_dict(s.y_dict);
        if (!PyDict_CheckExact(s.cv_simulators.ptr())) return;
        Py_ssize_t pos = 0;
        PyObject *k, *m;
        while (PyDict_Next(s.cv_simulators.ptr(), &pos, &k, &m))
            if (Py_TYPE(m) == g_classes.miso && nb::inst_ready(m)) filters.save_models(*nb::inst_ptr<PyMISO>(m));
    }

    void restore() {
        filters.restore();
        for (size_t i = entries.size(); i-- > 0;)
            if (PyDict_SetItem(entries[i].dict, entries[i].key, entries[i].value) < 0) PyErr_Clear();
        clear();
    }
};

}  // namespace corvane

namespace corvane::multiloop {

inline void fill_view(NativeEngine& e, PlantView* v) {
    static_assert(sizeof(nb::object) == sizeof(PyObject*), "keys are handed out as PyObject*");
    v->nmv = e.nmv;
    v->ncv = e.ncv;
    v->mv_keys = reinterpret_cast<PyObject* const*>(e.mv_keys.data());
    v->cv_keys = reinterpret_cast<PyObject* const*>(e.cv_keys.data());
    v->u = e.u.data();
    v->y = e.y.data();
    v->y_f64 = e.y_f64.data();
    v->engine = &e;
}

inline int api_engine(PyObject* sim, const StrItems* u_values, PlantView* view) {
    int r = 0;
    if (guarded([&] {
            if (!corvane::native_plant(g_classes.mimo, sim) || !nb::inst_ready(sim)) return;
            PyMIMO& s = *nb::inst_ptr<PyMIMO>(sim);
            NativeEngine* e = s.ready_engine();
            if (!e || !e->take_mvs(*u_values) || !e->take_disturbances(empty_default()) ||
                !e->take_current(s.u_dict, s.y_dict) || !e->stage(s.u_dict, s.y_dict))
                return;
            fill_view(*e, view);
            r = 1;
        }) < 0)
        return -1;
    return r;
}

inline void api_step(PlantView* view) {
    NativeEngine& e = *static_cast<NativeEngine*>(view->engine);
    e.step();
    e.put_staged();  // staged by api_engine, and no Python code ran since
    fill_view(e, view);
}

inline int api_copy_out(PyObject* sim, corvane::PlantCopy* copy) {
    int r = 0;
    if (guarded([&] {
            if (!corvane::native_plant(g_classes.mimo, sim) || !nb::inst_ready(sim)) return;
            PyMIMO& s = *nb::inst_ptr<PyMIMO>(sim);
            NativeEngine* e = s.ready_engine();
            if (!e || !e->take_current(s.u_dict, s.y_dict)) return;
            e->copy_out(*copy);
            r = 1;
        }) < 0)
        return -1;
    return r;
}

inline int api_copy_in(PyObject* sim, const corvane::PlantCopy* copy, const unsigned char* given) {
    return guarded([&] {
        PyMIMO& s = mimo_of(sim);
        std::vector<nb::object> objs(copy->u.size());
        std::vector<PyObject*> ptrs(copy->u.size(), nullptr);
        for (size_t j = 0; j < objs.size(); ++j)
            if (given[j]) ptrs[j] = (objs[j] = nb::float_(copy->u[j])).ptr();
        NativeEngine* e = s.ready_engine();
        if (!e || !e->take_current(s.u_dict, s.y_dict) || !e->copy_in(*copy, ptrs.data(), s.u_dict, s.y_dict))
            raise(PyExc_RuntimeError, "the simulator changed while a loop ran it");
    });
}

inline corvane::PlantApi g_plant_api{
    corvane::kPlantApiVersion,
    nullptr,
    api_engine,
    api_step,
    api_copy_out,
    api_copy_in,
    [] { return new corvane::PlantSnapshot(); },
    [](corvane::PlantSnapshot* s) { delete s; },
    [](corvane::PlantSnapshot* s, PyObject* sim) { return guarded([&] { s->save(sim); }); },
    [](corvane::PlantSnapshot* s) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        s->restore();
        PyErr_Restore(t, v, tb);
    },
};

}  // namespace corvane::multiloop

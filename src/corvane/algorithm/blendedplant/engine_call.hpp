// A sample on the plants' native engines: every plant a MIMOSim whose engine
// is ready (multiloop's plant interface), working points plain increasing
// numbers, exact dicts with exact str keys, plain numbers. Everything is
// checked before the first plant advances; from then on nothing can fail.
#pragma once

#include "simulator.hpp"

#include <vector>

namespace corvane::blendedplant {

// Sizes the native sample handles (its per-call arrays sit on the stack).
inline constexpr size_t kPlants = 16, kTags = 64;

// The plants of a native sample (no initial values: see PlantView).
struct NativeSample {
    size_t n;
    corvane::PlantView views[kPlants];
    PyObject* plants[kPlants];
    LocalPlant* recs[kPlants];
    double xp[kPlants];
    size_t match[kTags];   // each CV of plant id1 among plant id2's
    PyObject* ini[kTags];  // and its initial value (null: 0.0)
    double out[kTags];     // its blended value
    bool out_f64[kTags];

    // Every plant of the list distinct and ready for the MV values given.
    bool take_plants(PyObject* list, const StrItems& u_values) {
        n = (size_t) PyList_GET_SIZE(list);
        for (size_t i = 0; i < n; ++i) {
            PyObject* rec = PyList_GET_ITEM(list, (Py_ssize_t) i);
            if (Py_TYPE(rec) != g_local_type || !nb::inst_ready(rec)) return false;
            LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
            bool f64;
            if (!simple_number(r.working_point.ptr(), xp[i], f64) || (i > 0 && !(xp[i - 1] < xp[i]))) return false;
            for (size_t j = 0; j < i; ++j)
                if (plants[j] == r.plant.ptr()) return false;
            const int ok = g_api->engine(r.plant.ptr(), &u_values, &views[i]);
            if (ok < 0) raise_pending();
            if (ok == 0 || views[i].ncv > kTags) return false;
            plants[i] = r.plant.ptr();
            recs[i] = &r;
        }
        return true;
    }

    // Each CV of plant id1 in plant id2 (and, where the values are to wait,
    // in _y_dict's keys), with a plain initial value from the str-keyed ini.
    bool match_cvs(const Blend& b, PyObject* ini_d, const std::vector<nb::object>* y_keys) {
        const corvane::PlantView &v1 = views[b.i1], &v2 = views[b.i2];
        for (size_t a = 0; a < v1.ncv; ++a) {
            match[a] = find_key(v1.cv_keys[a], v2.cv_keys, v2.ncv, a);
            ini[a] = PyDict_GetItemWithError(ini_d, v1.cv_keys[a]);
            double d;
            bool f64;
            if (match[a] == v2.ncv || (ini[a] && !simple_number(ini[a], d, f64))) return false;
            if (y_keys && find_key(v1.cv_keys[a], reinterpret_cast<PyObject* const*>(y_keys->data()), y_keys->size(),
                                   a) == y_keys->size())
                return false;  // a CV that _y_dict lacks enters it: the general path
        }
        return !PyErr_Occurred();
    }

    // Every plant advances, and the blend of plants id1 and id2 is formed.
    void step(const Blend& b) {
        for (size_t i = 0; i < n; ++i) g_api->step(&views[i]);
        const corvane::PlantView &v1 = views[b.i1], &v2 = views[b.i2];
        for (size_t a = 0; a < v1.ncv; ++a) {
            Term ti;
            if (ini[a]) simple_number(ini[a], ti.v, ti.f64);
            const Term t = blend_term(b, {v1.y[a], v1.y_f64[a] != 0}, {v2.y[match[a]], v2.y_f64[match[a]] != 0}, ti);
            out[a] = t.v;
            out_f64[a] = t.f64;
        }
        set_weights(b, n, [&](size_t i) -> LocalPlant& { return *recs[i]; });
    }
};

inline bool Blended::engine_call(double w, PyObject* u_values, PyObject* v_values) {
    PyObject *list = plant_list.ptr(), *ud = u_dict.ptr(), *yd = y_dict.ptr(), *ini_d = ini_value_dict.ptr();
    if (!PyDict_CheckExact(u_values) || !PyDict_CheckExact(v_values) || PyDict_GET_SIZE(v_values) != 0 ||
        !PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0 || PyList_GET_SIZE(list) > (Py_ssize_t) kPlants ||
        !PyDict_CheckExact(ud) || !PyDict_CheckExact(yd))
        return false;
    const bool waits = wb.open(u_dict, y_dict);  // else written through: lookups with str keys only
    if (!str_keyed(ini_d) || (!waits && (!str_keyed(ud) || !str_keyed(yd))) || !mv_items.read(u_values)) return false;
    NativeSample s;
    if (!s.take_plants(list, mv_items)) return false;
    const Blend b = blend_of(w, s.xp, s.n);
    if (!s.match_cvs(b, ini_d, waits ? &wb.y_keys : nullptr)) return false;
    if (waits)  // only numbers wait (see WriteBack): a key of _u_dict no plant takes may hold anything
        for (size_t g = 0; g < mv_items.size(); ++g)
            if (!mv_items.plain[g] && find_key(mv_items.keys[g], reinterpret_cast<PyObject* const*>(wb.u_keys.data()),
                                               wb.u_keys.size(), g) < wb.u_keys.size())
                return false;

    s.step(b);  // nothing below can fail before the commit
    working_v = w;
    working_waiting = true;
    const corvane::PlantView& v1 = s.views[b.i1];
    const StrItems& mv = mv_items;
    if (waits) {  // the values wait for the dicts (see WriteBack)
        PyObject* const* uk = reinterpret_cast<PyObject* const*>(wb.u_keys.data());
        PyObject* const* yk = reinterpret_cast<PyObject* const*>(wb.y_keys.data());
        for (size_t g = 0; g < mv.size(); ++g) {
            const size_t at = find_key(mv.keys[g], uk, wb.u_keys.size(), g);
            if (at < wb.u_keys.size()) wb.put_u(at, mv.values[g]);
        }
        for (size_t a = 0; a < v1.ncv; ++a)
            wb.put_y(find_key(v1.cv_keys[a], yk, wb.y_keys.size(), a), s.out[a], s.out_f64[a]);
        return true;
    }
    // Written through. What is written is held: a replaced value's release
    // may run Python code, even code that calls this simulator again.
    std::vector<nb::object> held;
    for (size_t g = 0; g < mv.size(); ++g)
        if (PyDict_Contains(ud, mv.keys[g]) == 1)
            held.insert(held.end(), {nb::borrow(mv.keys[g]), nb::borrow(mv.values[g])});
    const size_t ku = held.size();
    for (size_t a = 0; a < v1.ncv; ++a)
        held.insert(held.end(), {nb::borrow(v1.cv_keys[a]), number(s.out[a], s.out_f64[a])});
    const nb::object ud0 = u_dict, yd0 = y_dict;
    for (size_t i = 0; i < held.size(); i += 2)
        if (PyDict_SetItem(i < ku ? ud0.ptr() : yd0.ptr(), held[i].ptr(), held[i + 1].ptr()) < 0) raise_pending();
    return true;
}

}  // namespace corvane::blendedplant

// A sample on the plants' native engines: every plant a MIMOSim whose engine
// is ready (multiloop's plant interface), working points plain increasing
// numbers, exact dicts with exact str keys, plain numbers. Everything is
// checked before the first plant advances; from then on nothing can fail.
#pragma once

#include "simulator.hpp"

#include <cstring>
#include <vector>

namespace corvane::blendedplant {

// Sizes the native sample handles (its per-call arrays sit on the stack).
inline constexpr size_t kPlants = 16, kTags = 64;

// Whether two exact str are equal; no Python code runs.
inline bool same_str(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyObject_Hash(a) != PyObject_Hash(b)) return false;  // cached in the str
    return PyUnicode_Compare(a, b) == 0;
}

// Index of `key` among keys[0..n) (exact str), trying position `hint` first; n when absent.
inline size_t find_key(PyObject* key, PyObject* const* keys, size_t n, size_t hint) {
    if (hint < n && keys[hint] == key) return hint;
    for (size_t i = 0; i < n; ++i)
        if (keys[i] == key) return i;
    for (size_t i = 0; i < n; ++i)
        if (same_str(keys[i], key)) return i;
    return n;
}

// The plants of a native sample (no initial values: see PlantView).
struct NativeSample {
    size_t n;
    corvane::PlantView views[kPlants];
    PyObject* plants[kPlants];
    LocalPlant* recs[kPlants];
    double xp[kPlants];
    size_t match[kTags];   // each CV of plant id1 among plant id2's
    PyObject* ini[kTags];  // and its initial value (null: 0.0)
};

// Every key of the exact dict d an exact str (lookups in it run no Python code).
inline bool str_keyed(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k)) return false;
    return true;
}

inline bool Blended::engine_call(double w, PyObject* u_values, PyObject* v_values) {
    PyObject *list = plant_list.ptr(), *ud = u_dict.ptr(), *yd = y_dict.ptr(), *ini_d = ini_value_dict.ptr();
    if (!PyDict_CheckExact(u_values) || !PyDict_CheckExact(v_values) || PyDict_GET_SIZE(v_values) != 0 ||
        !PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0 || PyList_GET_SIZE(list) > (Py_ssize_t) kPlants ||
        !PyDict_CheckExact(ud) || !PyDict_CheckExact(yd) || !PyDict_CheckExact(ini_d))
        return false;
    NativeSample s;
    s.n = (size_t) PyList_GET_SIZE(list);
    const bool waits = wb.open(u_dict, y_dict);  // else the dicts are written through: str keys needed
    if (!str_keyed(ini_d) || (!waits && (!str_keyed(ud) || !str_keyed(yd)))) return false;
    for (size_t i = 0; i < s.n; ++i) {  // every plant distinct, its engine ready for the MV values given
        PyObject* rec = PyList_GET_ITEM(list, (Py_ssize_t) i);
        if (Py_TYPE(rec) != g_local_type || !nb::inst_ready(rec)) return false;
        LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
        bool f64;
        if (!simple_number(r.working_point.ptr(), s.xp[i], f64) || (i > 0 && !(s.xp[i - 1] < s.xp[i]))) return false;
        for (size_t j = 0; j < i; ++j)
            if (s.plants[j] == r.plant.ptr()) return false;
        const int ok = g_api->engine(r.plant.ptr(), u_values, &s.views[i]);
        if (ok < 0) raise_pending();
        if (ok == 0 || s.views[i].ncv > kTags) return false;
        s.plants[i] = r.plant.ptr();
        s.recs[i] = &r;
    }
    const Blend b = blend_of(w, s.xp, s.n);
    const corvane::PlantView &v1 = s.views[b.i1], &v2 = s.views[b.i2];
    PyObject* const* yk = reinterpret_cast<PyObject* const*>(wb.y_keys.data());
    for (size_t a = 0; a < v1.ncv; ++a) {  // each CV of id1 in id2, with a plain initial value
        s.match[a] = find_key(v1.cv_keys[a], v2.cv_keys, v2.ncv, a);
        s.ini[a] = PyDict_GetItemWithError(ini_d, v1.cv_keys[a]);  // str key, str-keyed dict
        double d;
        bool f64;
        if (s.match[a] == v2.ncv || (s.ini[a] && !simple_number(s.ini[a], d, f64))) return false;
        if (waits && find_key(v1.cv_keys[a], yk, wb.y_keys.size(), a) == wb.y_keys.size())
            return false;  // a CV that _y_dict lacks enters it: the general path
    }
    if (PyErr_Occurred()) raise_pending();

    // Every plant advances; nothing below can fail before the commit.
    for (size_t i = 0; i < s.n; ++i) g_api->step(s.plants[i], &s.views[i]);
    double out[kTags];
    bool out_f64[kTags];
    for (size_t a = 0; a < v1.ncv; ++a) {
        Term ti;
        if (s.ini[a]) simple_number(s.ini[a], ti.v, ti.f64);
        const size_t m = s.match[a];
        const Term t = blend_term(b, {v1.y[a], v1.y_f64[a] != 0}, {v2.y[m], v2.y_f64[m] != 0}, ti);
        out[a] = t.v;
        out_f64[a] = t.f64;
    }
    for (size_t i = 0; i < s.n; ++i) s.recs[i]->set_weight(0.0, false);
    if (b.single()) {
        s.recs[b.i1]->set_weight(1.0, false);
    } else {
        s.recs[b.i1]->set_weight(b.w.w1, !b.w.clamped);
        s.recs[b.i2]->set_weight(b.w.w2, !b.w.clamped);
    }
    working_v = w;
    working_waiting = true;
    Py_ssize_t pos = 0;
    PyObject *k, *x;
    if (waits) {  // the values wait for the dicts (see WriteBack)
        PyObject* const* uk = reinterpret_cast<PyObject* const*>(wb.u_keys.data());
        for (size_t g = 0; PyDict_Next(u_values, &pos, &k, &x); ++g) {
            const size_t at = find_key(k, uk, wb.u_keys.size(), g);
            if (at < wb.u_keys.size()) wb.put_u(at, x);
        }
        for (size_t a = 0; a < v1.ncv; ++a) wb.put_y(find_key(v1.cv_keys[a], yk, wb.y_keys.size(), a), out[a], out_f64[a]);
        return true;
    }

    // Written through. What is written is held: a replaced value's release
    // may run Python code, even code that calls this simulator again.
    std::vector<nb::object> held;
    while (PyDict_Next(u_values, &pos, &k, &x))
        if (PyDict_Contains(ud, k) == 1) held.insert(held.end(), {nb::borrow(k), nb::borrow(x)});
    const size_t ku = held.size();
    for (size_t a = 0; a < v1.ncv; ++a) held.insert(held.end(), {nb::borrow(v1.cv_keys[a]), number(out[a], out_f64[a])});
    const nb::object ud0 = u_dict, yd0 = y_dict;
    for (size_t k2 = 0; k2 < held.size(); k2 += 2)
        if (PyDict_SetItem(k2 < ku ? ud0.ptr() : yd0.ptr(), held[k2].ptr(), held[k2 + 1].ptr()) < 0) raise_pending();
    return true;
}

}  // namespace corvane::blendedplant

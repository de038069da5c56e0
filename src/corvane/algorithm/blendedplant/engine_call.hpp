// A sample on the plants' native engines: every plant a MIMOSim whose engine
// is ready (multiloop's plant interface), working points plain increasing
// numbers, exact dicts with exact str keys, plain numbers. Everything is
// checked before the first plant advances; from then on nothing can fail.
#pragma once

#include "simulator.hpp"

#include <vector>

namespace corvane::blendedplant {

// Per-call buffers, reused from call to call (a call made from inside Python
// code that a call runs gets its own).
struct EngineScratch {
    std::vector<corvane::PlantView> views;
    std::vector<PyObject*> plants, keys, objs, in_u, ini;  // in_u, ini: per given MV / CV of id1
    std::vector<double> xp, vals, uvals;
    std::vector<size_t> off, match;  // plant i's MVs at off[i]..off[i+1]; each CV of id1 in id2
    std::vector<nb::object> out;     // the blended values, by CV of id1
    std::vector<nb::object> held;    // what the commit writes
    void clear() {
        views.clear();
        for (auto* v : {&plants, &keys, &objs, &in_u, &ini}) v->clear();
        for (auto* v : {&xp, &vals, &uvals}) v->clear();
        off.clear();
        match.clear();
        out.clear();
        held.clear();
    }
};

// Index of `key` among keys[0..n) (exact str), trying position `hint` first; n when absent.
inline size_t find_key(PyObject* key, PyObject* const* keys, size_t n, size_t hint) {
    if (hint < n && keys[hint] == key) return hint;
    for (size_t i = 0; i < n; ++i)
        if (keys[i] == key) return i;
    for (size_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(keys[i], key) == 0) return i;  // exact str on both sides: no Python code
    PyErr_Clear();
    return n;
}

// For every key of the exact dict d (all of them exact str, else false): the
// value of each of keys[0..n) found in d, into found[] (null where absent).
inline bool match_keys(PyObject* d, PyObject* const* keys, size_t n, std::vector<PyObject*>& found) {
    found.assign(n, nullptr);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (size_t i = 0; PyDict_Next(d, &pos, &k, &v); ++i) {
        if (!PyUnicode_CheckExact(k)) return false;
        const size_t at = find_key(k, keys, n, i);
        if (at < n) found[at] = v;
    }
    return true;
}

inline bool Blended::engine_call(double w, PyObject* u_values, PyObject* v_values) {
    PyObject *list = plant_list.ptr(), *ud = u_dict.ptr(), *yd = y_dict.ptr(), *ini_d = ini_value_dict.ptr();
    if (!PyDict_CheckExact(u_values) || !PyDict_CheckExact(v_values) || PyDict_GET_SIZE(v_values) != 0 ||
        !PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0 || !PyDict_CheckExact(ud) ||
        !PyDict_CheckExact(yd) || !PyDict_CheckExact(ini_d))
        return false;
    ScratchLease<EngineScratch> lease;
    EngineScratch& sc = *lease.sc;
    const size_t n = (size_t) PyList_GET_SIZE(list);
    {  // The MV values given: exact str keys, plain numbers.
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        while (PyDict_Next(u_values, &pos, &k, &x)) {
            double d;
            bool f64;
            if (!PyUnicode_CheckExact(k) || !simple_number(x, d, f64)) return false;
            sc.keys.push_back(k);
            sc.objs.push_back(x);
            sc.uvals.push_back(d);
        }
    }
    // Those of them that _u_dict holds; a _y_dict of exact str keys (written below).
    if (!match_keys(ud, sc.keys.data(), sc.keys.size(), sc.in_u)) return false;
    {
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        while (PyDict_Next(yd, &pos, &k, &x))
            if (!PyUnicode_CheckExact(k)) return false;
    }
    sc.views.resize(n);
    for (size_t i = 0; i < n; ++i) {  // every plant distinct, its engine ready
        PyObject* rec = PyList_GET_ITEM(list, (Py_ssize_t) i);
        if (Py_TYPE(rec) != g_local_type || !nb::inst_ready(rec)) return false;
        LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
        double wp;
        bool f64;
        if (!simple_number(r.working_point.ptr(), wp, f64) || (i > 0 && !(sc.xp.back() < wp))) return false;
        for (PyObject* p : sc.plants)
            if (p == r.plant.ptr()) return false;
        const int ok = g_api->engine(r.plant.ptr(), &sc.views[i]);
        if (ok < 0) raise_pending();
        if (ok == 0) return false;
        sc.xp.push_back(wp);
        sc.plants.push_back(r.plant.ptr());
    }
    const Blend b = blend_of(w, sc.xp);
    const corvane::PlantView &v1 = sc.views[b.i1], &v2 = sc.views[b.i2];
    // Each CV of id1 in id2, with a plain initial value (0.0 when absent).
    if (!match_keys(ini_d, v1.cv_keys, v1.ncv, sc.ini)) return false;
    for (size_t a = 0; a < v1.ncv; ++a) {
        const size_t m = find_key(v1.cv_keys[a], v2.cv_keys, v2.ncv, a);
        double d;
        bool f64;
        if (m == v2.ncv || (sc.ini[a] && !simple_number(sc.ini[a], d, f64))) return false;
        sc.match.push_back(m);
    }
    for (size_t i = 0; i < n; ++i) {  // each plant's MVs among those given
        sc.off.push_back(sc.vals.size());
        for (size_t j = 0; j < sc.views[i].nmv; ++j) {
            const size_t g = find_key(sc.views[i].mv_keys[j], sc.keys.data(), sc.keys.size(), j);
            const bool hit = g < sc.keys.size();
            sc.vals.push_back(hit ? sc.uvals[g] : 0.0);
            sc.in_u.push_back(hit ? sc.objs[g] : nullptr);  // after the given keys' own entries
        }
    }
    sc.off.push_back(sc.vals.size());

    // Every plant advances; nothing below can fail before the commit.
    const size_t ng = sc.keys.size();
    for (size_t i = 0; i < n; ++i)
        g_api->step(sc.plants[i], &sc.vals[sc.off[i]], &sc.in_u[ng + sc.off[i]], &sc.views[i]);
    for (size_t a = 0; a < v1.ncv; ++a) {
        Term ti;
        if (sc.ini[a]) simple_number(sc.ini[a], ti.v, ti.f64);
        const size_t m = sc.match[a];
        const Term t = blend_term(b, {v1.y[a], v1.y_f64[a] != 0}, {v2.y[m], v2.y_f64[m] != 0}, ti);
        sc.out.push_back(number(t.v, t.f64));
    }
    nb::object w1 = b.single() ? nb::float_(1.0) : weight_object(b, b.w.w1), w2 = weight_object(b, b.w.w2);

    // Commit. What is written is held: a replaced value's release may run
    // Python code, even code that calls this simulator again.
    std::vector<nb::object>& held = sc.held;
    for (PyObject* o : {ud, yd}) held.push_back(nb::borrow(o));
    for (size_t g = 0; g < ng; ++g)
        if (sc.in_u[g]) held.insert(held.end(), {nb::borrow(sc.keys[g]), nb::borrow(sc.objs[g])});
    const size_t ku = held.size();
    for (size_t a = 0; a < v1.ncv; ++a) held.insert(held.end(), {nb::borrow(v1.cv_keys[a]), sc.out[a]});
    const size_t ky = held.size();
    for (size_t i = 0; i < n; ++i) held.push_back(nb::borrow(PyList_GET_ITEM(list, (Py_ssize_t) i)));
    working_value = nb::float_(w);
    for (size_t k = 2; k < ku; k += 2)
        if (PyDict_SetItem(ud, held[k].ptr(), held[k + 1].ptr()) < 0) raise_pending();
    nb::object zero = nb::float_(0.0);
    for (size_t i = 0; i < n; ++i) nb::inst_ptr<LocalPlant>(held[ky + i])->current_weight = zero;
    nb::inst_ptr<LocalPlant>(held[ky + b.i1])->current_weight = w1;
    if (!b.single()) nb::inst_ptr<LocalPlant>(held[ky + b.i2])->current_weight = w2;
    for (size_t k = ku; k < ky; k += 2)
        if (PyDict_SetItem(yd, held[k].ptr(), held[k + 1].ptr()) < 0) raise_pending();
    return true;
}

}  // namespace corvane::blendedplant

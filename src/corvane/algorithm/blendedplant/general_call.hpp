// A sample in general: any plants (each called as the model dictionary's
// simulator is called), any containers, the interpreter's arithmetic where
// values are not plain numbers. Every plant's result is formed before
// anything of this object changes; the library's own simulators that
// advanced are put back when a later step fails.
#pragma once

#include "simulator.hpp"

#include <utility>
#include <vector>

namespace corvane::blendedplant {

// A snapshot of multiloop's simulators, freed with the call.
struct Snapshot {
    corvane::PlantSnapshot* p = g_api->snapshot_new();
    ~Snapshot() { g_api->snapshot_free(p); }
    Snapshot() = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
};

inline void Blended::general_call(double w, nb::handle u_values, nb::handle v_values) {
    check_ready();
    expose();  // the dicts are read and written directly below
    // Python code run by a caller's key may even replace this object's
    // state: the call works on the containers it started with.
    const nb::object plants0 = plant_list, ud = u_dict, yd = y_dict, ini = ini_value_dict;
    std::vector<nb::object> hold;

    // The MV values to take over, applied once every plant has advanced.
    std::vector<std::pair<nb::object, nb::object>> upd;
    nb::object items = u_values.attr("items")();
    for (nb::handle kv : items) {  // iterated as the interpreter does: a change of the dict is an error
        nb::object k = kv[nb::int_(0)], v = kv[nb::int_(1)];
        const int has = PyDict_Contains(ud.ptr(), k.ptr());
        if (has < 0) raise_pending();
        if (has) upd.emplace_back(std::move(k), std::move(v));
    }

    // Working points, position and weights.
    std::vector<nb::object> recs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(plants0.ptr()); ++i)
        recs.push_back(nb::borrow(PyList_GET_ITEM(plants0.ptr(), i)));
    std::vector<double> xp;
    for (const nb::object& p : recs) {
        nb::object wp = record_of(p).working_point;
        xp.push_back(to_double(wp));
    }
    const Blend b = blend_of(w, xp.data(), xp.size());

    // Every plant advances one sample; its state is saved first.
    std::vector<nb::object> sims, results;
    for (const nb::object& p : recs) sims.push_back(record_of(p).plant);
    Snapshot snap;
    const nb::object zero = nb::float_(0.0);
    nb::object w1, w2;
    std::vector<std::pair<nb::object, nb::object>> out;
    try {
        for (const nb::object& sim : sims) {
            if (PyObject_TypeCheck(sim.ptr(), g_api->mimo_type) && g_api->snapshot_save(snap.p, sim.ptr()) < 0)
                raise_pending();
            results.push_back(sim(u_values, v_values));
        }
        // The blend, formed before anything of this object changes.
        w1 = number(b.w.w1, !b.w.clamped);
        w2 = number(b.w.w2, !b.w.clamped);
        nb::object y1 = results[b.i1], y2 = results[b.i2];
        nb::object keys = PyDict_CheckExact(y1.ptr()) ? checked(PyDict_Keys(y1.ptr())) : nb::list(y1.attr("keys")());
        for (nb::handle key : keys) {
            nb::object a = y1[key];
            nb::object c = b.single() ? nb::object() : nb::object(y2[key]);
            nb::object iv = map_get(ini, key, zero);
            Term ta, tc, ti;
            nb::object value;
            if (simple_number(a.ptr(), ta.v, ta.f64) && simple_number(iv.ptr(), ti.v, ti.f64) &&
                (b.single() || simple_number(c.ptr(), tc.v, tc.f64))) {
                const Term t = blend_term(b, ta, tc, ti);
                value = number(t.v, t.f64);
            } else if (b.single()) {
                value = binary_op(PyNumber_Add, a, iv);
            } else {
                value =
                    binary_op(PyNumber_Add, binary_op(PyNumber_Multiply, w1, a), binary_op(PyNumber_Multiply, w2, c));
                value = binary_op(PyNumber_Add, value, iv);
            }
            out.emplace_back(nb::borrow(key), std::move(value));
        }
    } catch (...) {
        g_api->snapshot_restore(snap.p);
        throw;
    }

    // Commit.
    set_working_value(nb::float_(w));
    for (const auto& [k, v] : upd)
        if (PyDict_SetItem(ud.ptr(), k.ptr(), v.ptr()) < 0) raise_pending();
    set_weights(b, recs.size(), [&](size_t i) -> LocalPlant& { return record_of(recs[i]); });
    for (const auto& [k, v] : out)
        if (PyDict_SetItem(yd.ptr(), k.ptr(), v.ptr()) < 0) raise_pending();
}

}  // namespace corvane::blendedplant

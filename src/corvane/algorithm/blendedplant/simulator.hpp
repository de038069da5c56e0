// The blended-plant simulator: its state, the registration of local plants,
// and the position of a working value among them.
#pragma once

#include "local_plant.hpp"

#include <corvane/blend.hpp>

#include <cmath>
#include <vector>

namespace corvane::blendedplant {

using namespace nb::literals;

// The plants that make up a sample's output, and their weights.
struct Blend {
    size_t i1 = 0, i2 = 0;
    corvane::BlendWeights w;
    bool single() const { return i1 == i2; }
};

// numpy.interp(w, xp, range(n)) with floor and ceil of the result as plant
// indices (Python list indexing), and the weights; the interpreter's errors
// for a position that is not a number, numpy's for no plant at all.
inline Blend blend_of(double w, const double* xp, size_t n) {
    bool increasing = n > 0;
    for (size_t i = 1; i < n && increasing; ++i) increasing = xp[i - 1] < xp[i];
    double position;
    if (increasing) {
        position = corvane::interp_index(w, xp, n);
    } else {
        nb::list pts, idx;
        for (size_t i = 0; i < n; ++i) {
            pts.append(nb::float_(xp[i]));
            idx.append(nb::int_(i));
        }
        position = nb::cast<double>(numpy_mod().attr("interp")(nb::float_(w), pts, idx));
    }
    Blend b;
    b.w = corvane::blend_weights(position);
    auto element = [&](double v) -> size_t {
        if (std::isnan(v)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
        if (std::isinf(v)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
        if (std::fabs(v) > 9.0e18) raise(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
        const long long i = (long long) v, j = i < 0 ? i + (long long) n : i;
        if (j < 0 || j >= (long long) n) raise(PyExc_IndexError, "list index out of range");
        return (size_t) j;
    };
    b.i1 = element(b.w.id1);
    b.i2 = element(b.w.id2);
    return b;
}

using Term = corvane::BlendTerm;

// One blended CV (blend.hpp): y1 + ini from a single plant, else (w1*y1 + w2*y2) + ini.
inline Term blend_term(const Blend& b, Term y1, Term y2, Term ini) { return corvane::blend_term(b.w, y1, y2, ini); }

// A sample's weights into the records of its n plants, rec(i) for plant i:
// 0.0 but for the blended plants; computed weights are numpy float64.
template <class Rec>
void set_weights(const Blend& b, size_t n, Rec&& rec) {
    for (size_t i = 0; i < n; ++i) rec(i).set_weight(0.0, false);
    rec(b.i1).set_weight(b.single() ? 1.0 : b.w.w1, !b.single() && !b.w.clamped);
    if (!b.single()) rec(b.i2).set_weight(b.w.w2, !b.w.clamped);
}

struct Blended;
// sim(working_value, u_Value_Dict={}, v_Value_Dict={}) through the instance's vectorcall slot.
struct BlendedCall {
    PyObject* operator()(nb::handle self, Blended& s, PyObject* (&a)[3]) const;
};

struct Blended {
    vectorcallfunc vectorcall = instance_call<Blended, 3, BlendedCall>;  // the instance's vectorcall slot
    nb::object plant_list = nb::list(), ini_value_dict = nb::dict(), working_value = nb::float_(0.0);
    nb::object u_dict = nb::dict(), y_dict = nb::dict();
    nb::object last_result;  // the result handed out last (see fresh_dict)
    WriteBack wb;            // a native sample's values waiting for _u_dict and _y_dict
    // A native sample's MV values, read once for every plant
    // (benchmarks/compare_builds.py, LPVPlantSim row: about 10 % faster than
    // each plant reading the dict).
    StrItems mv_items;
    // The working value of a native sample, made an object when read.
    double working_v = 0.0;
    bool working_waiting = false;

    const nb::object& working() {
        if (working_waiting) {
            nb::object w = nb::float_(working_v);
            working_waiting = false;
            std::swap(working_value, w);
        }
        return working_value;
    }
    void set_working_value(nb::object w) {
        working_waiting = false;
        std::swap(working_value, w);
    }

    // Waiting values into the dicts; expose: before the dicts are handed out
    // or changed directly.
    void sync() { wb.sync(u_dict, y_dict); }
    void expose() { wb.sync(u_dict, y_dict, true); }

    int traverse(visitproc visit, void* arg) {
        for (nb::object* f : {&plant_list, &ini_value_dict, &working_value, &last_result}) Py_VISIT(f->ptr());
        if (!wb.lags()) {  // dicts that lag hold str keys and numbers only (see WriteBack)
            Py_VISIT(u_dict.ptr());
            Py_VISIT(y_dict.ptr());
        }
        return wb.traverse(visit, arg);
    }
    void clear() {
        wb.close();
        for (nb::object* f : {&plant_list, &ini_value_dict, &working_value, &u_dict, &y_dict, &last_result}) {
            nb::object drop = std::move(*f);
            *f = nb::none();
        }
    }

    // A copy of _y_dict to return: refilled in place where fresh_dict may,
    // with the values that wait where they do.
    nb::object result() {
        const nb::object yd = y_dict;
        const Py_ssize_t n = PyDict_CheckExact(yd.ptr()) ? PyDict_GET_SIZE(yd.ptr()) : -1;
        if (n < 0 || n > 64) return deepcopy_flat(yd);
        PyObject *keys[64], *values[64];
        Py_ssize_t pos = 0;
        for (size_t i = 0; PyDict_Next(yd.ptr(), &pos, &keys[i], &values[i]); ++i)
            if (!PyUnicode_CheckExact(keys[i]) || !atomic_scalar(values[i])) return deepcopy_flat(yd);
        if (!wb.lags()) return fresh_dict(last_result, keys, values, (size_t) n);
        for (size_t i = 0; i < (size_t) n; ++i)  // the dict holds the keys the values wait for (see WriteBack)
            if (wb.y_set[i]) values[i] = nullptr;
        return fresh_dict(last_result, keys, values, (size_t) n, wb.y.data(), wb.y_f64.data());
    }

    void check_ready() const {
        if (!PyList_CheckExact(plant_list.ptr()) || !PyDict_CheckExact(ini_value_dict.ptr()) ||
            !PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()))
            raise(PyExc_TypeError, "LPVPlantSim state is not initialised");
    }

    // numpy's unique(working points, return_index=True): ascending, the first
    // of equal working points stays.
    void sort_plants() {
        nb::object held = plant_list;
        std::vector<nb::object> items;
        nb::list wps;
        for (nb::handle p : nb::borrow<nb::list>(held)) {
            items.push_back(nb::borrow(p));
            wps.append(record_of(p).working_point);
        }
        nb::object res = numpy_mod().attr("unique")(wps, "return_index"_a = true);
        nb::list sorted;
        for (nb::handle i : res[nb::int_(1)]) {
            const Py_ssize_t k = nb::cast<Py_ssize_t>(nb::int_(i));
            if (k < 0 || (size_t) k >= items.size()) raise(PyExc_IndexError, "list index out of range");
            sorted.append(items[(size_t) k]);
        }
        plant_list = sorted;
    }

    void del_plant(nb::handle plant_id) {
        check_ready();
        nb::object held = plant_list;
        bool deleted = false;
        for (;;) {
            Py_ssize_t found = -1;
            std::vector<nb::object> ids;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.ptr()); ++i)
                ids.push_back(record_of(nb::borrow(PyList_GET_ITEM(held.ptr(), i))).plant_id);
            for (size_t i = 0; i < ids.size() && found < 0; ++i)
                if (compare(ids[i], plant_id, Py_EQ)) found = (Py_ssize_t) i;
            if (found < 0) break;
            if (found < PyList_GET_SIZE(held.ptr()) && PySequence_DelItem(held.ptr(), found) < 0) raise_pending();
            deleted = true;
        }
        if (deleted) sort_plants();
    }

    void add_plant(nb::handle plant_id, nb::handle working_point, nb::handle yu_model_tf, nb::handle Ts) {
        check_arg(plant_id, &PyLong_Type, "plant_id");
        const double wp = to_double(working_point);
        check_arg(yu_model_tf, &PyDict_Type, "yu_model_tf");
        check_arg(Ts, &PyLong_Type, "Ts");
        check_ready();
        expose();  // tags may enter the dicts below
        // The new plant is built before anything changes: a model dictionary
        // that fails leaves the registered plants as they were.
        nb::object ini = deepcopy(ini_value_dict);
        nb::object zero = nb::float_(0.0);
        for (nb::handle cv : nb::borrow<nb::dict>(yu_model_tf).keys()) ini[cv] = zero;
        nb::object sim = nb::handle((PyObject*) g_api->mimo_type)(yu_model_tf, "ini_value_dict"_a = ini, "Ts"_a = Ts);
        nb::object cvs = sim.attr("get_output_data_dict")();
        nb::object mvs = sim.attr("get_input_data_dict")();

        del_plant(plant_id);
        nb::object rec = nb::handle((PyObject*) g_local_type)();
        LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
        r.plant_id = nb::borrow(plant_id);
        r.working_point = nb::float_(wp);
        r.yu_model_tf = nb::borrow(yu_model_tf);
        r.Ts = nb::borrow(Ts);
        r.plant = sim;
        nb::object ini_src = ini_value_dict;
        for (auto [target, tags] : {std::pair{y_dict, cvs}, std::pair{u_dict, mvs}}) {
            for (nb::handle tag : tags) {
                nb::object v = nb::borrow<nb::dict>(ini_src).attr("get")(tag, zero);
                target.attr("setdefault")(tag, v);
            }
        }
        if (PyList_Insert(plant_list.ptr(), 0, rec.ptr()) < 0) raise_pending();
        sort_plants();
    }

    // One sample on the native engines of every plant: false, with nothing
    // changed, where it does not apply.
    bool engine_call(double w, PyObject* u_values, PyObject* v_values);
    // One sample in general: any plants, any containers, Python code anywhere.
    void general_call(double w, nb::handle u_values, nb::handle v_values);
};

}  // namespace corvane::blendedplant

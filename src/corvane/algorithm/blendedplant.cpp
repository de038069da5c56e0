// corvane.algorithm.blendedplant: a linear-parameter-varying plant blended
// from local MIMOSim plants by working point.
#include "bindkit.hpp"
#include "plantapi.hpp"

#include <cmath>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

#include "blendedplant/local_plant.hpp"

namespace {

// ---------------------------------------------------------------------------
// The simulator

struct Blended;
// sim(working_value, u_Value_Dict={}, v_Value_Dict={}) through the instance's vectorcall slot.
struct BlendedCall {
    PyObject* operator()(nb::handle self, Blended& s, PyObject* (&a)[3]) const;
};

struct Blended : ObjectFields<Blended> {
    vectorcallfunc vectorcall = instance_call<Blended, 3, BlendedCall>;  // the instance's vectorcall slot
    nb::object plant_list = nb::list(), ini_value_dict = nb::dict(), working_value = nb::float_(0.0);
    nb::object u_dict = nb::dict(), y_dict = nb::dict();

    std::array<nb::object*, 5> fields() { return {&plant_list, &ini_value_dict, &working_value, &u_dict, &y_dict}; }

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
        nb::object res = nb::module_::import_("numpy").attr("unique")(wps, "return_index"_a = true);
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
            const Py_ssize_t n = PyList_GET_SIZE(held.ptr());
            std::vector<nb::object> ids;
            for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(held.ptr()); ++i)
                ids.push_back(record_of(nb::borrow(PyList_GET_ITEM(held.ptr(), i))).plant_id);
            for (size_t i = 0; i < ids.size() && found < 0; ++i) {
                int eq = PyObject_RichCompareBool(ids[i].ptr(), plant_id.ptr(), Py_EQ);
                if (eq < 0) raise_pending();
                if (eq) found = (Py_ssize_t) i;
            }
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

    nb::object call(nb::handle self, nb::handle working_value, nb::handle u_values, nb::handle v_values);
};

// numpy's interp(x, xp, range(n)) for strictly increasing xp; numpy itself otherwise.
double interp_index(double x, const std::vector<double>& xp) {
    const size_t n = xp.size();
    bool increasing = true;
    for (size_t i = 1; i < n && increasing; ++i) increasing = xp[i - 1] < xp[i];
    if (!increasing || n == 0) {
        nb::list pts, idx;
        for (size_t i = 0; i < n; ++i) {
            pts.append(nb::float_(xp[i]));
            idx.append(nb::int_(i));
        }
        return nb::cast<double>(nb::module_::import_("numpy").attr("interp")(nb::float_(x), pts, idx));
    }
    if (n == 1) return 0.0;
    if (std::isnan(x)) return x;
    if (x < xp[0]) return 0.0;
    if (x > xp[n - 1]) return (double) (n - 1);
    if (x == xp[n - 1]) return (double) (n - 1);
    size_t lo = 0, hi = n - 1;  // xp[lo] <= x < xp[hi]
    while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        if (xp[mid] <= x) lo = mid;
        else hi = mid;
    }
    if (xp[lo] == x) return (double) lo;
    const double slope = ((double) (lo + 1) - (double) lo) / (xp[lo + 1] - xp[lo]);
    double r = slope * (x - xp[lo]) + (double) lo;
    if (std::isnan(r)) {
        r = slope * (x - xp[lo + 1]) + (double) (lo + 1);
        if (std::isnan(r) && (double) lo == (double) (lo + 1)) r = (double) lo;
    }
    return r;
}

// int(numpy.floor(v)) / int(numpy.ceil(v)), with the interpreter's errors.
long long to_index(double v) {
    if (std::isnan(v)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(v)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    if (std::fabs(v) > 9.0e18) raise(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
    return (long long) v;
}

// Per-call buffers, reused from call to call; a call made from inside Python
// code that a call runs gets its own.
struct Scratch {
    std::vector<nb::object> hold, recs, sims, results;
    std::vector<double> xp;
    std::vector<unsigned char> native;
    std::vector<unsigned long long> tokens;
    std::vector<PyObject*> upd, out;  // key, value pairs (held)
    corvane::PlantSnapshot* snap = nullptr;

    void clear() {
        for (auto* v : {&hold, &recs, &sims, &results}) v->clear();
        xp.clear();
        native.clear();
        tokens.clear();
        upd.clear();
        out.clear();
        if (snap) g_api->snapshot_clear(snap);
    }
};

struct ScratchLease {
    static inline Scratch shared;
    static inline bool busy = false;
    Scratch local;
    Scratch* sc;
    bool prev;
    ScratchLease() : sc(busy ? &local : &shared), prev(busy) {
        busy = true;
        if (!sc->snap) sc->snap = g_api->snapshot_new();
    }
    ~ScratchLease() {
        sc->clear();
        if (sc == &local) g_api->snapshot_free(local.snap);
        busy = prev;
    }
};

// dict lookup with a default; the value is held.
PyObject* lookup(Scratch& sc, PyObject* d, PyObject* key, PyObject* dflt) {
    PyObject* r = PyDict_GetItemWithError(d, key);
    if (!r) {
        if (PyErr_Occurred()) raise_pending();
        return dflt;
    }
    sc.hold.push_back(nb::borrow(r));
    return r;
}

nb::object Blended::call(nb::handle self, nb::handle w_value, nb::handle u_values, nb::handle v_values) {
    static PyObject* zero = PyFloat_FromDouble(0.0);
    static PyObject* one = PyFloat_FromDouble(1.0);
    const double w = to_double(w_value);
    check_ready();
    ScratchLease lease;
    Scratch& sc = *lease.sc;
    // Python code run by a caller's key may even replace this object's
    // state: the call works on the containers it started with.
    const nb::object plants0 = plant_list, ud = u_dict, yd = y_dict, ini = ini_value_dict;

    // 2. The MV values to take over, applied once every plant has advanced.
    if (PyDict_CheckExact(u_values.ptr())) {
        sc.hold.push_back(nb::borrow(u_values));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(u_values.ptr(), &pos, &k, &v)) {
            sc.hold.push_back(nb::borrow(k));
            sc.hold.push_back(nb::borrow(v));
            const Py_ssize_t n0 = PyDict_GET_SIZE(u_values.ptr());
            const int has = PyDict_Contains(ud.ptr(), k);
            if (has < 0) raise_pending();
            if (PyDict_GET_SIZE(u_values.ptr()) != n0)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            if (has) {
                sc.upd.push_back(k);
                sc.upd.push_back(v);
            }
        }
    } else {
        for (nb::handle kv : u_values.attr("items")()) {
            nb::object k = kv[nb::int_(0)], v = kv[nb::int_(1)];
            sc.hold.push_back(k);
            sc.hold.push_back(v);
            const int has = PyDict_Contains(ud.ptr(), k.ptr());
            if (has < 0) raise_pending();
            if (has) {
                sc.upd.push_back(k.ptr());
                sc.upd.push_back(v.ptr());
            }
        }
    }

    // 3-6. Working points, position and weights.
    {
        const Py_ssize_t n = PyList_GET_SIZE(plants0.ptr());
        for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(plants0.ptr()); ++i)
            sc.recs.push_back(nb::borrow(PyList_GET_ITEM(plants0.ptr(), i)));
    }
    for (const nb::object& p : sc.recs) {
        LocalPlant& r = record_of(p);
        nb::object wp = r.working_point;
        sc.xp.push_back(to_double(wp));
    }
    const double id_float = interp_index(w, sc.xp);
    const long long n = (long long) sc.recs.size();
    const long long id1 = to_index(std::floor(id_float)), id2 = to_index(std::ceil(id_float));
    const double diff = id_float - (double) id1;
    const bool clamp_hi = 1.0 < diff, clamp_lo = !clamp_hi && 0.0 > diff;
    const double weight2 = clamp_hi ? 1.0 : clamp_lo ? 0.0 : diff;
    const double weight1 = 1.0 - weight2;
    const bool w_f64 = !(clamp_hi || clamp_lo);
    auto element = [&](long long i) -> size_t {
        const long long j = i < 0 ? i + n : i;
        if (j < 0 || j >= n) raise(PyExc_IndexError, "list index out of range");
        return (size_t) j;
    };
    const size_t i1 = element(id1), i2 = element(id2);
    const bool single = id1 == id2;

    // Every plant is one of ours, or a callable returning its outputs.
    for (const nb::object& p : sc.recs) {
        nb::object sim = record_of(p).plant;
        sc.native.push_back(PyObject_TypeCheck(sim.ptr(), g_api->mimo_type) != 0);
        sc.sims.push_back(std::move(sim));
    }
    // A CV of plant id1 that plant id2 lacks fails before anything advances.
    // The keys alone are read (the values may wait inside the plants), and
    // the dicts are let go before the plants advance.
    if (!single && sc.native[i1] && sc.native[i2]) {
        PyObject* p1 = g_api->output_keys(sc.sims[i1].ptr());
        if (!p1) raise_pending();
        const nb::object y1 = nb::borrow(p1);
        PyObject* p2 = g_api->output_keys(sc.sims[i2].ptr());
        if (!p2) raise_pending();
        const nb::object y2 = nb::borrow(p2);
        nb::list keys = nb::steal<nb::list>(PyDict_Keys(y1.ptr()));
        if (!keys.is_valid()) raise_pending();
        for (nb::handle key : keys) {
            const int has = PyDict_Contains(y2.ptr(), key.ptr());
            if (has < 0) raise_pending();
            if (!has) {
                PyErr_SetObject(PyExc_KeyError, key.ptr());
                raise_pending();
            }
        }
    }

    // 7. Every plant advances one sample. On the compiled path every plant is
    // checked first and none can fail after; otherwise each plant's state is
    // saved before it advances and put back when a later one fails.
    const size_t np = sc.sims.size();
    bool compiled = true;
    // A simulator that stands for two plants advances twice, one sample at a
    // time, and each plant sees the outputs of its own sample.
    std::vector<char> shared(np, 0);
    for (size_t i = 0; i < np; ++i)
        for (size_t j = 0; j < i; ++j)
            if (sc.sims[i].is(sc.sims[j])) shared[i] = shared[j] = 1, compiled = false;
    sc.tokens.assign(np, 0);
    for (size_t i = 0; i < np && compiled; ++i) {
        if (!sc.native[i]) {
            compiled = false;
            break;
        }
        const int r = g_api->fast_prepare(sc.sims[i].ptr(), u_values.ptr(), v_values.ptr(), &sc.tokens[i]);
        if (r < 0) raise_pending();
        compiled = r == 1;
    }
    sc.results.resize(np);
    if (compiled) {
        for (size_t i = 0; i < np; ++i)
            if (g_api->fast_commit(sc.sims[i].ptr(), sc.tokens[i]) < 0) raise_pending();
    } else {
        try {
            for (size_t i = 0; i < np; ++i) {
                if (sc.native[i]) {
                    if (g_api->snapshot_save(sc.snap, sc.sims[i].ptr()) < 0) raise_pending();
                    if (g_api->step(sc.sims[i].ptr(), u_values.ptr(), v_values.ptr()) < 0) raise_pending();
                    if (shared[i]) {
                        PyObject* y = g_api->outputs(sc.sims[i].ptr());
                        if (!y) raise_pending();
                        sc.results[i] = copy_values(y);
                    }
                } else {
                    sc.results[i] = sc.sims[i](u_values, v_values);
                }
            }
        } catch (...) {
            g_api->snapshot_restore(sc.snap);
            throw;
        }
    }
    auto outputs_of = [&](size_t i) -> PyObject* {
        if (!sc.native[i] || shared[i]) return sc.results[i].ptr();
        PyObject* y = g_api->outputs(sc.sims[i].ptr());
        if (!y) raise_pending();
        sc.hold.push_back(nb::borrow(y));
        return y;
    };

    // 8-9. The blend, formed before anything of this object changes.
    nb::object w1, w2;
    if (!single) {
        w1 = number(weight1, w_f64);
        w2 = number(weight2, w_f64);
    }
    size_t n1 = 0, n2 = 0;
    PyObject *const *k1 = nullptr, *const *k2 = nullptr;
    const double *v1 = nullptr, *v2 = nullptr;
    const unsigned char *f1 = nullptr, *f2 = nullptr;
    if (compiled && g_api->fast_outputs(sc.sims[i1].ptr(), &n1, &k1, &v1, &f1) == 1 &&
        (single ? (k2 = k1, v2 = v1, f2 = f1, n2 = n1, true)
                : g_api->fast_outputs(sc.sims[i2].ptr(), &n2, &k2, &v2, &f2) == 1)) {
        // Outputs kept natively by the plants: copied out before any lookup
        // (which may run Python code) and blended in doubles.
        struct Pair {
            PyObject* key;
            double a, b;
            bool fa, fb;
        };
        std::vector<Pair> pairs;
        pairs.reserve(n1);
        for (size_t a = 0; a < n1; ++a) {
            PyObject* key = k1[a];
            size_t b = a;
            if (b >= n2 || k2[b] != key) {
                for (b = 0; b < n2 && k2[b] != key; ++b) {}
                for (size_t j = 0; b == n2 && j < n2; ++j)
                    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(k2[j]) && PyUnicode_Compare(key, k2[j]) == 0)
                        b = j;
            }
            if (b == n2) {
                PyErr_SetObject(PyExc_KeyError, key);
                raise_pending();
            }
            sc.hold.push_back(nb::borrow(key));
            pairs.push_back(Pair{key, v1[a], v2[b], f1[a] != 0, f2[b] != 0});
        }
        for (const Pair& p : pairs) {
            PyObject* iv = lookup(sc, ini.ptr(), p.key, zero);
            double vi;
            bool fi;
            nb::object value;
            if (simple_number(iv, vi, fi)) {
                value = single ? number(p.a + vi, p.fa || fi)
                               : number((weight1 * p.a + weight2 * p.b) + vi, w_f64 || p.fa || p.fb || fi);
            } else if (single) {
                value = py_binop(PyNumber_Add, number(p.a, p.fa), nb::handle(iv));
            } else {
                value = py_binop(PyNumber_Add, py_binop(PyNumber_Multiply, w1, number(p.a, p.fa)),
                                 py_binop(PyNumber_Multiply, w2, number(p.b, p.fb)));
                value = py_binop(PyNumber_Add, value, nb::handle(iv));
            }
            sc.out.push_back(p.key);
            sc.out.push_back(value.ptr());
            sc.hold.push_back(std::move(value));
        }
    } else {
    PyObject* y1 = outputs_of(i1);
    PyObject* y2 = single ? y1 : outputs_of(i2);
    nb::object keys = PyDict_CheckExact(y1) ? nb::steal(PyDict_Keys(y1)) : nb::list(nb::handle(y1).attr("keys")());
    if (!keys.is_valid()) raise_pending();
    for (nb::handle key : keys) {
        nb::object a = nb::handle(y1)[key];
        nb::object b = single ? nb::object() : nb::object(nb::handle(y2)[key]);
        PyObject* iv = lookup(sc, ini.ptr(), key.ptr(), zero);
        double va, vb = 0.0, vi;
        bool fa, fb = false, fi;
        nb::object value;
        if (simple_number(a.ptr(), va, fa) && simple_number(iv, vi, fi) && (single || simple_number(b.ptr(), vb, fb))) {
            value = single ? number(va + vi, fa || fi) : number((weight1 * va + weight2 * vb) + vi, w_f64 || fa || fb || fi);
        } else if (single) {
            value = py_binop(PyNumber_Add, a, nb::handle(iv));
        } else {
            value = py_binop(PyNumber_Add, py_binop(PyNumber_Multiply, w1, a), py_binop(PyNumber_Multiply, w2, b));
            value = py_binop(PyNumber_Add, value, nb::handle(iv));
        }
        sc.hold.push_back(nb::borrow(key));
        sc.out.push_back(key.ptr());
        sc.out.push_back(value.ptr());
        sc.hold.push_back(std::move(value));
    }
    }

    // Commit.
    working_value = nb::float_(w);
    for (size_t i = 0; i < sc.upd.size(); i += 2)
        if (PyDict_SetItem(ud.ptr(), sc.upd[i], sc.upd[i + 1]) < 0) raise_pending();
    for (const nb::object& p : sc.recs) record_of(p).current_weight = nb::borrow(zero);
    if (single) {
        record_of(sc.recs[i1]).current_weight = nb::borrow(one);
    } else {
        record_of(sc.recs[i1]).current_weight = w1;
        record_of(sc.recs[i2]).current_weight = w2;
    }
    for (size_t i = 0; i < sc.out.size(); i += 2)
        if (PyDict_SetItem(yd.ptr(), sc.out[i], sc.out[i + 1]) < 0) raise_pending();

    // 10.
    static PyTypeObject* const own_type = (PyTypeObject*) nb::type<Blended>().ptr();
    nb::object result = Py_TYPE(self.ptr()) == own_type
                            ? copy_values(yd)
                            : self.attr("get_output_data_dict")();
    if (!result.is_none()) check_result(result, &PyDict_Type);
    return result;
}

PyObject* BlendedCall::operator()(nb::handle self, Blended& s, PyObject* (&a)[3]) const {
    static PyObject* empty = PyDict_New();  // the shared defaults, never modified
    return s.call(self, a[0], a[1] ? a[1] : empty, a[2] ? a[2] : empty).release().ptr();
}

Blended& sim_of(nb::handle self) {
    if (!is_instance_of<Blended>(self))
        raise(PyExc_TypeError, "descriptor '__call__' for 'LPVPlantSim' objects doesn't apply to a '%.100s' object",
              short_name(Py_TYPE(self.ptr())));
    if (!nb::inst_ready(self)) raise(PyExc_TypeError, "'%.200s' object is not initialised", tp_name_of(self));
    return *nb::inst_ptr<Blended>(self);
}

}  // namespace

NB_MODULE(blendedplant, m) {
    m.doc() = "Blended-plant (linear-parameter-varying) simulator over local MIMOSim plants.";

    nb::module_ ml = nb::module_::import_("corvane.algorithm.multiloop");
    nb::object cap = ml.attr("_plant_api");
    g_api = static_cast<const corvane::PlantApi*>(PyCapsule_GetPointer(cap.ptr(), corvane::kPlantApiCapsule));
    if (!g_api) raise_pending();
    if (g_api->version != corvane::kPlantApiVersion) raise(PyExc_ImportError, "multiloop plant interface mismatch");

    m.attr("MIMOSim") = ml.attr("MIMOSim");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("copy") = nb::module_::import_("copy");

    nb::class_<LocalPlant> local(m, "LPVLocalPlant", nb::dynamic_attr(), nb::type_slots(gc_slots<LocalPlant>),
                                 "Record of one local plant: id, working point, MIMOSim, model dictionary, sample time, current weight.");
    local.def(nb::init<>());
    for (int i = 0; i < 6; ++i) {
        local.def_prop_rw(
            kFieldNames[i], [i](LocalPlant& r) { return *r.fields()[i]; },
            [i](LocalPlant& r, nb::handle v) { *r.fields()[i] = nb::borrow(v); }, nb::arg("value").none());
    }
    def_pickle<LocalPlant>(
        local,
        [](LocalPlant& r) {
            return nb::make_tuple(r.plant_id, r.working_point, r.plant, r.yu_model_tf, r.Ts, r.current_weight);
        },
        [](LocalPlant& r, nb::handle st) {
            StateView sv(st, 6, "LPVLocalPlant");
            for (int i = 0; i < 6; ++i) *r.fields()[i] = sv.item(i);
        });
    g_local_type = (PyTypeObject*) local.ptr();

    nb::class_<Blended> sim(m, "LPVPlantSim", nb::dynamic_attr(), nb::type_slots(gc_slots<Blended>),
                            "Blended-plant simulator: local MIMOSim plants weighted by linear interpolation of the working value.");
    sim.def(
        "__init__",
        [](Blended* p, nb::handle ini) {
            Blended b;
            b.ini_value_dict = deepcopy(ini);
            new (p) Blended(std::move(b));
        },
        "ini_value_dict"_a.none() = nb::dict());
    sim.def(
        "addPlant",
        [](Blended& s, nb::handle plant_id, nb::handle working_point, nb::handle yu_model_tf, nb::handle Ts) {
            s.add_plant(plant_id, working_point, yu_model_tf, Ts);
        },
        "plant_id"_a.none(), "working_point"_a.none(), "yu_model_tf"_a.none(), "Ts"_a.none(),
        "Register a local plant; a plant with the same id (or working point) is replaced.");
    sim.def(
        "delPlant",
        [](Blended& s, nb::handle plant_id) {
            check_arg(plant_id, &PyLong_Type, "plant_id");
            s.del_plant(plant_id);
        },
        "plant_id"_a.none(), "Remove every plant with this id.");
    def_call<Blended>(sim, std::array<const char*, 3>{"working_value", "u_Value_Dict", "v_Value_Dict"}, 1,
                      "($self, working_value, u_Value_Dict={}, v_Value_Dict={})",
                      "One sample of every plant; returns the blended CV values.", BlendedCall{});
    sim.def(
        "run",
        [](nb::handle self, nb::handle w, nb::handle u, nb::handle v) {
            nb::object r = self(w, u, v);
            if (!r.is_none()) check_result(r, &PyDict_Type);
            return r;
        },
        "working_value"_a.none(), "u_Value_Dict"_a.none() = nb::dict(), "v_Value_Dict"_a.none() = nb::dict(),
        "Calls the simulator and checks that the result is a dict.");
    sim.def("get_input_data_dict", [](Blended& s) { return copy_values(s.u_dict); });
    sim.def("get_output_data_dict", [](Blended& s) { return copy_values(s.y_dict); });
    sim.def("get_all_data_dict", [](nb::handle self) {
        nb::object d = self.attr("get_input_data_dict")();
        d.attr("update")(self.attr("get_output_data_dict")());
        return d;
    });
    sim.def("get_cv_list", [](Blended& s) { return nb::list(s.y_dict.attr("keys")()); });
    sim.def("get_mv_list", [](Blended& s) { return nb::list(s.u_dict.attr("keys")()); });
    sim.def("get_plant_dict", [](Blended& s) {
        nb::dict d;
        for (nb::handle p : s.plant_list) d[p.attr("plant_id")] = p;
        return d;
    });
    sim.def("get_current_plant_weight_dict", [](Blended& s) {
        nb::dict d;
        for (nb::handle p : s.plant_list) d[p.attr("plant_id")] = p.attr("current_weight");
        return d;
    });
    sim.def(
        "plot_model_stp",
        [](Blended& s, nb::handle plant_id, nb::handle plotLen) {
            nb::object plants = s.plant_list;
            if (nb::len(plants) == 0) return;
            for (nb::handle p : plants) {
                if (compare(p.attr("plant_id"), plant_id, Py_EQ)) {
                    p.attr("plant").attr("plot_model_stp")(plotLen);
                    return;
                }
            }
        },
        "plant_id"_a.none(), "plotLen"_a.none() = 300, "Plot the step responses of one local plant.");

    auto field = [&](const char* name, nb::object Blended::* f, PyTypeObject* tp) {
        sim.def_prop_rw(
            name, [f](Blended& s) { return s.*f; },
            [f, tp, name](Blended& s, nb::handle v) {
                if (tp) check_arg(v, tp, name);
                s.*f = nb::borrow(v);
            },
            nb::arg("value").none());
    };
    field("plant_list", &Blended::plant_list, &PyList_Type);
    field("ini_value_dict", &Blended::ini_value_dict, &PyDict_Type);
    field("_working_value", &Blended::working_value, nullptr);
    field("_u_dict", &Blended::u_dict, &PyDict_Type);
    field("_y_dict", &Blended::y_dict, &PyDict_Type);

    def_pickle<Blended>(
        sim,
        [](Blended& s) { return nb::make_tuple(s.plant_list, s.ini_value_dict, s.working_value, s.u_dict, s.y_dict); },
        [](Blended& s, nb::handle st) {
            StateView sv(st, 5, "LPVPlantSim");
            s.plant_list = sv.typed(0, &PyList_Type);
            s.ini_value_dict = sv.typed(1, &PyDict_Type);
            s.working_value = nb::float_(sv.real(2));
            s.u_dict = sv.typed(3, &PyDict_Type);
            s.y_dict = sv.typed(4, &PyDict_Type);
        });
    install_signatures(m);
}

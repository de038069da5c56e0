// The call in general: any plants, any containers, Python code anywhere.
// Every plant is checked before any advances, and nothing of the simulator
// changes before the blend is formed.
#pragma once

namespace {

// numpy's interp(x, xp, range(n)) for n >= 1 strictly increasing xp.
double interp_increasing(double x, const double* xp, size_t n) {
    if (n == 1) return 0.0;
    if (std::isnan(x)) return x;
    if (x < xp[0]) return 0.0;
    if (x > xp[n - 1]) return (double) (n - 1);
    if (x == xp[n - 1]) return (double) (n - 1);
    size_t lo = 0, hi = n - 1;  // xp[lo] <= x < xp[hi]
    while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        if (xp[mid] <= x)
            lo = mid;
        else
            hi = mid;
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

// numpy's interp(x, xp, range(n)): natively for strictly increasing xp, numpy itself otherwise.
double interp_index(double x, const std::vector<double>& xp) {
    const size_t n = xp.size();
    bool increasing = true;
    for (size_t i = 1; i < n && increasing; ++i) increasing = xp[i - 1] < xp[i];
    if (increasing && n > 0) return interp_increasing(x, xp.data(), n);
    nb::list pts, idx;
    for (size_t i = 0; i < n; ++i) {
        pts.append(nb::float_(xp[i]));
        idx.append(nb::int_(i));
    }
    return nb::cast<double>(nb::module_::import_("numpy").attr("interp")(nb::float_(x), pts, idx));
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
    void open() {
        if (!snap) snap = g_api->snapshot_new();
    }
    void drop() {
        g_api->snapshot_free(snap);
        snap = nullptr;
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

// An exact dict of exact str keys and plain numbers: a lookup in it runs no
// Python code, and adding its values cannot fail.
bool plain_numbers(PyObject* d) {
    if (!PyDict_CheckExact(d)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    double x;
    bool f64;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k) || !simple_number(v, x, f64)) return false;
    return true;
}

nb::object Blended::call(nb::handle self, nb::handle w_value, nb::handle u_values, nb::handle v_values) {
    static PyObject* zero = PyFloat_FromDouble(0.0);
    static PyObject* one = PyFloat_FromDouble(1.0);
    const double w = to_double(w_value);
    check_ready();
    sync_u();
    ScratchLease<Scratch> lease;
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
        sc.native.push_back(corvane::native_plant(g_api->mimo_type, sim.ptr()));
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
    // The blend after a compiled sample cannot be undone: it must not be able
    // to fail, so every initial value is a plain number under an exact str key.
    if (compiled && !plain_numbers(ini.ptr())) compiled = false;
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
    nb::object w1, w2;
    try {
        if (compiled) {
            for (size_t i = 0; i < np; ++i)
                if (g_api->fast_commit(sc.sims[i].ptr(), sc.tokens[i]) < 0) raise_pending();
        } else {
            for (size_t i = 0; i < np; ++i) {
                if (sc.native[i]) {
                    if (g_api->snapshot_save(sc.snap, sc.sims[i].ptr()) < 0) raise_pending();
                    if (g_api->step(sc.sims[i].ptr(), u_values.ptr(), v_values.ptr()) < 0) raise_pending();
                    if (shared[i]) {
                        PyObject* y = g_api->outputs(sc.sims[i].ptr());
                        if (!y) raise_pending();
                        sc.results[i] = deepcopy_flat(y);
                    }
                } else {
                    // A simulator with a __call__ of its own: its state is put back too.
                    if (PyObject_TypeCheck(sc.sims[i].ptr(), g_api->mimo_type) &&
                        g_api->snapshot_save(sc.snap, sc.sims[i].ptr()) < 0)
                        raise_pending();
                    sc.results[i] = sc.sims[i](u_values, v_values);
                }
            }
        }
        auto outputs_of = [&](size_t i) -> PyObject* {
            if (!sc.native[i] || shared[i]) return sc.results[i].ptr();
            PyObject* y = g_api->outputs(sc.sims[i].ptr());
            if (!y) raise_pending();
            sc.hold.push_back(nb::borrow(y));
            return y;
        };

        // 8-9. The blend, formed before anything of this object changes; a
        // failure in it puts the plants back as well.
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
                    for (b = 0; b < n2 && k2[b] != key; ++b) {
                    }
                    for (size_t j = 0; b == n2 && j < n2; ++j)
                        if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(k2[j]) &&
                            PyUnicode_Compare(key, k2[j]) == 0)
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
                    value = binary_op(PyNumber_Add, number(p.a, p.fa), nb::handle(iv));
                } else {
                    value = binary_op(PyNumber_Add, binary_op(PyNumber_Multiply, w1, number(p.a, p.fa)),
                                      binary_op(PyNumber_Multiply, w2, number(p.b, p.fb)));
                    value = binary_op(PyNumber_Add, value, nb::handle(iv));
                }
                sc.out.push_back(p.key);
                sc.out.push_back(value.ptr());
                sc.hold.push_back(std::move(value));
            }
        } else {
            PyObject* y1 = outputs_of(i1);
            PyObject* y2 = single ? y1 : outputs_of(i2);
            nb::object keys =
                PyDict_CheckExact(y1) ? nb::steal(PyDict_Keys(y1)) : nb::list(nb::handle(y1).attr("keys")());
            if (!keys.is_valid()) raise_pending();
            for (nb::handle key : keys) {
                nb::object a = nb::handle(y1)[key];
                nb::object b = single ? nb::object() : nb::object(nb::handle(y2)[key]);
                PyObject* iv = lookup(sc, ini.ptr(), key.ptr(), zero);
                double va, vb = 0.0, vi;
                bool fa, fb = false, fi;
                nb::object value;
                if (simple_number(a.ptr(), va, fa) && simple_number(iv, vi, fi) &&
                    (single || simple_number(b.ptr(), vb, fb))) {
                    value = single ? number(va + vi, fa || fi)
                                   : number((weight1 * va + weight2 * vb) + vi, w_f64 || fa || fb || fi);
                } else if (single) {
                    value = binary_op(PyNumber_Add, a, nb::handle(iv));
                } else {
                    value = binary_op(PyNumber_Add, binary_op(PyNumber_Multiply, w1, a),
                                      binary_op(PyNumber_Multiply, w2, b));
                    value = binary_op(PyNumber_Add, value, nb::handle(iv));
                }
                sc.hold.push_back(nb::borrow(key));
                sc.out.push_back(key.ptr());
                sc.out.push_back(value.ptr());
                sc.hold.push_back(std::move(value));
            }
        }
    } catch (...) {
        if (!compiled) g_api->snapshot_restore(sc.snap);
        throw;
    }

    // Commit.
    set_working_value(nb::float_(w));
    for (size_t i = 0; i < sc.upd.size(); i += 2)
        if (PyDict_SetItem(ud.ptr(), sc.upd[i], sc.upd[i + 1]) < 0) raise_pending();
    for (const nb::object& p : sc.recs) record_of(p).set_weight(nb::borrow(zero));
    if (single) {
        record_of(sc.recs[i1]).set_weight(nb::borrow(one));
    } else {
        record_of(sc.recs[i1]).set_weight(w1);
        record_of(sc.recs[i2]).set_weight(w2);
    }
    for (size_t i = 0; i < sc.out.size(); i += 2)
        if (PyDict_SetItem(yd.ptr(), sc.out[i], sc.out[i + 1]) < 0) raise_pending();

    // 10.
    static PyTypeObject* const own_type = (PyTypeObject*) nb::type<Blended>().ptr();
    nb::object result = Py_TYPE(self.ptr()) == own_type ? deepcopy_flat(yd) : self.attr("get_output_data_dict")();
    if (!result.is_none()) check_result(result, &PyDict_Type);
    return result;
}

}  // namespace

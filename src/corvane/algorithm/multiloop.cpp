// corvane.algorithm.multiloop: single-input process models, the MISO/MIMO
// simulators built from a model dictionary, and step-response tools.
#include "bindkit.hpp"

#include <corvane/filter.hpp>
#include <corvane/mimo.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

const char* const kModuleName = "corvane.algorithm.multiloop";

// Bound types, for the exact-type dispatch of the per-sample path.
struct Types {
    PyTypeObject *no_model = nullptr, *tfz = nullptr, *tfs = nullptr, *stp = nullptr, *stpxy = nullptr;
    PyTypeObject *miso = nullptr, *mimo = nullptr, *siso = nullptr;
} g_types;

nb::module_ numpy_mod() { return nb::module_::import_("numpy"); }
nb::module_ this_module() { return nb::module_::import_(kModuleName); }
nb::object deepcopy(nb::handle o) { return nb::module_::import_("copy").attr("deepcopy")(o); }

// ---------------------------------------------------------------------------
// Numbers

// numpy.float64, fetched once at module initialisation.
PyTypeObject* g_float64 = nullptr;

// A float, a numpy float64 or an int that a double holds exactly: the
// interpreter's arithmetic on these gives the same double as native code.
inline bool simple_number(PyObject* o, double& v, bool& f64) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyFloat_Type) {
        v = PyFloat_AS_DOUBLE(o);
        f64 = false;
        return true;
    }
    if (t == g_float64) {
        v = PyFloat_AS_DOUBLE(o);
        f64 = true;
        return true;
    }
    if (t == &PyLong_Type) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
        constexpr long long lim = 1LL << 53;
        if (!overflow && x >= -lim && x <= lim) {
            v = (double) x;
            f64 = false;
            return true;
        }
        PyErr_Clear();
    }
    return false;
}

inline nb::object number(double v, bool f64) { return f64 ? make_float64(v) : nb::float_(v); }

// float(u - u_ini) as the interpreter computes it.
inline double difference(PyObject* u, PyObject* ui) {
    double a, b;
    bool fa, fb;
    if (simple_number(u, a, fa) && simple_number(ui, b, fb)) return a - b;
    PyObject* d = PyNumber_Subtract(u, ui);
    if (!d) raise_pending();
    nb::object diff = nb::steal(d);
    return to_double(diff);
}

inline nb::object py_add(nb::handle a, nb::handle b, bool inplace = false) {
    PyObject* r = inplace ? PyNumber_InPlaceAdd(a.ptr(), b.ptr()) : PyNumber_Add(a.ptr(), b.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

// A float 0.0 that lives as long as the process.
PyObject* float_zero() {
    static PyObject* zero = PyFloat_FromDouble(0.0);
    return zero;
}

// mapping.get(key, default): native for an exact dict, a method call otherwise.
nb::object map_get(nb::handle mapping, nb::handle key, nb::handle dflt) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise_pending();
        return nb::borrow(dflt);
    }
    return mapping.attr("get")(key, dflt);
}

nb::object map_get(nb::handle mapping, const char* key, nb::handle dflt) {
    return map_get(mapping, nb::str(key), dflt);
}

nb::object get_item(nb::handle mapping, const char* key) {
    nb::str k(key);
    PyObject* r = PyObject_GetItem(mapping.ptr(), k.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

bool truth(nb::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0) raise_pending();
    return t != 0;
}

// A dict whose keys and values are all immutable scalars can be deep-copied
// by a plain copy; anything else goes through copy.deepcopy.
bool atomic_scalar(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyFloat_Type || t == &PyLong_Type || t == &PyUnicode_Type || t == &PyBool_Type ||
           o == Py_None || t == float64_type();
}

nb::object deepcopy_flat(nb::handle d) {
    if (PyDict_CheckExact(d.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool flat = true;
        while (PyDict_Next(d.ptr(), &pos, &k, &v))
            if (!atomic_scalar(k) || !atomic_scalar(v)) {
                flat = false;
                break;
            }
        if (flat) {
            PyObject* c = PyDict_Copy(d.ptr());
            if (!c) raise_pending();
            return nb::steal(c);
        }
    }
    return deepcopy(d);
}

// ---------------------------------------------------------------------------
// Models

struct PyNoModel {};

// Discrete transfer-function model; the base of every filter model.
// Bumped whenever a live model may have been given new coefficients
// (__setstate__), so that cached plans see it.
inline uint64_t g_model_generation = 0;

struct PyTfz {
    corvane::LFilter f;
    nb::object num, den;  // Gz_num, Gz_den: read-only float64 arrays
    std::string error;    // why the filter refuses to run (raised at the first sample)
    bool fresh = true;    // state still as reset_zi left it

    // Coefficient arrays -> filter. Errors of the array interface propagate.
    void load(nb::object gz_num, nb::object gz_den) {
        Py_ssize_t ln = PyObject_Length(gz_num.ptr());
        if (ln < 0) raise_pending();
        Py_ssize_t ld = PyObject_Length(gz_den.ptr());
        if (ld < 0) raise_pending();
        std::vector<double> b, a;
        std::string err;
        read_1d(gz_num, "b", b, err);
        if (err.empty()) read_1d(gz_den, "a", a, err);
        if (err.empty()) {
            switch (corvane::check_filter(b.size(), a.size(), a.empty() ? 0.0 : a[0])) {
                case corvane::FilterError::zero_a0: err = "BUG: filter coefficient a[0] == 0 not supported yet"; break;
                default: break;  // empty arrays are caught by read_1d
            }
        }
        corvane::LFilter nf;
        if (err.empty()) {
            nf.assign(b.data(), b.size(), a.data(), a.size());
        } else {
            // A filter of zeros with the state length reset_zi gives.
            std::vector<double> zb((size_t) ln, 0.0), za((size_t) ld, 1.0);
            nf.assign(zb.data(), zb.size(), za.data(), za.size());
        }
        f = std::move(nf);
        num = std::move(gz_num);
        den = std::move(gz_den);
        error = std::move(err);
        fresh = true;
    }

    static void read_1d(nb::handle arr, const char* name, std::vector<double>& out, std::string& err) {
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) raise_pending();
        const bool ok_type = view.itemsize == 8 && view.format && std::string(view.format) == "d";
        const int ndim = view.ndim;
        if (ok_type && ndim == 1 && view.shape[0] > 0) {
            const double* p = static_cast<const double*>(view.buf);
            out.assign(p, p + view.shape[0]);
        }
        PyBuffer_Release(&view);
        if (!ok_type) raise(PyExc_TypeError, "filter coefficients must be float64");
        if (out.empty()) {
            nb::object shape = nb::str(nb::getattr(arr, "shape"));
            err = std::string("Parameter ") + name + " is not a non-empty 1d array, since " + name +
                  ".shape=" + nb::borrow<nb::str>(shape).c_str() + "!";
        }
    }

    void check_usable() const {
        if (!error.empty()) raise(PyExc_ValueError, "%s", error.c_str());
    }

    double step(double x) {
        fresh = false;
        return f.step(x);
    }

    nb::object zi() const {
        const auto& z = f.state();
        if (fresh) {
            nb::list l;
            for (size_t i = 0; i < z.size(); ++i) l.append(0);
            return l;
        }
        return float_array(z);
    }

    static nb::object float_array(const std::vector<double>& z) {
        nb::object arr = numpy_mod().attr("empty")(z.size(), "dtype"_a = "float64");
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) raise_pending();
        if (!z.empty()) std::memcpy(view.buf, z.data(), z.size() * sizeof(double));
        PyBuffer_Release(&view);
        return arr;
    }
};

struct PyTfs : PyTfz {};
struct PyStp : PyTfz {};
struct PyStpxy : PyStp {};

nb::object readonly_copy(nb::handle arr) {
    nb::object c = numpy_mod().attr("array")(arr, "dtype"_a = "float64");
    c.attr("flags").attr("writeable") = false;
    return c;
}

// tfz construction: num as float array, delay leading zeros (numpy pad), den as float array.
void build_tfz(PyTfz& m, nb::handle num, nb::handle den, nb::handle delay) {
    nb::module_ np = numpy_mod();
    nb::handle float_t = (PyObject*) &PyFloat_Type;
    nb::object num_arr = np.attr("array")(num, "dtype"_a = float_t);
    nb::object padded =
        np.attr("pad")(num_arr, nb::make_tuple(delay, 0), "mode"_a = "constant", "constant_values"_a = 0);
    nb::object den_arr = np.attr("array")(den, "dtype"_a = float_t);
    m.load(readonly_copy(padded), readonly_copy(den_arr));
}

void build_tfs(PyTfz& m, nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
    nb::object c2d = this_module().attr("sharedkit").attr("c2d");
    nb::object res = c2d(num, den, delay, Ts);
    nb::object gd_num = res[0], gd_den = res[1];
    build_tfz(m, gd_num, gd_den, nb::int_(0));
}

void build_stp(PyTfz& m, nb::handle stp) {
    nb::object num = numpy_mod().attr("diff")(stp, "prepend"_a = 0);
    nb::list den;
    den.append(1.0);
    build_tfz(m, num, den, nb::int_(0));
}

void build_stpxy(PyTfz& m, nb::handle x, nb::handle y) {
    Py_ssize_t lx = PyObject_Length(x.ptr());
    if (lx < 0) raise_pending();
    Py_ssize_t ly = PyObject_Length(y.ptr());
    if (ly < 0) raise_pending();
    if (lx != ly) raise_assertion();
    nb::module_ np = numpy_mod();
    nb::object last = x[nb::int_(-1)];
    nb::object idx = np.attr("arange")(0, py_add(last, nb::int_(1)));
    nb::object stp = np.attr("interp")(idx, x, y).attr("tolist")();
    build_stp(m, stp);
}

// Native model behind an object, or null for a model called through Python.
PyTfz* filter_of(PyObject* m) {
    PyTypeObject* t = Py_TYPE(m);
    PyTfz* f = nullptr;
    if (t == g_types.tfz)
        f = nb::inst_ptr<PyTfz>(m);
    else if (t == g_types.tfs)
        f = nb::inst_ptr<PyTfs>(m);
    else if (t == g_types.stp)
        f = nb::inst_ptr<PyStp>(m);
    else if (t == g_types.stpxy)
        f = nb::inst_ptr<PyStpxy>(m);
    else
        return nullptr;
    if (!nb::inst_ready(m)) raise(PyExc_TypeError, "'%.200s' object is not initialised", t->tp_name);
    return f;
}

// The model of one (CV, MV) pair from its model entry.
nb::object build_pair_model(nb::handle entry, nb::handle Ts) {
    nb::object zero = nb::int_(0);
    nb::object int_mark = map_get(entry, "IntegralMark", zero);
    nb::str none_text("None");
    if (!truth(entry)) return nb::handle((PyObject*) g_types.no_model)();
    nb::object mode = map_get(entry, "mode", none_text);
    auto is = [&](const char* name) { return compare(mode, nb::str(name), Py_EQ); };
    nb::module_ np = numpy_mod();
    if (is("None")) return nb::handle((PyObject*) g_types.no_model)();
    if (is("tf_s")) {
        nb::object num = get_item(entry, "num_s");
        nb::object den = get_item(entry, "den_s");
        if (truth(int_mark)) den = np.attr("convolve")(den, nb::make_tuple(1, 0));
        nb::object delay = map_get(entry, "iodelay_s", zero);
        return nb::handle((PyObject*) g_types.tfs)(num, den, delay, Ts);
    }
    if (is("tf_z")) {
        nb::object num = get_item(entry, "num_z");
        nb::object den = get_item(entry, "den_z");
        if (truth(int_mark)) den = np.attr("convolve")(den, nb::make_tuple(1, -1));
        nb::object delay = map_get(entry, "iodelay_z", zero);
        return nb::handle((PyObject*) g_types.tfz)(num, den, delay);
    }
    if (is("stp")) {
        nb::object stp = get_item(entry, "stp");
        if (truth(int_mark)) stp = np.attr("cumsum")(stp);
        return nb::handle((PyObject*) g_types.stp)(stp);
    }
    if (is("stpxy")) {
        nb::object x = get_item(entry, "x");
        nb::object y = get_item(entry, "y");
        if (truth(int_mark)) y = np.attr("cumsum")(y);
        return nb::handle((PyObject*) g_types.stpxy)(x, y);
    }
    raise_assertion();
}

// (cv_tag_list, mv_tag_list) of a model dictionary.
std::pair<nb::list, nb::list> model_tags(nb::handle yu_model) {
    PyObject* keys = PySequence_List(yu_model.attr("keys")().ptr());
    if (!keys) raise_pending();
    nb::list cvs = nb::steal<nb::list>(keys);
    nb::list mvs;
    for (nb::handle inner : yu_model.attr("values")()) {
        for (nb::handle mv : inner.attr("keys")()) {
            int has = PySequence_Contains(mvs.ptr(), mv.ptr());
            if (has < 0) raise_pending();
            if (!has) mvs.append(mv);
        }
    }
    return {cvs, mvs};
}

// ---------------------------------------------------------------------------
// Simulators

// Result of one CV's accumulation: a double (float or float64) or an object.
struct Acc {
    double v = 0.0;
    bool f64 = false;
    nb::object obj;

    void add(double c, bool cf64) {
        if (obj.is_valid()) {
            obj = py_add(obj, number(c, cf64), true);
        } else {
            v = corvane::miso_add(v, c);
            f64 = f64 || cf64;
        }
    }
    void add(nb::handle r) {
        double c;
        bool cf64;
        if (!obj.is_valid() && simple_number(r.ptr(), c, cf64)) {
            add(c, cf64);
            return;
        }
        if (!obj.is_valid()) obj = number(v, f64);
        obj = py_add(obj, r, true);
    }
    nb::object value() const { return obj.is_valid() ? obj : number(v, f64); }
};

nb::object seq_fast(nb::handle seq, const char* what) {
    PyObject* s = PySequence_Fast(seq.ptr(), what);
    if (!s) raise_pending();
    return nb::steal(s);
}

enum : unsigned char { KIND_NONE, KIND_FILTER, KIND_PYTHON };

// What a MISOSimulator's lists hold, resolved once and reused while the lists
// still hold the same objects.
struct PlanItem {
    PyObject* model;  // kept alive by Plan::hold
    PyObject* ini;
    PyTfz* f;
    double ini_v;
    bool ini_simple;
    unsigned char kind;
};

struct Plan {
    PyObject* models = nullptr;  // the sequences it was built from (held)
    PyObject* inis = nullptr;
    std::vector<nb::object> hold;
    std::vector<PlanItem> items;
    size_t first_unusable = SIZE_MAX;  // first filter that refuses to run
    uint64_t generation = 0;
    bool has_python = false, inis_simple = true;
};

struct PyMISO {
    nb::object model_list, u_ini_list;
    Plan plan;
    bool planned = false;

    bool plan_current() const {
        if (!planned || plan.models != model_list.ptr() || plan.inis != u_ini_list.ptr() ||
            plan.generation != g_model_generation)
            return false;
        PyObject* ml = model_list.ptr();
        PyObject* il = u_ini_list.ptr();
        const bool seqs = (PyList_CheckExact(ml) || PyTuple_CheckExact(ml)) && (PyList_CheckExact(il) || PyTuple_CheckExact(il));
        if (!seqs) return false;
        const size_t n = std::min((size_t) PySequence_Fast_GET_SIZE(ml), (size_t) PySequence_Fast_GET_SIZE(il));
        if (n != plan.items.size()) return false;
        PyObject** mi = PySequence_Fast_ITEMS(ml);
        PyObject** ii = PySequence_Fast_ITEMS(il);
        for (size_t k = 0; k < n; ++k)
            if (mi[k] != plan.items[k].model || ii[k] != plan.items[k].ini) return false;
        return true;
    }

    // The plan of the lists as they are now. May run Python code (iteration of
    // other sequence types) and raise; the old plan stays until the new one is done.
    // Objects of a replaced plan go to `graveyard`, released after the call.
    const Plan& current_plan(std::vector<nb::object>& graveyard) {
        if (plan_current()) return plan;
        Plan p;
        nb::object ml = model_list, il = u_ini_list;
        nb::object models = seq_fast(ml, "model_list must be iterable");
        nb::object inis = seq_fast(il, "u_ini_list must be iterable");
        const size_t n = std::min((size_t) PySequence_Fast_GET_SIZE(models.ptr()),
                                  (size_t) PySequence_Fast_GET_SIZE(inis.ptr()));
        PyObject** mi = PySequence_Fast_ITEMS(models.ptr());
        PyObject** ii = PySequence_Fast_ITEMS(inis.ptr());
        p.hold.reserve(2 * n + 2);
        p.hold.push_back(ml);
        p.hold.push_back(il);
        for (size_t k = 0; k < n; ++k) {
            PlanItem it{mi[k], ii[k], nullptr, 0.0, false, KIND_PYTHON};
            p.hold.push_back(nb::borrow(mi[k]));
            p.hold.push_back(nb::borrow(ii[k]));
            if (Py_TYPE(mi[k]) == g_types.no_model)
                it.kind = KIND_NONE;
            else if ((it.f = filter_of(mi[k]))) {
                it.kind = KIND_FILTER;
                if (!it.f->error.empty() && p.first_unusable == SIZE_MAX) p.first_unusable = k;
            } else
                p.has_python = true;
            bool f64;
            it.ini_simple = simple_number(ii[k], it.ini_v, f64);
            p.inis_simple = p.inis_simple && it.ini_simple;
            p.items.push_back(it);
        }
        p.models = ml.ptr();
        p.inis = il.ptr();
        p.generation = g_model_generation;
        for (auto& o : plan.hold) graveyard.push_back(std::move(o));
        plan = std::move(p);
        planned = true;
        return plan;
    }
};

// One model's share of a sample, prepared before anything changes.
struct StepItem {
    PyTfz* f;
    PyObject* model;
    double du;
    int obj;  // index of the deviation object (model called through Python), or -1
    unsigned char kind;
};

// Per-CV part of a sample.
struct Row {
    PyObject* key;
    PyObject* sim;
    PyObject* v;
    PyObject* ini;
    size_t begin, end;     // its items, when it does not run from a plan
    const Plan* plan;      // the MISOSimulator's plan, run directly on the fast path
    size_t n;              // number of plan items in use
    bool native;
    double dv = 0.0, di = 0.0;  // disturbance and initial value, when simple numbers
    bool fv = false, fi = false;
};

// The MV values of a sample, with their doubles where the arithmetic is native.
struct Scratch {
    std::vector<nb::object> hold;  // strong references for the duration of a call
    std::vector<nb::object> objs;  // deviation objects
    std::vector<PyObject*> upd;    // new MV values by MV index (held elsewhere)
    std::vector<PyObject*> U;
    std::vector<double> Ud;
    std::vector<unsigned char> Us;  // U[k] is a simple number
    std::vector<StepItem> steps;
    std::vector<Row> rows;
    std::vector<nb::object> out;
    size_t first_generic = 0;  // index of the first MV value that is not a simple number
    bool slow = false;

    void clear() {
        hold.clear();
        objs.clear();
        upd.clear();
        U.clear();
        Ud.clear();
        Us.clear();
        steps.clear();
        rows.clear();
        out.clear();
        slow = false;
    }

    // From here on Python code may run: every model in use is held, and rows
    // get their own items (a plan may be replaced while Python code runs).
    void go_slow() {
        if (slow) return;
        slow = true;
        for (PyObject* u : U) hold.push_back(nb::borrow(u));
        for (const StepItem& s : steps) hold.push_back(nb::borrow(s.model));
        for (Row& r : rows) {
            for (PyObject* o : {r.key, r.sim, r.v, r.ini})
                if (o) hold.push_back(nb::borrow(o));
            if (r.plan) materialize(r);
        }
    }

    void materialize(Row& r) {
        const Plan& p = *r.plan;
        r.begin = steps.size();
        for (size_t k = 0; k < r.n; ++k) {
            const PlanItem& it = p.items[k];
            steps.push_back(StepItem{it.f, it.model, Ud[k] - it.ini_v, -1, it.kind});
            hold.push_back(nb::borrow(it.model));
        }
        r.end = steps.size();
        r.plan = nullptr;
    }

    // Models appended after go_slow().
    void hold_steps_from(size_t base) {
        for (size_t i = base; i < steps.size(); ++i) hold.push_back(nb::borrow(steps[i].model));
    }

    void set_inputs(PyObject* const* u, size_t n) {
        for (size_t k = 0; k < n; ++k) {
            U.push_back(u[k]);
            double d = 0.0;
            bool f64;
            const bool s = simple_number(u[k], d, f64);
            Ud.push_back(d);
            Us.push_back(s);
        }
        first_generic = U.size();
        for (size_t k = 0; k < U.size(); ++k)
            if (!Us[k]) {
                first_generic = k;
                break;
            }
    }
};

// Scratch buffers reused from call to call; a call made from inside Python
// code that a call runs gets its own.
struct ScratchLease {
    static inline Scratch shared;
    static inline bool busy = false;
    Scratch local;
    Scratch* sc;
    bool prev;
    ScratchLease() : sc(busy ? &local : &shared), prev(busy) { busy = true; }
    ~ScratchLease() {
        sc->clear();
        busy = prev;
    }
};

// Validates and converts one MISOSimulator's share of a sample.
void prepare_row(PyMISO& m, Scratch& sc, Row& r) {
    auto plain = [](PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); };
    if (!plain(m.model_list.ptr()) || !plain(m.u_ini_list.ptr())) sc.go_slow();  // iteration runs Python code
    const Plan& p = m.current_plan(sc.hold);
    const size_t n = std::min(sc.U.size(), p.items.size());
    if (p.first_unusable < n) p.items[p.first_unusable].f->check_usable();
    const bool generic = p.has_python || !p.inis_simple || sc.first_generic < n;
    if (!generic && !sc.slow) {
        r.plan = &p;
        r.n = n;
        return;
    }
    const size_t base = sc.steps.size();
    r.begin = base;
    r.end = base + n;
    for (size_t k = 0; k < n; ++k) {
        const PlanItem& it = p.items[k];
        sc.steps.push_back(StepItem{it.f, it.model, 0.0, -1, it.kind});
    }
    if (sc.slow)
        sc.hold_steps_from(base);
    else if (generic)
        sc.go_slow();
    if (generic)
        for (size_t k = 0; k < n; ++k) sc.hold.push_back(nb::borrow(p.items[k].ini));
    // Python code may run below (generic arithmetic): use only held objects.
    std::vector<PyObject*> inis;
    if (generic) {
        inis.reserve(n);
        for (size_t k = 0; k < n; ++k) inis.push_back(p.items[k].ini);
    }
    for (size_t k = 0; k < n; ++k) {
        StepItem& s = sc.steps[base + k];
        if (!generic) {
            s.du = sc.Ud[k] - p.items[k].ini_v;
        } else if (s.kind != KIND_PYTHON) {
            s.du = difference(sc.U[k], inis[k]);
        } else {
            PyObject* d = PyNumber_Subtract(sc.U[k], inis[k]);
            if (!d) raise_pending();
            s.obj = (int) sc.objs.size();
            sc.objs.push_back(nb::steal(d));
        }
    }
}

// Runs prepared items; only a model called through Python can raise here.
Acc run_steps(const StepItem* it, const StepItem* end, Scratch& sc) {
    static PyObject* name = PyUnicode_InternFromString("deltaU_sim");
    Acc acc;
    for (; it != end; ++it) {
        if (it->kind == KIND_FILTER) {
            acc.add(it->f->step(it->du), true);
        } else if (it->kind == KIND_NONE) {
            acc.add(0.0, false);
        } else {
            PyObject* r = PyObject_CallMethodOneArg(it->model, name, sc.objs[(size_t) it->obj].ptr());
            if (!r) raise_pending();
            nb::object res = nb::steal(r);
            acc.add(res);
        }
    }
    return acc;
}

// A row straight from its plan: native models and numbers, no Python code.
inline double run_plan(const Plan& p, size_t n, const double* Ud, bool& f64) {
    double acc = 0.0;
    const PlanItem* it = p.items.data();
    for (size_t k = 0; k < n; ++k, ++it) {
        if (it->kind == KIND_FILTER) {
            acc = corvane::miso_add(acc, it->f->step(Ud[k] - it->ini_v));
            f64 = true;
        } else {
            acc = corvane::miso_add(acc, 0.0);
        }
    }
    return acc;
}

// Filter states of the prepared items, restored when a later step fails.
struct Snapshot {
    std::vector<std::pair<PyTfz*, std::vector<double>>> states;
    std::vector<bool> fresh;
    void take(const std::vector<StepItem>& steps) {
        for (const StepItem& s : steps)
            if (s.f) {
                states.emplace_back(s.f, s.f->f.state());
                fresh.push_back(s.f->fresh);
            }
    }
    void restore() {
        for (size_t i = states.size(); i-- > 0;) {
            states[i].first->f.state() = states[i].second;
            states[i].first->fresh = fresh[i];
        }
    }
};

template <class F>
void with_rollback(Scratch& sc, F&& f) {
    if (!sc.slow) {
        f();
        return;
    }
    Snapshot snap;
    snap.take(sc.steps);
    try {
        f();
    } catch (...) {
        snap.restore();
        throw;
    }
}

nb::object miso_one_step(PyMISO& m, nb::handle u_list) {
    ScratchLease lease;
    Scratch& sc = *lease.sc;
    nb::object us = seq_fast(u_list, "u_list must be iterable");
    sc.hold.push_back(us);
    sc.set_inputs(PySequence_Fast_ITEMS(us.ptr()), (size_t) PySequence_Fast_GET_SIZE(us.ptr()));
    sc.rows.push_back(Row{nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr, 0, true});
    prepare_row(m, sc, sc.rows.back());
    nb::object result;
    with_rollback(sc, [&] {
        if (!sc.slow) {
            bool f64 = false;
            const Row& r = sc.rows.back();
            const double y = run_plan(*r.plan, r.n, sc.Ud.data(), f64);
            result = number(y, f64);
        } else {
            result = run_steps(sc.steps.data(), sc.steps.data() + sc.steps.size(), sc).value();
        }
    });
    return result;
}

struct PyMIMO {
    nb::object Ts, process_model_dict, cv_list, mv_list, ini_value_dict, yu_model_obj;
    nb::object u_dict, y_dict, cv_simulators;
    // MV tags and tag -> index, fixed at construction.
    std::vector<nb::object> mv_tags;
    nb::dict mv_index;
    bool last_values_float = false;  // the last step wrote only float/float64 values

    void index_tags() {
        mv_tags.clear();
        nb::dict idx;
        Py_ssize_t i = 0;
        for (nb::handle t : mv_list) {
            mv_tags.push_back(nb::borrow(t));
            if (PyDict_SetItem(idx.ptr(), t.ptr(), nb::int_(i).ptr()) < 0) PyErr_Clear();  // unhashable: scanned
            ++i;
        }
        mv_index = std::move(idx);
    }

    // Index of the MV tag equal to key, or -1.
    Py_ssize_t mv_position(PyObject* key) const {
        PyObject* v = PyDict_GetItemWithError(mv_index.ptr(), key);
        if (v) return PyLong_AsSsize_t(v);
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending();
            PyErr_Clear();
        }
        for (size_t j = 0; j < mv_tags.size(); ++j)
            if (compare(mv_tags[j], key, Py_EQ)) return (Py_ssize_t) j;
        return -1;
    }

    void reset() {
        nb::object zero = nb::float_(0.0);
        nb::dict u, y, sims;
        for (nb::handle mv : mv_list) u[mv] = map_get(ini_value_dict, mv, zero);
        for (nb::handle cv : cv_list) y[cv] = map_get(ini_value_dict, cv, zero);
        for (nb::handle cv : cv_list) {
            nb::list uini, models;
            PyObject* r = PyObject_GetItem(yu_model_obj.ptr(), cv.ptr());
            if (!r) raise_pending();
            nb::object row = nb::steal(r);
            for (nb::handle mv : mv_list) {
                uini.append(map_get(ini_value_dict, mv, zero));
                PyObject* mo = PyObject_GetItem(row.ptr(), mv.ptr());
                if (!mo) raise_pending();
                models.append(nb::steal(mo));
            }
            sims[cv] = nb::handle((PyObject*) g_types.miso)(models, uini);
        }
        u_dict = u;
        y_dict = y;
        cv_simulators = sims;
    }

    // One sample. Everything is validated and converted before any state changes.
    void step(nb::handle u_values, nb::handle v_values);
};

void build_mimo(PyMIMO& s, nb::handle pmd, nb::handle ini, nb::handle Ts) {
    check_arg(pmd, &PyDict_Type, "process_model_dict");
    s.Ts = nb::borrow(Ts);
    s.process_model_dict = deepcopy(pmd);
    auto tags = model_tags(s.process_model_dict);
    s.cv_list = tags.first;
    s.mv_list = tags.second;
    s.ini_value_dict = deepcopy(ini);
    nb::dict obj;
    for (nb::handle cv : s.cv_list) {
        if (!obj.contains(cv)) obj[cv] = nb::dict();
        nb::object row = obj[cv];
        nb::object inner = s.process_model_dict[cv];
        for (nb::handle mv : s.mv_list) {
            nb::object entry = map_get(inner, mv, nb::dict());
            row[mv] = build_pair_model(entry, Ts);
        }
    }
    s.yu_model_obj = obj;
    s.index_tags();
    s.reset();
}

void PyMIMO::step(nb::handle u_values, nb::handle v_values) {
    static PyObject* one_step = PyUnicode_InternFromString("one_step_sim");
    ScratchLease lease;
    Scratch& sc = *lease.sc;

    if (!PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()) ||
        !PyDict_CheckExact(cv_simulators.ptr()))
        raise(PyExc_TypeError, "MIMOSim state is not initialised");
    const size_t nmv = mv_tags.size();
    sc.hold.push_back(u_dict);
    sc.hold.push_back(y_dict);
    sc.hold.push_back(cv_simulators);

    // 1. New MV values, not yet stored.
    sc.upd.assign(nmv, nullptr);
    if (PyDict_CheckExact(u_values.ptr())) {
        sc.hold.push_back(nb::borrow(u_values));
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(u_values.ptr(), &pos, &k, &v)) {
            // String keys compare natively; anything else may run Python code.
            if (!PyUnicode_CheckExact(k)) {
                sc.hold.push_back(nb::borrow(k));
                sc.hold.push_back(nb::borrow(v));
            }
            const Py_ssize_t j = (size_t) i < nmv && mv_tags[(size_t) i].ptr() == k ? i : mv_position(k);
            if (j >= 0) sc.upd[(size_t) j] = v;
            ++i;
        }
    } else {
        for (nb::handle kv : u_values.attr("items")()) {
            nb::object k = kv[0], v = kv[1];
            sc.hold.push_back(k);
            sc.hold.push_back(v);
            const Py_ssize_t j = mv_position(k.ptr());
            if (j >= 0) sc.upd[(size_t) j] = v.ptr();
        }
    }
    {
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        const size_t size0 = (size_t) PyDict_GET_SIZE(u_dict.ptr());
        bool in_order = size0 == nmv;
        PyObject* vals[64];
        std::vector<PyObject*> many;
        PyObject** dst = vals;
        if (size0 > 64) {
            many.resize(size0);
            dst = many.data();
        }
        while (in_order && PyDict_Next(u_dict.ptr(), &pos, &k, &v)) {
            if (k != mv_tags[(size_t) i].ptr()) in_order = false;
            PyObject* n = sc.upd[(size_t) i];
            dst[i++] = n ? n : v;
        }
        nb::object source = u_dict;
        if (!in_order) {
            source = nb::steal(PyDict_Copy(u_dict.ptr()));
            if (!source.is_valid()) raise_pending();
            for (size_t j = 0; j < nmv; ++j)
                if (sc.upd[j] && PyDict_SetItem(source.ptr(), mv_tags[j].ptr(), sc.upd[j]) < 0)
                    raise_pending();
            sc.hold.push_back(source);
        }
        if (!in_order) {
            const size_t size = (size_t) PyDict_GET_SIZE(source.ptr());
            many.resize(size);
            dst = many.data();
            pos = 0;
            i = 0;
            while (PyDict_Next(source.ptr(), &pos, &k, &v)) dst[i++] = v;
        }
        sc.set_inputs(dst, (size_t) i);
    }

    // 2. Per CV: disturbance, initial value and the models' deviations.
    {
        // Until go_slow() no Python code runs, and borrowed references stay valid.
        Py_ssize_t pos = 0;
        PyObject *k, *sim;
        PyObject* zero = float_zero();
        bool str_keys = true;
        while (PyDict_Next(cv_simulators.ptr(), &pos, &k, &sim)) {
            str_keys = str_keys && PyUnicode_CheckExact(k);
            sc.rows.push_back(Row{k, sim, nullptr, nullptr, 0, 0, nullptr, 0, true});
        }
        const bool v_dict = PyDict_CheckExact(v_values.ptr()), i_dict = PyDict_CheckExact(ini_value_dict.ptr());
        if (!v_dict || !i_dict || !str_keys) sc.go_slow();
        sc.hold.push_back(nb::borrow(v_values));
        sc.hold.push_back(ini_value_dict);
        const bool no_v = v_dict && PyDict_GET_SIZE(v_values.ptr()) == 0;
        auto lookup = [&](nb::handle mapping, PyObject* key) -> PyObject* {
            if (!PyDict_CheckExact(mapping.ptr())) {
                nb::object r = map_get(mapping, key, zero);
                sc.hold.push_back(r);
                return r.ptr();
            }
            PyObject* r = PyDict_GetItemWithError(mapping.ptr(), key);
            if (!r && PyErr_Occurred()) raise_pending();
            if (r && sc.slow) sc.hold.push_back(nb::borrow(r));
            return r ? r : zero;
        };
        for (Row& r : sc.rows) {
            r.v = no_v ? zero : lookup(v_values, r.key);
            r.ini = lookup(ini_value_dict, r.key);
            if (!simple_number(r.v, r.dv, r.fv) || !simple_number(r.ini, r.di, r.fi)) sc.go_slow();
        }
        for (Row& r : sc.rows) {
            if (Py_TYPE(r.sim) == g_types.miso && nb::inst_ready(r.sim)) {
                prepare_row(*nb::inst_ptr<PyMISO>(r.sim), sc, r);
            } else {
                r.native = false;
                sc.go_slow();
            }
        }
    }

    // 3. Step every model and form the outputs; the filters are undone on failure.
    with_rollback(sc, [&] {
        for (Row& r : sc.rows) {
            double dv, di;
            bool fv, fi;
            if (!sc.slow) {
                bool f64 = false;
                const double dy = run_plan(*r.plan, r.n, sc.Ud.data(), f64);
                sc.out.push_back(number(corvane::cv_output(dy, r.dv, r.di), f64 || r.fv || r.fi));
                continue;
            }
            Acc acc;
            if (r.native) {
                acc = run_steps(sc.steps.data() + r.begin, sc.steps.data() + r.end, sc);
            } else {
                nb::list ul;
                for (PyObject* o : sc.U) ul.append(nb::handle(o));
                PyObject* res = PyObject_CallMethodOneArg(r.sim, one_step, ul.ptr());
                if (!res) raise_pending();
                acc.obj = nb::steal(res);
            }
            if (!acc.obj.is_valid() && simple_number(r.v, dv, fv) && simple_number(r.ini, di, fi)) {
                sc.out.push_back(number(corvane::cv_output(acc.v, dv, di), acc.f64 || fv || fi));
            } else {
                nb::object y = py_add(acc.value(), nb::handle(r.v));
                sc.out.push_back(py_add(y, nb::handle(r.ini)));
            }
        }
    });

    // 4. Commit.
    last_values_float = !sc.slow;
    for (size_t j = 0; j < nmv; ++j)
        if (sc.upd[j] && PyDict_SetItem(u_dict.ptr(), mv_tags[j].ptr(), sc.upd[j]) < 0)
            raise_pending();
    for (size_t i = 0; i < sc.rows.size(); ++i)
        if (PyDict_SetItem(y_dict.ptr(), sc.rows[i].key, sc.out[i].ptr()) < 0) raise_pending();
}

struct PySISO : PyMIMO {};

PyMIMO& mimo_of(nb::handle self) {
    if (!nb::isinstance<PyMIMO>(self)) raise(PyExc_TypeError, "expected a MIMOSim, got %.200s", tp_name_of(self));
    if (!nb::inst_ready(self)) raise(PyExc_TypeError, "'%.200s' object is not initialised", tp_name_of(self));
    return *nb::inst_ptr<PyMIMO>(self);
}

// ---------------------------------------------------------------------------
// Step-response tools

// max(values) - min(values) < 1e-06 with the interpreter's max/min.
bool flat_response(nb::handle lst) {
    const Py_ssize_t n = PyList_GET_SIZE(lst.ptr());
    std::vector<double> v((size_t) n);
    bool native = true;
    for (Py_ssize_t i = 0; i < n && native; ++i) {
        PyObject* o = PyList_GET_ITEM(lst.ptr(), i);
        bool f;
        native = simple_number(o, v[(size_t) i], f);
    }
    if (native) {
        if (n == 0) raise(PyExc_ValueError, "max() iterable argument is empty");
        double mx = v[0], mn = v[0];
        for (double x : v) {
            if (x > mx) mx = x;
            if (x < mn) mn = x;
        }
        return (mx - mn) < 1e-06;
    }
    nb::module_ bi = nb::module_::import_("builtins");
    nb::object d = bi.attr("max")(lst) - bi.attr("min")(lst);
    return compare(d, nb::float_(1e-06), Py_LT);
}

nb::object get_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle length) {
    check_arg(yu_model, &PyDict_Type, "yu_model");
    check_arg(Ts, &PyLong_Type, "Ts");
    check_arg(length, &PyLong_Type, "length");
    const Py_ssize_t n = PyLong_AsSsize_t(length.ptr());
    if (n == -1 && PyErr_Occurred()) raise_pending();
    auto tags = model_tags(yu_model);
    nb::dict result;
    for (nb::handle cv : tags.first) {
        nb::dict inner;
        for (nb::handle mv : tags.second) inner[mv] = nb::list();
        result[cv] = inner;
    }
    nb::object zero = nb::float_(0.0);
    for (nb::handle cv : tags.first) {
        nb::object cv_models = yu_model[cv];
        for (nb::handle mv : tags.second) {
            nb::dict pair, one;
            pair[mv] = map_get(cv_models, mv, nb::dict());
            one[cv] = pair;
            nb::dict ini;
            ini[cv] = zero;
            ini[mv] = zero;
            nb::object sim = nb::handle((PyObject*) g_types.mimo)(one, ini, Ts);
            PyMIMO& s = mimo_of(sim);
            nb::dict u, v;
            u[mv] = nb::float_(1.0);
            nb::list out;
            for (Py_ssize_t k = 0; k < n; ++k) {
                s.step(u, v);
                out.append(nb::borrow<nb::dict>(s.y_dict)[cv]);
            }
            nb::object inner = result[cv];
            inner[mv] = flat_response(out) ? nb::list() : out;
        }
    }
    return result;
}

nb::object plot_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle plotLen) {
    check_arg(yu_model, &PyDict_Type, "yu_model");
    check_arg(Ts, &PyLong_Type, "Ts");
    check_arg(plotLen, &PyLong_Type, "plotLen");
    nb::object spec = nb::module_::import_("importlib.util").attr("find_spec")("matplotlib");
    if (spec.is_none()) return nb::none();
    nb::object stp = get_model_stp(yu_model, Ts, plotLen);
    nb::module_ plt = nb::module_::import_("matplotlib.pyplot");
    nb::module_ gridspec = nb::module_::import_("matplotlib.gridspec");
    nb::module_ mpl = nb::module_::import_("matplotlib");
    nb::object rc = mpl.attr("rcParams");
    nb::list fonts;
    fonts.append("SimHei");
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = false;
    auto tags = model_tags(yu_model);
    const size_t cv_num = nb::len(tags.first), mv_num = nb::len(tags.second);
    plt.attr("figure")("figsize"_a = nb::make_tuple(5 * mv_num, 5 * cv_num), "facecolor"_a = "w",
                       "tight_layout"_a = true);
    nb::object gs = gridspec.attr("GridSpec")(cv_num, mv_num);
    size_t plot_num = 0;
    for (nb::handle cv : tags.first) {
        for (nb::handle mv : tags.second) {
            plt.attr("subplot")(gs[nb::int_(plot_num)]);
            nb::object data = stp[cv][mv];
            plt.attr("plot")(data);
            plt.attr("title")(nb::str("{}-{}").format(cv, mv), "fontsize"_a = 11);
            plt.attr("grid")(true);
            const int size = nb::len(data) == 0 ? 0 : 15;
            plt.attr("yticks")("fontsize"_a = size);
            plt.attr("xticks")("fontsize"_a = size);
            ++plot_num;
        }
    }
    plt.attr("show")();
    return nb::none();
}

// ---------------------------------------------------------------------------
// Pickle states

nb::object tfz_state(PyTfz& m) {
    nb::object z = m.fresh ? nb::none() : PyTfz::float_array(m.f.state());
    return nb::make_tuple(m.num, m.den, z);
}

void tfz_restore(PyTfz& m, nb::handle st) {
    if (!PyTuple_CheckExact(st.ptr()) || PyTuple_GET_SIZE(st.ptr()) != 3)
        raise(PyExc_ValueError, "invalid model state");
    nb::tuple t = nb::borrow<nb::tuple>(st);
    ++g_model_generation;
    m.load(readonly_copy(t[0]), readonly_copy(t[1]));
    if (!t[2].is_none()) {
        nb::object z = numpy_mod().attr("asarray")(t[2], "dtype"_a = "float64").attr("ravel")();
        auto& state = m.f.state();
        if ((size_t) nb::len(z) != state.size()) raise(PyExc_ValueError, "invalid model state");
        for (size_t i = 0; i < state.size(); ++i) state[i] = nb::cast<double>(z[nb::int_(i)]);
        m.fresh = false;
    }
}

nb::object mimo_state(PyMIMO& s) {
    return nb::make_tuple(s.Ts, s.process_model_dict, s.cv_list, s.mv_list, s.ini_value_dict, s.yu_model_obj,
                          s.u_dict, s.y_dict, s.cv_simulators);
}

void mimo_restore(PyMIMO& s, nb::handle st) {
    if (!PyTuple_CheckExact(st.ptr()) || PyTuple_GET_SIZE(st.ptr()) != 9)
        raise(PyExc_ValueError, "invalid MIMOSim state");
    nb::tuple t = nb::borrow<nb::tuple>(st);
    for (int i : {1, 5, 6, 7, 8})
        if (!PyDict_CheckExact(t[i].ptr())) raise(PyExc_ValueError, "invalid MIMOSim state");
    for (int i : {2, 3})
        if (!PyList_CheckExact(t[i].ptr())) raise(PyExc_ValueError, "invalid MIMOSim state");
    s.Ts = t[0];
    s.process_model_dict = t[1];
    s.cv_list = t[2];
    s.mv_list = t[3];
    s.ini_value_dict = t[4];
    s.yu_model_obj = t[5];
    s.u_dict = t[6];
    s.y_dict = t[7];
    s.cv_simulators = t[8];
    s.index_tags();
}

template <class T, class Cls>
void tfz_family(Cls& cls) {
    def_pickle<T>(cls, [](T& m) { return tfz_state(m); }, [](T& m, nb::handle st) { tfz_restore(m, st); });
}

template <class T, class Cls>
void mimo_family(Cls& cls) {
    def_pickle<T>(cls, [](T& s) { return mimo_state(s); }, [](T& s, nb::handle st) { mimo_restore(s, st); });
}

// Garbage-collector support: the simulators hold Python objects (models,
// dicts, lists) that may lead back to them, e.g. through a model class's globals.
int miso_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyMISO* m = nb::inst_ptr<PyMISO>(self);
    Py_VISIT(m->model_list.ptr());
    Py_VISIT(m->u_ini_list.ptr());
    for (const nb::object& o : m->plan.hold) Py_VISIT(o.ptr());
    return 0;
}

int miso_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyMISO* m = nb::inst_ptr<PyMISO>(self);
    Plan old = std::move(m->plan);
    m->plan = Plan{};
    m->planned = false;
    nb::object a = std::move(m->model_list), b = std::move(m->u_ini_list);
    m->model_list = nb::none();
    m->u_ini_list = nb::none();
    return 0;
}

int mimo_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    PyMIMO* s = nb::inst_ptr<PyMIMO>(self);
    for (nb::object* o : {&s->Ts, &s->process_model_dict, &s->cv_list, &s->mv_list, &s->ini_value_dict,
                          &s->yu_model_obj, &s->u_dict, &s->y_dict, &s->cv_simulators})
        Py_VISIT(o->ptr());
    Py_VISIT(s->mv_index.ptr());
    for (const nb::object& o : s->mv_tags) Py_VISIT(o.ptr());
    return 0;
}

int mimo_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    PyMIMO* s = nb::inst_ptr<PyMIMO>(self);
    std::vector<nb::object> drop;
    for (nb::object* o : {&s->Ts, &s->process_model_dict, &s->cv_list, &s->mv_list, &s->ini_value_dict,
                          &s->yu_model_obj, &s->u_dict, &s->y_dict, &s->cv_simulators}) {
        drop.push_back(std::move(*o));
        *o = nb::none();
    }
    // An empty state: later calls raise instead of touching freed objects.
    s->u_dict = s->y_dict = s->cv_simulators = nb::none();
    s->cv_list = nb::list();
    s->mv_list = nb::list();
    for (auto& o : s->mv_tags) drop.push_back(std::move(o));
    s->mv_tags.clear();
    drop.push_back(std::move(s->mv_index));
    s->mv_index = nb::dict();
    return 0;
}

PyType_Slot miso_slots[] = {{Py_tp_traverse, (void*) miso_traverse}, {Py_tp_clear, (void*) miso_clear}, {0, nullptr}};
PyType_Slot mimo_slots[] = {{Py_tp_traverse, (void*) mimo_traverse}, {Py_tp_clear, (void*) mimo_clear}, {0, nullptr}};

nb::list default_list(std::initializer_list<double> xs, bool ints = false) {
    nb::list l;
    for (double x : xs) {
        if (ints && x == (double) (long long) x)
            l.append(nb::int_((long long) x));
        else
            l.append(nb::float_(x));
    }
    return l;
}

}  // namespace

NB_MODULE(multiloop, m) {
    m.doc() = "Process models, MISO/MIMO simulators and step-response tools.";
    g_float64 = float64_type();

    // Names the module works with (looked up at call time where it matters).
    m.attr("copy") = nb::module_::import_("copy");
    m.attr("np") = numpy_mod();
    m.attr("signal") = nb::module_::import_("scipy.signal");
    m.attr("sharedkit") = nb::module_::import_("corvane.algorithm.sharedkit");
    m.attr("Sequence") = nb::module_::import_("typing").attr("Sequence");
    nb::module_ abc = nb::module_::import_("abc");
    m.attr("ABCMeta") = abc.attr("ABCMeta");
    m.attr("abstractmethod") = abc.attr("abstractmethod");

    // Abstract base, registered below as the virtual base of the model classes.
    // abstractmethod marks a plain function object, so the method is one.
    nb::dict fns;
    fns["__name__"] = kModuleName;
    nb::module_::import_("builtins")
        .attr("exec")("def deltaU_sim(self, dU):\n"
                      "    \"\"\"One sample: the output deviation for the input deviation dU.\"\"\"\n",
                      fns);
    nb::dict ns;
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = "model";
    ns["__doc__"] = "Abstract single-input single-output process model.";
    ns["deltaU_sim"] = abc.attr("abstractmethod")(fns["deltaU_sim"]);
    nb::object model = abc.attr("ABCMeta")("model", nb::make_tuple(nb::handle((PyObject*) &PyBaseObject_Type)), ns);
    m.attr("model") = model;

    // -- models
    nb::class_<PyNoModel> no_model(m, "no_model", nb::dynamic_attr(), "A pair without effect: the output is always 0.0.");
    no_model.def(nb::init<>());
    no_model.def(
        "deltaU_sim",
        [](PyNoModel&, nb::handle dU) {
            (void) to_double(dU);
            return 0.0;
        },
        "dU"_a.none() = 0.0, "Converts dU to float and returns 0.0.");
    def_pickle<PyNoModel>(no_model, [](PyNoModel&) { return nb::none(); }, [](PyNoModel&, nb::handle) {});

    nb::class_<PyTfz> tfz(m, "tfz_model", nb::dynamic_attr(),
                          "Discrete transfer function num(z^-1)/den(z^-1) with a whole-sample dead time.");
    tfz.def(
        "__init__",
        [](PyTfz* p, nb::handle num, nb::handle den, nb::handle delay) {
            PyTfz t;
            build_tfz(t, num, den, delay);
            new (p) PyTfz(std::move(t));
        },
        "num"_a.none() = default_list({0, 1, 0.5}, true), "den"_a.none() = default_list({1, -1.5, 0.7}, true), "delay"_a.none() = 0);
    tfz.def(
        "deltaU_sim",
        [](PyTfz& t, nb::handle dU) {
            const double x = to_double(dU);
            t.check_usable();
            return make_float64(t.step(x));
        },
        "dU"_a.none(), "One sample: the output deviation (numpy float64) for the input deviation dU.");
    tfz.def(
        "reset_zi",
        [](PyTfz& t) {
            t.f.reset();
            t.fresh = true;
        },
        "Clear the filter state.");
    tfz.def_prop_ro("Gz_num", [](PyTfz& t) { return t.num; }, "Numerator coefficients, dead time included.");
    tfz.def_prop_ro("Gz_den", [](PyTfz& t) { return t.den; }, "Denominator coefficients.");
    tfz.def_prop_ro("_zi", [](PyTfz& t) { return t.zi(); }, "Filter state.");
    tfz_family<PyTfz>(tfz);

    nb::class_<PyTfs, PyTfz> tfs(m, "tfs_model", "Continuous transfer function with dead time, discretised once.");
    tfs.def(
        "__init__",
        [](PyTfs* p, nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
            PyTfs t;
            build_tfs(t, num, den, delay, Ts);
            new (p) PyTfs(std::move(t));
        },
        "num"_a.none() = default_list({0, 1}, true), "den"_a.none() = default_list({5, 1}, true), "delay"_a.none() = 0, "Ts"_a.none() = 1);
    tfz_family<PyTfs>(tfs);

    nb::class_<PyStp, PyTfz> stp(m, "stp_model", "Step-response model: a finite impulse response filter.");
    stp.def(
        "__init__",
        [](PyStp* p, nb::handle s) {
            PyStp t;
            build_stp(t, s);
            new (p) PyStp(std::move(t));
        },
        "stp"_a.none() = default_list({0.5, 1, 2, 3, 4, 5}, true));
    tfz_family<PyStp>(stp);

    nb::class_<PyStpxy, PyStp> stpxy(m, "stpxy_model", "Step-response model given by breakpoints (x, y).");
    stpxy.def(
        "__init__",
        [](PyStpxy* p, nb::handle x, nb::handle y) {
            PyStpxy t;
            build_stpxy(t, x, y);
            new (p) PyStpxy(std::move(t));
        },
        "x"_a.none() = default_list({1, 2, 3}, true), "y"_a.none() = default_list({10, 20, 30}, true));
    tfz_family<PyStpxy>(stpxy);

    g_types.no_model = (PyTypeObject*) no_model.ptr();
    g_types.tfz = (PyTypeObject*) tfz.ptr();
    g_types.tfs = (PyTypeObject*) tfs.ptr();
    g_types.stp = (PyTypeObject*) stp.ptr();
    g_types.stpxy = (PyTypeObject*) stpxy.ptr();
    for (nb::handle t : {no_model.ptr(), tfz.ptr(), tfs.ptr(), stp.ptr(), stpxy.ptr()}) model.attr("register")(t);

    m.def(
        "get_model_tags",
        [](nb::handle yu_model) {
            auto t = model_tags(yu_model);
            return nb::make_tuple(t.first, t.second);
        },
        "yu_model"_a.none(), "(cv_tag_list, mv_tag_list) of a model dictionary, each in order of first appearance.");

    // -- simulators
    nb::class_<PyMISO> miso(m, "MISOSimulator", nb::type_slots(miso_slots), "One CV as the sum of one model per MV.");
    miso.def(
        "__init__",
        [](PyMISO* p, nb::handle models, nb::handle inis) {
            new (p) PyMISO{nb::borrow(models), nb::borrow(inis)};
        },
        "model_list"_a.none(), "u_ini_list"_a.none());
    miso.def_prop_rw(
        "model_list", [](PyMISO& s) { return s.model_list; },
        [](PyMISO& s, nb::handle v) { s.model_list = nb::borrow(v); });
    miso.def_prop_rw(
        "u_ini_list", [](PyMISO& s) { return s.u_ini_list; },
        [](PyMISO& s, nb::handle v) { s.u_ini_list = nb::borrow(v); });
    miso.def(
        "one_step_sim", [](PyMISO& s, nb::handle u_list) { return miso_one_step(s, u_list); }, "u_list"_a.none(),
        "One sample: the CV deviation for the current MV values.");
    def_pickle<PyMISO>(
        miso, [](PyMISO& s) { return nb::make_tuple(s.model_list, s.u_ini_list); },
        [](PyMISO& s, nb::handle st) {
            if (!PyTuple_CheckExact(st.ptr()) || PyTuple_GET_SIZE(st.ptr()) != 2)
                raise(PyExc_ValueError, "invalid MISOSimulator state");
            s.model_list = nb::borrow(PyTuple_GET_ITEM(st.ptr(), 0));
            s.u_ini_list = nb::borrow(PyTuple_GET_ITEM(st.ptr(), 1));
        });
    g_types.miso = (PyTypeObject*) miso.ptr();

    nb::class_<PyMIMO> mimo(m, "MIMOSim", nb::type_slots(mimo_slots),
                            "Multi-input multi-output process simulator built from a model dictionary.\n"
                            "Call it once per sample with the MV values; it returns the CV values.");
    mimo.def(
        "__init__",
        [](PyMIMO* p, nb::handle pmd, nb::handle ini, nb::handle Ts) {
            PyMIMO s;
            build_mimo(s, pmd, ini, Ts);
            new (p) PyMIMO(std::move(s));
        },
        "process_model_dict"_a.none(), "ini_value_dict"_a.none() = nb::dict(), "Ts"_a.none() = 1);
    mimo.def(
        "__call__",
        [](nb::handle self, nb::handle u, nb::handle v) {
            PyMIMO& s = mimo_of(self);
            s.step(u, v);
            PyTypeObject* t = Py_TYPE(self.ptr());
            if (t == g_types.mimo || t == g_types.siso) {
                // Values just written are floats; a plain copy is then a deep copy.
                const Py_ssize_t ncv = PyDict_CheckExact(s.cv_simulators.ptr()) ? PyDict_GET_SIZE(s.cv_simulators.ptr()) : -1;
                if (ncv >= 0 && PyDict_GET_SIZE(s.y_dict.ptr()) == ncv && s.last_values_float) {
                    PyObject* c = PyDict_Copy(s.y_dict.ptr());
                    if (!c) raise_pending();
                    return nb::steal(c);
                }
                return deepcopy_flat(s.y_dict);
            }
            return self.attr("get_output_data_dict")();
        },
        "u_Value_Dict"_a.none() = nb::dict(), "v_Value_Dict"_a.none() = nb::dict(),
        "One sample: apply the MV values (and one-sample CV disturbances); returns the CV values.");
    mimo.def("reset", [](PyMIMO& s) { s.reset(); },
             "Inputs and outputs back to their initial values; model states are kept.");
    mimo.def(
        "get_process_tags",
        [](PyMIMO& s) {
            nb::list l;
            for (nb::handle t : s.cv_list) l.append(t);
            for (nb::handle t : s.mv_list) l.append(t);
            return l;
        },
        "cv_list followed by mv_list.");
    mimo.def("get_input_data_dict", [](PyMIMO& s) { return deepcopy_flat(s.u_dict); });
    mimo.def("get_output_data_dict", [](PyMIMO& s) { return deepcopy_flat(s.y_dict); });
    mimo.def("get_all_data_dict", [](PyMIMO& s) {
        nb::object d = deepcopy_flat(s.u_dict);
        d.attr("update")(deepcopy_flat(s.y_dict));
        return d;
    });
    mimo.def("get_cv_list", [](PyMIMO& s) { return deepcopy(s.cv_list); });
    mimo.def("get_mv_list", [](PyMIMO& s) { return deepcopy(s.mv_list); });
    mimo.def("get_model_dict", [](PyMIMO& s) { return deepcopy(s.process_model_dict); });
    mimo.def(
        "plot_model_stp",
        [](PyMIMO& s, nb::handle plotLen) {
            return this_module().attr("plot_model_stp")(s.process_model_dict, s.Ts, plotLen);
        },
        "plotLen"_a.none() = 300, "Plot the step responses of this simulator's model dictionary.");
    auto ro = [&](const char* name, nb::object PyMIMO::* field) {
        mimo.def_prop_ro(name, [field](PyMIMO& s) { return s.*field; });
    };
    ro("Ts", &PyMIMO::Ts);
    ro("process_model_dict", &PyMIMO::process_model_dict);
    ro("cv_list", &PyMIMO::cv_list);
    ro("mv_list", &PyMIMO::mv_list);
    ro("ini_value_dict", &PyMIMO::ini_value_dict);
    ro("yu_model_obj", &PyMIMO::yu_model_obj);
    ro("_u_dict", &PyMIMO::u_dict);
    ro("_y_dict", &PyMIMO::y_dict);
    ro("cv_simulators", &PyMIMO::cv_simulators);
    mimo_family<PyMIMO>(mimo);
    g_types.mimo = (PyTypeObject*) mimo.ptr();

    nb::class_<PySISO, PyMIMO> siso(m, "SISOSim", nb::type_slots(mimo_slots), "First-order loop with dead time: gain/(tao*s + 1), tags CV and MV.");
    siso.def(
        "__init__",
        [](PySISO* p, nb::handle gain, nb::handle tao, nb::handle delay, nb::handle Ts, nb::handle integralMark) {
            nb::dict entry, row, pmd, ini;
            nb::list num, den;
            num.append(0);
            num.append(gain);
            den.append(tao);
            den.append(1);
            entry["mode"] = "tf_s";
            entry["num_s"] = num;
            entry["den_s"] = den;
            entry["iodelay_s"] = delay;
            entry["IntegralMark"] = integralMark;
            row["MV"] = entry;
            pmd["CV"] = row;
            ini["CV"] = 0.0;
            ini["MV"] = 0.0;
            PySISO s;
            build_mimo(s, pmd, ini, Ts);
            new (p) PySISO(std::move(s));
        },
        "gain"_a.none(), "tao"_a.none(), "delay"_a.none() = 0, "Ts"_a.none() = 1, "integralMark"_a.none() = 0);
    mimo_family<PySISO>(siso);
    g_types.siso = (PyTypeObject*) siso.ptr();

    // -- tools
    m.def(
        "get_model_stp", [](nb::handle y, nb::handle Ts, nb::handle n) { return get_model_stp(y, Ts, n); },
        "yu_model"_a.none(), "Ts"_a.none() = 1, "length"_a.none() = 300,
        "Unit-step response of every (CV, MV) pair, each simulated alone from rest; flat responses are [].");
    m.def(
        "plot_model_stp", [](nb::handle y, nb::handle Ts, nb::handle n) { return plot_model_stp(y, Ts, n); },
        "yu_model"_a.none(), "Ts"_a.none() = 1, "plotLen"_a.none() = 300,
        "Draw the step responses, CVs in rows and MVs in columns; nothing when matplotlib is absent.");
    install_signatures(m);
}

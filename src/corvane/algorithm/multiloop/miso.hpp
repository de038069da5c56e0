// The MISO simulator and the per-sample machinery the simulators share:
// validation of a sample's inputs, then the models' steps, then the commit.
#pragma once

namespace {

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
        const bool seqs =
            (PyList_CheckExact(ml) || PyTuple_CheckExact(ml)) && (PyList_CheckExact(il) || PyTuple_CheckExact(il));
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
        const size_t n =
            std::min((size_t) PySequence_Fast_GET_SIZE(models.ptr()), (size_t) PySequence_Fast_GET_SIZE(inis.ptr()));
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
    size_t begin, end;  // its items, when it does not run from a plan
    const Plan* plan;   // the MISOSimulator's plan, run directly on the fast path
    size_t n;           // number of plan items in use
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
            hold.push_back(nb::borrow(u[k]));
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
            // A model given a new state meanwhile keeps it (other length).
            if (states[i].first->f.state().size() != states[i].second.size()) continue;
            states[i].first->f.state_mut() = states[i].second;
            states[i].first->fresh = fresh[i];
        }
        ++g_model_generation;  // compiled plants may have cleared the flags for good
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
    ScratchLease<Scratch> lease;
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

}  // namespace

// The MIMO simulator: its state, construction, the per-sample step (the
// compiled path when it applies, else the general path) and the call.
#pragma once

namespace {

// Bumped by any change of a watched dict (a simulator's cv_simulators and
// ini_value_dict), so that compiled plants see it.
inline uint64_t g_dict_epoch = 0;
inline int g_dict_watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_dict_epoch;
    return 0;
}

inline uint64_t g_fast_token = 0;

// A simulator in its usual shape (the library's own models in the per-CV
// simulators that reset() built, numbers for initial values, text tags)
// compiled to the native plant core. Everything it points into is held, and
// it is checked against the simulator before every use.
inline uint64_t g_compile_count = 0;

struct Compiled {
    uint64_t id = ++g_compile_count;  // never reused
    corvane::PlantCore core;
    bool ok = false;
    uint64_t generation = 0, epoch = 0;
    PyObject *sims = nullptr, *ini = nullptr;
    std::vector<PyObject*> rows;       // per CV: MISOSimulator, model_list, u_ini_list
    std::vector<const PyMISO*> misos;  // per CV: the MISOSimulator's data
    std::vector<PyObject*> items;      // per CV: the lists' items, models then initial values
    std::vector<PyTfz*> filters;       // marked as stepped after a sample
    std::vector<nb::object> cv_keys, mv_keys, hold;
    std::vector<unsigned char> out_f64;  // the CV's value is a numpy float64
    std::vector<double> zero_v;
    // g_exposure when the lists were last found as compiled and held by
    // nobody else: until it moves on, nothing can have changed them.
    mutable uint64_t exposure = 0;
    // Every filter's fresh flag is cleared: a flag set again comes with a new
    // model generation, hence a new compilation.
    bool stepped = false;
};

// One prepared sample of the compiled path.
struct FastCall {
    std::vector<PyObject*> upd;  // new MV values by MV index (held below), or null
    std::vector<nb::object> held;
    std::vector<double> u, y;
    std::vector<nb::object> out;
    uint64_t token = 0;
};

struct PyMIMO;
// sim(u_Value_Dict={}, v_Value_Dict={}) through the instance's vectorcall slot.
struct MimoCall {
    PyObject* operator()(nb::handle self, PyMIMO& s, PyObject* (&a)[2]) const;
};

struct PyMIMO {
    vectorcallfunc vectorcall = instance_call<PyMIMO, 2, MimoCall>;  // the instance's vectorcall slot
    nb::object Ts, process_model_dict, cv_list, mv_list, ini_value_dict, yu_model_obj;
    nb::object u_dict, y_dict, cv_simulators;
    // MV tags and tag -> index, fixed at construction.
    std::vector<nb::object> mv_tags;
    nb::dict mv_index;
    bool last_values_float = false;  // the last step wrote only float/float64 values
    bool str_tags = false;           // every MV tag is exactly a str
    std::shared_ptr<Compiled> comp;  // shared: a call keeps the one it runs
    FastCall fast;
    // While nothing but this simulator holds _u_dict and _y_dict, the
    // compiled path keeps a sample's values here and writes them into the
    // dicts only when anything reads them (sync). The dicts then hold exact
    // str keys in the compiled order and plain numbers only, so writing them
    // runs no Python code.
    struct Pending {
        std::shared_ptr<Compiled> comp;  // the keys of the values below
        std::vector<nb::object> u;       // by MV index; null: nothing pending
        std::vector<double> y;           // last compiled outputs, by CV index
        std::vector<double> u_now;       // the values of _u_dict with u applied, by MV index
        std::vector<nb::object> y_obj;   // their objects, where already made
        bool u_any = false, y_dirty = false;
    } pend;
    bool lazy_ok = false;                             // the dicts were found plain (see Pending)
    const void *lazy_u = nullptr, *lazy_y = nullptr;  // the dicts lazy_ok was found for (compared only)
    // The dict the last call returned. Let go of by the caller and still
    // holding the pending output objects, it is filled in place and returned
    // again: nobody else can tell it from a new one.
    nb::object last_result;

    PyMIMO() = default;
    PyMIMO(PyMIMO&&) = default;
    PyMIMO& operator=(PyMIMO&& o) noexcept {
        // Fields are replaced one by one: the old objects are released after.
        PyMIMO old;
        swap_fields(old, *this);
        swap_fields(*this, o);
        return *this;
    }
    static void swap_fields(PyMIMO& a, PyMIMO& b) noexcept {
        using std::swap;
        swap(a.Ts, b.Ts);
        swap(a.process_model_dict, b.process_model_dict);
        swap(a.cv_list, b.cv_list);
        swap(a.mv_list, b.mv_list);
        swap(a.ini_value_dict, b.ini_value_dict);
        swap(a.yu_model_obj, b.yu_model_obj);
        swap(a.u_dict, b.u_dict);
        swap(a.y_dict, b.y_dict);
        swap(a.cv_simulators, b.cv_simulators);
        swap(a.mv_tags, b.mv_tags);
        swap(a.mv_index, b.mv_index);
        swap(a.last_values_float, b.last_values_float);
        swap(a.str_tags, b.str_tags);
        swap(a.comp, b.comp);
        swap(a.fast, b.fast);
        swap(a.pend, b.pend);
        swap(a.lazy_ok, b.lazy_ok);
        swap(a.lazy_u, b.lazy_u);
        swap(a.lazy_y, b.lazy_y);
        swap(a.last_result, b.last_result);
    }

    bool compiled_current() const;
    // Writes pending values into _u_dict and _y_dict: before anything reads them.
    void sync();
    // sync, before the dicts themselves are handed out: whatever is done to
    // them, the next compiled sample checks them again.
    void expose() {
        sync();
        lazy_ok = false;
    }
    void drop_pending() {
        Pending p;
        std::swap(p, pend);
        lazy_ok = false;
    }
    bool lazy_eligible(const Compiled& c);
    bool compile();
    // The compiled path: prepare validates and converts a sample without
    // running Python code or changing anything (false: not applicable);
    // commit then advances the plant and writes the values.
    bool fast_prepare(nb::handle u_values, nb::handle v_values);
    void fast_commit(uint64_t token);
    // The lazy compiled path once it is set up: nothing to check again but
    // the compilation. hot_step then advances the plant: upd[j] is the new
    // value of MV j (a plain number, already converted to u_new[j]) or null.
    // Neither runs Python code.
    bool hot_ready() const;
    // holders: how many references an output object may have and still be
    // refilled in place (2 while the last result holds it as well).
    void hot_step(const double* u_new, PyObject* const* upd, Py_ssize_t holders = 1);
    bool result_reusable() const;

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
        str_tags = true;
        for (const nb::object& t : mv_tags) str_tags = str_tags && PyUnicode_CheckExact(t.ptr());
        comp.reset();
    }

    // Index of the MV tag equal to key, or -1. The comparisons may run Python
    // code (even a __setstate__ of this simulator): tags and index are held.
    Py_ssize_t mv_position(PyObject* key) const {
        nb::object idx = mv_index;
        PyObject* v = PyDict_GetItemWithError(idx.ptr(), key);
        if (v) return PyLong_AsSsize_t(v);
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending();
            PyErr_Clear();
        }
        for (size_t j = 0; j < mv_tags.size(); ++j) {
            nb::object tag = mv_tags[j];
            if (compare(tag, key, Py_EQ)) return (Py_ssize_t) j;
        }
        return -1;
    }

    void reset() {
        sync();
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
        drop_pending();
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
    if (fast_prepare(u_values, v_values)) {
        fast_commit(fast.token);
        return;
    }
    if (PyErr_Occurred()) raise_pending();
    expose();  // written directly below
    static PyObject* one_step = PyUnicode_InternFromString("one_step_sim");
    ScratchLease<Scratch> lease;
    Scratch& sc = *lease.sc;
    std::optional<nb::python_error> v_error;

    if (!PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()) || !PyDict_CheckExact(cv_simulators.ptr()))
        raise(PyExc_TypeError, "MIMOSim state is not initialised");
    const size_t nmv = mv_tags.size();
    // Python code run by a caller's key may even replace this simulator's
    // state: the call works on the containers it started with.
    const nb::object u0 = u_dict, y0 = y_dict, sims0 = cv_simulators, ini0 = ini_value_dict;

    // 1. New MV values, not yet stored.
    sc.upd.assign(nmv, nullptr);
    if (PyDict_CheckExact(u_values.ptr())) {
        sc.hold.push_back(nb::borrow(u_values));
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(u_values.ptr(), &pos, &k, &v)) {
            // A lookup or comparison may run Python code that changes the
            // caller's dict: the key and the value are held first.
            sc.hold.push_back(nb::borrow(k));
            sc.hold.push_back(nb::borrow(v));
            Py_ssize_t j = i;
            if ((size_t) i >= nmv || mv_tags[(size_t) i].ptr() != k) {
                const Py_ssize_t n0 = PyDict_GET_SIZE(u_values.ptr());
                j = mv_position(k);
                if (PyDict_GET_SIZE(u_values.ptr()) != n0)
                    raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            }
            if (j >= 0 && (size_t) j < nmv) sc.upd[(size_t) j] = v;
            ++i;
        }
    } else {
        for (nb::handle kv : u_values.attr("items")()) {
            nb::object k = kv[0], v = kv[1];
            sc.hold.push_back(k);
            sc.hold.push_back(v);
            const Py_ssize_t j = mv_position(k.ptr());
            if (j >= 0 && (size_t) j < nmv) sc.upd[(size_t) j] = v.ptr();
        }
    }
    {
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        const size_t size0 = (size_t) PyDict_GET_SIZE(u0.ptr());
        bool in_order = size0 == nmv;
        PyObject* vals[64];
        std::vector<PyObject*> many;
        PyObject** dst = vals;
        if (size0 > 64) {
            many.resize(size0);
            dst = many.data();
        }
        in_order = in_order && mv_tags.size() == nmv;
        while (in_order && PyDict_Next(u0.ptr(), &pos, &k, &v)) {
            if (k != mv_tags[(size_t) i].ptr()) in_order = false;
            PyObject* n = sc.upd[(size_t) i];
            dst[i++] = n ? n : v;
        }
        nb::object source = u0;
        if (!in_order) {
            source = nb::steal(PyDict_Copy(u0.ptr()));
            if (!source.is_valid()) raise_pending();
            for (size_t j = 0; j < nmv && j < mv_tags.size(); ++j) {
                if (!sc.upd[j]) continue;
                nb::object tag = mv_tags[j];
                if (PyDict_SetItem(source.ptr(), tag.ptr(), sc.upd[j]) < 0) raise_pending();
            }
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
        // Lookups with a caller's dict may run Python code (a key's __eq__):
        // every object a row refers to is held.
        Py_ssize_t pos = 0;
        PyObject *k, *sim;
        PyObject* zero = float_zero();
        bool str_keys = true;
        while (PyDict_Next(sims0.ptr(), &pos, &k, &sim)) {
            str_keys = str_keys && PyUnicode_CheckExact(k);
            sc.hold.push_back(nb::borrow(k));
            sc.hold.push_back(nb::borrow(sim));
            sc.rows.push_back(Row{k, sim, nullptr, nullptr, 0, 0, nullptr, 0, true});
        }
        const bool v_dict = PyDict_CheckExact(v_values.ptr()), i_dict = PyDict_CheckExact(ini0.ptr());
        if (!v_dict || !i_dict || !str_keys) sc.go_slow();
        sc.hold.push_back(nb::borrow(v_values));
        const bool no_v = v_dict && PyDict_GET_SIZE(v_values.ptr()) == 0;
        auto lookup = [&](nb::handle mapping, PyObject* key) -> PyObject* {
            if (!PyDict_CheckExact(mapping.ptr())) {
                nb::object r = map_get(mapping, key, zero);
                sc.hold.push_back(r);
                return r.ptr();
            }
            PyObject* r = PyDict_GetItemWithError(mapping.ptr(), key);
            if (!r && PyErr_Occurred()) raise_pending();
            if (r) sc.hold.push_back(nb::borrow(r));
            return r ? r : zero;
        };
        for (size_t i = 0; i < sc.rows.size(); ++i) {
            Row& r = sc.rows[i];
            if (no_v) {
                r.v = zero;
            } else {
                try {
                    r.v = lookup(v_values, r.key);
                } catch (nb::python_error& e) {
                    // The CV's models advance before its disturbance is read:
                    // their errors come first, then this one.
                    v_error.emplace(std::move(e));
                    sc.rows.resize(i + 1);
                    sc.go_slow();
                    break;
                }
            }
            r.ini = lookup(ini0, r.key);
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
        for (size_t i = 0; i < sc.rows.size(); ++i) {
            Row& r = sc.rows[i];
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
            if (v_error && i + 1 == sc.rows.size()) {
                v_error->restore();
                raise_pending();
            }
            if (!acc.obj.is_valid() && simple_number(r.v, dv, fv) && simple_number(r.ini, di, fi)) {
                sc.out.push_back(number(corvane::cv_output(acc.v, dv, di), acc.f64 || fv || fi));
            } else {
                nb::object y = py_add(acc.value(), nb::handle(r.v));
                sc.out.push_back(py_add(y, nb::handle(r.ini)));
            }
        }
    });

    // 4. Commit (into the dicts held above: a key's hash or __eq__ may run
    // Python code, even code that replaces this simulator's state).
    last_values_float = !sc.slow;
    PyObject* ud = u0.ptr();
    PyObject* yd = y0.ptr();
    for (size_t j = 0; j < nmv && j < mv_tags.size(); ++j) {
        if (!sc.upd[j]) continue;
        nb::object tag = mv_tags[j];
        if (PyDict_SetItem(ud, tag.ptr(), sc.upd[j]) < 0) raise_pending();
    }
    for (size_t i = 0; i < sc.rows.size(); ++i)
        if (PyDict_SetItem(yd, sc.rows[i].key, sc.out[i].ptr()) < 0) raise_pending();
}

struct PySISO : PyMIMO {};

PyMIMO& mimo_of(nb::handle self) {
    if (!(g_types.mimo ? PyObject_TypeCheck(self.ptr(), g_types.mimo) != 0 : nb::isinstance<PyMIMO>(self)))
        raise(PyExc_TypeError, "expected a MIMOSim, got %.200s", tp_name_of(self));
    if (!nb::inst_ready(self)) raise(PyExc_TypeError, "'%.200s' object is not initialised", tp_name_of(self));
    return *nb::inst_ptr<PyMIMO>(self);
}

// Shared empty dicts: the defaults of the call, never modified.
PyObject* empty_default() {
    static PyObject* d = PyDict_New();
    return d;
}

// The outputs of a lazy sample into d: all of them, or only those made anew
// here (the last result, which holds the others); the value objects are kept
// for the sync.
void put_outputs(PyMIMO& s, PyObject* d, bool all) {
    const Compiled& c = *s.pend.comp;
    for (size_t i = 0; i < s.pend.y.size(); ++i) {
        const bool made = !s.pend.y_obj[i].is_valid();
        if (made) s.pend.y_obj[i] = number(s.pend.y[i], c.out_f64[i]);
        if ((all || made) && PyDict_SetItem(d, c.cv_keys[i].ptr(), s.pend.y_obj[i].ptr()) < 0) raise_pending();
    }
}

// The outputs of a lazy sample as a new dict, equal to a copy of _y_dict
// once synced.
nb::object lazy_result(PyMIMO& s) {
    PyObject* d = PyDict_New();
    if (!d) raise_pending();
    nb::object r = nb::steal(d);
    if (!s.pend.comp || !s.pend.y_dirty) return nb::object();
    const size_t ncv = s.pend.y.size();
    if (s.pend.y_obj.size() != ncv || s.pend.comp->cv_keys.size() != ncv) return nb::object();
    put_outputs(s, d, true);
    return r;
}

// The largest plant the hot path takes (its MV values sit on the stack).
constexpr size_t kHotMvs = 32;

// A call on the lazy compiled path: exact dicts, no disturbance, every given
// MV value a plain number. False, with nothing changed, when the general
// step is needed.
bool hot_call(PyMIMO& s, PyObject* u, PyObject* v, bool reuse) {
    if (!PyDict_CheckExact(u) || !PyDict_CheckExact(v) || PyDict_GET_SIZE(v) != 0 || !s.hot_ready()) return false;
    const size_t nmv = s.mv_tags.size();
    if (nmv > kHotMvs) return false;
    double u_new[kHotMvs];
    PyObject* upd[kHotMvs];
    for (size_t j = 0; j < nmv; ++j) upd[j] = nullptr;
    Py_ssize_t pos = 0;
    size_t i = 0;
    PyObject *k, *x;
    while (PyDict_Next(u, &pos, &k, &x)) {
        Py_ssize_t j = -1;
        if (i < nmv && s.mv_tags[i].ptr() == k) {
            j = (Py_ssize_t) i;
        } else {
            // mv_index holds exact str keys only (str_tags): no Python code runs.
            if (!PyUnicode_CheckExact(k)) return false;
            PyObject* idx = PyDict_GetItemWithError(s.mv_index.ptr(), k);
            if (idx)
                j = PyLong_AsSsize_t(idx);
            else if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        if (j >= 0 && (size_t) j < nmv) {
            bool f64;
            if (!simple_number(x, u_new[j], f64)) return false;
            upd[j] = x;
        }
        ++i;
    }
    s.hot_step(u_new, upd, reuse ? 2 : 1);
    return true;
}

nb::object mimo_call(nb::handle self, PyMIMO& s, nb::handle u, nb::handle v) {
    PyTypeObject* t = Py_TYPE(self.ptr());
    const bool own = t == g_types.mimo || t == g_types.siso;
    const bool reuse = own && s.result_reusable();
    const bool hot = hot_call(s, u.ptr(), v.ptr(), reuse);
    if (!hot) s.step(u, v);
    if (own) {
        if (s.pend.y_dirty && s.lazy_ok) {
            if (hot && reuse) {
                // Outputs that could not be refilled (held elsewhere too) are new objects.
                put_outputs(s, s.last_result.ptr(), false);
                return s.last_result;
            }
            nb::object r = lazy_result(s);
            if (r.is_valid()) {
                s.last_result = r;
                return r;
            }
        }
        s.last_result.reset();
        s.sync();
        // Values just written are floats; a plain copy is then a deep copy.
        const Py_ssize_t ncv = PyDict_CheckExact(s.cv_simulators.ptr()) ? PyDict_GET_SIZE(s.cv_simulators.ptr()) : -1;
        if (ncv >= 0 && PyDict_CheckExact(s.y_dict.ptr()) && PyDict_GET_SIZE(s.y_dict.ptr()) == ncv &&
            s.last_values_float) {
            PyObject* c = PyDict_Copy(s.y_dict.ptr());
            if (!c) raise_pending();
            return nb::steal(c);
        }
        return deepcopy_flat(s.y_dict);
    }
    return self.attr("get_output_data_dict")();
}

PyObject* MimoCall::operator()(nb::handle self, PyMIMO& s, PyObject* (&a)[2]) const {
    nb::handle u = a[0] ? a[0] : empty_default(), v = a[1] ? a[1] : empty_default();
    return mimo_call(self, s, u, v).release().ptr();
}

}  // namespace

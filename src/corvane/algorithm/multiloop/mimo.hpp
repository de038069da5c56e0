// The MIMO simulator: the compiled plant path (the native plant core run on
// the simulator's own filters) and the general path for anything else.
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
struct Compiled {
    corvane::PlantCore core;
    bool ok = false;
    uint64_t generation = 0, epoch = 0;
    PyObject *sims = nullptr, *ini = nullptr;
    std::vector<PyObject*> rows;                 // per CV: MISOSimulator, model_list, u_ini_list
    std::vector<PyObject*> items;                // per CV: the lists' items, models then initial values
    std::vector<PyTfz*> filters;                 // marked as stepped after a sample
    std::vector<nb::object> cv_keys, mv_keys, hold;
    std::vector<unsigned char> out_f64;          // the CV's value is a numpy float64
    std::vector<double> zero_v;

};

// One prepared sample of the compiled path.
struct FastCall {
    std::vector<PyObject*> upd;     // new MV values by MV index (held below), or null
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
    }

    bool compiled_current() const;
    bool compile();
    // The compiled path: prepare validates and converts a sample without
    // running Python code or changing anything (false: not applicable);
    // commit then advances the plant and writes the values.
    bool fast_prepare(nb::handle u_values, nb::handle v_values);
    void fast_commit(uint64_t token);

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

// Items of a list or tuple, or null.
inline PyObject** seq_items(PyObject* o, Py_ssize_t& n) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return nullptr;
    n = PySequence_Fast_GET_SIZE(o);
    return PySequence_Fast_ITEMS(o);
}

bool PyMIMO::compiled_current() const {
    if (!comp) return false;
    const Compiled& c = *comp;
    if (c.generation != g_model_generation || c.epoch != g_dict_epoch || c.sims != cv_simulators.ptr() ||
        c.ini != ini_value_dict.ptr())
        return false;
    const size_t nmv = c.core.nmv;
    const PyObject* const* want = c.items.data();
    for (size_t i = 0, r = 0; i < c.core.ncv; ++i, r += 3) {
        PyObject* sim = c.rows[r];
        const PyMISO& m = *nb::inst_ptr<PyMISO>(sim);
        if (m.model_list.ptr() != c.rows[r + 1] || m.u_ini_list.ptr() != c.rows[r + 2]) return false;
        Py_ssize_t n1 = 0, n2 = 0;
        PyObject** a = seq_items(c.rows[r + 1], n1);
        PyObject** b = seq_items(c.rows[r + 2], n2);
        if ((size_t) n1 != nmv || (size_t) n2 != nmv) return false;
        for (size_t j = 0; j < nmv; ++j)
            if (a[j] != want[j] || b[j] != want[nmv + j]) return false;
        want += 2 * nmv;
    }
    return true;
}

// Runs no Python code: every lookup uses exact str keys in dicts whose keys
// are all exact str.
bool PyMIMO::compile() {
    comp.reset();
    if (!str_tags || !PyDict_CheckExact(cv_simulators.ptr()) || !PyDict_CheckExact(ini_value_dict.ptr())) return false;
    {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(ini_value_dict.ptr(), &pos, &k, &v))
            if (!PyUnicode_CheckExact(k)) return false;
    }
    const size_t nmv = mv_tags.size(), ncv = (size_t) PyDict_GET_SIZE(cv_simulators.ptr());
    Compiled c;
    c.core.resize(ncv, nmv);
    c.zero_v.assign(ncv, 0.0);
    c.hold.push_back(cv_simulators);
    c.hold.push_back(ini_value_dict);
    Py_ssize_t pos = 0;
    PyObject *key, *sim;
    size_t i = 0;
    while (PyDict_Next(cv_simulators.ptr(), &pos, &key, &sim)) {
        if (!PyUnicode_CheckExact(key) || Py_TYPE(sim) != g_types.miso || !nb::inst_ready(sim)) return false;
        const PyMISO& m = *nb::inst_ptr<PyMISO>(sim);
        Py_ssize_t n1 = 0, n2 = 0;
        PyObject** models = seq_items(m.model_list.ptr(), n1);
        PyObject** inis = seq_items(m.u_ini_list.ptr(), n2);
        if (!models || !inis || (size_t) n1 != nmv || (size_t) n2 != nmv) return false;
        c.rows.insert(c.rows.end(), {sim, m.model_list.ptr(), m.u_ini_list.ptr()});
        for (PyObject* o : {sim, m.model_list.ptr(), m.u_ini_list.ptr()}) c.hold.push_back(nb::borrow(o));
        bool row_f64 = false;
        for (size_t j = 0; j < nmv; ++j) {
            PyObject* mo = models[j];
            PyTfz* f = nullptr;
            if (Py_TYPE(mo) != g_types.no_model) {
                PyTypeObject* t = Py_TYPE(mo);
                if (t != g_types.tfz && t != g_types.tfs && t != g_types.stp && t != g_types.stpxy) return false;
                if (!nb::inst_ready(mo)) return false;
                f = filter_of(mo);
                if (!f->error.empty()) return false;
                c.filters.push_back(f);
                row_f64 = true;
            }
            c.core.links[i * nmv + j] = f ? &f->f : nullptr;
            c.items.push_back(mo);
            c.hold.push_back(nb::borrow(mo));
        }
        for (size_t j = 0; j < nmv; ++j) {
            double d;
            bool f64;
            if (!simple_number(inis[j], d, f64)) return false;
            if (i == 0)
                c.core.u_ini[j] = d;
            else if (std::memcmp(&c.core.u_ini[j], &d, sizeof d) != 0)
                return false;
            c.items.push_back(inis[j]);
            c.hold.push_back(nb::borrow(inis[j]));
        }
        PyObject* yi = PyDict_GetItemWithError(ini_value_dict.ptr(), key);
        if (!yi && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        double d = 0.0;
        bool f64 = false;
        if (yi && !simple_number(yi, d, f64)) return false;
        c.core.y_ini[i] = d;
        c.out_f64.push_back(row_f64 || f64);
        c.cv_keys.push_back(nb::borrow(key));
        ++i;
    }
    if (g_dict_watcher < 0 || (PyDict_Watch(g_dict_watcher, cv_simulators.ptr()) < 0 ||
                                PyDict_Watch(g_dict_watcher, ini_value_dict.ptr()) < 0)) {
        PyErr_Clear();
        return false;
    }
    c.sims = cv_simulators.ptr();
    c.ini = ini_value_dict.ptr();
    c.generation = g_model_generation;
    c.epoch = g_dict_epoch;
    c.ok = true;
    c.mv_keys = mv_tags;
    comp = std::make_shared<Compiled>(std::move(c));
    return true;
}

bool PyMIMO::fast_prepare(nb::handle u_values, nb::handle v_values) {
    if (!PyDict_CheckExact(u_values.ptr()) || !PyDict_CheckExact(v_values.ptr()) || PyDict_GET_SIZE(v_values.ptr()) != 0 ||
        !PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()))
        return false;
    if (!compiled_current() && !compile()) return false;
    const size_t nmv = comp->core.nmv;
    if (mv_tags.size() != nmv || (size_t) PyDict_GET_SIZE(u_dict.ptr()) != nmv) return false;
    FastCall& fc = fast;
    fc.upd.assign(nmv, nullptr);
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    while (PyDict_Next(u_values.ptr(), &pos, &k, &v)) {
        Py_ssize_t j = -1;
        if ((size_t) i < nmv && mv_tags[(size_t) i].ptr() == k) {
            j = i;
        } else {
            if (!PyUnicode_CheckExact(k)) return false;
            PyObject* idx = PyDict_GetItemWithError(mv_index.ptr(), k);
            if (idx) j = PyLong_AsSsize_t(idx);
            else if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        if (j >= 0 && (size_t) j < nmv) fc.upd[(size_t) j] = v;
        ++i;
    }
    fc.u.resize(nmv);
    pos = 0;
    i = 0;
    while (PyDict_Next(u_dict.ptr(), &pos, &k, &v)) {
        if (k != mv_tags[(size_t) i].ptr()) return false;
        PyObject* x = fc.upd[(size_t) i] ? fc.upd[(size_t) i] : v;
        bool f64;
        if (!simple_number(x, fc.u[(size_t) i], f64)) return false;
        ++i;
    }
    fc.held.clear();
    for (PyObject* x : fc.upd)
        if (x) fc.held.push_back(nb::borrow(x));
    fc.token = ++g_fast_token;
    return true;
}

void PyMIMO::fast_commit(uint64_t token) {
    if (fast.token != token || !comp) raise(PyExc_RuntimeError, "MIMOSim changed during the call");
    fast.token = 0;
    const std::shared_ptr<Compiled> keep = comp;
    Compiled& c = *keep;
    const size_t ncv = c.core.ncv;
    fast.y.resize(ncv);
    c.core.step(fast.u.data(), c.zero_v.data(), fast.y.data());
    for (PyTfz* f : c.filters) f->fresh = false;
    last_values_float = true;
    // From here Python code may run (an allocation's collection, a foreign
    // key's __eq__), even code that calls or replaces this simulator: the
    // call works on its own vectors and on held dicts and tags.
    std::vector<nb::object> out, held;
    std::vector<PyObject*> upd;
    out.swap(fast.out);
    held.swap(fast.held);
    upd.swap(fast.upd);
    std::vector<double> y;
    y.swap(fast.y);
    const nb::object ud = u_dict, yd = y_dict;
    out.clear();
    for (size_t i = 0; i < ncv; ++i) out.push_back(number(y[i], c.out_f64[i]));
    for (size_t j = 0; j < upd.size() && j < c.mv_keys.size(); ++j)
        if (upd[j] && PyDict_SetItem(ud.ptr(), c.mv_keys[j].ptr(), upd[j]) < 0) raise_pending();
    for (size_t i = 0; i < ncv; ++i)
        if (PyDict_SetItem(yd.ptr(), c.cv_keys[i].ptr(), out[i].ptr()) < 0) raise_pending();
    out.clear();
    held.clear();
    if (fast.out.capacity() == 0) fast.out.swap(out);
    if (fast.upd.capacity() == 0) fast.upd.swap(upd);
    if (fast.y.capacity() == 0) fast.y.swap(y);
    if (fast.held.capacity() == 0) fast.held.swap(held);
}

void PyMIMO::step(nb::handle u_values, nb::handle v_values) {
    if (fast_prepare(u_values, v_values)) {
        fast_commit(fast.token);
        return;
    }
    if (PyErr_Occurred()) raise_pending();
    static PyObject* one_step = PyUnicode_InternFromString("one_step_sim");
    ScratchLease lease;
    Scratch& sc = *lease.sc;
    std::optional<nb::python_error> v_error;

    if (!PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()) ||
        !PyDict_CheckExact(cv_simulators.ptr()))
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
    if (!nb::isinstance<PyMIMO>(self)) raise(PyExc_TypeError, "expected a MIMOSim, got %.200s", tp_name_of(self));
    if (!nb::inst_ready(self)) raise(PyExc_TypeError, "'%.200s' object is not initialised", tp_name_of(self));
    return *nb::inst_ptr<PyMIMO>(self);
}

// Shared empty dicts: the defaults of the call, never modified.
PyObject* empty_default() {
    static PyObject* d = PyDict_New();
    return d;
}

nb::object mimo_call(nb::handle self, PyMIMO& s, nb::handle u, nb::handle v) {
    s.step(u, v);
    PyTypeObject* t = Py_TYPE(self.ptr());
    if (t == g_types.mimo || t == g_types.siso) {
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

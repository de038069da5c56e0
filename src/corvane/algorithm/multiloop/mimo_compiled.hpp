// The MIMO simulator's compiled path: a simulator in its usual shape (every
// model the library's own, plain containers) compiled onto the native plant
// core, the checks that it is still current, and the lazy write-back of the
// values it keeps natively into _u_dict/_y_dict.
#pragma once

namespace {

// Items of a list or tuple, or null.
inline PyObject** seq_items(PyObject* o, Py_ssize_t& n) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return nullptr;
    n = PySequence_Fast_GET_SIZE(o);
    return PySequence_Fast_ITEMS(o);
}

inline bool PyMIMO::compiled_current() const {
    if (!comp) return false;
    const Compiled& c = *comp;
    if (c.generation != g_model_generation || c.epoch != g_dict_epoch || c.sims != cv_simulators.ptr() ||
        c.ini != ini_value_dict.ptr())
        return false;
    if (c.exposure == g_exposure) return true;
    const size_t nmv = c.core.nmv, ncv = c.core.ncv;
    const PyObject* const* want = c.items.data();
    PyObject* const* row = c.rows.data();
    const PyMISO* const* misos = c.misos.data();
    for (size_t i = 0; i < ncv; ++i, row += 3, want += 2 * nmv) {
        // Held lists or tuples (compile() checked), compared item by item:
        // a list may have been changed in place.
        PyObject *ml = row[1], *ul = row[2];
        if (misos[i]->model_list.ptr() != ml || misos[i]->u_ini_list.ptr() != ul ||
            (size_t) PySequence_Fast_GET_SIZE(ml) != nmv || (size_t) PySequence_Fast_GET_SIZE(ul) != nmv)
            return false;
        PyObject *const *a = PySequence_Fast_ITEMS(ml), *const *b = PySequence_Fast_ITEMS(ul);
        for (size_t j = 0; j < nmv; ++j)
            if (a[j] != want[j] || b[j] != want[nmv + j]) return false;
    }
    // Held only by their simulator (and its plan) and by this compilation:
    // nobody can change the lists until one is handed out again.
    bool alone = true;
    row = c.rows.data();
    for (size_t i = 0; i < ncv && alone; ++i, row += 3) {
        const PyMISO& m = *misos[i];
        for (int k = 1; k < 3; ++k) {
            const bool planned = m.planned && (k == 1 ? m.plan.models : m.plan.inis) == row[k];
            alone = alone && Py_REFCNT(row[k]) == 2 + (planned ? 1 : 0);
        }
    }
    if (alone) c.exposure = g_exposure;
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
        c.misos.push_back(&m);
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
            c.core.links[i * nmv + j] = f ? f->f.view() : corvane::FilterView{};
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
    if (!PyDict_CheckExact(u_values.ptr()) || !PyDict_CheckExact(v_values.ptr()) ||
        PyDict_GET_SIZE(v_values.ptr()) != 0 || !PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()))
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
            if (idx)
                j = PyLong_AsSsize_t(idx);
            else if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
        if (j >= 0 && (size_t) j < nmv) fc.upd[(size_t) j] = v;
        ++i;
    }
    fc.u.resize(nmv);
    if (lazy_ok && lazy_u == u_dict.ptr() && lazy_y == y_dict.ptr() && pend.comp == comp && pend.u_now.size() == nmv) {
        // The current values are known natively.
        for (size_t j = 0; j < nmv; ++j) {
            bool f64;
            if (!fc.upd[j])
                fc.u[j] = pend.u_now[j];
            else if (!simple_number(fc.upd[j], fc.u[j], f64))
                return false;
        }
    } else {
        pos = 0;
        i = 0;
        while (PyDict_Next(u_dict.ptr(), &pos, &k, &v)) {
            if (k != mv_tags[(size_t) i].ptr()) return false;
            PyObject* x = fc.upd[(size_t) i];
            if (!x && pend.u_any && (size_t) i < pend.u.size() && pend.u[(size_t) i].is_valid())
                x = pend.u[(size_t) i].ptr();
            if (!x) x = v;
            bool f64;
            if (!simple_number(x, fc.u[(size_t) i], f64)) return false;
            ++i;
        }
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
    Compiled& c = *comp;
    const size_t ncv = c.core.ncv;
    fast.y.resize(ncv);
    c.core.step(fast.u.data(), c.zero_v.data(), fast.y.data());
    if (!c.stepped) {
        for (PyTfz* f : c.filters) f->fresh = false;
        c.stepped = true;
    }
    last_values_float = true;
    if (lazy_eligible(c)) {
        // Nothing here runs Python code: the values wait in pend.
        for (size_t j = 0; j < fast.upd.size() && j < pend.u.size(); ++j)
            if (fast.upd[j]) {
                pend.u[j] = nb::borrow(fast.upd[j]);
                pend.u_any = true;
            }
        for (size_t i = 0; i < ncv; ++i) {
            pend.y[i] = fast.y[i];
            pend.y_obj[i].reset();
        }
        pend.u_now = fast.u;
        pend.y_dirty = true;
        std::vector<nb::object> held;
        held.swap(fast.held);
        held.clear();
        if (fast.held.capacity() == 0) fast.held.swap(held);
        return;
    }
    const std::shared_ptr<Compiled> keep = comp;
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
    sync();
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

[[gnu::always_inline]] inline bool PyMIMO::hot_ready() const {
    if (!lazy_ok || !comp || pend.comp != comp || lazy_u != u_dict.ptr() || lazy_y != y_dict.ptr() ||
        Py_REFCNT(u_dict.ptr()) != 1 || Py_REFCNT(y_dict.ptr()) != 1)
        return false;
    // pend was sized for this compilation (lazy_eligible), and a new tag set drops it.
    return mv_tags.size() == comp->core.nmv && compiled_current();
}

[[gnu::always_inline]] inline void PyMIMO::hot_step(const double* u_new, PyObject* const* upd, Py_ssize_t holders) {
    Compiled& c = *comp;
    const size_t nmv = c.core.nmv, ncv = c.core.ncv;
    for (size_t j = 0; j < nmv; ++j)
        if (upd[j]) pend.u_now[j] = u_new[j];
    c.core.step(pend.u_now.data(), c.zero_v.data(), pend.y.data());
    if (!c.stepped) {
        for (PyTfz* f : c.filters) f->fresh = false;
        c.stepped = true;
    }
    last_values_float = true;
    // What is let go here are plain numbers: their release runs no Python code.
    for (size_t j = 0; j < nmv; ++j)
        if (upd[j]) {
            pend.u[j] = nb::borrow(upd[j]);
            pend.u_any = true;
        }
    for (size_t i = 0; i < ncv; ++i)
        if (!refill_number(pend.y_obj[i].ptr(), pend.y[i], c.out_f64[i], holders)) pend.y_obj[i].reset();
    pend.y_dirty = true;
}

// The last result is let go of by the caller and holds the pending output
// objects, in the order of the compiled CV tags (exact str: no Python code).
inline bool PyMIMO::result_reusable() const {
    PyObject* r = last_result.ptr();
    if (!r || Py_REFCNT(r) != 1 || !PyDict_CheckExact(r) || !pend.comp || !pend.y_dirty || !lazy_ok) return false;
    const Compiled& c = *pend.comp;
    const size_t n = pend.y_obj.size();
    if ((size_t) PyDict_GET_SIZE(r) != n || c.cv_keys.size() != n) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (size_t i = 0; PyDict_Next(r, &pos, &k, &v); ++i)
        if (k != c.cv_keys[i].ptr() || v != pend.y_obj[i].ptr()) return false;
    return true;
}

bool PyMIMO::lazy_eligible(const Compiled& c) {
    if (!PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()) || Py_REFCNT(u_dict.ptr()) != 1 ||
        Py_REFCNT(y_dict.ptr()) != 1) {
        lazy_ok = false;
        return false;
    }
    if (lazy_ok && lazy_u == u_dict.ptr() && lazy_y == y_dict.ptr() && pend.comp.get() == &c) return true;
    sync();  // values of an earlier compilation: plain numbers into plain dicts
    lazy_ok = false;
    const size_t nmv = c.core.nmv, ncv = c.core.ncv;
    auto plain = [](PyObject* d, const std::vector<nb::object>& keys) {
        if ((size_t) PyDict_GET_SIZE(d) != keys.size()) return false;
        Py_ssize_t pos = 0;
        size_t i = 0;
        PyObject *k, *v;
        double x;
        bool f64;
        while (PyDict_Next(d, &pos, &k, &v))
            if (k != keys[i++].ptr() || !simple_number(v, x, f64)) return false;
        return true;
    };
    if (c.mv_keys.size() != nmv || c.cv_keys.size() != ncv || !plain(u_dict.ptr(), c.mv_keys) ||
        !plain(y_dict.ptr(), c.cv_keys))
        return false;
    pend.comp = comp;
    if (pend.comp.get() != &c) return false;
    pend.u_now.assign(nmv, 0.0);
    {
        Py_ssize_t pos = 0;
        size_t j = 0;
        PyObject *k, *v;
        bool f64;
        while (PyDict_Next(u_dict.ptr(), &pos, &k, &v) && j < nmv) simple_number(v, pend.u_now[j++], f64);
    }
    pend.u.assign(nmv, nb::object());
    pend.y.assign(ncv, 0.0);
    pend.y_obj.assign(ncv, nb::object());
    pend.u_any = pend.y_dirty = false;
    lazy_u = u_dict.ptr();
    lazy_y = y_dict.ptr();
    lazy_ok = true;
    return true;
}

void PyMIMO::sync() {
    if (!pend.u_any && !pend.y_dirty) return;
    // Taken out first: the values are written once, whatever a write runs.
    Pending p;
    p.comp = pend.comp;
    p.u.swap(pend.u);
    p.y = pend.y;
    p.y_obj.swap(pend.y_obj);
    p.u_any = pend.u_any;
    p.y_dirty = pend.y_dirty;
    pend.u.assign(p.u.size(), nb::object());
    pend.y_obj.assign(p.y_obj.size(), nb::object());
    pend.u_any = pend.y_dirty = false;
    if (!p.comp) return;
    const Compiled& c = *p.comp;
    const nb::object ud = u_dict, yd = y_dict;
    if (!PyDict_CheckExact(ud.ptr()) || !PyDict_CheckExact(yd.ptr())) return;
    if (p.u_any)
        for (size_t j = 0; j < p.u.size() && j < c.mv_keys.size(); ++j)
            if (p.u[j].is_valid() && PyDict_SetItem(ud.ptr(), c.mv_keys[j].ptr(), p.u[j].ptr()) < 0) raise_pending();
    if (p.y_dirty)
        for (size_t i = 0; i < p.y.size() && i < c.cv_keys.size(); ++i) {
            nb::object v = p.y_obj[i].is_valid() ? p.y_obj[i] : number(p.y[i], c.out_f64[i]);
            if (PyDict_SetItem(yd.ptr(), c.cv_keys[i].ptr(), v.ptr()) < 0) raise_pending();
        }
}

}  // namespace

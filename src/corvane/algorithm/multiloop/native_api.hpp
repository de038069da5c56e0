// Entry points of the simulator for other modules (the blended plant).
#pragma once

struct corvane::PlantSnapshot {
    struct Filt {
        PyTfz* f;
        size_t off, len;
        bool fresh;
    };
    struct Entry {
        PyObject *dict, *key, *value;
    };
    std::vector<nb::object> hold;
    std::vector<Filt> filts;
    std::vector<double> z;
    std::vector<Entry> entries;
    std::vector<std::pair<PyMIMO*, bool>> flags;

    void clear() {
        filts.clear();
        z.clear();
        entries.clear();
        flags.clear();
        std::vector<nb::object> drop;
        drop.swap(hold);
    }

    void save_dict(nb::handle d) {
        if (!PyDict_CheckExact(d.ptr())) return;
        hold.push_back(nb::borrow(d));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d.ptr(), &pos, &k, &v)) {
            hold.push_back(nb::borrow(k));
            hold.push_back(nb::borrow(v));
            entries.push_back(Entry{d.ptr(), k, v});
        }
    }

    // The filters a simulator's per-CV simulators run (plain lists and tuples
    // only: anything else is read by Python code during the step itself).
    void save(nb::handle sim) {
        PyMIMO& s = *nb::inst_ptr<PyMIMO>(sim);
        s.expose();
        hold.push_back(nb::borrow(sim));
        flags.emplace_back(&s, s.last_values_float);
        save_dict(s.u_dict);
        save_dict(s.y_dict);
        if (!PyDict_CheckExact(s.cv_simulators.ptr())) return;
        Py_ssize_t pos = 0;
        PyObject *k, *m;
        while (PyDict_Next(s.cv_simulators.ptr(), &pos, &k, &m)) {
            if (Py_TYPE(m) != g_types.miso || !nb::inst_ready(m)) continue;
            PyObject* ml = nb::inst_ptr<PyMISO>(m)->model_list.ptr();
            if (!PyList_CheckExact(ml) && !PyTuple_CheckExact(ml)) continue;
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(ml);
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* o = PySequence_Fast_ITEMS(ml)[i];
                PyTfz* f = filter_of(o);
                if (!f) continue;
                hold.push_back(nb::borrow(o));
                const auto& st = f->f.state();
                filts.push_back(Filt{f, z.size(), st.size(), f->fresh});
                z.insert(z.end(), st.begin(), st.end());
            }
        }
    }

    void restore() {
        for (size_t i = filts.size(); i-- > 0;) {
            auto st = filts[i].f->f.state_mut();
            if (st.size() != filts[i].len) continue;
            std::copy(z.begin() + (std::ptrdiff_t) filts[i].off,
                      z.begin() + (std::ptrdiff_t) (filts[i].off + filts[i].len), st.begin());
            filts[i].f->fresh = filts[i].fresh;
        }
        if (!filts.empty()) ++g_model_generation;  // compiled plants may have cleared the flags for good
        for (size_t i = entries.size(); i-- > 0;)
            if (PyDict_SetItem(entries[i].dict, entries[i].key, entries[i].value) < 0) PyErr_Clear();
        for (size_t i = flags.size(); i-- > 0;) flags[i].first->last_values_float = flags[i].second;
        clear();
    }
};

static_assert(sizeof(nb::object) == sizeof(PyObject*), "keys are handed out as PyObject*");

// The largest plant hot_step_all takes (its MV values sit on the stack).
constexpr size_t kBatchMvs = 64;

namespace {

template <class F>
int guarded(F&& f) {
    try {
        f();
        return 0;
    } catch (...) {
        set_error_from_current();
    }
    return -1;
}

corvane::PlantApi g_plant_api{
    corvane::kPlantApiVersion,
    nullptr,
    [](PyObject* sim, PyObject* u, PyObject* v) { return guarded([&] { mimo_of(sim).step(u, v); }); },
    [](PyObject* sim) -> PyObject* {
        PyObject* r = nullptr;
        if (guarded([&] {
                PyMIMO& s = mimo_of(sim);
                s.expose();
                r = s.y_dict.ptr();
            }) < 0)
            return nullptr;
        return r;
    },
    [] { return new corvane::PlantSnapshot(); },
    [](corvane::PlantSnapshot* s) { delete s; },
    [](corvane::PlantSnapshot* s, PyObject* sim) {
        return guarded([&] {
            mimo_of(sim);
            s->save(sim);
        });
    },
    [](corvane::PlantSnapshot* s) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        s->restore();
        PyErr_Restore(t, v, tb);
    },
    [](corvane::PlantSnapshot* s) { s->clear(); },
    [](PyObject* sim, PyObject* u, PyObject* v, unsigned long long* token) {
        int r = 0;
        if (guarded([&] {
                PyMIMO& s = mimo_of(sim);
                if (s.fast_prepare(u, v)) {
                    *token = s.fast.token;
                    r = 1;
                }
            }) < 0)
            return -1;
        return r;
    },
    [](PyObject* sim, unsigned long long token) { return guarded([&] { mimo_of(sim).fast_commit(token); }); },
    [](PyObject* sim) -> PyObject* {
        PyObject* r = nullptr;
        if (guarded([&] { r = mimo_of(sim).y_dict.ptr(); }) < 0) return nullptr;
        return r;
    },
    [](PyObject* sim, size_t* n, PyObject* const** keys, const double** y, const unsigned char** f64) -> int {
        if (!PyObject_TypeCheck(sim, g_types.mimo) || !nb::inst_ready(sim)) return 0;
        PyMIMO& s = *nb::inst_ptr<PyMIMO>(sim);
        if (!s.lazy_ok || !s.pend.y_dirty || !s.pend.comp || s.lazy_y != s.y_dict.ptr()) return 0;
        const Compiled& c = *s.pend.comp;
        if (c.cv_keys.size() != s.pend.y.size() || c.out_f64.size() != s.pend.y.size()) return 0;
        *n = s.pend.y.size();
        *keys = reinterpret_cast<PyObject* const*>(c.cv_keys.data());
        *y = s.pend.y.data();
        *f64 = c.out_f64.data();
        return 1;
    },
    [](PyObject* sim, unsigned long long* id, size_t* n, PyObject* const** keys) -> int {
        if (!corvane::native_plant(g_types.mimo, sim) || !nb::inst_ready(sim)) return 0;
        const PyMIMO& s = *nb::inst_ptr<PyMIMO>(sim);
        if (!s.hot_ready() || s.comp->core.nmv > kBatchMvs) return 0;
        *id = s.comp->id;
        *n = s.comp->mv_keys.size();
        *keys = reinterpret_cast<PyObject* const*>(s.comp->mv_keys.data());
        return 1;
    },
    [](PyObject* const* sims, const unsigned long long* ids, size_t n) -> int {
        for (size_t i = 0; i < n; ++i) {
            if (!corvane::native_plant(g_types.mimo, sims[i]) || !nb::inst_ready(sims[i])) return 0;
            const PyMIMO& s = *nb::inst_ptr<PyMIMO>(sims[i]);
            if (!s.hot_ready() || s.comp->core.nmv > kBatchMvs) return 0;  // larger plants take the general path
            if (s.comp->id != ids[i]) return -1;
        }
        return 1;
    },
    [](PyObject* const* sims, size_t n, const size_t* off, const size_t* tag, const double* vals,
       PyObject* const* objs) {
        for (size_t i = 0; i < n; ++i) {
            PyMIMO& s = *nb::inst_ptr<PyMIMO>(sims[i]);
            double u_new[kBatchMvs];
            PyObject* upd[kBatchMvs];
            for (size_t j = off[i], m = 0; j < off[i + 1]; ++j, ++m) {
                u_new[m] = vals[tag[j]];
                upd[m] = objs[tag[j]];
            }
            s.hot_step(u_new, upd);
        }
    },
};

}  // namespace

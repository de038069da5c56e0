// The native engine of a MIMO simulator: the simulator's per-CV simulators
// and models, as built, compiled onto the plant core. A sample on the engine
// runs no Python code: every model is the library's own, every value a plain
// number, every key an exact str.
//
// What the engine relies on: the per-CV simulators and initial values it was
// built from (a dict watcher notifies it of any change: it is built anew),
// the model and initial-value lists of every per-CV simulator (plain lists,
// which a holder may change in place) and every filter model's filter (the
// plant core steps views of them). Whatever may change these notifies the
// engine (Dependents): handing out a per-CV simulator's lists, a model's
// methods that assign or write its filter. Notified, the engine checks the
// lists item by item and the models' stamps before the next sample, and
// keeps doing so while anyone but it and the per-CV simulators holds a list.
// Anything else takes the simulator's general path.
//
// While nobody but the simulator holds its _u_dict and _y_dict, a sample's
// values wait in the engine (pending) and are written into the dicts before
// anything reads them (sync); the engine's u is then the simulator's current
// input. Otherwise every sample writes them through.
#pragma once

#include "../plantapi.hpp"
#include "miso.hpp"

#include <corvane/mimo.hpp>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace corvane::multiloop {

// Dict watchers: a change of a dict an engine was built from notifies it.
inline int engine_dict_event(PyDict_WatchEvent, PyObject* d, PyObject*, PyObject*) {
    Dependents::notify(d);
    return 0;
}

inline bool watch_dict(PyObject* d) {
    static int id = [] {
        const int i = PyDict_AddWatcher(engine_dict_event);
        if (i < 0) PyErr_Clear();
        return i;
    }();
    if (id < 0 || PyDict_Watch(id, d) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

class NativeEngine {
  public:
    // What other modules read (see plantapi.hpp): tags, last outputs and
    // their types, current inputs.
    size_t nmv = 0, ncv = 0;
    std::vector<nb::object> mv_keys, cv_keys;  // exact str
    std::vector<double> u, y;
    std::vector<unsigned char> y_f64;  // output types of the last sample (numpy float64 or float)

    NativeEngine(const NativeEngine&) = delete;
    NativeEngine& operator=(const NativeEngine&) = delete;
    ~NativeEngine() {
        for (const void* k : alive_keys_) Dependents::remove(k, &alive_);
        for (const void* k : trust_keys_) Dependents::remove(k, &trusted_);
    }

    // The engine of a simulator's containers as they are, or null where the
    // general path is needed. Runs no Python code and changes nothing.
    static std::unique_ptr<NativeEngine> build(nb::handle sims, nb::handle ini,
                                               const std::vector<nb::object>& mv_tags) {
        if (!str_keyed(sims.ptr()) || !str_keyed(ini.ptr())) return nullptr;
        for (const nb::object& t : mv_tags)
            if (!PyUnicode_CheckExact(t.ptr())) return nullptr;
        std::unique_ptr<NativeEngine> e(new NativeEngine());
        e->nmv = mv_tags.size();
        e->ncv = (size_t) PyDict_GET_SIZE(sims.ptr());
        e->core_.resize(e->ncv, e->nmv);
        Py_ssize_t pos = 0;
        PyObject *key, *sim;
        for (size_t i = 0; PyDict_Next(sims.ptr(), &pos, &key, &sim); ++i)
            if (!e->add_row(i, key, sim, ini.ptr())) return nullptr;
        e->mv_keys = mv_tags;
        e->u = e->core_.u_ini;
        e->y.assign(e->ncv, 0.0);
        e->y_f64 = e->row_f64_;
        e->v_.assign(e->ncv, 0.0);
        e->given_.assign(e->nmv, nullptr);
        e->u_new_.assign(e->nmv, 0.0);
        e->sims_ = nb::borrow(sims);
        e->ini_ = nb::borrow(ini);
        if (!watch_dict(sims.ptr()) || !watch_dict(ini.ptr())) return nullptr;
        for (PyObject* d : {sims.ptr(), ini.ptr()}) e->depend(d, e->alive_keys_, &e->alive_);
        for (const PyMISO* m : e->misos_) e->depend(m, e->trust_keys_, &e->trusted_);
        for (const PyTfz* f : e->filters_) e->depend(f, e->trust_keys_, &e->trusted_);
        e->trusted_ = false;
        return e;
    }

    // Whether the containers are still those the engine was built from: known
    // while nothing that could change them notified the engine since they were
    // last found so, else checked item by item. Runs no Python code.
    // The per-CV lists were handed out (to the collector's referents): checked
    // item by item again until nobody else holds them.
    void distrust() noexcept { trusted_ = false; }

    bool ready(nb::handle sims, nb::handle ini) noexcept {
        if (!alive_ || sims.ptr() != sims_.ptr() || ini.ptr() != ini_.ptr()) return false;
        if (trusted_) return true;
        if (!same_as_built()) return false;
        // Known from now on while only their per-CV simulators and this engine hold the lists.
        bool alone = true;
        for (PyObject* l : lists_) alone = alone && Py_REFCNT(l) == 2;
        trusted_ = alone;
        return true;
    }

  private:
    bool same_as_built() const noexcept {
        PyObject* const* want = items_.data();
        for (size_t i = 0; i < ncv; ++i, want += 2 * nmv) {
            PyObject *ml = misos_[i]->model_list.ptr(), *ul = misos_[i]->u_ini_list.ptr();
            if (ml != lists_[2 * i] || ul != lists_[2 * i + 1] || (size_t) PySequence_Fast_GET_SIZE(ml) != nmv ||
                (size_t) PySequence_Fast_GET_SIZE(ul) != nmv || !same_items(PySequence_Fast_ITEMS(ml), want, nmv) ||
                !same_items(PySequence_Fast_ITEMS(ul), want + nmv, nmv))
                return false;
        }
        for (size_t k = 0; k < filters_.size(); ++k)
            if (filters_[k]->stamp != stamps_[k]) return false;
        return true;
    }

    void depend(const void* key, std::vector<const void*>& keys, bool* flag) {
        keys.push_back(key);
        Dependents::add(key, flag);
    }

  public:
    // The MV values of a call by MV index: from its dict (exact str keys),
    // or from the dict's items read once for several plants; false where an
    // MV's value is not a plain number (the general path). Runs no Python code.
    bool take_mvs(PyObject* u_values) noexcept {
        if (!PyDict_CheckExact(u_values)) return false;
        for (size_t j = 0; j < nmv; ++j) given_[j] = nullptr;
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        bool f64;
        for (size_t i = 0; PyDict_Next(u_values, &pos, &k, &x); ++i) {
            if (!PyUnicode_CheckExact(k)) return false;  // comparing other keys could run Python code
            const size_t j = find_key(k, keys(mv_keys), nmv, i);
            if (j < nmv && !simple_number(x, u_new_[j], f64)) return false;
            if (j < nmv) given_[j] = x;
        }
        return true;
    }
    bool take_mvs(const StrItems& items) noexcept {
        for (size_t j = 0; j < nmv; ++j) given_[j] = nullptr;
        for (size_t i = 0; i < items.size(); ++i) {
            const size_t j = find_key(items.keys[i], keys(mv_keys), nmv, i);
            if (j < nmv && !items.plain[i]) return false;
            if (j < nmv) {
                given_[j] = items.values[i];
                u_new_[j] = items.numbers[i];
            }
        }
        return true;
    }

    // The disturbances of a call, by CV index (0.0 where none is given).
    bool take_disturbances(PyObject* v_values) noexcept {
        if (!PyDict_CheckExact(v_values)) return false;
        if (PyDict_GET_SIZE(v_values) == 0 && !disturbed_) return true;
        std::fill(v_.begin(), v_.end(), 0.0);
        std::copy(row_f64_.begin(), row_f64_.end(), y_f64.begin());
        disturbed_ = false;
        if (PyDict_GET_SIZE(v_values) == 0) return true;
        disturbed_ = true;  // v_ and y_f64 are made again at the next sample
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        bool f64;
        for (size_t g = 0; PyDict_Next(v_values, &pos, &k, &x); ++g) {
            if (!PyUnicode_CheckExact(k)) return false;
            const size_t i = find_key(k, keys(cv_keys), ncv, g);
            if (i < ncv && !simple_number(x, v_[i], f64)) return false;
            if (i < ncv) y_f64[i] = y_f64[i] || f64;
        }
        return true;
    }

    // The current MV values: the engine's own while its values wait (the
    // dicts are the simulator's alone), else read from _u_dict (which must
    // hold the MV tags in order and plain numbers). May write waiting values
    // into the dicts first; runs no other Python code.
    bool take_current(nb::handle u_dict, nb::handle y_dict) {
        if (wb_.holds(u_dict, y_dict) && wb_.open(u_dict, y_dict)) return true;
        if (!PyDict_CheckExact(u_dict.ptr()) || (size_t) PyDict_GET_SIZE(u_dict.ptr()) != nmv) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        for (size_t j = 0; PyDict_Next(u_dict.ptr(), &pos, &k, &x); ++j) {
            bool f64;
            if (k != mv_keys[j].ptr() || !simple_number(x, u[j], f64)) return false;
        }
        return true;
    }

    // Whether a sample's values will wait in the engine (nobody else holds
    // the dicts): a sample then writes nothing and runs no Python code. After
    // take_current.
    bool stage(nb::handle u_dict, nb::handle y_dict) { return wb_.open(u_dict, y_dict, &mv_keys, &cv_keys); }

    // One sample with the values taken above. Cannot fail.
    void step() noexcept {
        for (size_t j = 0; j < nmv; ++j)
            if (given_[j]) u[j] = u_new_[j];
        core_.step(u.data(), v_.data(), y.data());
        if (!stepped_) {  // the views step the filters past their own flag; a flag set again moves the stamp
            for (PyTfz* f : filters_) f->f.set_pristine(false);
            stepped_ = true;
        }
    }

    // The sample's values into the simulator's dicts: waiting while the dicts
    // are the simulator's alone, else written through. Writing may release
    // replaced values: the caller holds `self`.
    void commit(nb::handle u_dict, nb::handle y_dict) {
        if (stage(u_dict, y_dict)) return put_staged();
        // Written through: what is written is held, since a replaced value's
        // release may run Python code, even code that drops this engine.
        std::vector<nb::object> held{nb::borrow(u_dict), nb::borrow(y_dict)};
        for (size_t j = 0; j < nmv; ++j)
            if (given_[j]) held.insert(held.end(), {mv_keys[j], nb::borrow(given_[j])});
        const size_t ku = held.size();
        for (size_t i = 0; i < ncv; ++i) held.insert(held.end(), {cv_keys[i], number(y[i], y_f64[i])});
        for (size_t k = 2; k < held.size(); k += 2)
            if (PyDict_SetItem(held[k < ku ? 0 : 1].ptr(), held[k].ptr(), held[k + 1].ptr()) < 0) raise_pending();
    }

    // The sample's values waiting, where stage() found that they may.
    void put_staged() noexcept {
        for (size_t j = 0; j < nmv; ++j)
            if (given_[j]) wb_.put_u(j, given_[j]);
        for (size_t i = 0; i < ncv; ++i) wb_.put_y(i, y[i], y_f64[i]);
    }

    // The outputs of the last sample as a dict to return, while they wait;
    // null otherwise (copy _y_dict instead).
    nb::object pending_result() {
        if (!wb_.lags()) return nb::object();
        return fresh_dict(result_, keys(cv_keys), nullptr, ncv, y.data(), y_f64.data());
    }

    // The plant with filters of its own (a ready engine, after take_current).
    void copy_out(corvane::PlantCopy& c) const {
        c.core.resize(ncv, nmv);
        c.core.u_ini = core_.u_ini;
        c.core.y_ini = core_.y_ini;
        for (size_t k = 0, f = 0; k < core_.links.size(); ++k)
            if (core_.links[k].p) {
                c.core.model(k / nmv, k % nmv) = filters_[f++]->f;
                c.core.active[k] = 1;
            }
        c.u = u;
        c.y = y;
        c.y_f64 = row_f64_;
        c.mv_keys.assign(keys(mv_keys), keys(mv_keys) + nmv);
        c.cv_keys.assign(keys(cv_keys), keys(cv_keys) + ncv);
    }

    // A copy's filter states, outputs and given MV values (float objects)
    // taken over as the engine's last sample; false when the copy no longer
    // fits the engine. Writing may release replaced values.
    bool copy_in(const corvane::PlantCopy& c, PyObject* const* given, nb::handle u_dict, nb::handle y_dict) {
        if (c.core.ncv != ncv || c.core.nmv != nmv) return false;
        for (size_t k = 0, f = 0; k < core_.links.size(); ++k)
            if (core_.links[k].p &&
                (!c.core.active[k] || c.core.models[k].state().size() != filters_[f++]->f.state().size()))
                return false;
        for (size_t k = 0, f = 0; k < core_.links.size(); ++k)
            if (core_.links[k].p) {
                corvane::LFilter& mine = filters_[f++]->f;
                mine.state_mut() = c.core.models[k].state();
            }
        for (size_t j = 0; j < nmv; ++j) {
            given_[j] = given[j];
            if (given[j]) u[j] = c.u[j];
        }
        y = c.y;
        y_f64 = row_f64_;
        disturbed_ = false;
        commit(u_dict, y_dict);
        return true;
    }

    // Waiting values into the dicts; expose: before the dicts are handed out,
    // so that the next sample reads them again.
    void sync(nb::handle u_dict, nb::handle y_dict) { wb_.sync(u_dict, y_dict); }
    void expose(nb::handle u_dict, nb::handle y_dict) { wb_.sync(u_dict, y_dict, true); }

    // The dicts lag behind waiting values (see WriteBack).
    bool dicts_lag() const noexcept { return wb_.lags(); }

    int traverse(visitproc visit, void* arg) const {
        for (const nb::object& o : hold_) Py_VISIT(o.ptr());
        for (const auto* v : {&mv_keys, &cv_keys})
            for (const nb::object& o : *v) Py_VISIT(o.ptr());
        if (int r = wb_.traverse(visit, arg)) return r;
        Py_VISIT(sims_.ptr());
        Py_VISIT(ini_.ptr());
        Py_VISIT(result_.ptr());
        return 0;
    }

  private:
    NativeEngine() = default;

    // Row i from the per-CV simulator `sim` under `key`.
    bool add_row(size_t i, PyObject* key, PyObject* sim, PyObject* ini) {
        if (Py_TYPE(sim) != g_classes.miso || !nb::inst_ready(sim)) return false;
        const PyMISO& m = *nb::inst_ptr<PyMISO>(sim);
        PyObject *ml = m.model_list.ptr(), *ul = m.u_ini_list.ptr();
        for (PyObject* l : {ml, ul})
            if ((!PyList_CheckExact(l) && !PyTuple_CheckExact(l)) || (size_t) PySequence_Fast_GET_SIZE(l) != nmv)
                return false;
        bool f64 = false;
        for (size_t j = 0; j < nmv; ++j) {
            PyObject* mo = PySequence_Fast_ITEMS(ml)[j];
            if (Py_TYPE(mo) == g_classes.no_model) {
                core_.links[i * nmv + j] = corvane::FilterView{};
            } else if (g_classes.filter_model(Py_TYPE(mo)) && nb::inst_ready(mo)) {
                PyTfz* f = nb::inst_ptr<PyTfz>(mo);
                if (!f->error.empty()) return false;
                core_.links[i * nmv + j] = f->f.view();
                filters_.push_back(f);
                stamps_.push_back(f->stamp);
                f64 = true;
            } else {
                return false;
            }
            items_.push_back(mo);
        }
        for (size_t j = 0; j < nmv; ++j) {
            PyObject* x = PySequence_Fast_ITEMS(ul)[j];
            double d;
            bool xf;
            if (!simple_number(x, d, xf)) return false;
            if (i == 0)
                core_.u_ini[j] = d;
            else if (std::memcmp(&core_.u_ini[j], &d, sizeof d) != 0)  // one initial value per MV
                return false;
            items_.push_back(x);
        }
        PyObject* yi = PyDict_GetItemWithError(ini, key);  // str key, str-keyed dict: no Python code
        double d = 0.0;
        bool yf = false;
        if (!yi && PyErr_Occurred()) raise_pending();
        if (yi && !simple_number(yi, d, yf)) return false;
        core_.y_ini[i] = d;
        row_f64_.push_back(f64 || yf);
        misos_.push_back(&m);
        lists_.insert(lists_.end(), {ml, ul});
        for (PyObject* o : {sim, ml, ul}) hold_.push_back(nb::borrow(o));
        for (size_t k = items_.size() - 2 * nmv; k < items_.size(); ++k) hold_.push_back(nb::borrow(items_[k]));
        cv_keys.push_back(nb::borrow(key));
        return true;
    }

    static bool same_items(PyObject* const* a, PyObject* const* b, size_t n) noexcept {
        for (size_t j = 0; j < n; ++j)
            if (a[j] != b[j]) return false;
        return true;
    }

    static PyObject* const* keys(const std::vector<nb::object>& v) {
        static_assert(sizeof(nb::object) == sizeof(PyObject*));
        return reinterpret_cast<PyObject* const*>(v.data());
    }

    // Cleared by notifications: alive_ when a dict the engine was built from
    // changes (it is built anew), trusted_ when a per-CV simulator's lists may
    // have been handed out or a model's filter changed (checked again).
    bool alive_ = true, trusted_ = false;
    std::vector<const void*> alive_keys_, trust_keys_;
    nb::object sims_, ini_;
    corvane::PlantCore core_;
    std::vector<const PyMISO*> misos_;   // per CV, held in hold_
    std::vector<PyObject*> lists_;       // per CV: model_list, u_ini_list
    std::vector<PyObject*> items_;       // per CV: the models, then the initial values
    std::vector<PyTfz*> filters_;        // every filter model linked, and its stamp when linked:
    std::vector<std::uint64_t> stamps_;  // the views stay valid while the stamps stay the same
    bool stepped_ = false;               // the filters' pristine flags were cleared
    std::vector<nb::object> hold_;
    std::vector<unsigned char> row_f64_;  // per CV: the output type without a disturbance
    // One call's inputs.
    std::vector<PyObject*> given_;  // MV values given (borrowed from the call's dict), or null
    std::vector<double> u_new_, v_;
    bool disturbed_ = false;  // v_ holds disturbances (else zeros, and y_f64 the rows' types)
    WriteBack wb_;            // the sample's values waiting for the simulator's dicts
    nb::object result_;       // the last result handed out (str keys, numbers)
};

}  // namespace corvane::multiloop

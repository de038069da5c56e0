// The native engine of a MIMO simulator: the simulator's per-CV simulators
// and models, as built, compiled onto the plant core. A sample on the engine
// runs no Python code: every model is the library's own, every value a plain
// number, every key an exact str.
//
// What the engine relies on is checked before every sample: the per-CV
// simulators and initial values it was built from (dict watchers clear its
// one validity flag when either dict changes), and the model and initial-value
// lists of every per-CV simulator, item by item (they are plain lists a holder
// may change in place). Anything else takes the simulator's general path.
//
// While nobody but the simulator holds its _u_dict and _y_dict, a sample's
// values wait in the engine (pending) and are written into the dicts before
// anything reads them (sync); the engine's u is then the simulator's current
// input. Otherwise every sample writes them through.
#pragma once

#include "miso.hpp"

#include <corvane/mimo.hpp>

#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace corvane::multiloop {

class NativeEngine;

// Dict watchers of the engines: a change of a watched dict clears the
// validity of every engine built from it.
class EngineWatch {
  public:
    static bool watch(PyObject* d, NativeEngine* e) {
        if (id_ == -2) {
            id_ = PyDict_AddWatcher(on_event);
            if (id_ < 0) PyErr_Clear();
        }
        if (id_ < 0 || PyDict_Watch(id_, d) < 0) {
            PyErr_Clear();
            return false;
        }
        reg_.emplace(d, e);
        return true;
    }
    static void forget(PyObject* d, NativeEngine* e) {
        auto [a, b] = reg_.equal_range(d);
        for (auto it = a; it != b; ++it)
            if (it->second == e) {
                reg_.erase(it);
                return;
            }
    }

  private:
    static int on_event(PyDict_WatchEvent, PyObject* d, PyObject*, PyObject*);
    static inline int id_ = -2;  // -2: not added yet, -1: unavailable
    static inline std::unordered_multimap<PyObject*, NativeEngine*> reg_;
};

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
        if (watched_) {
            EngineWatch::forget(sims_.ptr(), this);
            EngineWatch::forget(ini_.ptr(), this);
        }
    }

    // The engine of a simulator's containers as they are, or null where the
    // general path is needed. Runs no Python code and changes nothing.
    static std::unique_ptr<NativeEngine> build(nb::handle sims, nb::handle ini, const std::vector<nb::object>& mv_tags) {
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
        for (size_t j = 0; j < e->nmv; ++j)
            if (PyDict_SetItem(e->mv_index_.ptr(), mv_tags[j].ptr(), nb::int_(j).ptr()) < 0) raise_pending();
        for (size_t i = 0; i < e->ncv; ++i)
            if (PyDict_SetItem(e->cv_index_.ptr(), e->cv_keys[i].ptr(), nb::int_(i).ptr()) < 0) raise_pending();
        e->u = e->core_.u_ini;
        e->y.assign(e->ncv, 0.0);
        e->y_f64 = e->row_f64_;
        e->v_.assign(e->ncv, 0.0);
        e->given_.assign(e->nmv, nullptr);
        e->u_new_.assign(e->nmv, 0.0);
        e->pending_u_.assign(e->nmv, nb::object());
        e->y_obj_.assign(e->ncv, nb::object());
        e->sims_ = nb::borrow(sims);
        e->ini_ = nb::borrow(ini);
        e->watched_ = EngineWatch::watch(sims.ptr(), e.get());
        if (!e->watched_ || !EngineWatch::watch(ini.ptr(), e.get())) return nullptr;
        return e;
    }

    void invalidate() noexcept { valid_ = false; }

    // Whether the containers are still those the engine was built from, item
    // by item. Runs no Python code.
    bool ready(nb::handle sims, nb::handle ini) const noexcept {
        if (!valid_ || sims.ptr() != sims_.ptr() || ini.ptr() != ini_.ptr()) return false;
        const PyObject* const* want = items_.data();
        for (size_t i = 0; i < ncv; ++i, want += 2 * nmv) {
            PyObject *ml = misos_[i]->model_list.ptr(), *ul = misos_[i]->u_ini_list.ptr();
            if (ml != lists_[2 * i] || ul != lists_[2 * i + 1] || (size_t) PySequence_Fast_GET_SIZE(ml) != nmv ||
                (size_t) PySequence_Fast_GET_SIZE(ul) != nmv)
                return false;
            PyObject *const *m = PySequence_Fast_ITEMS(ml), *const *v = PySequence_Fast_ITEMS(ul);
            for (size_t j = 0; j < nmv; ++j)
                if (m[j] != want[j] || v[j] != want[nmv + j]) return false;
        }
        for (const PyTfz* f : filters_)
            if (!f->usable()) return false;
        return true;
    }

    // The MV values of a call, by MV index: exact str keys and plain numbers,
    // else false (the general path). Runs no Python code.
    bool take_mvs(PyObject* u_values) noexcept {
        if (!PyDict_CheckExact(u_values)) return false;
        std::fill(given_.begin(), given_.end(), nullptr);
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        for (size_t i = 0; PyDict_Next(u_values, &pos, &k, &x); ++i) {
            const Py_ssize_t j = i < nmv && mv_keys[i].ptr() == k ? (Py_ssize_t) i : index_of(mv_index_, k);
            if (j == -2) return false;
            bool f64;
            if (j >= 0 && !simple_number(x, u_new_[(size_t) j], f64)) return false;
            if (j >= 0) given_[(size_t) j] = x;
        }
        return true;
    }

    // The disturbances of a call, by CV index (0.0 where none is given).
    bool take_disturbances(PyObject* v_values) noexcept {
        if (!PyDict_CheckExact(v_values)) return false;
        std::fill(v_.begin(), v_.end(), 0.0);
        std::copy(row_f64_.begin(), row_f64_.end(), y_f64.begin());
        if (PyDict_GET_SIZE(v_values) == 0) return true;
        if (!str_keyed(v_values)) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        while (PyDict_Next(v_values, &pos, &k, &x)) {
            const Py_ssize_t i = index_of(cv_index_, k);
            bool f64;
            if (i == -2 || (i >= 0 && !simple_number(x, v_[(size_t) i], f64))) return false;
            if (i >= 0) y_f64[(size_t) i] = y_f64[(size_t) i] || f64;
        }
        return true;
    }

    // The current MV values: the engine's own while its values are pending
    // and the dicts are the simulator's alone, else read from _u_dict (which
    // must hold the MV tags in order and plain numbers). May write pending
    // values into the dicts first; runs no other Python code.
    bool take_current(nb::handle u_dict, nb::handle y_dict) {
        if (lazy_) {
            if (exclusive(u_dict, y_dict)) return true;
            expose(u_dict, y_dict);
        }
        if (!PyDict_CheckExact(u_dict.ptr()) || (size_t) PyDict_GET_SIZE(u_dict.ptr()) != nmv) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        for (size_t j = 0; PyDict_Next(u_dict.ptr(), &pos, &k, &x); ++j) {
            bool f64;
            if (k != mv_keys[j].ptr() || !simple_number(x, u[j], f64)) return false;
        }
        return true;
    }

    // Whether a sample's values would wait in the engine (nobody else holds
    // the dicts): then a sample writes nothing and runs no Python code.
    bool stageable(nb::handle u_dict, nb::handle y_dict) const noexcept {
        if (lazy_) return exclusive(u_dict, y_dict);
        return exclusive_dicts(u_dict, y_dict) && keyed_numbers(u_dict.ptr(), mv_keys) &&
               keyed_numbers(y_dict.ptr(), cv_keys);
    }

    // A sample's MV values given directly (null: kept), without disturbance.
    void give(const double* u_new, PyObject* const* given) noexcept {
        for (size_t j = 0; j < nmv; ++j) {
            given_[j] = given[j];
            if (given[j]) u_new_[j] = u_new[j];
        }
        std::fill(v_.begin(), v_.end(), 0.0);
        std::copy(row_f64_.begin(), row_f64_.end(), y_f64.begin());
    }

    // One sample with the values taken above. Cannot fail.
    void step() noexcept {
        for (size_t j = 0; j < nmv; ++j)
            if (given_[j]) u[j] = u_new_[j];
        core_.step(u.data(), v_.data(), y.data());
    }

    // The sample's values into the simulator's dicts: kept pending while the
    // dicts are the simulator's alone (as they were found), else written
    // through. Writing may release replaced values: the caller holds `self`.
    void commit(nb::handle u_dict, nb::handle y_dict) {
        if (!lazy_ && exclusive_dicts(u_dict, y_dict) && keyed_numbers(y_dict.ptr(), cv_keys)) {
            lazy_ = true;
            lazy_u_ = u_dict.ptr();
            lazy_y_ = y_dict.ptr();
        }
        if (lazy_) {
            for (size_t j = 0; j < nmv; ++j)
                if (given_[j]) pending_u_[j] = nb::borrow(given_[j]);
            for (size_t i = 0; i < ncv; ++i) y_obj_[i].reset();
            pending_ = true;
            return;
        }
        std::vector<nb::object> us, ys;
        for (size_t j = 0; j < nmv; ++j) us.push_back(given_[j] ? nb::borrow(given_[j]) : nb::object());
        for (size_t i = 0; i < ncv; ++i) ys.push_back(number(y[i], y_f64[i]));
        write(Writes{nb::borrow(u_dict), mv_keys, std::move(us), nb::borrow(y_dict), cv_keys, std::move(ys)});
    }

    // The outputs of the last sample as a new dict (keys in CV order), while
    // they are pending; null otherwise (copy _y_dict instead).
    nb::object pending_result() {
        if (!lazy_ || !pending_) return nb::object();
        for (size_t i = 0; i < ncv; ++i)
            if (!y_obj_[i].is_valid()) y_obj_[i] = number(y[i], y_f64[i]);
        static_assert(sizeof(nb::object) == sizeof(PyObject*));
        return fresh_dict(result_, reinterpret_cast<PyObject* const*>(cv_keys.data()),
                          reinterpret_cast<PyObject* const*>(y_obj_.data()), ncv);
    }

    // Pending values into the dicts they belong to.
    void sync(nb::handle u_dict, nb::handle y_dict, bool leave_lazy = false) {
        const bool ours = pending_ && u_dict.ptr() == lazy_u_ && y_dict.ptr() == lazy_y_;
        pending_ = false;
        if (leave_lazy) lazy_ = false;
        if (!ours) return;  // nothing pending, or the simulator's dicts were replaced
        std::vector<nb::object> us(nmv), ys(ncv);
        for (size_t j = 0; j < nmv; ++j) us[j] = std::move(pending_u_[j]);
        for (size_t i = 0; i < ncv; ++i)
            ys[i] = y_obj_[i].is_valid() ? std::move(y_obj_[i]) : number(y[i], y_f64[i]);
        write(Writes{nb::borrow(u_dict), mv_keys, std::move(us), nb::borrow(y_dict), cv_keys, std::move(ys)});
    }

    // sync, before the dicts are handed out: the next sample reads them again.
    void expose(nb::handle u_dict, nb::handle y_dict) { sync(u_dict, y_dict, true); }

    // The dicts lag behind pending values: they are not handed out (to the
    // collector's referents) meanwhile. They hold str keys and numbers only.
    bool dicts_lag() const noexcept { return lazy_ && pending_; }

    int traverse(visitproc visit, void* arg) const {
        for (const nb::object& o : hold_) Py_VISIT(o.ptr());
        for (const auto* v : {&pending_u_, &y_obj_, &mv_keys, &cv_keys})
            for (const nb::object& o : *v) Py_VISIT(o.ptr());
        Py_VISIT(sims_.ptr());
        Py_VISIT(ini_.ptr());
        Py_VISIT(result_.ptr());
        return 0;
    }

  private:
    friend class EngineWatch;
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
                core_.links[i * nmv + j] = nullptr;
            } else if (g_classes.filter_model(Py_TYPE(mo)) && nb::inst_ready(mo)) {
                PyTfz* f = nb::inst_ptr<PyTfz>(mo);
                if (!f->usable()) return false;
                core_.links[i * nmv + j] = &f->f;
                filters_.push_back(f);
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

    // Index of key in an index dict of exact str keys: -1 when absent, -2
    // when the key is not an exact str (a lookup could run Python code).
    static Py_ssize_t index_of(const nb::dict& index, PyObject* key) noexcept {
        if (!PyUnicode_CheckExact(key)) return -2;
        PyObject* at = PyDict_GetItemWithError(index.ptr(), key);
        if (!at) {
            if (!PyErr_Occurred()) return -1;
            PyErr_Clear();
            return -2;
        }
        return PyLong_AsSsize_t(at);
    }

    static bool exclusive_dicts(nb::handle u_dict, nb::handle y_dict) noexcept {
        return PyDict_CheckExact(u_dict.ptr()) && PyDict_CheckExact(y_dict.ptr()) && Py_REFCNT(u_dict.ptr()) == 1 &&
               Py_REFCNT(y_dict.ptr()) == 1;
    }
    bool exclusive(nb::handle u_dict, nb::handle y_dict) const noexcept {
        return u_dict.ptr() == lazy_u_ && y_dict.ptr() == lazy_y_ && exclusive_dicts(u_dict, y_dict);
    }

    // Values (null: none) to write under keys into dicts, all held: a
    // replaced value's release may run Python code, even code that drops
    // this engine, so a write is the last thing a method does.
    struct Writes {
        nb::object u_dict;
        std::vector<nb::object> mv_keys, us;
        nb::object y_dict;
        std::vector<nb::object> cv_keys, ys;
    };
    static void write(Writes w) {
        for (size_t j = 0; j < w.us.size(); ++j)
            if (w.us[j].is_valid() && PyDict_SetItem(w.u_dict.ptr(), w.mv_keys[j].ptr(), w.us[j].ptr()) < 0)
                raise_pending();
        for (size_t i = 0; i < w.ys.size(); ++i)
            if (PyDict_SetItem(w.y_dict.ptr(), w.cv_keys[i].ptr(), w.ys[i].ptr()) < 0) raise_pending();
    }

    bool valid_ = true;  // cleared by the watchers
    bool watched_ = false;
    nb::object sims_, ini_;
    corvane::PlantCore core_;
    std::vector<const PyMISO*> misos_;  // per CV, held in hold_
    std::vector<PyObject*> lists_;      // per CV: model_list, u_ini_list
    std::vector<PyObject*> items_;      // per CV: the models, then the initial values
    std::vector<PyTfz*> filters_;
    std::vector<nb::object> hold_;
    std::vector<unsigned char> row_f64_;  // per CV: the output type without a disturbance
    nb::dict mv_index_, cv_index_;        // tag -> index
    // One call's inputs.
    std::vector<PyObject*> given_;  // MV values given (borrowed from the call's dict), or null
    std::vector<double> u_new_, v_;
    // Pending write-back.
    bool lazy_ = false, pending_ = false;
    const PyObject *lazy_u_ = nullptr, *lazy_y_ = nullptr;  // the dicts found exclusive (compared only)
    std::vector<nb::object> pending_u_, y_obj_;
    nb::object result_;  // the last result handed out (str keys, numbers)
};

inline int EngineWatch::on_event(PyDict_WatchEvent ev, PyObject* d, PyObject*, PyObject*) {
    auto [a, b] = reg_.equal_range(d);
    for (auto it = a; it != b; ++it) it->second->invalidate();
    if (ev == PyDict_EVENT_DEALLOCATED) reg_.erase(d);
    return 0;
}

}  // namespace corvane::multiloop

// The MIMO simulator: its state, construction, reset, and the sample, on the
// native engine where it applies and on the general path otherwise.
#pragma once

#include "engine.hpp"

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace corvane::multiloop {

struct PyMIMO;
// sim(u_Value_Dict={}, v_Value_Dict={}) through the instance's vectorcall slot.
struct MimoCall {
    PyObject* operator()(nb::handle self, PyMIMO& s, PyObject* (&a)[2]) const;
};

struct PyMIMO {
    vectorcallfunc vectorcall = instance_call<PyMIMO, 2, MimoCall>;  // the instance's vectorcall slot
    nb::object Ts, process_model_dict, cv_list, mv_list, ini_value_dict, yu_model_obj;
    nb::object u_dict, y_dict, cv_simulators;
    // The objects above in the order of the state (pickling.hpp).
    std::array<nb::object*, 9> fields() {
        return {&Ts,     &process_model_dict, &cv_list, &mv_list, &ini_value_dict, &yu_model_obj, &u_dict,
                &y_dict, &cv_simulators};
    }
    // MV tags and tag -> index, fixed at construction.
    std::vector<nb::object> mv_tags;
    nb::dict mv_index;
    std::unique_ptr<NativeEngine> engine;

    PyMIMO() = default;
    PyMIMO(PyMIMO&&) = default;
    PyMIMO& operator=(PyMIMO&& o) noexcept {  // the old state is released after the new is in place
        PyMIMO old(std::move(*this));
        std::destroy_at(this);
        std::construct_at(this, std::move(o));
        return *this;
    }

    // Pending values of the engine into _u_dict and _y_dict: before anything
    // reads them. expose: before the dicts themselves are handed out.
    void sync() {
        if (engine) engine->sync(u_dict, y_dict);
    }
    void expose() {
        if (engine) engine->expose(u_dict, y_dict);
    }
    // The engine for the containers as they are now (built anew where they
    // changed), or null for the general path. An engine that no longer fits
    // goes to *retired, its values written out: its release may run Python
    // code, so the caller drops it once done with the new one. A client of
    // the plant interface, which holds borrowed pointers, passes no `retired`
    // and gets null instead (the simulator's own call builds anew).
    NativeEngine* ready_engine(std::unique_ptr<NativeEngine>* retired = nullptr) {
        if (engine && g_engines_on && engine->ready(cv_simulators, ini_value_dict)) return engine.get();
        if (engine) {
            if (!retired) return nullptr;
            engine->expose(u_dict, y_dict);
            *retired = std::move(engine);
        }
        if (!g_engines_on) return nullptr;
        engine = NativeEngine::build(cv_simulators, ini_value_dict, mv_tags);
        return engine.get();
    }
    void drop_engine() {
        if (!engine) return;
        std::unique_ptr<NativeEngine> old = std::move(engine);
        old->expose(u_dict, y_dict);
    }

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
        engine.reset();
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
        const std::vector<nb::object> tags = mv_tags;
        for (size_t j = 0; j < tags.size(); ++j)
            if (compare(tags[j], key, Py_EQ)) return (Py_ssize_t) j;
        return -1;
    }

    void reset() {
        nb::object zero = nb::float_(0.0);
        nb::dict u, y, sims;
        for (nb::handle mv : mv_list) u[mv] = map_get(ini_value_dict, mv, zero);
        for (nb::handle cv : cv_list) y[cv] = map_get(ini_value_dict, cv, zero);
        for (nb::handle cv : cv_list) {
            nb::list uini, models;
            nb::object row = checked(PyObject_GetItem(yu_model_obj.ptr(), cv.ptr()));
            for (nb::handle mv : mv_list) {
                uini.append(map_get(ini_value_dict, mv, zero));
                models.append(checked(PyObject_GetItem(row.ptr(), mv.ptr())));
            }
            sims[cv] = nb::handle((PyObject*) g_classes.miso)(models, uini);
        }
        std::unique_ptr<NativeEngine> old = std::move(engine);  // its pending values belong to the old dicts
        u_dict = u;
        y_dict = y;
        cv_simulators = sims;
    }

    // One sample: on the engine when it applies (true); false with nothing
    // changed otherwise.
    bool engine_step(PyObject* u_values, PyObject* v_values) {
        std::unique_ptr<NativeEngine> retired;  // released last
        NativeEngine* e = ready_engine(&retired);
        if (!e || !e->take_mvs(u_values) || !e->take_disturbances(v_values) || !e->take_current(u_dict, y_dict))
            return false;
        e->step();
        e->commit(u_dict, y_dict);  // may run Python code: the last use of e
        return true;
    }

    // One sample on the general path, the model dictionary's arithmetic in the
    // interpreter's terms. Everything is computed before anything is stored;
    // native filters that advanced are put back when a later step fails.
    void general_step(nb::handle u_values, nb::handle v_values);
};

// The MV values a call gives, by MV index (null: not given); keys and values
// are held in `hold`. Raises for a u_Value_Dict without items().
inline std::vector<PyObject*> given_mvs(const PyMIMO& s, nb::handle u_values, std::vector<nb::object>& hold) {
    std::vector<PyObject*> upd(s.mv_tags.size(), nullptr);
    nb::object items = u_values.attr("items")();
    hold.push_back(items);
    for (nb::handle kv : items) {  // iterated as the interpreter does: a change of the dict is an error
        nb::object k = kv[nb::int_(0)], v = kv[nb::int_(1)];
        hold.push_back(k);
        hold.push_back(v);
        const Py_ssize_t j = s.mv_position(k.ptr());
        if (j >= 0 && (size_t) j < upd.size()) upd[(size_t) j] = v.ptr();
    }
    return upd;
}

inline void PyMIMO::general_step(nb::handle u_values, nb::handle v_values) {
    static PyObject* one_step = PyUnicode_InternFromString("one_step_sim");
    drop_engine();  // the dicts are read and written directly below
    if (!PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()))
        raise(PyExc_TypeError, "MIMOSim state is not initialised");
    // Python code run by a caller's key may even replace this simulator's
    // state: the sample works on the containers it started with.
    const nb::object u0 = u_dict, y0 = y_dict, sims0 = cv_simulators, ini0 = ini_value_dict;
    const std::vector<nb::object> tags = mv_tags;
    std::vector<nb::object> hold;
    const std::vector<PyObject*> upd = given_mvs(*this, u_values, hold);

    // 1. The MV values with the given ones applied, not yet stored.
    nb::object now = checked(PyDict_Copy(u0.ptr()));
    for (size_t j = 0; j < upd.size(); ++j)
        if (upd[j] && PyDict_SetItem(now.ptr(), tags[j].ptr(), upd[j]) < 0) raise_pending();
    nb::list values = nb::borrow<nb::list>(checked(PyDict_Values(now.ptr())));

    // 2. Per CV: the models' deviations, its disturbance and its initial value.
    nb::object rows = checked(PySequence_List(sims0.attr("items")().ptr()));
    Rollback rb;
    for (nb::handle kv : rows) {
        nb::handle sim = kv[nb::int_(1)];
        if (Py_TYPE(sim.ptr()) == g_classes.miso && nb::inst_ready(sim)) rb.save_models(*nb::inst_ptr<PyMISO>(sim));
    }
    std::vector<std::pair<nb::object, nb::object>> out;
    nb::handle zero = float_zero();
    with_rollback(rb, [&] {
        for (nb::handle kv : rows) {
            nb::object key = kv[nb::int_(0)], sim = kv[nb::int_(1)];
            nb::object y = Py_TYPE(sim.ptr()) == g_classes.miso && nb::inst_ready(sim)
                               ? miso_one_step(*nb::inst_ptr<PyMISO>(sim), values)
                               : checked(PyObject_CallMethodOneArg(sim.ptr(), one_step, values.ptr()));
            nb::object v = map_get(v_values, key, zero);
            nb::object ini = map_get(ini0, key, zero);
            double dy, dv, di;
            bool fy, fv, fi;
            nb::object value;
            if (simple_number(y.ptr(), dy, fy) && simple_number(v.ptr(), dv, fv) && simple_number(ini.ptr(), di, fi))
                value = number(corvane::cv_output(dy, dv, di), fy || fv || fi);
            else
                value = py_add(py_add(y, v), ini);
            out.emplace_back(std::move(key), std::move(value));
        }
    });

    // 3. Commit, into the dicts held above.
    for (size_t j = 0; j < upd.size(); ++j)
        if (upd[j] && PyDict_SetItem(u0.ptr(), tags[j].ptr(), upd[j]) < 0) raise_pending();
    for (const auto& [key, value] : out)
        if (PyDict_SetItem(y0.ptr(), key.ptr(), value.ptr()) < 0) raise_pending();
}

struct PySISO : PyMIMO {};

inline nb::object mimo_call(nb::handle self, PyMIMO& s, nb::handle u, nb::handle v) {
    PyTypeObject* t = Py_TYPE(self.ptr());
    const bool own = t == g_classes.mimo || t == g_classes.siso;
    if (!s.engine_step(u.ptr(), v.ptr())) s.general_step(u, v);
    if (!own) return self.attr("get_output_data_dict")();
    if (s.engine) {
        nb::object r = s.engine->pending_result();
        if (r.is_valid()) return r;
    }
    return deepcopy_flat(s.y_dict);
}

inline PyObject* MimoCall::operator()(nb::handle self, PyMIMO& s, PyObject* (&a)[2]) const {
    nb::handle u = a[0] ? a[0] : empty_default(), v = a[1] ? a[1] : empty_default();
    return mimo_call(self, s, u, v).release().ptr();
}

inline PyMIMO build_mimo(nb::handle pmd, nb::handle ini, nb::handle Ts) {
    check_arg(pmd, &PyDict_Type, "process_model_dict");
    PyMIMO s;
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
    return s;
}

inline PyMIMO& mimo_of(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), g_classes.mimo))
        raise(PyExc_TypeError, "expected a MIMOSim, got %.200s", tp_name_of(self));
    return ready_inst<PyMIMO>(self);
}

}  // namespace corvane::multiloop

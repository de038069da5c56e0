// The MISO simulator, and the rollback of filter states that keeps a failing
// sample from leaving any native model advanced.
#pragma once

#include "models.hpp"

#include <utility>
#include <vector>

namespace corvane::multiloop {

struct PyMISO {
    nb::object model_list, u_ini_list;

    PyMISO() = default;
    PyMISO(nb::object models, nb::object inis) : model_list(std::move(models)), u_ini_list(std::move(inis)) {}
    PyMISO(PyMISO&&) = default;
    PyMISO& operator=(PyMISO&& o) noexcept {  // a state put in place (__setstate__)
        model_list = std::move(o.model_list);
        u_ini_list = std::move(o.u_ini_list);
        exposed();
        return *this;
    }

    // The lists are handed out (or replaced): whoever relies on their items
    // checks them again.
    void exposed() const { Dependents::notify(this); }
};

// Filter states saved before a sample, put back when a later part of it fails.
struct Rollback {
    struct Saved {
        PyTfz* f;
        std::vector<double> z;
        bool pristine;
    };
    std::vector<nb::object> hold;  // the models saved
    std::vector<Saved> saved;

    void save(nb::handle model) {
        PyTfz* f = filter_of(model.ptr());
        if (!f) return;
        hold.push_back(nb::borrow(model));
        saved.push_back(Saved{f, f->f.state(), f->f.pristine()});
    }
    // Every native model of a MISOSimulator's model_list (a list or tuple).
    void save_models(const PyMISO& m) {
        nb::object ml = m.model_list;
        if (!PyList_CheckExact(ml.ptr()) && !PyTuple_CheckExact(ml.ptr())) return;
        nb::object items = items_of(ml, "model_list must be iterable");
        for (nb::handle o : nb::borrow<nb::tuple>(items)) save(o);
    }
    void restore() noexcept {
        for (size_t i = saved.size(); i-- > 0;) {
            corvane::LFilter& f = saved[i].f->f;
            if (f.state().size() != saved[i].z.size()) continue;  // given a new state meanwhile: kept
            f.state_mut() = saved[i].z;
            f.set_pristine(saved[i].pristine);
            saved[i].f->touched();
        }
    }
};

// Runs f(); when it throws, the saved filter states are put back first.
template <class F>
void with_rollback(Rollback& rb, F&& f) {
    try {
        f();
    } catch (...) {
        rb.restore();
        throw;
    }
}

// One sample of a MISOSimulator: y = 0.0, then y += model.deltaU_sim(u - u_ini)
// for each model, initial value and MV value together, up to the shortest
// list. Native models are stepped in place; a failure puts them back.
inline nb::object miso_one_step(const PyMISO& m, nb::handle u_list) {
    static PyObject* name = PyUnicode_InternFromString("deltaU_sim");
    const nb::object models = items_of(m.model_list, "model_list must be iterable");
    const nb::object inis = items_of(m.u_ini_list, "u_ini_list must be iterable");
    const nb::object us = items_of(u_list, "u_list must be iterable");
    const size_t n = std::min({(size_t) PyTuple_GET_SIZE(models.ptr()), (size_t) PyTuple_GET_SIZE(inis.ptr()),
                               (size_t) PyTuple_GET_SIZE(us.ptr())});
    Rollback rb;
    Acc acc;
    with_rollback(rb, [&] {
        for (size_t k = 0; k < n; ++k) {
            PyObject* model = PyTuple_GET_ITEM(models.ptr(), (Py_ssize_t) k);
            PyObject* u = PyTuple_GET_ITEM(us.ptr(), (Py_ssize_t) k);
            PyObject* ui = PyTuple_GET_ITEM(inis.ptr(), (Py_ssize_t) k);
            if (PyTfz* f = filter_of(model)) {
                const double du = difference(u, ui);
                f->check_usable();
                rb.save(model);
                acc.add(f->step(du), true);
            } else if (Py_TYPE(model) == g_classes.no_model) {
                (void) difference(u, ui);
                acc.add(0.0, false);
            } else {
                nb::object du = checked(PyNumber_Subtract(u, ui));
                acc.add(checked(PyObject_CallMethodOneArg(model, name, du.ptr())));
            }
        }
    });
    return acc.value();
}

}  // namespace corvane::multiloop

// The sFilter object of corvane.algorithm.smoothing: its C++ layout and state,
// shared with modules that step a smoothing filter natively (inferential).
#pragma once

#include "bindkit.hpp"

#include <corvane/filter.hpp>

#include <algorithm>
#include <vector>

namespace corvane::bind {

struct SFilterObject {
    std::vector<double> b, a;  // discrete coefficients as discretised, ascending powers of z^-1
    corvane::LFilter f;

    void assign(std::vector<double> b_in, std::vector<double> a_in) {
        b = std::move(b_in);
        a = std::move(a_in);
        f.assign(b.data(), b.size(), a.data(), a.size());
    }

    double step(double x) noexcept { return f.step(x); }

    nb::tuple state() const {
        auto tup = [](const std::vector<double>& v) {
            PyObject* raw = PyTuple_New((Py_ssize_t) v.size());
            if (!raw) raise_pending();
            nb::tuple t = nb::steal<nb::tuple>(raw);
            for (size_t i = 0; i < v.size(); ++i) {
                PyObject* x = PyFloat_FromDouble(v[i]);
                if (!x) raise_pending();
                PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t) i, x);
            }
            return t;
        };
        return nb::make_tuple(tup(b), tup(a), tup(f.state()));
    }

    // Validates a state of state() and builds this (fresh) object from it.
    void restore(const StateView& sv) {
        std::vector<double> b_in = sv.reals(0), a_in = sv.reals(1), z = sv.reals(2);
        if (corvane::check_filter(b_in.size(), a_in.size(), a_in.empty() ? 0.0 : a_in[0]) != corvane::FilterError::none)
            sv.fail_at(1, PyExc_ValueError, "unusable coefficients");
        if (z.size() != std::max(b_in.size(), a_in.size()) - 1)
            sv.fail_at(2, PyExc_ValueError, "expected %zu items, got %zu", std::max(b_in.size(), a_in.size()) - 1,
                       z.size());
        assign(std::move(b_in), std::move(a_in));
        std::copy(z.begin(), z.end(), f.state_mut().begin());
    }
};

}  // namespace corvane::bind

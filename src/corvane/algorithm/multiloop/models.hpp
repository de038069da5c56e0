// Single-input process models and the rule that builds one from a model entry.
#pragma once

#include "common.hpp"

#include <corvane/filter.hpp>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvane::multiloop {

using namespace nb::literals;

struct PyNoModel {};

// Discrete transfer-function model; the base of every filter model.
struct PyTfz {
    corvane::LFilter f;
    nb::object num, den;  // Gz_num, Gz_den: read-only float64 arrays
    std::string error;    // why the filter refuses to run (raised at its first sample); empty: none
    // Moves whenever the filter is assigned anew (its block, hence any view
    // of it, changes), its state is written or it is marked pristine again;
    // engines holding a view of the filter are notified (see engine.hpp).
    std::uint64_t stamp = 0;

    void touched() {
        ++stamp;
        Dependents::notify(this);
    }

    PyTfz() = default;
    PyTfz(PyTfz&&) = default;
    PyTfz& operator=(PyTfz&& o) noexcept {  // a state put in place (__setstate__): the stamp moves on
        const std::uint64_t s = stamp;
        f = std::move(o.f);
        num = std::move(o.num);
        den = std::move(o.den);
        error = std::move(o.error);
        stamp = s;
        touched();
        return *this;
    }

    void check_usable() const {
        if (!error.empty()) raise(PyExc_ValueError, "%s", error.c_str());
    }

    // Coefficient arrays -> filter. Errors of the array interface propagate.
    void load(nb::object gz_num, nb::object gz_den) {
        Py_ssize_t ln = PyObject_Length(gz_num.ptr());
        if (ln < 0) raise_pending();
        Py_ssize_t ld = PyObject_Length(gz_den.ptr());
        if (ld < 0) raise_pending();
        // The lengths size the state: only a one-dimensional array has one.
        check_1d(gz_num, "b");
        check_1d(gz_den, "a");
        std::vector<double> b, a;
        std::string err;
        read_1d(gz_num, "b", b, err);
        if (err.empty()) read_1d(gz_den, "a", a, err);
        if (err.empty() &&
            corvane::check_filter(b.size(), a.size(), a.empty() ? 0.0 : a[0]) == corvane::FilterError::zero_a0)
            err = "BUG: filter coefficient a[0] == 0 not supported yet";
        corvane::LFilter nf;
        if (err.empty()) {
            nf.assign(b.data(), b.size(), a.data(), a.size());
        } else {
            // A filter of zeros with the state length reset_zi gives.
            std::vector<double> zb((size_t) ln, 0.0), za((size_t) ld, 1.0);
            nf.assign(zb.data(), zb.size(), za.data(), za.size());
        }
        f = std::move(nf);
        num = std::move(gz_num);
        den = std::move(gz_den);
        error = std::move(err);
        touched();
    }

    static void check_1d(nb::handle arr, const char* name) {
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_ND) < 0) raise_pending();
        const int ndim = view.ndim;
        PyBuffer_Release(&view);
        if (ndim != 1) {
            nb::object shape = nb::str(nb::getattr(arr, "shape"));
            raise(PyExc_ValueError, "Parameter %s is not a non-empty 1d array, since %s.shape=%s!", name, name,
                  nb::borrow<nb::str>(shape).c_str());
        }
    }

    static void read_1d(nb::handle arr, const char* name, std::vector<double>& out, std::string& err) {
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) raise_pending();
        const bool ok_type = view.itemsize == 8 && view.format && std::string(view.format) == "d";
        if (ok_type && view.ndim == 1 && view.shape[0] > 0) {
            const double* p = static_cast<const double*>(view.buf);
            out.assign(p, p + view.shape[0]);
        }
        PyBuffer_Release(&view);
        if (!ok_type) raise(PyExc_TypeError, "filter coefficients must be float64");
        if (out.empty()) {
            nb::object shape = nb::str(nb::getattr(arr, "shape"));
            err = std::string("Parameter ") + name + " is not a non-empty 1d array, since " + name +
                  ".shape=" + nb::borrow<nb::str>(shape).c_str() + "!";
        }
    }

    double step(double x) { return f.step(x); }

    // The state as the filter returns it: a list of integer zeros until a
    // sample has run (or a state was written) since it was last cleared.
    nb::object zi() const {
        const auto& z = f.state();
        if (f.pristine()) {
            nb::list l;
            for (size_t i = 0; i < z.size(); ++i) l.append(0);
            return l;
        }
        return float64_array(z.data(), z.size());
    }
};

struct PyTfs : PyTfz {};
struct PyStp : PyTfz {};
struct PyStpxy : PyStp {};

// The native filter model behind an object of one of the filter classes, or
// null for any other object (a model called through Python).
inline PyTfz* filter_of(PyObject* m) {
    if (!g_classes.filter_model(Py_TYPE(m))) return nullptr;
    return &ready_inst<PyTfz>(m);  // the subclasses add nothing: one layout
}

// Bytes a filter model holds per coefficient at most, across the arrays made
// while it is built (numpy's, the read-only copies, the filter's block).
inline constexpr size_t kBytesPerTap = 6 * sizeof(double);

// tfz construction: num as float array, delay leading zeros (numpy pad), den as float array.
inline PyTfz build_tfz(nb::handle num, nb::handle den, nb::handle delay) {
    nb::module_ np = numpy_mod();
    nb::handle float_t = (PyObject*) &PyFloat_Type;
    nb::object num_arr = np.attr("array")(num, "dtype"_a = float_t);
    if (PyIndex_Check(delay.ptr())) {  // a hostile dead time is refused before numpy pads it
        const Py_ssize_t d = PyNumber_AsSsize_t(delay.ptr(), nullptr);
        if (d == -1 && PyErr_Occurred()) raise_pending();
        if (d > 0)
            check_fits((unsigned long long) d + (unsigned long long) nb::len(num_arr), kBytesPerTap, "dead time");
    }
    nb::object padded =
        np.attr("pad")(num_arr, nb::make_tuple(delay, 0), "mode"_a = "constant", "constant_values"_a = 0);
    nb::object den_arr = np.attr("array")(den, "dtype"_a = float_t);
    PyTfz m;
    m.load(readonly_copy(padded), readonly_copy(den_arr));
    return m;
}

inline PyTfz build_tfs(nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
    nb::object c2d = this_module().attr("sharedkit").attr("c2d");
    nb::object res = c2d(num, den, delay, Ts);
    nb::object gd_num = res[0], gd_den = res[1];
    return build_tfz(gd_num, gd_den, nb::int_(0));
}

inline PyTfz build_stp(nb::handle stp) {
    nb::object num = numpy_mod().attr("diff")(stp, "prepend"_a = 0);
    return build_tfz(num, nb::list(nb::make_tuple(1.0)), nb::int_(0));
}

inline PyTfz build_stpxy(nb::handle x, nb::handle y) {
    Py_ssize_t lx = PyObject_Length(x.ptr());
    if (lx < 0) raise_pending();
    Py_ssize_t ly = PyObject_Length(y.ptr());
    if (ly < 0) raise_pending();
    if (lx != ly) raise_assertion();
    nb::module_ np = numpy_mod();
    nb::object stop = py_add(x[nb::int_(-1)], nb::int_(1));
    double span;
    if (as_double(stop.ptr(), span)) {  // arange's length, refused before it is made
        if (span > 0.0)
            check_fits(std::isfinite(span) ? (unsigned long long) std::ceil(span) : ~0ull, kBytesPerTap,
                       "step response");
    } else {
        PyErr_Clear();  // numpy reports what it cannot take
    }
    nb::object idx = np.attr("arange")(0, stop);
    nb::object stp = np.attr("interp")(idx, x, y).attr("tolist")();
    return build_stp(stp);
}

// The model of one (CV, MV) pair from its model entry.
inline nb::object build_pair_model(nb::handle entry, nb::handle Ts) {
    nb::object zero = nb::int_(0);
    nb::object int_mark = map_get(entry, "IntegralMark", zero);
    nb::str none_text("None");
    if (!truth(entry)) return nb::handle((PyObject*) g_classes.no_model)();
    nb::object mode = map_get(entry, "mode", none_text);
    auto is = [&](const char* name) { return compare(mode, nb::str(name), Py_EQ); };
    nb::module_ np = numpy_mod();
    if (is("None")) return nb::handle((PyObject*) g_classes.no_model)();
    if (is("tf_s")) {
        nb::object num = get_item(entry, "num_s");
        nb::object den = get_item(entry, "den_s");
        if (truth(int_mark)) den = np.attr("convolve")(den, nb::make_tuple(1, 0));
        nb::object delay = map_get(entry, "iodelay_s", zero);
        return nb::handle((PyObject*) g_classes.tfs)(num, den, delay, Ts);
    }
    if (is("tf_z")) {
        nb::object num = get_item(entry, "num_z");
        nb::object den = get_item(entry, "den_z");
        if (truth(int_mark)) den = np.attr("convolve")(den, nb::make_tuple(1, -1));
        nb::object delay = map_get(entry, "iodelay_z", zero);
        return nb::handle((PyObject*) g_classes.tfz)(num, den, delay);
    }
    if (is("stp")) {
        nb::object stp = get_item(entry, "stp");
        if (truth(int_mark)) stp = np.attr("cumsum")(stp);
        return nb::handle((PyObject*) g_classes.stp)(stp);
    }
    if (is("stpxy")) {
        nb::object x = get_item(entry, "x");
        nb::object y = get_item(entry, "y");
        if (truth(int_mark)) y = np.attr("cumsum")(y);
        return nb::handle((PyObject*) g_classes.stpxy)(x, y);
    }
    raise_assertion();
}

// (cv_tag_list, mv_tag_list) of a model dictionary.
inline std::pair<nb::list, nb::list> model_tags(nb::handle yu_model) {
    nb::list cvs = nb::borrow<nb::list>(checked(PySequence_List(yu_model.attr("keys")().ptr())));
    nb::list mvs;
    for (nb::handle inner : yu_model.attr("values")()) {
        for (nb::handle mv : inner.attr("keys")()) {
            int has = PySequence_Contains(mvs.ptr(), mv.ptr());
            if (has < 0) raise_pending();
            if (!has) mvs.append(mv);
        }
    }
    return {cvs, mvs};
}

}  // namespace corvane::multiloop

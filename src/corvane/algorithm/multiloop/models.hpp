// Single-input process models and the rule that builds one from a model entry.
#pragma once

namespace {

struct PyNoModel {};

// Discrete transfer-function model; the base of every filter model.
// Bumped whenever a live model may have been given new coefficients
// (__setstate__), so that cached plans see it.
inline uint64_t g_model_generation = 0;
// Bumped whenever a MISOSimulator's model_list or u_ini_list may have been
// handed out (attribute read, __getstate__, a traversal such as
// gc.get_referents): from then on the holder may change the list in place.
inline uint64_t g_exposure = 1;

struct PyTfz {
    corvane::LFilter f;
    nb::object num, den;  // Gz_num, Gz_den: read-only float64 arrays
    std::string error;    // why the filter refuses to run (raised at the first sample)
    bool fresh = true;    // state still as reset_zi left it

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
        if (err.empty()) {
            switch (corvane::check_filter(b.size(), a.size(), a.empty() ? 0.0 : a[0])) {
                case corvane::FilterError::zero_a0: err = "BUG: filter coefficient a[0] == 0 not supported yet"; break;
                default: break;  // empty arrays are caught by read_1d
            }
        }
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
        fresh = true;
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
        const int ndim = view.ndim;
        if (ok_type && ndim == 1 && view.shape[0] > 0) {
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

    void check_usable() const {
        if (!error.empty()) raise(PyExc_ValueError, "%s", error.c_str());
    }

    double step(double x) {
        fresh = false;
        return f.step(x);
    }

    nb::object zi() const {
        const auto& z = f.state();
        if (fresh) {
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

// A float64 copy handed out read-only for good: a read-only view of a
// read-only base, whose write flag cannot be set back.
nb::object readonly_copy(nb::handle arr) {
    nb::object base = numpy_mod().attr("array")(arr, "dtype"_a = "float64");
    base.attr("flags").attr("writeable") = false;
    nb::object view = base.attr("view")();
    view.attr("flags").attr("writeable") = false;
    return view;
}

// tfz construction: num as float array, delay leading zeros (numpy pad), den as float array.
void build_tfz(PyTfz& m, nb::handle num, nb::handle den, nb::handle delay) {
    nb::module_ np = numpy_mod();
    nb::handle float_t = (PyObject*) &PyFloat_Type;
    nb::object num_arr = np.attr("array")(num, "dtype"_a = float_t);
    nb::object padded =
        np.attr("pad")(num_arr, nb::make_tuple(delay, 0), "mode"_a = "constant", "constant_values"_a = 0);
    nb::object den_arr = np.attr("array")(den, "dtype"_a = float_t);
    m.load(readonly_copy(padded), readonly_copy(den_arr));
}

void build_tfs(PyTfz& m, nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
    nb::object c2d = this_module().attr("sharedkit").attr("c2d");
    nb::object res = c2d(num, den, delay, Ts);
    nb::object gd_num = res[0], gd_den = res[1];
    build_tfz(m, gd_num, gd_den, nb::int_(0));
}

void build_stp(PyTfz& m, nb::handle stp) {
    nb::object num = numpy_mod().attr("diff")(stp, "prepend"_a = 0);
    nb::list den;
    den.append(1.0);
    build_tfz(m, num, den, nb::int_(0));
}

void build_stpxy(PyTfz& m, nb::handle x, nb::handle y) {
    Py_ssize_t lx = PyObject_Length(x.ptr());
    if (lx < 0) raise_pending();
    Py_ssize_t ly = PyObject_Length(y.ptr());
    if (ly < 0) raise_pending();
    if (lx != ly) raise_assertion();
    nb::module_ np = numpy_mod();
    nb::object last = x[nb::int_(-1)];
    nb::object idx = np.attr("arange")(0, py_add(last, nb::int_(1)));
    nb::object stp = np.attr("interp")(idx, x, y).attr("tolist")();
    build_stp(m, stp);
}

// Native model behind an object, or null for a model called through Python.
PyTfz* filter_of(PyObject* m) {
    PyTypeObject* t = Py_TYPE(m);
    PyTfz* f = nullptr;
    if (t == g_types.tfz)
        f = nb::inst_ptr<PyTfz>(m);
    else if (t == g_types.tfs)
        f = nb::inst_ptr<PyTfs>(m);
    else if (t == g_types.stp)
        f = nb::inst_ptr<PyStp>(m);
    else if (t == g_types.stpxy)
        f = nb::inst_ptr<PyStpxy>(m);
    else
        return nullptr;
    if (!nb::inst_ready(m)) raise(PyExc_TypeError, "'%.200s' object is not initialised", t->tp_name);
    return f;
}

// The model of one (CV, MV) pair from its model entry.
nb::object build_pair_model(nb::handle entry, nb::handle Ts) {
    nb::object zero = nb::int_(0);
    nb::object int_mark = map_get(entry, "IntegralMark", zero);
    nb::str none_text("None");
    if (!truth(entry)) return nb::handle((PyObject*) g_types.no_model)();
    nb::object mode = map_get(entry, "mode", none_text);
    auto is = [&](const char* name) { return compare(mode, nb::str(name), Py_EQ); };
    nb::module_ np = numpy_mod();
    if (is("None")) return nb::handle((PyObject*) g_types.no_model)();
    if (is("tf_s")) {
        nb::object num = get_item(entry, "num_s");
        nb::object den = get_item(entry, "den_s");
        if (truth(int_mark)) den = np.attr("convolve")(den, nb::make_tuple(1, 0));
        nb::object delay = map_get(entry, "iodelay_s", zero);
        return nb::handle((PyObject*) g_types.tfs)(num, den, delay, Ts);
    }
    if (is("tf_z")) {
        nb::object num = get_item(entry, "num_z");
        nb::object den = get_item(entry, "den_z");
        if (truth(int_mark)) den = np.attr("convolve")(den, nb::make_tuple(1, -1));
        nb::object delay = map_get(entry, "iodelay_z", zero);
        return nb::handle((PyObject*) g_types.tfz)(num, den, delay);
    }
    if (is("stp")) {
        nb::object stp = get_item(entry, "stp");
        if (truth(int_mark)) stp = np.attr("cumsum")(stp);
        return nb::handle((PyObject*) g_types.stp)(stp);
    }
    if (is("stpxy")) {
        nb::object x = get_item(entry, "x");
        nb::object y = get_item(entry, "y");
        if (truth(int_mark)) y = np.attr("cumsum")(y);
        return nb::handle((PyObject*) g_types.stpxy)(x, y);
    }
    raise_assertion();
}

// (cv_tag_list, mv_tag_list) of a model dictionary.
std::pair<nb::list, nb::list> model_tags(nb::handle yu_model) {
    PyObject* keys = PySequence_List(yu_model.attr("keys")().ptr());
    if (!keys) raise_pending();
    nb::list cvs = nb::steal<nb::list>(keys);
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

}  // namespace

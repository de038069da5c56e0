// Binding helpers shared by every corvane.algorithm extension module.
#pragma once

#include <nanobind/nanobind.h>
#include <Python.h>

#include <cmath>
#include <cstring>
#include <array>
#include <exception>
#include <new>
#include <string>
#include <utility>

namespace corvane::bind {

namespace nb = nanobind;

// Raise the Python exception that is currently set.
[[noreturn]] inline void raise_pending() { throw nb::python_error(); }

template <class... Args>
[[noreturn]] inline void raise(PyObject* exc, const char* fmt, Args... args) {
    PyErr_Format(exc, fmt, args...);
    throw nb::python_error();
}

// AssertionError without a message.
[[noreturn]] inline void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

inline const char* tp_name_of(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// Exact-type parameter check: subclasses and None are refused. arg_type_ok
// returns false with the TypeError set; check_arg raises it.
inline bool arg_type_ok(PyObject* obj, PyTypeObject* expected, const char* name) {
    if (Py_TYPE(obj) == expected) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

inline void check_arg(nb::handle obj, PyTypeObject* expected, const char* name) {
    if (!arg_type_ok(obj.ptr(), expected, name)) raise_pending();
}

// Result check of a declared return type.
inline void check_result(nb::handle obj, PyTypeObject* expected) {
    if (Py_TYPE(obj.ptr()) != expected)
        raise(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, tp_name_of(obj));
}

// Number parameter: converted as the interpreter converts a real number to a
// double (float, int, __float__, __index__). as_double returns false with the
// interpreter's error set; to_double raises it.
inline bool as_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    out = PyLong_CheckExact(o) ? PyLong_AsDouble(o) : PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

inline double to_double(nb::handle h) {
    double v;
    if (!as_double(h.ptr(), v)) raise_pending();
    return v;
}

// The interpreter's round() of a float to an int, reduced to what callers
// compare against: the nearest integer, halves to even. NaN and infinities
// raise the interpreter's errors.
inline double round_half_even(double x) {
    if (std::isnan(x)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(x)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    return std::nearbyint(x);
}

// Rich comparison of two objects, as the interpreter's operators do.
inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) raise_pending();
    return r == 1;
}

// max(a, b) of the interpreter: b only when b > a.
inline nb::handle py_max(nb::handle a, nb::handle b) { return compare(b, a, Py_GT) ? b : a; }

// print(text) through sys.stdout, so that callers can capture it.
inline void print_line(const char* text) {
    nb::object out = nb::module_::import_("sys").attr("stdout");
    if (out.is_none()) return;
    out.attr("write")(nb::str(text));
    out.attr("write")(nb::str("\n"));
}

// Wall clock, read through the time module at call time (tests may freeze it).
inline double wall_time() { return to_double(nb::module_::import_("time").attr("time")()); }

// numpy.float64 scalars. The type is a subclass of float with the same layout,
// so a value is made by allocating the type and writing the double.
inline PyTypeObject* float64_type() {
    static PyTypeObject* tp = [] {
        nb::object t = nb::module_::import_("numpy").attr("float64");
        return (PyTypeObject*) t.release().ptr();
    }();
    return tp;
}

inline nb::object make_float64(double v) {
    PyTypeObject* tp = float64_type();
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) raise_pending();
    reinterpret_cast<PyFloatObject*>(o)->ob_fval = v;
    return nb::steal(o);
}

// The instance __dict__ of an object with dynamic attributes (or None).
inline nb::object instance_dict(nb::handle self) { return nb::getattr(self, "__dict__", nb::none()); }

// AttributeError for an attribute that does not exist yet.
[[noreturn]] inline void raise_no_attribute(nb::handle self, const char* name) {
    const char* full = tp_name_of(self);
    const char* dot = std::strrchr(full, '.');
    raise(PyExc_AttributeError, "'%.100s' object has no attribute '%.200s'", dot ? dot + 1 : full, name);
}

// Pickle/copy support: `get(T&)` gives a state object, `set(T&, state)`
// restores it on a default-constructed T. The instance __dict__ travels along.
template <class T, class Cls, class Get, class Set>
void def_pickle(Cls& cls, Get get, Set set) {
    cls.def("__getstate__", [get](nb::handle self) {
        T& t = nb::cast<T&>(self);
        nb::object d = instance_dict(self);
        if (!d.is_none()) d = nb::dict(nb::borrow<nb::dict>(d));
        return nb::make_tuple(get(t), d);
    });
    cls.def("__setstate__", [set](nb::handle self, nb::tuple st) {
        if (st.size() != 2) raise(PyExc_ValueError, "invalid state");
        T fresh;
        set(fresh, st[0]);
        T* p = nb::inst_ptr<T>(self);
        if (nb::inst_ready(self)) {
            *p = std::move(fresh);
        } else {
            new (p) T(std::move(fresh));
            nb::inst_mark_ready(self);
        }
        nb::handle d = st[1];
        if (!d.is_none()) {
            nb::object own = nb::getattr(self, "__dict__");
            own.attr("update")(d);
        }
    });
}


// ---------------------------------------------------------------------------
// Per-sample methods with the vectorcall convention.
//
// nanobind's generic dispatcher costs a few tens of nanoseconds per call; the
// per-sample entry points of the blocks bypass it with a METH_FASTCALL |
// METH_KEYWORDS method descriptor installed on the bound type. Arguments are
// matched to the parameter names (interned: pointer compare first) and handed
// over as a fixed array of borrowed references; a missing optional one is null.

inline void restore_builtin(const nb::builtin_exception& e) {
    using K = nb::exception_type;
    PyObject* t = PyExc_RuntimeError;
    switch (e.type()) {
        case K::stop_iteration: t = PyExc_StopIteration; break;
        case K::index_error: t = PyExc_IndexError; break;
        case K::key_error: t = PyExc_KeyError; break;
        case K::value_error: t = PyExc_ValueError; break;
        case K::type_error: t = PyExc_TypeError; break;
        case K::buffer_error: t = PyExc_BufferError; break;
        case K::import_error: t = PyExc_ImportError; break;
        case K::attribute_error: t = PyExc_AttributeError; break;
        default: break;
    }
    PyErr_SetString(t, e.what());
}

template <size_t N>
struct FastSignature {
    const char* func;                 // for messages: "run"
    std::array<const char*, N> names;  // parameter names, in order
    size_t required;                  // leading parameters without default
    PyObject* interned[N] = {};

    void intern() {
        for (size_t i = 0; i < N; ++i) interned[i] = PyUnicode_InternFromString(names[i]);
    }

    // Fills `out`; returns false with a TypeError set when the call does not fit.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) const {
        for (size_t i = 0; i < N; ++i) out[i] = nullptr;
        if ((size_t) nargs > N) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)", func, N, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t j = 0;
            while (j < N && interned[j] != key) ++j;
            if (j == N) {
                j = 0;
                while (j < N && PyUnicode_Compare(interned[j], key) != 0) ++j;
                if (PyErr_Occurred()) return false;
            }
            if (j == N) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
                return false;
            }
            if (out[j]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, names[j]);
                return false;
            }
            out[j] = args[nargs + k];
        }
        for (size_t i = 0; i < required; ++i) {
            if (!out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", func, names[i], i + 1);
                return false;
            }
        }
        return true;
    }
};

template <class T, size_t N, class Body>
struct FastHolder {
    static inline FastSignature<N>* sig = nullptr;
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* slots[N];
        if (!sig->bind(args, nargs, kwnames, slots)) return nullptr;
        if (!nb::inst_ready(self)) {
            PyErr_Format(PyExc_TypeError, "%s(): the object is not initialised", sig->func);
            return nullptr;
        }
        try {
            return Body{}(nb::handle(self), *nb::inst_ptr<T>(self), slots);
        } catch (nb::python_error& e) {
            e.restore();
        } catch (nb::builtin_exception& e) {
            restore_builtin(e);
        } catch (std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
        return nullptr;
    }
};

// Installs `name` on `cls` as a vectorcall method. `body(self, T&, PyObject* (&)[N])`
// returns a new reference (or throws); `text_signature` is the Python-style
// parameter list shown by help() and inspect, e.g. "($self, MODE, SP, FF=0.0)".
template <class T, size_t N, class Body>
void def_fast(nb::handle cls, const char* name, std::array<const char*, N> names, size_t required,
              const char* text_signature, const char* doc, Body body) {
    static_assert(std::is_empty_v<Body>, "def_fast takes a captureless body");
    (void) body;
    auto* sig = new FastSignature<N>{name, names, required};
    sig->intern();
    FastHolder<T, N, Body>::sig = sig;
    std::string* docstr = new std::string(std::string(name) + text_signature + "\n--\n\n" + doc);
    auto* def = new PyMethodDef{name, (PyCFunction) (void (*)(void)) FastHolder<T, N, Body>::call, METH_FASTCALL | METH_KEYWORDS,
                                docstr->c_str()};
    PyObject* descr = PyDescr_NewMethod((PyTypeObject*) cls.ptr(), def);
    if (!descr) raise_pending();
    int rc = PyObject_SetAttrString(cls.ptr(), name, descr);
    Py_DECREF(descr);
    if (rc) raise_pending();
}

}  // namespace corvane::bind

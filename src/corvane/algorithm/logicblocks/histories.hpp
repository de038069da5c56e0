// The timers' and the latch's histories (a 1-D int64 `Ut_array`, a 1-D bool
// `Q_array`): the standard arrays read and shifted natively, how a call puts
// one back after a failure, and the copies a pickle carries.
#pragma once

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#endif
#include "../bindkit.hpp"

#include <numpy/arrayobject.h>

#include <cmath>

namespace corvane::logicblocks {

namespace nb = nanobind;
using namespace corvane::bind;

// An exact int within +-2^62, so that the count arithmetic cannot overflow.
inline bool small_int(PyObject* o, long long& v) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !overflow && v > -(1LL << 62) && v < (1LL << 62);
}

// The value an int64 array stores for a plain int, bool or float (a float is
// truncated toward zero); false where numpy itself must decide (other types,
// out of range, not finite).
inline bool native_level(PyObject* o, long long& v) {
    if (PyLong_Check(o) && (PyLong_CheckExact(o) || PyBool_Check(o))) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return !overflow;
    }
    if (PyFloat_CheckExact(o)) {
        const double t = std::trunc(PyFloat_AS_DOUBLE(o));
        if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) return false;
        v = (long long) t;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Histories. `native_array` accepts an exact, aligned, writable, native-order
// 1-D ndarray of int64 (or bool) with at least min_len elements; such arrays
// are shifted in place here, exactly as dataStore would.

enum class Elem { Int64, Bool };

inline PyArrayObject* native_array(PyObject* o, Elem e, npy_intp min_len) {
    if (!o || !PyArray_CheckExact(o)) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || PyArray_DIM(a, 0) < min_len) return nullptr;
    if (!PyArray_ISWRITEABLE(a) || !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a)) return nullptr;
    const int t = PyArray_TYPE(a);
    if (e == Elem::Bool) return t == NPY_BOOL ? a : nullptr;
    return (t == NPY_LONG || t == NPY_LONGLONG) && PyArray_ITEMSIZE(a) == 8 ? a : nullptr;
}

template <class V>
V* elem(PyArrayObject* a, npy_intp i) {
    return reinterpret_cast<V*>(PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0));
}

// Shifts one place toward the old end and writes v at index 0; returns the
// element that dropped out, for `unshift`.
template <class V>
V shift_in(PyArrayObject* a, V v) {
    const npy_intp n = PyArray_DIM(a, 0);
    const V dropped = *elem<V>(a, n - 1);
    for (npy_intp i = n - 1; i > 0; --i) *elem<V>(a, i) = *elem<V>(a, i - 1);
    *elem<V>(a, 0) = v;
    return dropped;
}

template <class V>
void unshift(PyArrayObject* a, V dropped) {
    const npy_intp n = PyArray_DIM(a, 0);
    for (npy_intp i = 0; i + 1 < n; ++i) *elem<V>(a, i) = *elem<V>(a, i + 1);
    *elem<V>(a, n - 1) = dropped;
}

// How to put a history back as it was before this call's shift.
template <class V>
struct Undo {
    nb::object arr;
    Elem kind;
    bool native = false;
    V dropped{};
    nb::object snapshot;  // generic: a copy restored with arr[:] = snapshot

    // Takes the snapshot a generic shift needs (none for native arrays).
    void prepare_generic() {
        PyObject* c =
            is_instance_ndarray() ? PyObject_CallMethod(arr.ptr(), "copy", nullptr) : PySequence_List(arr.ptr());
        if (!c) {
            PyErr_Clear();  // nothing to restore from; the shift itself reports any error
            return;
        }
        snapshot = nb::steal(c);
    }
    bool is_instance_ndarray() const { return PyArray_Check(arr.ptr()); }

    // Restores the history, keeping the exception that is being raised.
    void run() noexcept {
        PyObject* exc = PyErr_GetRaisedException();
        if (native) {
            if (PyArrayObject* a = native_array(arr.ptr(), kind, 1)) unshift<V>(a, dropped);
        } else if (snapshot.is_valid()) {
            PyObject* all = PySlice_New(nullptr, nullptr, nullptr);
            if (!all || PyObject_SetItem(arr.ptr(), all, snapshot.ptr()) < 0) PyErr_WriteUnraisable(arr.ptr());
            Py_XDECREF(all);
        }
        PyErr_SetRaisedException(exc);
    }
};

// ---------------------------------------------------------------------------
// Pickle: the history travels as a copy, so a clone never shares it.

inline nb::object copy_history(nb::handle h, const char* name) {
    PyObject* c = nullptr;
    if (PyArray_CheckExact(h.ptr()))
        c = PyObject_CallMethod(h.ptr(), "copy", nullptr);
    else if (PyList_CheckExact(h.ptr()))
        c = PySequence_List(h.ptr());
    else
        raise(PyExc_TypeError, "cannot copy %s of type %.200s", name, tp_name_of(h));
    if (!c) raise_pending();
    return nb::steal(c);
}

// A history from a state: a 1-D ndarray or a list, copied.
inline nb::object history_from(const StateView& sv, Py_ssize_t i) {
    nb::object h = sv.item(i);
    if (PyArray_CheckExact(h.ptr())) {
        if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(h.ptr())) != 1)
            sv.fail_at(i, PyExc_ValueError, "expected a 1-D array");
    } else if (!PyList_CheckExact(h.ptr())) {
        sv.fail_at(i, PyExc_TypeError, "expected numpy.ndarray or list, got %.200s", tp_name_of(h));
    }
    return copy_history(h, "history");
}

}  // namespace corvane::logicblocks

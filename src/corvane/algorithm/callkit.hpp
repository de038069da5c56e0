// Calling a block object itself (`block(x)`) at the cost of a method call.
//
// A bound class gets a `__call__` whose instances carry the vectorcall entry
// point in their C++ state: T starts with `CallEntry entry;`. The type's
// tp_call serves callers that pass a tuple and a dict; an instance made by
// __new__ alone has no entry point yet, so the interpreter falls back to
// tp_call, which raises TypeError.
//
// Also: small_real(), the exact-arithmetic test for the blocks' fast paths.
#pragma once

#include "bindkit.hpp"

#include <cstddef>
#include <string>

namespace corvane::bind {

struct CallEntry {
    vectorcallfunc fn = nullptr;
};

template <class T, size_t N, class Body>
struct CallHolder {
    static PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        return FastHolder<T, N, Body>::call(self, args, PyVectorcall_NARGS(nargsf), kwnames);
    }
};

// tp_call: a tuple and a dict, handed to the instance's vectorcall entry.
template <class T>
PyObject* call_with_tuple(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "__call__(): the object is not initialised");
        return nullptr;
    }
    return PyVectorcall_Call(self, args, kwargs);
}

// Slot array: GC support for T plus tp_call.
template <class T>
inline PyType_Slot gc_call_slots[] = {{Py_tp_traverse, (void*) gc_traverse<T>},
                                      {Py_tp_clear, (void*) gc_clear<T>},
                                      {Py_tp_call, (void*) call_with_tuple<T>},
                                      {0, nullptr}};

// Installs the vectorcall entry for `cls` (created with gc_call_slots<T>).
// `body(self, T&, PyObject* (&)[N])` as for def_fast. Returns the entry point
// that T's constructor stores in `entry.fn`.
//
// `__call__` in the class dict becomes a method descriptor with the same body,
// so that help(), inspect and explicit `block.__call__(...)` see the real
// parameters (the slot wrapper would only show *args, **kwargs).
template <class T, size_t N, class Body>
vectorcallfunc def_call(nb::handle cls, std::array<const char*, N> names, size_t required,
                        const char* text_signature, const char* doc, Body body) {
    static_assert(std::is_empty_v<Body>, "def_call takes a captureless body");
    static_assert(std::is_standard_layout_v<CallEntry>);
    (void) body;
    auto* sig = new FastSignature<N>{"__call__", names, required};
    sig->intern();
    FastHolder<T, N, Body>::sig = sig;

    // Offset of T::entry inside an instance: measured on an uninitialised one.
    nb::object probe = nb::inst_alloc(cls);
    T* data = nb::inst_ptr<T>(probe);
    const Py_ssize_t off = (Py_ssize_t) ((char*) data - (char*) probe.ptr()) +
                           (Py_ssize_t) ((char*) &data->entry - (char*) data);
    probe.reset();

    auto* tp = (PyTypeObject*) cls.ptr();
    if (tp->tp_call != call_with_tuple<T>) raise(PyExc_RuntimeError, "def_call(): class lacks the call slot");
    tp->tp_vectorcall_offset = off;
    tp->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;

    // Written into the dict directly: assigning the attribute would replace tp_call.
    std::string* docstr = new std::string(std::string("__call__") + text_signature + "\n--\n\n" + doc);
    auto* def = new PyMethodDef{"__call__", (PyCFunction) (void (*)(void)) FastHolder<T, N, Body>::call,
                                METH_FASTCALL | METH_KEYWORDS, docstr->c_str()};
    nb::object descr = nb::steal(PyDescr_NewMethod(tp, def));
    if (!descr.is_valid()) raise_pending();
    nb::object dict = nb::steal(PyType_GetDict(tp));
    if (!dict.is_valid() || PyDict_SetItemString(dict.ptr(), "__call__", descr.ptr()) < 0) raise_pending();
    PyType_Modified(tp);
    return &CallHolder<T, N, Body>::call;
}

// A float, or an int small enough that every sum, difference and comparison
// of two such values is exact in double precision (|i| <= 2**52): the double
// arithmetic then gives what the interpreter's operators give.
inline bool small_real(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    constexpr long long lim = 1LL << 52;
    if (overflow || v > lim || v < -lim) return false;
    out = (double) v;
    return true;
}

}  // namespace corvane::bind

// corvane.algorithm.logicblocks: on-delay and off-delay timers and a reset-set
// latch in the function-block style (inputs and outputs are attributes with
// class-level defaults, one call() per sample).
//
// The standard histories (a 1-D int64 `Ut_array`, a 1-D bool `Q_array`) are read
// and shifted natively; anything else a caller assigns goes through the shared
// dataStore and the interpreter's own operators. A call that raises leaves the
// history and the output attributes as they were.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include "helperkit.hpp"

#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <corvane/latch.hpp>
#include <corvane/timers.hpp>

#include "blockapi.hpp"
#include "logicblocks/histories.hpp"

#include <climits>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;
using namespace corvane::logicblocks;

namespace {

PyObject* s_Ut;
PyObject* s_DT;
PyObject* s_ET;
PyObject* s_Yt;
PyObject* s_S;
PyObject* s_R;
PyObject* s_Q;
PyObject* s_nQ;

// arr[i], as the interpreter's subscript.
nb::object item_of(PyObject* arr, long i) {
    nb::object key = nb::steal(PyLong_FromLong(i));
    PyObject* v = PyObject_GetItem(arr, key.ptr());
    if (!v) raise_pending();
    return nb::steal(v);
}

nb::object getattr_of(PyObject* self, PyObject* name) {
    PyObject* v = PyObject_GetAttr(self, name);
    if (!v) raise_pending();
    return nb::steal(v);
}

// ---------------------------------------------------------------------------
// Attributes of a function block. For an exact instance of the block's class,
// while the class is unchanged (same nonzero version tag), the names are known to be
// plain data: no descriptor on the class and the generic getattr/setattr. Reads
// and writes then go straight to the instance __dict__ (a read falls back to the
// class default), which is what the generic path would do, without its class
// lookups. Anything else takes the generic path.
template <size_t N>
struct Attrs {
    const std::array<PyObject**, N> names;  // interned names
    PyTypeObject* type = nullptr;           // the class validated for
    unsigned int version = 0;
    std::array<nb::object, N> defaults{};  // class values (held: a caller's __eq__ may change the class)

    bool fast(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        if (tp == type && version != 0 && tp->tp_version_tag == version) return true;
        return validate(tp);
    }

    bool validate(PyTypeObject* tp) {
        version = 0;
        type = tp;
        if (tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_setattro != PyObject_GenericSetAttr ||
            tp->tp_dictoffset <= 0)
            return false;
        for (size_t i = 0; i < N; ++i) {
            PyObject* v = _PyType_Lookup(tp, *names[i]);  // assigns the version tag
            if (v && (Py_TYPE(v)->tp_descr_get || Py_TYPE(v)->tp_descr_set)) return false;
            defaults[i] = nb::borrow(v);
        }
        version = tp->tp_version_tag;  // 0: none could be assigned; stays on the generic path
        return true;
    }

    static PyObject* dict_of(PyObject* self) {
        return *reinterpret_cast<PyObject**>((char*) self + Py_TYPE(self)->tp_dictoffset);
    }

    nb::object get(PyObject* self, bool fast, size_t i) const {
        if (fast) {
            PyObject* out = nullptr;
            if (PyObject* d = dict_of(self)) {
                if (PyDict_GetItemRef(d, *names[i], &out) < 0) raise_pending();
                if (out) return nb::steal(out);
            }
            if (defaults[i].is_valid()) return defaults[i];
        }
        return getattr_of(self, *names[i]);
    }

    // Returns -1 with an exception set on failure.
    int set(PyObject* self, bool fast, size_t i, PyObject* v) const {
        if (fast) {
            PyObject* d = dict_of(self);
            if (d && PyDict_CheckExact(d)) return PyDict_SetItem(d, *names[i], v);
        }
        return PyObject_SetAttr(self, *names[i], v);
    }
};

// ---------------------------------------------------------------------------
// A number held as a Python object, with the interpreter's operators: the core
// timers run on it when DT, ET or the stored inputs are not plain integers.
struct PyNum {
    nb::object o;
    PyNum() = default;
    explicit PyNum(long long v) : o(nb::steal(PyLong_FromLongLong(v))) {
        if (!o.is_valid()) raise_pending();
    }
    explicit PyNum(nb::object x) : o(std::move(x)) {}
};

inline nb::object small(int v) { return nb::steal(PyLong_FromLong(v)); }
inline bool operator<(const PyNum& a, const PyNum& b) { return compare(a.o, b.o, Py_LT); }
inline bool operator<(const PyNum& a, int b) { return compare(a.o, small(b), Py_LT); }
inline bool operator>(const PyNum& a, const PyNum& b) { return compare(a.o, b.o, Py_GT); }
inline bool operator>(const PyNum& a, int b) { return compare(a.o, small(b), Py_GT); }
inline bool operator==(const PyNum& a, int b) { return compare(a.o, small(b), Py_EQ); }
inline PyNum operator-(const PyNum& a, int b) {
    PyObject* r = PyNumber_Subtract(a.o.ptr(), small(b).ptr());
    if (!r) raise_pending();
    return PyNum(nb::steal(r));
}

// Writes the output attributes in order; on a failure restores those already
// written and the history, then raises.
template <class V, size_t N, size_t M>
void commit(PyObject* self, Undo<V>& undo, const Attrs<M>& attrs, bool fast, const std::array<size_t, N>& which,
            const std::array<PyObject*, N>& values, const std::array<PyObject*, N>& old) {
    for (size_t i = 0; i < N; ++i) {
        if (!values[i]) continue;  // unchanged
        if (attrs.set(self, fast, which[i], values[i]) < 0) {
            PyObject* exc = PyErr_GetRaisedException();
            for (size_t j = 0; j < i; ++j)
                if (values[j] && old[j] && attrs.set(self, fast, which[j], old[j]) < 0) PyErr_WriteUnraisable(self);
            PyErr_SetRaisedException(exc);
            undo.run();
            raise_pending();
        }
    }
}

// ---------------------------------------------------------------------------
// Timers

struct PyTimer {
    nb::object Ut_array;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(Ut_array.ptr());
        return 0;
    }
    void clear() { Ut_array.reset(); }
};
struct PyTON : PyTimer {};
struct PyTOFF : PyTimer {};

template <template <class, class> class Timer>
PyObject* timer_call(PyObject* self, PyTimer& t) {
    if (!t.Ut_array.is_valid()) raise_no_attribute(self, "Ut_array");
    const nb::object arr = t.Ut_array;  // the caller's code below may replace or clear the attribute
    Undo<long long> undo{arr, Elem::Int64};
    static Attrs<4>& attrs = *new Attrs<4>{{&s_Ut, &s_DT, &s_ET, &s_Yt}};  // kept for the process lifetime
    const bool fast = attrs.fast(self);
    nb::object Ut = attrs.get(self, fast, 0), DT = attrs.get(self, fast, 1), ET = attrs.get(self, fast, 2);

    nb::object new_ET;  // null: unchanged
    int Yt;
    long long v, dt, et;
    if (PyArrayObject* a = native_array(arr.ptr(), Elem::Int64, 2); a && native_level(Ut.ptr(), v)) {
        const long long prev = *elem<long long>(a, 0);
        if (small_int(DT.ptr(), dt) && small_int(ET.ptr(), et)) {
            Timer<long long, long long> c;
            c.DT = dt;
            c.ET = et;
            c.update(v, prev);
            if (c.ET == dt)
                new_ET = DT;
            else if (c.ET != et)
                new_ET = nb::steal(PyLong_FromLongLong(c.ET));
            Yt = c.Yt;
        } else {
            Timer<PyNum, long long> c;
            c.DT = PyNum(DT);
            c.ET = PyNum(ET);
            c.update(v, prev);  // runs the caller's operators: may raise, may change things
            if (c.ET.o.ptr() != ET.ptr()) new_ET = c.ET.o;
            Yt = c.Yt;
        }
        if (PyArrayObject* b = native_array(arr.ptr(), Elem::Int64, 2)) {
            undo.dropped = shift_in<long long>(b, v);
            undo.native = true;
        } else {
            undo.prepare_generic();
            corvane::helpers::data_store(arr, Ut);
        }
    } else {
        undo.prepare_generic();
        corvane::helpers::data_store(arr, Ut);  // atomic on its own failure
        try {
            PyNum cur{item_of(arr.ptr(), 0)};
            PyNum prev{item_of(arr.ptr(), 1)};
            Timer<PyNum, PyNum> c;
            c.DT = PyNum(DT);
            c.ET = PyNum(ET);
            c.update(cur, prev);
            if (c.ET.o.ptr() != ET.ptr()) new_ET = c.ET.o;
            Yt = c.Yt;
        } catch (nb::python_error& e) {
            e.restore();
            undo.run();
            raise_pending();
        }
    }
    if (new_ET.ptr() == ET.ptr()) new_ET.reset();  // the same object: nothing to write
    nb::object Yt_o = small(Yt);
    // The caller's operators may have changed the class: check again before writing.
    commit<long long, 2>(self, undo, attrs, attrs.fast(self), {2, 3}, {new_ET.ptr(), Yt_o.ptr()}, {ET.ptr(), nullptr});
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Latch

struct PyRS {
    nb::object Q_array;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(Q_array.ptr());
        return 0;
    }
    void clear() { Q_array.reset(); }
};

PyObject* latch_call(PyObject* self, PyRS& l) {
    if (!l.Q_array.is_valid()) raise_no_attribute(self, "Q_array");
    const nb::object arr = l.Q_array;
    Undo<npy_bool> undo{arr, Elem::Bool};
    static Attrs<4>& attrs = *new Attrs<4>{{&s_S, &s_R, &s_Q, &s_nQ}};
    const bool fast = attrs.fast(self);
    nb::object S = attrs.get(self, fast, 0), R = attrs.get(self, fast, 1);
    const int s = PyObject_IsTrue(S.ptr());
    if (s < 0) raise_pending();
    const int r = PyObject_IsTrue(R.ptr());
    if (r < 0) raise_pending();

    nb::object Q;
    int q;
    switch (corvane::RSLatch::row(s != 0, r != 0)) {
        case corvane::RSLatch::Row::Set: q = 1, Q = nb::borrow(Py_True); break;
        case corvane::RSLatch::Row::Reset: q = 0, Q = nb::borrow(Py_False); break;
        default:
            if (PyArrayObject* a = native_array(arr.ptr(), Elem::Bool, 1)) {
                q = *elem<npy_bool>(a, 0) != 0;
                Q = nb::borrow(q ? PyArrayScalar_True : PyArrayScalar_False);
            } else {
                Q = item_of(arr.ptr(), 0);
                q = PyObject_IsTrue(Q.ptr());
                if (q < 0) raise_pending();
            }
    }
    if (PyArrayObject* a = native_array(arr.ptr(), Elem::Bool, 1)) {
        undo.dropped = shift_in<npy_bool>(a, (npy_bool) q);
        undo.native = true;
    } else {
        undo.prepare_generic();
        corvane::helpers::data_store(arr, Q);
    }
    commit<npy_bool, 2>(self, undo, attrs, attrs.fast(self), {2, 3}, {Q.ptr(), q ? Py_False : Py_True},
                        {nullptr, nullptr});
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// call(): a METH_NOARGS method, so that any argument gets the interpreter's
// own TypeError.

template <class T, PyObject* (*Fn)(PyObject*, T&)>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "call(): the object is not initialised");
        return nullptr;
    }
    try {
        return Fn(self, *nb::inst_ptr<T>(self));
    } catch (...) {
        set_error_from_current();
    }
    return nullptr;
}

template <class T, PyObject* (*Fn)(PyObject*, T&)>
void def_call(nb::handle cls, const char* doc) {
    auto* text = new std::string(std::string("call($self, /)\n--\n\n") + doc);
    auto* def = new PyMethodDef{"call", (PyCFunction) noargs_entry<T, Fn>, METH_NOARGS, text->c_str()};
    PyObject* descr = PyDescr_NewMethod((PyTypeObject*) cls.ptr(), def);
    if (!descr) raise_pending();
    int rc = PyObject_SetAttrString(cls.ptr(), "call", descr);
    Py_DECREF(descr);
    if (rc) raise_pending();
}

PyObject* g_np;  // numpy, kept for the process lifetime

// ---------------------------------------------------------------------------
// The closed-loop runner's access (blockapi.hpp): a block whose history is its
// own standard array and whose attributes are plain numbers.

// An exact int or float as a count the runner holds exactly; false (nothing
// set) for anything else.
bool count_of(PyObject* o, corvane::ExactCount& c) {
    if (PyFloat_CheckExact(o)) {
        c = corvane::ExactCount::real(PyFloat_AS_DOUBLE(o));
        return true;
    }
    long long v;
    if (!PyLong_CheckExact(o)) return false;
    if (small_int(o, v)) {
        c = corvane::ExactCount(v);
        return true;
    }
    const double hi = PyLong_AsDouble(o);  // a whole double when it fits
    PyObject* h = hi == -1.0 && PyErr_Occurred() ? nullptr : PyLong_FromDouble(hi);
    PyObject* rest = h ? PyNumber_Subtract(o, h) : nullptr;
    Py_XDECREF(h);
    const bool ok = rest && small_int(rest, v);
    Py_XDECREF(rest);
    PyErr_Clear();
    if (ok) c = corvane::ExactCount::integer(hi, v);
    return ok;
}

nb::object count_object(const corvane::ExactCount& c) {
    if (c.is_float) return nb::float_(c.hi);
    nb::object lo = checked(PyLong_FromLongLong(c.lo));
    if (c.hi == 0.0) return lo;
    return checked(PyNumber_Add(checked(PyLong_FromDouble(c.hi)).ptr(), lo.ptr()));
}

nb::object plain_attr(PyObject* obj, PyObject* name, bool& own) {
    return nb::steal(corvane::plain_attr(obj, name, &own));
}

// The stored history when it is a native array of exactly `n` elements.
PyArrayObject* history_of(const nb::object& h, Elem e, npy_intp n) {
    PyArrayObject* a = h.is_valid() ? native_array(h.ptr(), e, n) : nullptr;
    return a && PyArray_DIM(a, 0) == n ? a : nullptr;
}

template <class T, class Run>
struct TimerApi {
    static int take(PyObject* obj, Run* run) {
        if (Py_TYPE(obj) != api.type || !nb::inst_ready(obj)) return 0;
        const nb::object& h = nb::inst_ptr<T>(obj)->Ut_array;
        PyArrayObject* a = history_of(h, Elem::Int64, 2);
        if (!a || !corvane::sole_array(h.ptr(), 1)) return 0;
        bool own = false, et_own = false;
        nb::object Ut = plain_attr(obj, s_Ut, own), DT = plain_attr(obj, s_DT, own), ET = plain_attr(obj, s_ET, et_own);
        if (!Ut.is_valid() || !DT.is_valid() || !ET.is_valid()) return 0;
        if (!native_level(Ut.ptr(), run->level) || !count_of(DT.ptr(), run->core.DT) ||
            !count_of(ET.ptr(), run->core.ET))
            return 0;
        // ET left to the class: the int 0, which a sample keeps as it is.
        if (!et_own && (!PyLong_CheckExact(ET.ptr()) || corvane::order(run->core.ET, corvane::ExactCount(0)) != 0))
            return 0;
        run->core.u[0] = *elem<long long>(a, 0);
        run->core.u[1] = *elem<long long>(a, 1);
        run->ET_kept = et_own;
        run->ET_late = false;
        run->Ut.given = run->DT.given = false;
        return 1;
    }

    static int put(PyObject* obj, const Run* run) {
        try {
            nb::object& h = nb::inst_ptr<T>(obj)->Ut_array;
            nb::object Ut = run->Ut.given ? nb::object(nb::float_(run->Ut.value)) : nb::object();
            nb::object DT = run->DT.given ? count_object(corvane::ExactCount::of_count(run->DT.value)) : nb::object();
            nb::object ET = run->ET_kept ? count_object(run->core.ET) : nb::object();
            nb::object Yt = small(run->core.Yt);
            nb::object fresh;
            PyArrayObject* a = history_of(h, Elem::Int64, 2);
            if (!a) {
                fresh = nb::handle(g_np).attr("zeros")(2, "dtype"_a = nb::handle((PyObject*) &PyLong_Type));
                a = history_of(fresh, Elem::Int64, 2);
                if (!a) raise(PyExc_TypeError, "numpy.zeros gave no int64 array");
            }
            // In the order the samples made them attributes.
            PyObject* const first = run->ET_late ? s_Yt : s_ET;
            PyObject* const second = run->ET_late ? s_ET : s_Yt;
            PyObject* const names[] = {s_Ut, s_DT, first, second};
            PyObject* const values[] = {Ut.ptr(), DT.ptr(), run->ET_late ? Yt.ptr() : ET.ptr(),
                                        run->ET_late ? ET.ptr() : Yt.ptr()};
            corvane::Released<4> released;  // after the history's last use
            if (corvane::set_attrs(obj, names, values, released) < 0) return -1;
            *elem<long long>(a, 0) = run->core.u[0];
            *elem<long long>(a, 1) = run->core.u[1];
            if (fresh.is_valid()) std::swap(h, fresh);  // the old history is released last
            return 0;
        } catch (nb::python_error& e) {
            e.restore();
            return -1;
        }
    }

    static inline corvane::BlockApi<Run> api{corvane::kBlockApiVersion, nullptr, take, put};
};

// A plain value's truth: None, a bool, an int or a float.
bool plain_truth(PyObject* o, bool& t) {
    if (o != Py_None && !PyBool_Check(o) && !PyLong_CheckExact(o) && !PyFloat_CheckExact(o)) return false;
    t = PyObject_IsTrue(o) == 1;
    return true;
}

corvane::BlockApi<corvane::LatchRun> g_latch_api{
    corvane::kBlockApiVersion, nullptr,
    [](PyObject* obj, corvane::LatchRun* run) {
        if (Py_TYPE(obj) != g_latch_api.type || !nb::inst_ready(obj)) return 0;
        const nb::object& h = nb::inst_ptr<PyRS>(obj)->Q_array;
        PyArrayObject* a = history_of(h, Elem::Bool, 1);
        if (!a || !corvane::sole_array(h.ptr(), 1)) return 0;
        bool own = false;
        nb::object S = plain_attr(obj, s_S, own), R = plain_attr(obj, s_R, own);
        if (!S.is_valid() || !R.is_valid() || !plain_truth(S.ptr(), run->S_true) || !plain_truth(R.ptr(), run->R_true))
            return 0;
        run->core.stored = *elem<npy_bool>(a, 0) != 0;
        run->q_from_array = false;
        run->S.given = run->R.given = false;
        return 1;
    },
    [](PyObject* obj, const corvane::LatchRun* run) {
        try {
            nb::object& h = nb::inst_ptr<PyRS>(obj)->Q_array;
            nb::object S = run->S.given ? nb::object(nb::float_(run->S.value)) : nb::object();
            nb::object R = run->R.given ? nb::object(nb::float_(run->R.value)) : nb::object();
            PyObject* Q = run->q_from_array ? (run->core.Q ? PyArrayScalar_True : PyArrayScalar_False)
                                            : (run->core.Q ? Py_True : Py_False);
            nb::object fresh;
            PyArrayObject* a = history_of(h, Elem::Bool, 1);
            if (!a) {
                nb::list zero;
                zero.append(0);
                fresh = nb::handle(g_np).attr("array")(zero, "dtype"_a = nb::handle((PyObject*) &PyBool_Type));
                a = history_of(fresh, Elem::Bool, 1);
                if (!a) raise(PyExc_TypeError, "numpy.array gave no bool array");
            }
            PyObject* const names[] = {s_S, s_R, s_Q, s_nQ};
            PyObject* const values[] = {S.ptr(), R.ptr(), Q, run->core.nQ ? Py_True : Py_False};
            corvane::Released<4> released;  // after the history's last use
            if (corvane::set_attrs(obj, names, values, released) < 0) return -1;
            *elem<npy_bool>(a, 0) = run->core.stored;
            if (fresh.is_valid()) std::swap(h, fresh);
            return 0;
        } catch (nb::python_error& e) {
            e.restore();
            return -1;
        }
    }};

template <class T>
void bind_timer(nb::module_& m, const char* name, const char* doc, const char* call_doc) {
    nb::class_<T> cls(m, name, nb::dynamic_attr(), nb::type_slots(gc_slots<T>), doc);
    cls.def("__init__", [](T* t) {
        nb::object arr = nb::handle(g_np).attr("zeros")(2, "dtype"_a = nb::handle((PyObject*) &PyLong_Type));
        new (t) T();
        t->Ut_array = std::move(arr);
    });
    cls.attr("Ut") = 0;
    cls.attr("Yt") = 0;
    cls.attr("DT") = 3;
    cls.attr("ET") = 0;
    cls.def_prop_rw(
        "Ut_array",
        [](nb::handle self) {
            T& t = nb::cast<T&>(self);
            if (!t.Ut_array.is_valid()) raise_no_attribute(self, "Ut_array");
            return t.Ut_array;
        },
        [](T& t, nb::object v) { t.Ut_array = std::move(v); }, nb::for_setter(nb::arg("value").none()),
        "Stored inputs: index 0 the current call's, index 1 the previous call's (int64).");
    constexpr bool on = std::is_same_v<T, PyTON>;
    if constexpr (on)
        def_call<PyTimer, timer_call<corvane::OnDelay>>(cls, call_doc);
    else
        def_call<PyTimer, timer_call<corvane::OffDelay>>(cls, call_doc);
    def_pickle<T>(
        cls,
        [](T& t) {
            if (!t.Ut_array.is_valid()) raise(PyExc_TypeError, "cannot pickle a cleared timer");
            return nb::make_tuple(copy_history(t.Ut_array, "Ut_array"));
        },
        [](T& t, nb::handle st) {
            StateView sv(st, 1, on ? "TONtrigger" : "TOFFtrigger");
            t.Ut_array = history_from(sv, 0);
        });
}

}  // namespace

NB_MODULE(logicblocks, m) {
    if (PyArray_ImportNumPyAPI() < 0) raise_pending();
    m.doc() = "On-delay and off-delay timers and a reset-set latch, counted in calls.";
    g_np = nb::module_::import_("numpy").release().ptr();
    m.attr("np") = nb::handle(g_np);
    m.attr("dataStore") = nb::module_::import_("corvane.algorithm.utilities").attr("dataStore");
    for (auto [dst, text] : {std::pair{&s_Ut, "Ut"},
                             {&s_DT, "DT"},
                             {&s_ET, "ET"},
                             {&s_Yt, "Yt"},
                             {&s_S, "S"},
                             {&s_R, "R"},
                             {&s_Q, "Q"},
                             {&s_nQ, "nQ"}}) {
        *dst = PyUnicode_InternFromString(text);
        if (!*dst) raise_pending();
    }

    bind_timer<PyTON>(m, "TONtrigger",
                      "On-delay timer: Yt follows a rising input Ut DT - 1 calls after the edge and falls\n"
                      "with it at once. Set Ut (and DT) as attributes, call call(), read Yt and ET.",
                      "One sample: shift Ut into Ut_array, update the count ET and the output Yt.");
    bind_timer<PyTOFF>(m, "TOFFtrigger",
                       "Off-delay timer: Yt rises with the input Ut at once and falls DT - 1 calls after\n"
                       "the falling edge. Set Ut (and DT) as attributes, call call(), read Yt and ET.",
                       "One sample: shift Ut into Ut_array, update the count ET and the output Yt.");

    nb::class_<PyRS> rs(m, "RStrigger", nb::dynamic_attr(), nb::type_slots(gc_slots<PyRS>),
                        "Reset-set latch with reset priority. Set S and R as attributes, call call(),\n"
                        "read Q and nQ; with neither input true Q holds the value stored in Q_array.");
    rs.def("__init__", [](PyRS* l) {
        nb::list zero;
        zero.append(0);
        nb::object arr = nb::handle(g_np).attr("array")(zero, "dtype"_a = nb::handle((PyObject*) &PyBool_Type));
        new (l) PyRS();
        l->Q_array = std::move(arr);
    });
    rs.attr("S") = 0;
    rs.attr("R") = 0;
    rs.attr("Q") = false;
    rs.attr("nQ") = true;
    rs.def_prop_rw(
        "Q_array",
        [](nb::handle self) {
            PyRS& l = nb::cast<PyRS&>(self);
            if (!l.Q_array.is_valid()) raise_no_attribute(self, "Q_array");
            return l.Q_array;
        },
        [](PyRS& l, nb::object v) { l.Q_array = std::move(v); }, nb::for_setter(nb::arg("value").none()),
        "Q of the previous call (one bool element); the hold row reads it.");
    def_call<PyRS, latch_call>(rs, "One sample: decide Q from S and R (reset wins), store it, set nQ = not Q.");
    def_pickle<PyRS>(
        rs,
        [](PyRS& l) {
            if (!l.Q_array.is_valid()) raise(PyExc_TypeError, "cannot pickle a cleared latch");
            return nb::make_tuple(copy_history(l.Q_array, "Q_array"));
        },
        [](PyRS& l, nb::handle st) {
            StateView sv(st, 1, "RStrigger");
            l.Q_array = history_from(sv, 0);
        });
    TimerApi<PyTON, corvane::OnDelayRun>::api.type = (PyTypeObject*) m.attr("TONtrigger").ptr();
    TimerApi<PyTOFF, corvane::OffDelayRun>::api.type = (PyTypeObject*) m.attr("TOFFtrigger").ptr();
    g_latch_api.type = (PyTypeObject*) rs.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.logicblocks._block_api_TONtrigger",
                                  &TimerApi<PyTON, corvane::OnDelayRun>::api) < 0 ||
        corvane::export_block_api(m.ptr(), "corvane.algorithm.logicblocks._block_api_TOFFtrigger",
                                  &TimerApi<PyTOFF, corvane::OffDelayRun>::api) < 0 ||
        corvane::export_block_api(m.ptr(), "corvane.algorithm.logicblocks._block_api_RStrigger", &g_latch_api) < 0)
        raise_pending();
    install_signatures(m);
}

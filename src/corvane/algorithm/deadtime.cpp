// corvane.algorithm.deadtime: pure transport delay, as a callable (Delay) and
// as a function block (Delay_Algorithm).
#include "exactkit.hpp"
#include "helperkit.hpp"

#include <corvane/delay.hpp>

#include "blockapi.hpp"

#include <algorithm>
#include <array>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

// Module-level objects, set once at import.
struct Globals {
    nb::object deque;     // collections.deque
    nb::object np_empty;  // numpy.empty
    nb::object np_array, np_ones, np_hstack, np_float;
    nb::object copy;  // copy.copy
    PyTypeObject* ndarray = nullptr;
    PyTypeObject* np_integer = nullptr;  // numpy.integer
    PyObject* s_U_array = nullptr;
    PyObject* s_Ut = nullptr;
    PyObject* s_nLag = nullptr;
    PyObject* s_Yt = nullptr;
};
Globals* g = nullptr;

// ---------------------------------------------------------------------------
// Delay: the history is a ring of the caller's objects, newest first.

struct PyDelay;
struct DelayCallBody {
    PyObject* operator()(nb::handle, PyDelay& d, PyObject* (&a)[2]) const;
};

struct PyDelay {
    vectorcallfunc vectorcall = instance_call<PyDelay, 2, DelayCallBody>;
    corvane::DelayLine<nb::object> line;
    bool bounded = true;  // false: max_cache None, the history can never be filled

    int traverse(visitproc visit, void* arg) {
        int r = 0;
        line.for_each([&](const nb::object& o) {
            if (!r && o.is_valid()) r = visit(o.ptr(), arg);
        });
        return r;
    }
    void clear() { line.clear(); }

    nb::object maxlen() const { return bounded ? nb::object(nb::int_((Py_ssize_t) line.capacity())) : nb::none(); }
};

// The capacity as the deque constructor takes it: an int >= 0 or None.
void set_capacity(PyDelay& d, nb::handle max_cache) {
    if (max_cache.is_none()) {
        d.bounded = false;
        d.line = corvane::DelayLine<nb::object>(0);
        return;
    }
    if (!PyLong_Check(max_cache.ptr())) raise(PyExc_TypeError, "an integer is required");
    const Py_ssize_t n = PyLong_AsSsize_t(max_cache.ptr());
    if (n == -1 && PyErr_Occurred()) raise_pending();
    if (n < 0) raise(PyExc_ValueError, "maxlen must be non-negative");
    d.bounded = true;
    d.line = corvane::DelayLine<nb::object>((size_t) n);
}

// Fills the empty history with the first input, as a list of maxlen copies would.
void prime(PyDelay& d, PyObject* Ut) {
    if (!d.bounded) raise(PyExc_TypeError, "can't multiply sequence by non-int of type 'NoneType'");
    check_fits(d.line.capacity(), sizeof(nb::object), "Delay history");
    d.line.prime(nb::borrow(Ut));
}

[[noreturn]] void raise_range(const PyDelay& d, PyObject* nLag) {
    const Py_ssize_t top = (Py_ssize_t) d.line.capacity() - 1;
    if (nLag) {
        PyErr_Format(PyExc_ValueError, "nLag must be between 0 and %zd, but got %S.", top, nLag);
        raise_pending();
    }
    raise(PyExc_ValueError, "nLag must be between 0 and %zd, but got 1.", top);
}

// Entry `nLag` of the history, with the range test and the indexing of a deque
// for any object: 0 <= nLag < maxlen by the interpreter's comparisons, then a
// sequence index (__index__, negative counts from the end).
nb::object delay_lookup(PyDelay& d, PyObject* nLag) {
    if (!nLag || PyLong_CheckExact(nLag)) {
        int overflow = 0;
        const long long k = nLag ? PyLong_AsLongLongAndOverflow(nLag, &overflow) : 1;
        if (!overflow && k >= 0 && (unsigned long long) k < d.line.capacity()) return d.line[(size_t) k];
        raise_range(d, nLag);
    }
    nb::object zero = nb::int_(0), top = nb::int_((Py_ssize_t) d.line.capacity());
    if (!compare(zero, nLag, Py_LE) || !compare(nLag, top, Py_LT)) raise_range(d, nLag);
    if (!PyIndex_Check(nLag))
        raise(PyExc_TypeError, "sequence index must be integer, not '%.200s'", Py_TYPE(nLag)->tp_name);
    Py_ssize_t i = PyNumber_AsSsize_t(nLag, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) raise_pending();
    // Python code may have run: take the history as it is now.
    const Py_ssize_t len = (Py_ssize_t) d.line.size();
    if (i < 0) i += len;
    if (i < 0 || i >= len) raise(PyExc_IndexError, "deque index out of range");
    return d.line[(size_t) i];
}

PyObject* DelayCallBody::operator()(nb::handle, PyDelay& d, PyObject* (&a)[2]) const {
    PyObject* Ut = a[0];
    if (d.line.empty()) {
        if (Ut == Py_None) raise(PyExc_ValueError, "Ut is None and cache is empty.");
        prime(d, Ut);
    }
    // The input is stored before the range test, so a refused nLag still
    // leaves a history that is one sample further on.
    nb::object dropped = d.line.push(nb::borrow(Ut));
    nb::object out = delay_lookup(d, a[1]);
    return out.release().ptr();  // `dropped` is released after this
}

const char* kDelayDoc =
    "Pure delay counted in samples: the output of a call is the input of nLag calls earlier.\n"
    "The history (_cache) holds max_cache inputs, newest first, primed with the first input.";

const char* kDelayCallDoc =
    "Push Ut into the history and return the input of nLag calls ago (0: Ut itself).\n"
    "Raises ValueError when the history is empty and Ut is None, or when nLag is not between\n"
    "0 and max_cache - 1 (Ut has been stored in that case).";

// ---------------------------------------------------------------------------
// Delay_Algorithm: function block; inputs and outputs are attributes.

struct PyDelayAlgo : NoPyObjects {};

nb::object get_attr(PyObject* self, PyObject* name) {
    PyObject* r = PyObject_GetAttr(self, name);
    if (!r) raise_pending();
    return nb::steal(r);
}

void set_attr(PyObject* self, PyObject* name, nb::handle v) {
    if (PyObject_SetAttr(self, name, v.ptr()) < 0) raise_pending();
}

// A writable, contiguous, one-dimensional float64 ndarray, or nothing.
struct F64View {
    Py_buffer view{};
    bool ok = false;
    explicit F64View(PyObject* a) {
        if (Py_TYPE(a) != g->ndarray) return;
        if (PyObject_GetBuffer(a, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return;
        }
        ok = view.ndim == 1 && native_f64(view);
        if (!ok) PyBuffer_Release(&view);
    }
    ~F64View() { release(); }
    void release() {
        if (ok) PyBuffer_Release(&view);
        ok = false;
    }
    F64View(const F64View&) = delete;
    F64View& operator=(const F64View&) = delete;
    double* data() const { return static_cast<double*>(view.buf); }
    size_t size() const { return (size_t) view.shape[0]; }
};

nb::object new_f64(size_t n) { return g->np_empty(nb::int_(n)); }

// Yt takes the sample's output. When the caller's class refuses it (a
// property, a __setattr__), the history is put back before the error goes on.
template <class Undo>
void commit_yt(PyObject* self, nb::handle yt, Undo&& undo) {
    if (PyObject_SetAttr(self, g->s_Yt, yt.ptr()) == 0) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    try {
        undo();
    } catch (...) {  // the first error is the one reported
    }
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
    raise_pending();
}

// The common case natively: a float64 history, a float (or exactly
// representable int) input and an int delay. Returns false when it does not apply.
bool algo_fast(PyObject* self, nb::handle U, nb::handle Ut, nb::handle nLag) {
    double ut;
    if (!small_real(Ut.ptr(), ut) || !PyLong_CheckExact(nLag.ptr())) return false;
    int overflow = 0;
    const long long lag = PyLong_AsLongLongAndOverflow(nLag.ptr(), &overflow);
    if (overflow || lag > (1LL << 40)) return false;
    auto check_index = [lag](size_t len, size_t& idx) {
        if (!corvane::history_index(len, lag, idx))
            raise(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zu", lag, len);
    };
    double yt;
    size_t n, idx;
    {
        F64View v(U.ptr());
        if (!v.ok) return false;
        n = v.size();
        if (n > 0 && lag <= (long long) n - 1) {  // deep enough: shift in place
            check_index(n, idx);
            nb::object y = make_float64(0.0);  // made first: nothing can fail once the history moves
            const double oldest = v.data()[n - 1];
            corvane::history_push(v.data(), n, ut);
            refill_number(y.ptr(), v.data()[idx], true);
            v.release();  // before any Python code runs
            commit_yt(self, y, [&] {
                F64View w(U.ptr());
                if (w.ok && w.size() == n) corvane::history_pop(w.data(), n, oldest);
            });
            return true;
        }
    }
    // First sample (n == 0) or a deeper delay: a new history of
    // max(len, 1, nLag + 1) entries, the old end padded with the oldest value.
    const size_t len = std::max<size_t>(n, 1);
    const size_t m = lag + 1 > (long long) len ? (size_t) (lag + 1) : len;
    check_index(m, idx);
    check_fits(n + m, sizeof(double), "Delay_Algorithm history, old and grown,");
    nb::object grown = new_f64(m);
    {
        F64View v(U.ptr());
        F64View w(grown.ptr());
        if (!v.ok || v.size() != n || !w.ok) return false;  // changed by Python code meanwhile
        if (n == 0)
            std::fill(w.data(), w.data() + m, ut);
        else
            corvane::history_extend(v.data(), n, w.data(), m);
        corvane::history_push(w.data(), m, ut);
        yt = w.data()[idx];
    }
    nb::object y = make_float64(yt);
    set_attr(self, g->s_U_array, grown);
    commit_yt(self, y, [&] { set_attr(self, g->s_U_array, U); });
    return true;
}

// Growing by `count` entries (an int or a numpy integer; anything else is
// left to numpy) makes the copies, their product and the grown history while
// the old one (`len` entries) is held: refused when they cannot fit. Counts
// too large for numpy to try keep numpy's own error.
void check_padding(nb::handle count, size_t len) {
    if (!PyLong_Check(count.ptr()) && !PyObject_TypeCheck(count.ptr(), g->np_integer)) return;
    int overflow = 0;
    const long long c = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (c == -1 && PyErr_Occurred()) raise_pending();
    if (overflow || c <= 0 || (unsigned long long) c > (unsigned long long) PY_SSIZE_T_MAX / sizeof(double)) return;
    check_fits(3 * (unsigned long long) c + 2 * len, sizeof(double), "Delay_Algorithm history, old and grown,");
}

// Any other history, input or delay: the same steps through the interpreter's
// and numpy's operations. The new history is put in place only when the whole
// sample has succeeded.
void algo_generic(PyObject* self, nb::object U, nb::handle Ut, nb::handle nLag) {
    nb::object arr = U;
    Py_ssize_t len = PyObject_Length(arr.ptr());
    if (len < 0) raise_pending();
    if (len == 0) {
        nb::list first;
        first.append(Ut);
        arr = g->np_array(first, "dtype"_a = g->np_float);
        len = PyObject_Length(arr.ptr());
        if (len < 0) raise_pending();
    }
    nb::object last_index = nb::int_(len - 1);
    if (compare(nLag, last_index, Py_GT)) {
        nb::object one = nb::int_(1), length = nb::int_(len);
        PyObject* s = PyNumber_Add(nLag.ptr(), one.ptr());
        if (!s) raise_pending();
        nb::object sum = nb::steal(s);
        PyObject* c = PyNumber_Subtract(sum.ptr(), length.ptr());
        if (!c) raise_pending();
        nb::object count = nb::steal(c);
        check_padding(count, (size_t) len);
        nb::object minus_one = nb::int_(-1);
        PyObject* l = PyObject_GetItem(arr.ptr(), minus_one.ptr());
        if (!l) raise_pending();
        nb::object oldest = nb::steal(l);
        nb::object ones = g->np_ones(count, "dtype"_a = g->np_float);
        PyObject* p = PyNumber_Multiply(oldest.ptr(), ones.ptr());
        if (!p) raise_pending();
        nb::object pad = nb::steal(p);
        arr = g->np_hstack(nb::make_tuple(arr, pad));
    }
    // The sample is tried on a copy first: errors come in the order of the steps
    // (the store, then the index) and a refused sample changes nothing.
    nb::object trial = g->copy(arr);
    corvane::helpers::data_store(trial, Ut);
    PyObject* probe = PyObject_GetItem(trial.ptr(), nLag.ptr());
    if (!probe) raise_pending();
    Py_DECREF(probe);
    const nb::object saved = arr.is(U) ? g->copy(arr) : nb::object();  // the history stored into in place
    corvane::helpers::data_store(arr, Ut);
    PyObject* y = PyObject_GetItem(arr.ptr(), nLag.ptr());
    if (!y) raise_pending();
    nb::object yt = nb::steal(y);
    if (!arr.is(U)) set_attr(self, g->s_U_array, arr);
    commit_yt(self, yt, [&] {
        if (!saved.is_valid()) {
            set_attr(self, g->s_U_array, U);
        } else {
            nb::object all = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
            if (all.is_valid()) PyObject_SetItem(U.ptr(), all.ptr(), saved.ptr());
        }
    });
}

PyObject* algo_call(PyObject* self, PyObject*) {
    try {
        nb::object U = get_attr(self, g->s_U_array);
        nb::object Ut = get_attr(self, g->s_Ut);
        nb::object nLag = get_attr(self, g->s_nLag);
        if (!algo_fast(self, U, Ut, nLag)) algo_generic(self, U, Ut, nLag);
        Py_RETURN_NONE;
    } catch (...) {
        set_error_from_current();
    }
    return nullptr;
}

const char* kAlgoDoc =
    "Pure delay as a function block: set Ut (and nLag), call call(), read Yt.\n"
    "U_array is the newest-first history (float64); it grows when nLag needs more depth.";

// ---------------------------------------------------------------------------
// The closed-loop runner's access (blockapi.hpp).

// Floats for doubles, one object for a stretch of equal values (as the first
// input fills a history): false with the error set.
bool floats_of(const std::vector<double>& xs, std::vector<nb::object>& out) {
    out.reserve(xs.size());
    for (size_t k = 0; k < xs.size(); ++k) {
        if (k > 0 && std::memcmp(&xs[k], &xs[k - 1], sizeof(double)) == 0) {
            out.push_back(out.back());
            continue;
        }
        PyObject* f = PyFloat_FromDouble(xs[k]);
        if (!f) return false;
        out.push_back(nb::steal(f));
    }
    return true;
}

// A Delay whose history holds floats alone (a bounded one: an unbounded
// history can never be filled).
corvane::BlockApi<corvane::DelayRun> g_delay_api{corvane::kBlockApiVersion, nullptr,
                                                 [](PyObject* obj, corvane::DelayRun* run) {
                                                     if (Py_TYPE(obj) != g_delay_api.type || !nb::inst_ready(obj))
                                                         return 0;
                                                     const PyDelay& d = *nb::inst_ptr<PyDelay>(obj);
                                                     if (!d.bounded) return 0;
                                                     std::vector<double> xs;
                                                     xs.reserve(d.line.size());
                                                     bool floats = true;
                                                     d.line.for_each([&](const nb::object& o) {
                                                         floats = floats && o.is_valid() && PyFloat_CheckExact(o.ptr());
                                                         if (floats) xs.push_back(PyFloat_AS_DOUBLE(o.ptr()));
                                                     });
                                                     if (!floats) return 0;
                                                     run->line = corvane::DelayLine<double>(d.line.capacity());
                                                     if (!xs.empty()) run->line.assign(xs.begin(), xs.size());
                                                     return 1;
                                                 },
                                                 [](PyObject* obj, const corvane::DelayRun* run) {
                                                     std::vector<double> xs;
                                                     xs.reserve(run->line.size());
                                                     run->line.for_each([&](double x) { xs.push_back(x); });
                                                     std::vector<nb::object> items;
                                                     if (!floats_of(xs, items)) return -1;
                                                     corvane::DelayLine<nb::object> line(run->line.capacity());
                                                     line.assign(items.begin(), items.size());
                                                     PyDelay& d = *nb::inst_ptr<PyDelay>(obj);
                                                     std::swap(d.line, line);  // the old history is released last
                                                     return 0;
                                                 }};

// A Delay_Algorithm whose U_array is a float64 history of its own, whose
// unwired inputs are numbers the fast path takes, and whose attributes are
// plain data.
corvane::BlockApi<corvane::DelayAlgoRun> g_algo_api{
    corvane::kBlockApiVersion, nullptr,
    [](PyObject* obj, corvane::DelayAlgoRun* run) {
        if (Py_TYPE(obj) != g_algo_api.type || !nb::inst_ready(obj)) return 0;
        bool own = false;
        nb::object U = nb::steal(corvane::plain_attr(obj, g->s_U_array, &own));
        if (!U.is_valid() || !own || !corvane::sole_array(U.ptr(), 2)) return 0;
        {
            F64View v(U.ptr());
            if (!v.ok) return 0;
            run->history.assign(v.data(), v.data() + v.size());
        }
        nb::object Ut = nb::steal(corvane::plain_attr(obj, g->s_Ut, &own));
        nb::object lag = nb::steal(corvane::plain_attr(obj, g->s_nLag, &own));
        if (!Ut.is_valid() || !small_real(Ut.ptr(), run->Ut.value) || !lag.is_valid()) return 0;
        run->nLag.is_int = !PyFloat_CheckExact(lag.ptr());
        if (!small_real(lag.ptr(), run->nLag.value)) return 0;
        run->grown = false;
        run->Ut.given = run->nLag.given = false;
        return 1;
    },
    [](PyObject* obj, const corvane::DelayAlgoRun* run) {
        try {
            const std::vector<double>& h = run->history;
            nb::object U;  // the history taken, refilled in place when it keeps its length, or a new one
            bool in_place = false;
            if (!run->grown) {
                bool own = false;
                U = nb::steal(corvane::plain_attr(obj, g->s_U_array, &own));
                if (U.is_valid() && own) {
                    F64View v(U.ptr());
                    in_place = v.ok && v.size() == h.size();
                }
            }
            if (!in_place) {
                U = new_f64(h.size());
                F64View v(U.ptr());
                if (!v.ok) raise(PyExc_TypeError, "Delay_Algorithm: numpy.empty gave no float64 array");
                std::copy(h.begin(), h.end(), v.data());
            }
            nb::object Ut = run->Ut.given ? nb::object(nb::float_(run->Ut.value)) : nb::object();
            nb::object lag;
            if (run->nLag.given)
                lag = run->nLag.is_int ? checked(PyLong_FromDouble(run->nLag.value))
                                       : nb::object(nb::float_(run->nLag.value));
            nb::object Yt = make_float64(run->Yt);
            PyObject* const names[] = {g->s_U_array, g->s_Ut, g->s_nLag, g->s_Yt};
            PyObject* const values[] = {in_place ? nullptr : U.ptr(), Ut.ptr(), lag.ptr(), Yt.ptr()};
            corvane::Released<4> released;  // after the history's last use
            if (corvane::set_attrs(obj, names, values, released) < 0) return -1;
            if (in_place) {
                F64View v(U.ptr());
                if (v.ok && v.size() == h.size()) std::copy(h.begin(), h.end(), v.data());
            }
            return 0;
        } catch (nb::python_error& e) {
            e.restore();
            return -1;
        }
    }};

}  // namespace

NB_MODULE(deadtime, m) {
    m.doc() = "Pure transport delay counted in samples.";

    g = new Globals();
    g->deque = from_import("collections", "deque");
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;
    m.attr("deque") = g->deque;
    m.attr("dataStore") = from_import("corvane.algorithm.utilities", "dataStore");
    g->np_empty = np.attr("empty");
    g->np_array = np.attr("array");
    g->np_ones = np.attr("ones");
    g->np_hstack = np.attr("hstack");
    g->copy = nb::module_::import_("copy").attr("copy");
    g->np_float = nb::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type));
    g->ndarray = (PyTypeObject*) np.attr("ndarray").ptr();
    g->np_integer = (PyTypeObject*) np.attr("integer").ptr();
    g->s_U_array = PyUnicode_InternFromString("U_array");
    g->s_Ut = PyUnicode_InternFromString("Ut");
    g->s_nLag = PyUnicode_InternFromString("nLag");
    g->s_Yt = PyUnicode_InternFromString("Yt");

    // ---- Delay
    nb::class_<PyDelay> delay(m, "Delay", nb::dynamic_attr(), nb::type_slots(gc_slots<PyDelay>), kDelayDoc);
    def_call<PyDelay>(delay, std::array<const char*, 2>{"Ut", "nLag"}, 1, "($self, Ut, nLag=1)", kDelayCallDoc,
                      DelayCallBody{});
    delay.def(
        "__init__",
        [](nb::handle self, nb::handle max_cache) {
            check_self<PyDelay>(self, "__init__");
            PyDelay fresh;
            set_capacity(fresh, max_cache);
            PyDelay* p = nb::inst_ptr<PyDelay>(self);
            if (nb::inst_ready(self)) {
                PyDelay old(std::move(*p));
                *p = std::move(fresh);
            } else {
                new (p) PyDelay(std::move(fresh));
                nb::inst_mark_ready(self);
            }
            if (PyObject_SetAttrString(self.ptr(), "_last_Ut", Py_None) < 0) raise_pending();
        },
        "max_cache"_a.none() = 10000, nb::sig("def __init__(self, max_cache: int = 10000) -> None"));
    delay.def_prop_ro(
        "_cache",
        [](PyDelay& d) {
            nb::list items;
            d.line.for_each([&](const nb::object& o) { items.append(o); });
            return g->deque(items, d.maxlen());
        },
        "The history, newest first (a copy as a deque).");

    def_pickle<PyDelay>(
        delay,
        [](PyDelay& d) {
            nb::list items;
            d.line.for_each([&](const nb::object& o) { items.append(o); });
            return nb::make_tuple(d.maxlen(), nb::tuple(items));
        },
        [](PyDelay& d, nb::handle st) {
            StateView sv(st, 2, "Delay");
            nb::object cap = sv.typed(0, &PyLong_Type, true);
            set_capacity(d, cap);
            StateView items = sv.tuple(1);
            const size_t n = (size_t) items.size();
            if (n != 0 && (!d.bounded || n != d.line.capacity()))
                sv.fail_at(1, PyExc_ValueError, "expected 0 or %zu items, got %zu",
                           d.bounded ? d.line.capacity() : (size_t) 0, n);
            std::vector<nb::object> objs;
            objs.reserve(n);
            for (size_t k = 0; k < n; ++k) objs.push_back(items.item((Py_ssize_t) k));
            d.line.assign(objs.begin(), n);
        });

    // ---- Delay_Algorithm
    nb::class_<PyDelayAlgo> algo(m, "Delay_Algorithm", nb::dynamic_attr(), nb::type_slots(gc_slots<PyDelayAlgo>),
                                 kAlgoDoc);
    algo.def(
        "__init__",
        [](nb::handle self) {
            check_self<PyDelayAlgo>(self, "__init__");
            if (!nb::inst_ready(self)) {
                new (nb::inst_ptr<PyDelayAlgo>(self)) PyDelayAlgo();
                nb::inst_mark_ready(self);
            }
            set_attr(self.ptr(), g->s_U_array, new_f64(0));
        },
        nb::sig("def __init__(self) -> None"));
    algo.attr("Ut") = 0;
    algo.attr("Yt") = 0;
    algo.attr("nLag") = 1;
    {
        static PyMethodDef call_def{"call", (PyCFunction) algo_call, METH_NOARGS,
                                    "call($self, /)\n--\n\nOne sample: shift Ut into U_array and set Yt to the "
                                    "entry nLag samples back."};
        PyObject* descr = PyDescr_NewMethod((PyTypeObject*) algo.ptr(), &call_def);
        if (!descr) raise_pending();
        int rc = PyObject_SetAttrString(algo.ptr(), "call", descr);
        Py_DECREF(descr);
        if (rc) raise_pending();
    }
    def_pickle<PyDelayAlgo>(
        algo, [](PyDelayAlgo&) { return nb::tuple(); },
        [](PyDelayAlgo&, nb::handle st) { StateView(st, 0, "Delay_Algorithm"); });
    g_delay_api.type = (PyTypeObject*) delay.ptr();
    g_algo_api.type = (PyTypeObject*) algo.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.deadtime._block_api_Delay", &g_delay_api) < 0 ||
        corvane::export_block_api(m.ptr(), "corvane.algorithm.deadtime._block_api_Delay_Algorithm", &g_algo_api) < 0)
        raise_pending();
    install_signatures(m);
}

// The six module-level helpers shared by `sharedkit` and `utilities`.
//
// One implementation, parametrised by an import policy that says where numpy,
// scipy.signal and time come from:
//   ModuleGlobals - names looked up in the module's globals at each use
//                   (the module imported them when it was loaded);
//   CallImports   - modules imported by each call, as locals of that call.
#pragma once

#include "bindkit.hpp"

#include <cstdint>
#include <vector>

namespace corvane::helpers {

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

// ---------------------------------------------------------------------------
// Import policies

enum Need : unsigned { kNumpy = 1u, kSignal = 2u, kTime = 4u };

// Names bound in the module's globals when it was loaded. Each use looks the
// name up again (globals, then builtins), as a Python function body would.
struct ModuleGlobals {
    static inline PyObject* globals = nullptr;  // strong, kept for the process lifetime

    static void bind(nb::module_& m) { globals = keep_globals(m); }

    static nb::object lookup(const char* name) { return module_global(globals, name); }

    struct Ctx {
        nb::object np() const { return lookup("np"); }
        nb::object signal() const { return lookup("signal"); }
        nb::object time() const { return lookup("time"); }
    };
    static Ctx enter(unsigned) { return {}; }

    // Where find_project_path-like helpers read `__file__`.
    static PyObject* module_dict() { return globals; }
};

// Modules imported at the start of each call (numpy before scipy).
struct CallImports {
    static inline PyObject* globals = nullptr;

    static void bind(nb::module_& m) { globals = keep_globals(m); }

    struct Ctx {
        nb::object np_, signal_, time_;
        nb::object np() const { return np_; }
        nb::object signal() const { return signal_; }
        nb::object time() const { return time_; }
    };
    static Ctx enter(unsigned need) {
        Ctx c;
        if (need & kNumpy) c.np_ = numpy_mod();
        if (need & kSignal) c.signal_ = from_import("scipy", "signal");
        if (need & kTime) c.time_ = nb::module_::import_("time");
        return c;
    }

    static PyObject* module_dict() { return globals; }
};

// ---------------------------------------------------------------------------
// dict2pairs: a native iterator that walks nested dicts depth first.

// "<path>.<str(key)>", or str(key) alone when `path` has length 0.
inline PyObject* join_path(PyObject* path, PyObject* key) {
    PyObject* ks = PyObject_Str(key);
    if (!ks) return nullptr;
    Py_ssize_t n;
    if (PyUnicode_CheckExact(path)) {
        n = PyUnicode_GET_LENGTH(path);
    } else {
        n = PyObject_Length(path);
        if (n < 0) {
            Py_DECREF(ks);
            return nullptr;
        }
    }
    if (n == 0) return ks;
    PyObject* dot = PyUnicode_FromStringAndSize(".", 1);
    if (!dot) {
        Py_DECREF(ks);
        return nullptr;
    }
    PyObject* head = PyUnicode_CheckExact(path) ? PyUnicode_Concat(path, dot) : PyNumber_Add(path, dot);
    Py_DECREF(dot);
    if (!head) {
        Py_DECREF(ks);
        return nullptr;
    }
    PyObject* out = PyUnicode_CheckExact(head) ? PyUnicode_Concat(head, ks) : PyNumber_Add(head, ks);
    Py_DECREF(head);
    Py_DECREF(ks);
    return out;
}

// iter(d.items()): the interpreter's own iterator, so that changing a dict
// while it is walked raises its RuntimeError.
inline PyObject* items_iter(PyObject* d) {
    PyObject* view = PyObject_CallMethod(d, "items", nullptr);
    if (!view) return nullptr;
    PyObject* it = PyObject_GetIter(view);
    Py_DECREF(view);
    return it;
}

// One iterator type per module (Tag), so that both modules can register it.
template <class Tag>
struct PairWalk {
    struct Frame {
        nb::object dict;  // the dict whose items are walked
        nb::object it;    // iterator over its (key, value) pairs, made on first use
        nb::object path;  // dotted path of that dict
    };
    std::vector<Frame> stack;
    bool running = false;

    static PairWalk* of(PyObject* self) { return nb::inst_ptr<PairWalk>(self); }

    // Finishes the walk for good (like a generator that raised or returned).
    // References are dropped after the vector is settled: their release may run
    // Python code, including the garbage collector's tp_clear on this object.
    void finish() {
        std::vector<Frame> dropped;
        dropped.swap(stack);
    }

    PyObject* next() {
        while (!stack.empty()) {
            if (!stack.back().it.is_valid()) {
                PyObject* fresh = items_iter(stack.back().dict.ptr());
                if (!fresh) return fail();
                stack.back().it = nb::steal(fresh);
            }
            nb::object it = stack.back().it;  // strong copies: Python code may run below
            nb::object path = stack.back().path;
            PyObject* item = PyIter_Next(it.ptr());
            if (!item) {
                if (PyErr_Occurred()) return fail();
                if (!stack.empty() && stack.back().it.ptr() == it.ptr()) {
                    Frame done = std::move(stack.back());
                    stack.pop_back();
                }
                continue;
            }
            nb::object pair = nb::steal(item);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
                PyErr_SetString(PyExc_RuntimeError, "dict items iterator gave an unexpected item");
                return fail();
            }
            nb::object key = nb::borrow(PyTuple_GET_ITEM(item, 0));
            nb::object value = nb::borrow(PyTuple_GET_ITEM(item, 1));
            pair.reset();
            PyObject* p = join_path(path.ptr(), key.ptr());
            if (!p) return fail();
            nb::object child_path = nb::steal(p);
            if (PyDict_Check(value.ptr())) {
                // A branch: descend through the same parameter check as the call.
                if (!arg_type_ok(value.ptr(), &PyDict_Type, "d")) return fail();
                // The recursive walk it replaces stops at the interpreter's limit.
                if ((int) stack.size() >= Py_GetRecursionLimit()) {
                    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
                    return fail();
                }
                stack.push_back(Frame{std::move(value), nb::object(), std::move(child_path)});
                continue;
            }
            return PyTuple_Pack(2, child_path.ptr(), value.ptr());
        }
        return nullptr;  // exhausted: StopIteration
    }

    PyObject* fail() {
        finish();
        return nullptr;
    }

    static PyObject* tp_iternext(PyObject* self) {
        if (!nb::inst_ready(self)) {  // made through __new__ alone
            PyErr_SetString(PyExc_TypeError, "dict2pairs iterator is not initialised");
            return nullptr;
        }
        PairWalk* w = of(self);
        if (w->running) {
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            return nullptr;
        }
        w->running = true;
        PyObject* r = w->next();
        w->running = false;
        return r;
    }

    static int tp_traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        if (!nb::inst_ready(self)) return 0;
        for (const Frame& f : of(self)->stack) {
            Py_VISIT(f.dict.ptr());
            Py_VISIT(f.it.ptr());
            Py_VISIT(f.path.ptr());
        }
        return 0;
    }

    static int tp_clear(PyObject* self) {
        if (nb::inst_ready(self)) {
            std::vector<Frame> dropped;
            dropped.swap(of(self)->stack);
        }
        return 0;
    }

    static void bind(nb::module_& m, const char* name) {
        static PyType_Slot slots[] = {{Py_tp_iter, (void*) PyObject_SelfIter},
                                      {Py_tp_iternext, (void*) tp_iternext},
                                      {Py_tp_traverse, (void*) tp_traverse},
                                      {Py_tp_clear, (void*) tp_clear},
                                      {0, nullptr}};
        nb::class_<PairWalk>(m, name, nb::type_slots(slots),
                             "Iterator over the (dotted path, leaf) pairs of a nested dict.");
    }
};

template <class Tag>
nb::object dict2pairs(nb::handle d, nb::handle path) {
    check_arg(d, &PyDict_Type, "d");
    PairWalk<Tag> w;
    w.stack.push_back({nb::borrow(d), nb::object(), nb::borrow(path)});
    return nb::cast(std::move(w), nb::rv_policy::move);
}

// ---------------------------------------------------------------------------
// pair2dict: d[k1][k2]...[kn] = value, creating missing branches.
// Every check is made before `d` changes, so a failing call changes nothing.

inline void pair2dict(nb::handle pair, nb::handle d) {
    check_arg(pair, &PyTuple_Type, "pair");
    check_arg(d, &PyDict_Type, "d");
    const Py_ssize_t n_items = PyTuple_GET_SIZE(pair.ptr());
    if (n_items > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (n_items < 2) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n_items);
    nb::handle key = PyTuple_GET_ITEM(pair.ptr(), 0);
    nb::handle value = PyTuple_GET_ITEM(pair.ptr(), 1);

    PyObject* parts_raw = PyUnicode_CheckExact(key.ptr()) ? PyUnicode_Split(key.ptr(), nb::str(".").ptr(), -1)
                                                          : PyObject_CallMethod(key.ptr(), "split", "s", ".");
    if (!parts_raw) raise_pending();
    nb::object split_result = nb::steal(parts_raw);
    // A private tuple: keys' __hash__/__eq__ below may run code that changes
    // whatever split() returned.
    PyObject* t = PySequence_Tuple(split_result.ptr());
    if (!t) raise_pending();
    nb::object parts = nb::steal(t);
    split_result.reset();
    const Py_ssize_t n = PyTuple_GET_SIZE(parts.ptr());
    if (n == 0) raise(PyExc_IndexError, "list index out of range");
    auto part = [&](Py_ssize_t i) { return nb::borrow(PyTuple_GET_ITEM(parts.ptr(), i)); };

    // Walk the existing branches without changing anything.
    nb::object cur = nb::borrow(d);
    Py_ssize_t create_from = n - 1;  // first component whose branch is missing
    for (Py_ssize_t i = 0; i < n - 1; ++i) {
        if (cur.is_none()) raise(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "setdefault");
        nb::object k = part(i);
        PyObject* v = nullptr;
        int found = PyDict_GetItemRef(cur.ptr(), k.ptr(), &v);
        if (found < 0) raise_pending();
        if (found == 0) {
            create_from = i;
            break;
        }
        nb::object next = nb::steal(v);
        if (!next.is_none()) check_result(next, &PyDict_Type);
        cur = std::move(next);
    }
    if (cur.is_none())
        raise(PyExc_TypeError, "descriptor 'update' for 'dict' objects doesn't apply to a 'NoneType' object");
    // Keys of the branches still to create, and the last one, must hash.
    for (Py_ssize_t i = create_from; i < n; ++i)
        if (PyObject_Hash(PyTuple_GET_ITEM(parts.ptr(), i)) == -1 && PyErr_Occurred()) raise_pending();

    for (Py_ssize_t i = create_from; i < n - 1; ++i) {
        PyObject* branch = PyDict_New();
        if (!branch) raise_pending();
        nb::object b = nb::steal(branch);
        if (PyDict_SetItem(cur.ptr(), PyTuple_GET_ITEM(parts.ptr(), i), branch) < 0) raise_pending();
        cur = std::move(b);
    }
    if (PyDict_SetItem(cur.ptr(), PyTuple_GET_ITEM(parts.ptr(), n - 1), value.ptr()) < 0) raise_pending();
}

// ---------------------------------------------------------------------------
// c2d: continuous transfer function with dead time -> discrete numerator and
// denominator (leading zeros of the numerator are whole-sample delays).

inline nb::object delay_samples(nb::handle delay, nb::handle Ts) {
    PyObject* q = PyNumber_TrueDivide(delay.ptr(), Ts.ptr());
    if (!q) raise_pending();
    nb::object ratio = nb::steal(q);
    if (PyFloat_CheckExact(q)) {
        const double r = round_half_even(PyFloat_AS_DOUBLE(q));
        PyObject* n = PyLong_FromDouble(r);
        if (!n) raise_pending();
        return nb::steal(n);
    }
    nb::object rounded = nb::module_::import_("builtins").attr("round")(ratio);
    PyObject* n = PyNumber_Long(rounded.ptr());
    if (!n) raise_pending();
    return nb::steal(n);
}

// The delay's zeros and the numerator made from them: refused when they
// cannot fit. Counts too large for numpy to try keep numpy's own error.
inline void check_delay_zeros(nb::handle N) {
    if (!PyLong_Check(N.ptr())) return;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(N.ptr(), &overflow);
    if (overflow || n <= 0 || (unsigned long long) n > (unsigned long long) PY_SSIZE_T_MAX / sizeof(double)) return;
    check_fits((unsigned long long) n, 2 * sizeof(double), "c2d delay");
}

template <class P>
nb::object c2d(nb::handle Gs_num, nb::handle Gs_den, nb::handle Gs_delay, nb::handle Ts, nb::handle method) {
    auto ctx = P::enter(kNumpy | kSignal);
    nb::handle float_type((PyObject*) &PyFloat_Type);
    nb::object num = ctx.np().attr("array")(Gs_num, "dtype"_a = float_type);
    nb::object den = ctx.np().attr("array")(Gs_den, "dtype"_a = float_type);

    PyObject* ne = PyObject_RichCompare(num.ptr(), nb::int_(0).ptr(), Py_NE);
    if (!ne) raise_pending();
    nb::object nonzero = nb::steal(ne);
    nb::object first = ctx.np().attr("where")(nonzero)[0][0];
    nb::object sl = nb::steal(PySlice_New(first.ptr(), Py_None, Py_None));
    if (!sl.is_valid()) raise_pending();
    num = num[sl];

    nb::object disc = ctx.signal().attr("cont2discrete")(nb::make_tuple(num, den), "dt"_a = Ts, "method"_a = method,
                                                         "alpha"_a = nb::none());
    nb::object num_d = disc[0];
    nb::object den_d = disc[1];

    nb::object N = delay_samples(Gs_delay, Ts);
    check_delay_zeros(N);
    nb::object hstack = ctx.np().attr("hstack");
    nb::object zeros = ctx.np().attr("zeros")(N);
    nb::object row = num_d[0];
    nb::object Gd_num = hstack(nb::make_tuple(zeros, row));
    return nb::make_tuple(Gd_num, den_d);
}

// ---------------------------------------------------------------------------
// dataStore: xArray[1:] = xArray[:-1]; xArray[0] = xt (newest first).

inline bool is_ndarray(nb::handle h) { return std::strcmp(Py_TYPE(h.ptr())->tp_name, "numpy.ndarray") == 0; }

// A writable 1-D native float64 ndarray and a float/int sample: shift in place
// without going through numpy. Returns false when the fast path does not apply.
inline bool data_store_fast(nb::handle x, nb::handle xt) {
    PyObject* v = xt.ptr();
    if (!PyFloat_CheckExact(v) && !PyLong_CheckExact(v)) return false;
    if (!is_ndarray(x)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(x.ptr(), &view, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (!native_f64(view) || view.ndim != 1 || view.shape[0] == 0) return false;

    // Convert first: a failing conversion (a huge int) changes nothing.
    const double value = to_double(xt);
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
    char* base = static_cast<char*>(view.buf);
    if (stride == (Py_ssize_t) sizeof(double)) {
        std::memmove(base + sizeof(double), base, (size_t) (n - 1) * sizeof(double));
    } else {
        for (Py_ssize_t i = n - 1; i > 0; --i) std::memcpy(base + i * stride, base + (i - 1) * stride, sizeof(double));
    }
    std::memcpy(base, &value, sizeof(double));
    return true;
}

inline nb::object make_slice(PyObject* start, PyObject* stop) {
    PyObject* s = PySlice_New(start, stop, nullptr);
    if (!s) raise_pending();
    return nb::steal(s);
}

// obj[start:stop], or TypeError "'T' object is unsliceable".
inline nb::object get_slice(nb::handle obj, PyObject* start, PyObject* stop) {
    PyMappingMethods* mp = Py_TYPE(obj.ptr())->tp_as_mapping;
    if (!mp || !mp->mp_subscript) raise(PyExc_TypeError, "'%.200s' object is unsliceable", tp_name_of(obj));
    nb::object s = make_slice(start, stop);
    PyObject* r = PyObject_GetItem(obj.ptr(), s.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

// obj[start:stop] = value, or TypeError "... does not support slice assignment".
inline void set_slice(nb::handle obj, PyObject* start, PyObject* stop, nb::handle value) {
    PyMappingMethods* mp = Py_TYPE(obj.ptr())->tp_as_mapping;
    if (!mp || !mp->mp_ass_subscript)
        raise(PyExc_TypeError, "'%.200s' object does not support slice %.10s", tp_name_of(obj), "assignment");
    nb::object s = make_slice(start, stop);
    if (PyObject_SetItem(obj.ptr(), s.ptr(), value.ptr()) < 0) raise_pending();
}

inline void data_store(nb::handle x, nb::handle xt) {
    if (data_store_fast(x, xt)) return;

    nb::object one = nb::int_(1), minus_one = nb::int_(-1), zero = nb::int_(0);

    // The oldest item, kept to undo the shift if storing xt fails.
    nb::object oldest;
    Py_ssize_t len = PyObject_Size(x.ptr());
    if (len < 0) PyErr_Clear();
    if (len > 1) {
        PyObject* o = PyObject_GetItem(x.ptr(), minus_one.ptr());
        if (!o) {
            PyErr_Clear();
        } else {
            oldest = nb::steal(o);
            if (is_ndarray(oldest)) {  // a row of a 2-D history is a view
                PyObject* c = PyObject_CallMethod(oldest.ptr(), "copy", nullptr);
                if (!c) PyErr_Clear();
                oldest = c ? nb::steal(c) : nb::object();
            }
        }
    }

    nb::object older = get_slice(x, Py_None, minus_one.ptr());
    set_slice(x, one.ptr(), Py_None, older);
    older.reset();

    if (PyObject_SetItem(x.ptr(), zero.ptr(), xt.ptr()) < 0) {
        if (oldest.is_valid()) {
            PyObject* exc = PyErr_GetRaisedException();
            try {
                nb::object newer = get_slice(x, one.ptr(), Py_None);
                set_slice(x, Py_None, minus_one.ptr(), newer);
                if (PyObject_SetItem(x.ptr(), minus_one.ptr(), oldest.ptr()) < 0) PyErr_Clear();
            } catch (nb::python_error& e) {
                e.discard_as_unraisable(x);
            }
            PyErr_SetRaisedException(exc);
        }
        raise_pending();
    }
}

// ---------------------------------------------------------------------------
// current_time_str: local time as "%Y-%m-%d %H:%M:%S".

template <class P>
nb::object current_time_str() {
    auto ctx = P::enter(kTime);
    nb::object time = ctx.time();
    nb::object strftime = time.attr("strftime");
    nb::object now = time.attr("localtime")();
    return strftime("%Y-%m-%d %H:%M:%S", now);
}

// ---------------------------------------------------------------------------
// str2xpyp: "x1,y1#x2,y2#..." -> (xp, yp) sorted by x.

template <class P>
nb::object str2xpyp(nb::handle s) {
    check_arg(s, &PyUnicode_Type, "s");
    auto ctx = P::enter(kNumpy);
    PyObject* str = s.ptr();
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(str);

    struct Item {
        Py_ssize_t x0, x1, y0, y1;  // [x0, x1) and [y0, y1): the two fields
    };
    std::vector<Item> items;
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i <= len; ++i) {
        if (i < len && PyUnicode_READ(kind, data, i) != '#') continue;
        // item [start, i)
        Py_ssize_t comma = -1;
        for (Py_ssize_t j = start; j < i; ++j)
            if (PyUnicode_READ(kind, data, j) == ',') {
                comma = j;
                break;
            }
        if (comma >= 0 && i - start >= 2) {
            Py_ssize_t end = i;
            for (Py_ssize_t j = comma + 1; j < i; ++j)
                if (PyUnicode_READ(kind, data, j) == ',') {
                    end = j;
                    break;
                }
            items.push_back({start, comma, comma + 1, end});
        }
        start = i + 1;
    }

    auto to_float = [&](Py_ssize_t a, Py_ssize_t b) {
        PyObject* sub = PyUnicode_Substring(str, a, b);
        if (!sub) raise_pending();
        PyObject* f = PyFloat_FromString(sub);
        Py_DECREF(sub);
        if (!f) raise_pending();
        return nb::steal(f);
    };
    const Py_ssize_t n = (Py_ssize_t) items.size();
    nb::list xs = nb::steal<nb::list>(PyList_New(n)), ys = nb::steal<nb::list>(PyList_New(n));
    if (!xs.is_valid() || !ys.is_valid()) raise_pending();
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(xs.ptr(), i, to_float(items[i].x0, items[i].x1).release().ptr());
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(ys.ptr(), i, to_float(items[i].y0, items[i].y1).release().ptr());

    // The permutation numpy's argsort gives, applied to both lists.
    nb::object order = ctx.np().attr("argsort")(xs).attr("tolist")();
    if (!PyList_CheckExact(order.ptr()) || PyList_GET_SIZE(order.ptr()) != n)
        raise(PyExc_ValueError, "argsort returned %.200s of unexpected length", tp_name_of(order));
    nb::list xp = nb::steal<nb::list>(PyList_New(n)), yp = nb::steal<nb::list>(PyList_New(n));
    if (!xp.is_valid() || !yp.is_valid()) raise_pending();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t k = PyLong_AsSsize_t(PyList_GET_ITEM(order.ptr(), i));
        if (k == -1 && PyErr_Occurred()) raise_pending();
        if (k < 0) k += n;
        if (k < 0 || k >= n) raise(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", k, n);
        PyObject* xv = PyList_GET_ITEM(xs.ptr(), k);
        PyObject* yv = PyList_GET_ITEM(ys.ptr(), k);
        PyList_SET_ITEM(xp.ptr(), i, Py_NewRef(xv));
        PyList_SET_ITEM(yp.ptr(), i, Py_NewRef(yv));
    }
    return nb::make_tuple(xp, yp);
}

// ---------------------------------------------------------------------------
// Registration of the six helpers on a module.

template <class P>
void def_helpers(nb::module_& m) {
    P::bind(m);
    PairWalk<P>::bind(m, "_dict2pairs_iterator");

    m.def("dict2pairs", &dict2pairs<P>, "d"_a.none(), "path"_a.none() = "",
          nb::sig("def dict2pairs(d: dict, path: str = '') -> collections.abc.Iterator[tuple[str, typing.Any]]"),
          "Iterate over the (dotted path, leaf) pairs of a nested dict, depth first.\n\n"
          "The type of `d` is checked at the call; the walk happens while iterating.");
    m.def("pair2dict", &pair2dict, "pair"_a.none(), "d"_a.none(),
          nb::sig("def pair2dict(pair: tuple, d: dict) -> None"),
          "Set d[k1][k2]...[kn] = value for pair ('k1.k2...kn', value), creating missing branches.");
    m.def("c2d", &c2d<P>, "Gs_num"_a.none(), "Gs_den"_a.none(), "Gs_delay"_a.none(), "Ts"_a.none() = 1,
          "method"_a.none() = "zoh",
          nb::sig("def c2d(Gs_num: typing.Any, Gs_den: typing.Any, Gs_delay: typing.Any, Ts: typing.Any = 1, "
                  "method: str = 'zoh') -> tuple[numpy.ndarray, numpy.ndarray]"),
          "Discretise Gs_num(s)/Gs_den(s) with a dead time of Gs_delay for the sample period Ts.\n\n"
          "Returns (Gd_num, Gd_den); the dead time appears as leading zeros of Gd_num.");
    m.def("dataStore", &data_store, "xArray"_a.none(), "xt"_a.none(),
          "Shift the history xArray one place towards the old end and store xt at index 0.");
    m.def("current_time_str", &current_time_str<P>, nb::sig("def current_time_str() -> str"),
          "Local wall-clock time as 'YYYY-mm-dd HH:MM:SS'.");
    m.def("str2xpyp", &str2xpyp<P>, "s"_a.none(), nb::sig("def str2xpyp(s: str) -> tuple[list[float], list[float]]"),
          "Parse 'x1,y1#x2,y2#...' into the lists (xp, yp), sorted by x.");
}

}  // namespace corvane::helpers

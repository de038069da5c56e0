// Binding helpers shared by every corvane.algorithm extension module.
#pragma once

#include <nanobind/nanobind.h>
#include <Python.h>

#include <corvane/memory.hpp>

#include <cmath>
#include <cstring>
#include <array>
#include <bit>
#include <exception>
#include <new>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

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

// A type's name without its module, as the interpreter names classes in messages.
inline const char* short_name(PyTypeObject* tp) {
    const char* dot = std::strrchr(tp->tp_name, '.');
    return dot ? dot + 1 : tp->tp_name;
}

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

// A float, a numpy float64, or an int that a double holds exactly: the
// interpreter's arithmetic on these gives the same double as native code.
// `f64` tells a numpy float64, whose arithmetic results keep that type.
inline bool simple_number(PyObject* o, double& v, bool& f64);
inline nb::object number(double v, bool f64);

// The interpreter's round() of a float to an int, reduced to what callers
// compare against: the nearest integer, halves to even. NaN and infinities
// raise the interpreter's errors.
inline double round_half_even(double x) {
    if (std::isnan(x)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(x)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    return std::nearbyint(x);
}

// MemoryError, raised before allocating, when `count` items of `item_bytes`
// bytes each (a history, a window, a coefficient array) cannot fit in the
// memory the process may use. `what` names the buffer: "Delay history".
// check_fits' message (made without the interpreter, for code that runs without its lock).
inline std::string cannot_fit(const char* what, unsigned long long count) {
    return std::string(what) + " of " + std::to_string(count) +
           " entries cannot fit in the memory this process may use";
}

inline void check_fits(unsigned long long count, size_t item_bytes, const char* what) {
    if (!corvane::fits_in_memory(count, item_bytes)) raise(PyExc_MemoryError, "%s", cannot_fit(what, count).c_str());
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
inline void print_line(nb::handle text) {
    nb::object out = nb::module_::import_("sys").attr("stdout");
    if (out.is_none()) return;
    out.attr("write")(text);
    out.attr("write")(nb::str("\n"));
}
inline void print_line(const char* text) { print_line(nb::str(text)); }

// The pointer in capsule `name` (module.attribute) of `module`, imported.
template <class T>
inline const T* capsule(const char* module, const char* name) {
    nb::object cap = nb::module_::import_(module).attr(std::strrchr(name, '.') + 1);
    auto* p = static_cast<const T*>(PyCapsule_GetPointer(cap.ptr(), name));
    if (!p) raise_pending();
    return p;
}

// `from package import name`: imports the submodule when it is one.
inline nb::object from_import(const char* package, const char* name) {
    nb::object fromlist = nb::make_tuple(nb::str(name));
    PyObject* mod = PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0);
    if (!mod) raise_pending();
    nb::object pkg = nb::steal(mod);
    PyObject* attr = PyObject_GetAttrString(pkg.ptr(), name);
    if (!attr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
    }
    return nb::steal(attr);
}

// A name a module bound when it was loaded (`time`, `np` ...), looked up in
// its globals at each use (then in builtins), as Python code would: callers
// may replace it, and tests freeze the clock through `module.time`.
inline nb::object module_global(PyObject* globals, const char* name) {
    PyObject* out = nullptr;
    if (globals && PyDict_GetItemStringRef(globals, name, &out) < 0) raise_pending();
    if (!out) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins && PyDict_GetItemStringRef(builtins, name, &out) < 0) raise_pending();
    }
    if (!out) raise(PyExc_NameError, "name '%.200s' is not defined", name);
    return nb::steal(out);
}

// The globals of module `m`, kept for the process lifetime (module_global).
inline PyObject* keep_globals(nb::module_& m) { return Py_NewRef(PyModule_GetDict(m.ptr())); }

// The wall clock, `time.time()` with the module's own `time` at call time.
inline nb::object wall_clock(PyObject* globals) { return module_global(globals, "time").attr("time")(); }

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

inline bool simple_number(PyObject* o, double& v, bool& f64) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyFloat_Type || t == float64_type()) {
        v = PyFloat_AS_DOUBLE(o);
        f64 = t != &PyFloat_Type;
        return true;
    }
    if (t == &PyLong_Type) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
        constexpr long long lim = 1LL << 53;
        if (!overflow && x >= -lim && x <= lim) {
            v = (double) x;
            f64 = false;
            return true;
        }
        PyErr_Clear();
    }
    return false;
}

inline nb::object number(double v, bool f64) { return f64 ? make_float64(v) : nb::float_(v); }

// Per-call scratch buffers of type S, reused from call to call; a call made
// from inside Python code that a call runs gets buffers of its own. S has
// clear(), and optionally open() (run when taken) and drop() (run when a
// call's own buffers go).
template <class S>
struct ScratchLease {
    static inline S shared;
    static inline bool busy = false;
    S local;
    S* sc;
    bool prev;
    ScratchLease() : sc(busy ? &local : &shared), prev(busy) {
        if constexpr (requires(S& s) { s.open(); }) sc->open();
        busy = true;
    }
    ~ScratchLease() {
        sc->clear();
        if constexpr (requires(S& s) { s.drop(); })
            if (sc == &local) local.drop();
        busy = prev;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
};

// A float or numpy float64 referenced by its known holders alone (`holders`
// references) takes a new value in place: nobody can tell it from a new
// object. False (nothing done) for any other object.
inline bool refill_number(PyObject* o, double v, bool f64, Py_ssize_t holders = 1) {
    if (!o || Py_REFCNT(o) != holders || Py_TYPE(o) != (f64 ? float64_type() : &PyFloat_Type)) return false;
    reinterpret_cast<PyFloatObject*>(o)->ob_fval = v;
    return true;
}

// A buffer of native-order doubles (an unpickled array may state its byte
// order in the format).
inline bool native_f64(const Py_buffer& v) {
    const char* f = v.format ? v.format : "B";
    const char* own = std::endian::native == std::endian::little ? "<d" : ">d";
    return v.itemsize == (Py_ssize_t) sizeof(double) &&
           (!std::strcmp(f, "d") || !std::strcmp(f, "=d") || !std::strcmp(f, "@d") || !std::strcmp(f, own));
}

inline nb::module_ numpy_mod() { return nb::module_::import_("numpy"); }

// A new numpy float64 array of the given shape (or n elements) and a pointer to its data (owned by
// the array).
inline nb::object new_float64_array(nb::handle shape, double*& data) {
    nb::object arr = numpy_mod().attr("empty")(shape, nb::arg("dtype") = "float64");
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) raise_pending();
    data = static_cast<double*>(view.buf);
    PyBuffer_Release(&view);
    return arr;
}
inline nb::object new_float64_array(size_t n, double*& data) { return new_float64_array(nb::int_(n), data); }

// A numpy float64 array holding a copy of v[0..n).
inline nb::object float64_array(const double* v, size_t n) {
    double* data;
    nb::object arr = new_float64_array(n, data);
    if (n) std::memcpy(data, v, n * sizeof(double));
    return arr;
}

// A new reference from the C API as an object, or its error raised.
inline nb::object checked(PyObject* r) {
    if (!r) raise_pending();
    return nb::steal(r);
}

// copy.deepcopy(o).
inline nb::object deepcopy(nb::handle o) { return nb::module_::import_("copy").attr("deepcopy")(o); }

// op(a, b) for a number protocol slot such as PyNumber_Add.
inline nb::object binary_op(PyObject* (*op)(PyObject*, PyObject*), nb::handle a, nb::handle b) {
    return checked(op(a.ptr(), b.ptr()));
}

// float(u - ui) as the interpreter computes it.
inline double difference(PyObject* u, PyObject* ui) {
    double a, c;
    bool fa, fc;
    if (simple_number(u, a, fa) && simple_number(ui, c, fc)) return a - c;
    return to_double(binary_op(PyNumber_Subtract, u, ui));
}

// A float 0.0 that lives as long as the process.
inline PyObject* float_zero() {
    static PyObject* zero = PyFloat_FromDouble(0.0);
    return zero;
}

// A float64 copy of an array, handed out read-only for good: a read-only
// view of a read-only base, whose write flag cannot be set back.
inline nb::object readonly_copy(nb::handle arr) {
    nb::object base = numpy_mod().attr("array")(arr, nb::arg("dtype") = "float64");
    base.attr("flags").attr("writeable") = false;
    nb::object view = base.attr("view")();
    view.attr("flags").attr("writeable") = false;
    return view;
}

// A list of numbers for a default argument; whole numbers as int where `ints`.
inline nb::list default_list(std::initializer_list<double> xs, bool ints = false) {
    nb::list l;
    for (double x : xs) {
        if (ints && x == (double) (long long) x)
            l.append(nb::int_((long long) x));
        else
            l.append(nb::float_(x));
    }
    return l;
}

// An immutable scalar: a dict of nothing else is deep-copied by a plain copy.
inline bool atomic_scalar(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyFloat_Type || t == &PyLong_Type || t == &PyUnicode_Type || t == &PyBool_Type || o == Py_None ||
           t == float64_type();
}

// copy.deepcopy(d), by a plain copy for an exact dict of immutable scalars.
inline nb::object deepcopy_flat(nb::handle d) {
    if (PyDict_CheckExact(d.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool flat = true;
        while (flat && PyDict_Next(d.ptr(), &pos, &k, &v)) flat = atomic_scalar(k) && atomic_scalar(v);
        if (flat) {
            PyObject* c = PyDict_Copy(d.ptr());
            if (!c) raise_pending();
            return nb::steal(c);
        }
    }
    return deepcopy(d);
}

// A dict of keys[i] -> values[i] (n items, exact str keys) to hand to a
// caller: `last`, the dict handed out before, refilled in place when nobody
// else holds it and it has exactly these keys in this order (nobody can tell
// it from a new dict, as with the result tuple the interpreter's zip reuses);
// a new dict otherwise, kept in `last`. Where values[i] is null, the number
// nums[i] (numpy float64 where f64[i]) goes in: into the dict's old value
// object itself when that is a number of the same type that only the dict
// holds, else as a new object. A result dict and its numbers per sample cost
// an allocation and a free each: refilling saves them on every simulator call
// whose result the caller let go of (benchmarks/compare_builds.py: MIMOSim
// 20x20 +52 % without, LPVPlantSim and SISOSim rows).
inline nb::object fresh_dict(nb::object& last, PyObject* const* keys, PyObject* const* values, size_t n,
                             const double* nums = nullptr, const unsigned char* f64 = nullptr) {
    auto value = [&](size_t i) { return values && values[i] ? nb::borrow(values[i]) : number(nums[i], f64[i]); };
    if (last.is_valid() && Py_REFCNT(last.ptr()) == 1 && PyDict_CheckExact(last.ptr()) &&
        (size_t) PyDict_GET_SIZE(last.ptr()) == n) {
        // Held: a new value's allocation may run a collection, hence Python
        // code. Found with other keys half-way, the dict is simply dropped.
        const nb::object d = last;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        size_t i = 0;
        for (; i < n && PyDict_Next(d.ptr(), &pos, &k, &v) && k == keys[i]; ++i) {
            if (!(values && values[i]) && refill_number(v, nums[i], f64[i])) continue;
            nb::object x = value(i);
            if (PyDict_SetItem(d.ptr(), keys[i], x.ptr()) < 0) raise_pending();
        }
        if (i == n) return d;
    }
    nb::object r = checked(PyDict_New());
    for (size_t i = 0; i < n; ++i) {
        nb::object x = value(i);
        if (PyDict_SetItem(r.ptr(), keys[i], x.ptr()) < 0) raise_pending();
    }
    last = r;
    return r;
}

// ---------------------------------------------------------------------------
// Containers

// mapping.get(key, default): native for an exact dict, a method call otherwise.
inline nb::object map_get(nb::handle mapping, nb::handle key, nb::handle dflt) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (v) return nb::borrow(v);
        if (PyErr_Occurred()) raise_pending();
        return nb::borrow(dflt);
    }
    return mapping.attr("get")(key, dflt);
}
inline nb::object map_get(nb::handle mapping, const char* key, nb::handle dflt) {
    return map_get(mapping, nb::str(key), dflt);
}

inline nb::object get_item(nb::handle mapping, const char* key) {
    nb::str k(key);
    return checked(PyObject_GetItem(mapping.ptr(), k.ptr()));
}

inline bool truth(nb::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    if (t < 0) raise_pending();
    return t != 0;
}

// The items of a sequence as a tuple of its own: Python code run later
// cannot change what the caller iterates.
inline nb::object items_of(nb::handle seq, const char* what) {
    if (PyTuple_CheckExact(seq.ptr())) return nb::borrow(seq);
    PyObject* t = PySequence_Tuple(seq.ptr());
    if (!t && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        raise(PyExc_TypeError, "%s", what);
    }
    return checked(t);
}

// An exact dict whose keys are all exact str: looking a str key up in it runs
// no Python code. Its keys (borrowed) into *keys where given.
inline bool str_keyed(PyObject* d, std::vector<PyObject*>* keys = nullptr) {
    if (!PyDict_CheckExact(d)) return false;
    if (keys) keys->clear();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        if (keys) keys->push_back(k);
    }
    return true;
}

// Index of `key` among keys[0..n) (exact str, as `key`), trying position
// `hint` first, then the same object, then an equal text; n when absent.
// Runs no Python code.
inline size_t find_key(PyObject* key, PyObject* const* keys, size_t n, size_t hint) {
    if (hint < n && keys[hint] == key) return hint;
    for (size_t i = 0; i < n; ++i)
        if (keys[i] == key) return i;
    for (size_t i = 0; i < n; ++i)  // the hashes are cached in the str
        if (PyObject_Hash(keys[i]) == PyObject_Hash(key) && PyUnicode_Compare(keys[i], key) == 0) return i;
    return n;
}

// The items of an exact dict whose keys are all exact str, borrowed from it,
// each value also as a double where it is a plain number (plain[i]); read()
// is false for any other dict. Runs no Python code.
struct StrItems {
    std::vector<PyObject*> keys, values;
    std::vector<double> numbers;
    std::vector<unsigned char> plain;

    size_t size() const noexcept { return keys.size(); }
    bool read(PyObject* d) {
        if (!PyDict_CheckExact(d)) return false;
        const size_t n = (size_t) PyDict_GET_SIZE(d);
        keys.resize(n);
        values.resize(n);
        numbers.resize(n);
        plain.resize(n);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool f64;
        for (size_t i = 0; PyDict_Next(d, &pos, &k, &v); ++i) {
            if (!PyUnicode_CheckExact(k)) return false;
            keys[i] = k;
            values[i] = v;
            plain[i] = simple_number(v, numbers[i], f64);
        }
        return true;
    }
};

// ---------------------------------------------------------------------------
// Write-back of a simulator's two dicts, its inputs and its outputs. While
// nobody but the simulator holds them and they hold exact str keys and plain
// numbers, a sample's values wait here (inputs as the caller's objects,
// outputs as doubles) and go into the dicts only before anything reads them
// (sync). A sample then writes no dict and makes no number object
// (benchmarks/compare_builds.py: without it the MIMOSim rows are about 20 %
// slower and the LPVPlantSim row about 40 %). The dicts are compared by
// address only: a simulator that replaces them drops what waits for the old.
class WriteBack {
  public:
    std::vector<nb::object> u_keys, y_keys;   // the dicts' keys while open, in order
    std::vector<nb::object> u;                // waiting inputs, by u key (null: none)
    std::vector<double> y;                    // waiting outputs, by y key,
    std::vector<unsigned char> y_f64, y_set;  // their types, and which wait

    // Whether values may wait for these dicts. Opens for them (taking their
    // keys, which must be `want_u`/`want_y` where given) when nobody else
    // holds them; already open for them, checks that nobody else does yet
    // (else writes what waits and closes).
    bool open(nb::handle ud, nb::handle yd, const std::vector<nb::object>* want_u = nullptr,
              const std::vector<nb::object>* want_y = nullptr) {
        if (ud.ptr() == ud_ && yd.ptr() == yd_) {
            if (alone(ud, yd)) return true;
            sync(ud, yd, true);
            return false;
        }
        close();
        if (!alone(ud, yd) || !keys_of(ud, u_keys, want_u) || !keys_of(yd, y_keys, want_y)) return false;
        u.assign(u_keys.size(), nb::object());
        y.assign(y_keys.size(), 0.0);
        y_f64.assign(y_keys.size(), 0);
        y_set.assign(y_keys.size(), 0);
        ud_ = ud.ptr();
        yd_ = yd.ptr();
        return true;
    }

    // Open for exactly these dicts (whoever holds them now).
    bool holds(nb::handle ud, nb::handle yd) const noexcept { return ud.ptr() == ud_ && yd.ptr() == yd_; }

    void put_u(size_t i, PyObject* obj) {
        if (u[i].ptr() != obj) u[i] = nb::borrow(obj);
        waiting_ = true;
    }
    void put_y(size_t i, double v, bool f64) {
        y[i] = v;
        y_f64[i] = f64;
        y_set[i] = 1;
        waiting_ = true;
    }

    // Values wait: the dicts lag behind them. They are not handed out (to the
    // collector's referents) meanwhile; they hold str keys and numbers only.
    bool lags() const noexcept { return waiting_; }

    // What waits into the dicts (when they are those it waits for), then
    // closed if asked: the next sample reads the dicts again.
    void sync(nb::handle ud, nb::handle yd, bool and_close = false) {
        if (waiting_ && ud.ptr() == ud_ && yd.ptr() == yd_) {
            waiting_ = false;
            const nb::object u_dict = nb::borrow(ud),
                             y_dict = nb::borrow(yd);  // numbers replace numbers: no Python code
            for (size_t i = 0; i < u.size(); ++i)
                if (u[i].is_valid()) {
                    nb::object o = std::move(u[i]);
                    if (PyDict_SetItem(u_dict.ptr(), u_keys[i].ptr(), o.ptr()) < 0) raise_pending();
                }
            for (size_t i = 0; i < y.size(); ++i)
                if (y_set[i]) {
                    y_set[i] = 0;
                    nb::object o = number(y[i], y_f64[i]);
                    if (PyDict_SetItem(y_dict.ptr(), y_keys[i].ptr(), o.ptr()) < 0) raise_pending();
                }
        }
        if (and_close) close();
    }

    void close() {
        ud_ = yd_ = nullptr;
        waiting_ = false;
        u.clear();
        u_keys.clear();
        y_keys.clear();
    }

    int traverse(visitproc visit, void* arg) const {
        for (const auto* v : {&u_keys, &y_keys, &u})
            for (const nb::object& o : *v) Py_VISIT(o.ptr());
        return 0;
    }

  private:
    static bool alone(nb::handle ud, nb::handle yd) {
        return PyDict_CheckExact(ud.ptr()) && PyDict_CheckExact(yd.ptr()) && Py_REFCNT(ud.ptr()) == 1 &&
               Py_REFCNT(yd.ptr()) == 1;
    }
    static bool keys_of(nb::handle d, std::vector<nb::object>& keys, const std::vector<nb::object>* want) {
        keys.clear();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        double x;
        bool f64;
        while (PyDict_Next(d.ptr(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k) || !simple_number(v, x, f64)) return false;
            if (want && (keys.size() >= want->size() || (*want)[keys.size()].ptr() != k)) return false;
            keys.push_back(nb::borrow(k));
        }
        return !want || keys.size() == want->size();
    }

    const PyObject *ud_ = nullptr, *yd_ = nullptr;
    bool waiting_ = false;
};

// The instance __dict__ of an object with dynamic attributes (or None).
inline nb::object instance_dict(nb::handle self) { return nb::getattr(self, "__dict__", nb::none()); }

// The T of a bound instance (the caller checked its type); TypeError where
// __init__ has not run.
template <class T>
T& ready_inst(nb::handle o) {
    if (!nb::inst_ready(o)) raise(PyExc_TypeError, "'%.200s' object is not initialised", tp_name_of(o));
    return *nb::inst_ptr<T>(o);
}

// An empty dict shared as a parameter's default: never modified.
inline PyObject* empty_default() {
    static PyObject* d = PyDict_New();
    return d;
}

// AttributeError for an attribute that does not exist yet.
[[noreturn]] inline void raise_no_attribute(nb::handle self, const char* name) {
    raise(PyExc_AttributeError, "'%.100s' object has no attribute '%.200s'", short_name(Py_TYPE(self.ptr())), name);
}

// ---------------------------------------------------------------------------
// Rule for every binding: no borrowed reference is kept across anything that
// can run Python code (a comparison, a hash, a dict lookup with a caller's key,
// __float__/__index__, an attribute access, a decref). Take a strong reference
// (nb::borrow) to whatever comes out of a caller's container before such a
// call, and re-check anything the call could have changed.

// True when `self` is an instance of the bound type of T (or a subclass).
template <class T>
inline bool is_instance_of(nb::handle self) {
    return PyObject_TypeCheck(self.ptr(), (PyTypeObject*) nb::type<T>().ptr()) != 0;
}

// TypeError as the interpreter's own descriptors give it for a foreign self.
template <class T>
inline void check_self(nb::handle self, const char* method) {
    if (!is_instance_of<T>(self))
        raise(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%.100s' object", method,
              short_name((PyTypeObject*) nb::type<T>().ptr()), short_name(Py_TYPE(self.ptr())));
}

// ---------------------------------------------------------------------------
// Reading an untrusted state: an exact tuple of a fixed length whose items are
// read with type and bounds checks. Errors name the state and the item path,
// e.g. "invalid PID state: item 9.2: expected float, got str".
class StateView {
  public:
    StateView(nb::handle st, Py_ssize_t n, const char* what, std::string path = {})
        : what_(what), path_(std::move(path)) {
        if (!PyTuple_CheckExact(st.ptr())) fail(PyExc_TypeError, "expected tuple, got %.200s", tp_name_of(st));
        t_ = nb::borrow<nb::tuple>(st);
        if (n >= 0 && PyTuple_GET_SIZE(st.ptr()) != n)
            fail(PyExc_ValueError, "expected %zd items, got %zd", n, PyTuple_GET_SIZE(st.ptr()));
    }

    Py_ssize_t size() const { return PyTuple_GET_SIZE(t_.ptr()); }

    // The item itself (a strong reference: the state tuple keeps it alive).
    nb::object item(Py_ssize_t i) const {
        if (i < 0 || i >= size()) fail_at(i, PyExc_ValueError, "missing");
        return nb::borrow(PyTuple_GET_ITEM(t_.ptr(), i));
    }

    // An item of exactly the given type (or None when allowed).
    nb::object typed(Py_ssize_t i, PyTypeObject* tp, bool none_ok = false) const {
        nb::object o = item(i);
        if (Py_TYPE(o.ptr()) != tp && !(none_ok && o.is_none()))
            fail_at(i, PyExc_TypeError, "expected %s, got %.200s", tp->tp_name, tp_name_of(o));
        return o;
    }

    // A float (or an int, or a numpy float64) as a double.
    double real(Py_ssize_t i) const {
        nb::object o = item(i);
        PyTypeObject* tp = Py_TYPE(o.ptr());
        if (tp != &PyFloat_Type && tp != &PyLong_Type && tp != float64_type())
            fail_at(i, PyExc_TypeError, "expected float, got %.200s", tp_name_of(o));
        return to_double(o);
    }

    bool flag(Py_ssize_t i) const { return typed(i, &PyBool_Type).ptr() == Py_True; }

    long long integer(Py_ssize_t i) const {
        nb::object o = typed(i, &PyLong_Type);
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
        if (overflow) fail_at(i, PyExc_ValueError, "integer out of range");
        return v;
    }

    // A nested tuple of n items (n < 0: any length).
    StateView tuple(Py_ssize_t i, Py_ssize_t n = -1) const { return StateView(item(i), n, what_, child(i)); }

    // A tuple of floats of any length.
    std::vector<double> reals(Py_ssize_t i) const {
        StateView v = tuple(i);
        std::vector<double> out((size_t) v.size());
        for (Py_ssize_t k = 0; k < v.size(); ++k) out[(size_t) k] = v.real(k);
        return out;
    }

    // Exactly a one-dimensional numpy float64 array (any strides, either
    // byte order stated), its values into out; false for None where allowed.
    bool array(Py_ssize_t i, bool none_ok, std::vector<double>& out) const {
        static PyTypeObject* ndarray = (PyTypeObject*) nb::object(numpy_mod().attr("ndarray")).release().ptr();
        nb::object o = item(i);
        if (none_ok && o.is_none()) return false;
        if (Py_TYPE(o.ptr()) != ndarray)
            fail_at(i, PyExc_TypeError, "expected numpy.ndarray, got %.200s", tp_name_of(o));
        Py_buffer view;
        if (PyObject_GetBuffer(o.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            fail_at(i, PyExc_ValueError, "expected a readable array");
        }
        const bool ok = view.ndim == 1 && native_f64(view);
        if (ok) {
            out.resize((size_t) view.shape[0]);
            const char* p = static_cast<const char*>(view.buf);
            for (Py_ssize_t k = 0; k < view.shape[0]; ++k)
                std::memcpy(&out[(size_t) k], p + k * view.strides[0], sizeof(double));
        }
        PyBuffer_Release(&view);
        if (!ok) fail_at(i, PyExc_ValueError, "expected a one-dimensional float64 array");
        return true;
    }

    template <class... Args>
    [[noreturn]] void fail_at(Py_ssize_t i, PyObject* exc, const char* fmt, Args... args) const {
        std::string msg = std::string("invalid ") + what_ + " state: item " + child(i) + ": " + fmt;
        raise(exc, msg.c_str(), args...);
    }

    template <class... Args>
    [[noreturn]] void fail(PyObject* exc, const char* fmt, Args... args) const {
        std::string msg =
            std::string("invalid ") + what_ + " state" + (path_.empty() ? "" : ": item " + path_) + ": " + fmt;
        raise(exc, msg.c_str(), args...);
    }

  private:
    std::string child(Py_ssize_t i) const {
        return path_.empty() ? std::to_string(i) : path_ + "." + std::to_string(i);
    }

    nb::tuple t_;
    const char* what_;
    std::string path_;
};

// Pickle/copy support: `get(T&)` gives a state object; `set(T& fresh, state)`
// (or `set(T& fresh, state, version)`) validates the whole state and builds it
// on a default-constructed T. The state is (core, __dict__, version): `version`
// is the layout of `core`, raised whenever a class changes it, so snapshots of
// earlier releases keep loading; a state without it, (core, __dict__), is
// version 0. __setstate__ checks self's type, runs `set` on the fresh value and
// only then swaps it (and the merged __dict__) in, so a bad state raises and
// changes nothing.
template <class T, class Cls, class Get, class Set>
void def_pickle(Cls& cls, Get get, Set set, long version = 1) {
    cls.def("__getstate__", [get, version](nb::handle self) {
        check_self<T>(self, "__getstate__");
        if (!nb::inst_ready(self)) raise(PyExc_TypeError, "__getstate__(): the object is not initialised");
        T& t = *nb::inst_ptr<T>(self);
        nb::object d = instance_dict(self);
        if (!d.is_none()) d = nb::dict(nb::borrow<nb::dict>(d));
        nb::object core = get(t);
        return nb::make_tuple(core, d, version);
    });
    // Every protocol (0 and 1 included) rebuilds through cls.__new__ and
    // __setstate__; a subclass's own __reduce__ still wins.
    cls.def(
        "__reduce_ex__",
        [](nb::handle self, nb::handle protocol) {
            nb::handle tp = (PyObject*) Py_TYPE(self.ptr());
            nb::object own = nb::getattr(tp, "__reduce__");
            nb::object base = nb::getattr((PyObject*) &PyBaseObject_Type, "__reduce__");
            if (!own.is(base)) return nb::object(self.attr("__reduce__")());
            (void) protocol;
            nb::object newobj = nb::module_::import_("copyreg").attr("__newobj__");
            return nb::object(nb::make_tuple(newobj, nb::make_tuple(tp), self.attr("__getstate__")()));
        },
        nb::sig("def __reduce_ex__(self, protocol: int, /) -> tuple"));
    cls.def(
        "__setstate__",
        [set, version](nb::handle self, nb::handle state) {
            check_self<T>(self, "__setstate__");
            const bool versioned = PyTuple_CheckExact(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 3;
            StateView sv(state, versioned ? 3 : 2, short_name((PyTypeObject*) nb::type<T>().ptr()));
            long v = 0;
            if (versioned) {
                v = (long) sv.integer(2);
                if (v < 0 || v > version)
                    sv.fail_at(2, PyExc_ValueError, "layout version %ld is not one this release reads (0 to %ld)", v,
                               version);
            }
            nb::object d = sv.typed(1, &PyDict_Type, true);
            T fresh;
            if constexpr (std::is_invocable_v<Set&, T&, nb::handle, long>)
                set(fresh, sv.item(0), v);
            else
                set(fresh, sv.item(0));
            nb::object merged;
            if (!d.is_none()) {
                nb::object own = instance_dict(self);
                if (own.is_none()) {
                    if (nb::len(d) != 0) raise(PyExc_TypeError, "invalid state: the object has no __dict__");
                } else {
                    PyObject* m = PyDict_Copy(own.ptr());
                    if (!m) raise_pending();
                    merged = nb::steal(m);
                    if (PyDict_Update(merged.ptr(), d.ptr()) < 0) raise_pending();
                }
            }
            // Nothing below runs Python code before both parts are in place.
            T* p = nb::inst_ptr<T>(self);
            if (nb::inst_ready(self)) {
                T old(std::move(*p));
                *p = std::move(fresh);
                if (merged.is_valid()) PyObject_SetAttrString(self.ptr(), "__dict__", merged.ptr());
            } else {
                new (p) T(std::move(fresh));
                nb::inst_mark_ready(self);
                if (merged.is_valid()) PyObject_SetAttrString(self.ptr(), "__dict__", merged.ptr());
            }
            if (PyErr_Occurred()) raise_pending();
        },
        nb::sig("def __setstate__(self, state: tuple, /) -> None"));
}

// ---------------------------------------------------------------------------
// Garbage-collector support for classes that hold Python objects. T provides
// `int traverse(visitproc, void*)` (Py_VISIT on every object it holds) and
// `void clear()` (drops them, leaving a state whose methods raise rather than
// crash). The instance __dict__ of a dynamic-attribute class is visited and
// cleared here as well.
template <class T>
int gc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const Py_ssize_t off = Py_TYPE(self)->tp_dictoffset;
    if (off > 0) Py_VISIT(*(PyObject**) ((char*) self + off));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<T>(self)->traverse(visit, arg);
}

template <class T>
int gc_clear(PyObject* self) {
    const Py_ssize_t off = Py_TYPE(self)->tp_dictoffset;
    if (off > 0) Py_CLEAR(*(PyObject**) ((char*) self + off));
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    return 0;
}

// GC support for a binding struct whose Python objects are the nb::object
// members that `fields()` lists (an array of pointers to them).
template <class D>
struct ObjectFields {
    int traverse(visitproc visit, void* arg) {
        for (nb::object* f : static_cast<D*>(this)->fields()) Py_VISIT(f->ptr());
        return 0;
    }
    void clear() {
        for (nb::object* f : static_cast<D*>(this)->fields()) {
            nb::object drop = std::move(*f);
            *f = nb::none();
        }
    }
};

// For a class that holds no Python object but needs GC support (def_call).
struct NoPyObjects {
    int traverse(visitproc, void*) { return 0; }
    void clear() {}
};

template <class T>
inline PyType_Slot gc_slots[] = {
    {Py_tp_traverse, (void*) gc_traverse<T>}, {Py_tp_clear, (void*) gc_clear<T>}, {0, nullptr}};

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

// Sets the Python error for the C++ exception being handled: call it from
// `catch (...)` where native code returns to the interpreter.
inline void set_error_from_current() {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        restore_builtin(e);
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// f() for a C API entry point: 0, or -1 with the Python error set for
// whatever f threw.
template <class F>
int guarded(F&& f) noexcept {
    try {
        f();
        return 0;
    } catch (...) {
        set_error_from_current();
    }
    return -1;
}

template <size_t N>
struct FastSignature {
    const char* func;                  // for messages: "run"
    std::array<const char*, N> names;  // parameter names, in order
    size_t required;                   // leading parameters without default
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
        return run(self, slots, sig->func);
    }
    static PyObject* run(PyObject* self, PyObject* (&slots)[N], const char* func) {
        if (!nb::inst_ready(self)) {
            PyErr_Format(PyExc_TypeError, "%s(): the object is not initialised", func);
            return nullptr;
        }
        try {
            return Body{}(nb::handle(self), *nb::inst_ptr<T>(self), slots);
        } catch (...) {
            set_error_from_current();
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
    auto* def = new PyMethodDef{name, (PyCFunction) (void (*)(void)) FastHolder<T, N, Body>::call,
                                METH_FASTCALL | METH_KEYWORDS, docstr->c_str()};
    PyObject* descr = PyDescr_NewMethod((PyTypeObject*) cls.ptr(), def);
    if (!descr) raise_pending();
    int rc = PyObject_SetAttrString(cls.ptr(), name, descr);
    Py_DECREF(descr);
    if (rc) raise_pending();
}

// Callable instances: obj(...) through the vectorcall protocol, without the
// tuple, dict and method lookup of a __call__ reached through tp_call. T holds
// `vectorcallfunc vectorcall = instance_call<T, N, Body>;`. An instance made by
// __new__ alone has no function there (instances are allocated zeroed): the
// interpreter then takes tp_call, which reports the uninitialised object.
// def_call installs Body as __call__ too, for help(), inspect and explicit calls.
template <class T, size_t N, class Body>
PyObject* instance_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return FastHolder<T, N, Body>::call(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

inline PyObject* instance_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "__call__(): the object is not initialised");
        return nullptr;
    }
    return PyVectorcall_Call(self, args, kwargs);
}

template <class T, size_t N, class Body>
void def_call(nb::handle cls, std::array<const char*, N> names, size_t required, const char* text_signature,
              const char* doc, Body body) {
    PyTypeObject* tp = (PyTypeObject*) cls.ptr();
    // GC types are allocated zeroed (or reused with our own function in place);
    // any other allocation could leave a stray pointer in the vectorcall slot.
    if (!(tp->tp_flags & Py_TPFLAGS_HAVE_GC))
        raise(PyExc_SystemError, "def_call: %s needs GC support (gc_slots)", tp->tp_name);
    def_fast<T>(cls, "__call__", names, required, text_signature, doc, body);
    nb::object probe = nb::inst_alloc(cls);
    tp->tp_vectorcall_offset = (char*) &nb::inst_ptr<T>(probe)->vectorcall - (char*) probe.ptr();
    tp->tp_call = instance_tp_call;
    tp->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    PyType_Modified(tp);
}

// Signatures for inspect/help: every class of the module gets a __signature__
// descriptor read from nanobind's signature text. Call at the end of NB_MODULE.
inline void install_signatures(nb::module_& m) {
    nb::module_::import_("corvane.algorithm._introspect").attr("install")(m);
}

}  // namespace corvane::bind

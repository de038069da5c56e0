// corvane.algorithm.excitation: the test-signal generator.
#include "bindkit.hpp"

#include <corvane/testsignal.hpp>

#include <array>
#include <cstdint>
#include <cstring>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

using corvane::TestSignal;
constexpr Py_ssize_t kTableBytes = TestSignal::kTableSize * (Py_ssize_t) sizeof(double);

PyObject* g_globals = nullptr;  // the module's globals: `time` is read there at each use

struct PyTS;
struct CallBody {
    PyObject* operator()(nb::handle self, PyTS& s, PyObject* (&a)[1]) const;
};

struct PyTS {
    vectorcallfunc vectorcall = instance_call<PyTS, 1, CallBody>;
    TestSignal core;
    nb::object ET = nb::int_(10);  // _ET as stored (an int of any size)
    bool ET_native = true;         // core.ET holds it
    nb::object amp = nb::float_(1.0);
    nb::object table_view;  // read-only numpy view of the table, made on first access

    void set_ET(nb::handle v) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (x == -1 && PyErr_Occurred()) raise_pending();
        ET = nb::borrow(v);
        ET_native = !overflow && TestSignal::half_period_in_range(x);
        core.ET = ET_native ? x : 0;
    }

    int traverse(visitproc visit, void* arg) {
        for (nb::object* o : {&amp, &table_view, &ET}) Py_VISIT(o->ptr());
        return 0;
    }
    void clear() { nb::object a = std::move(amp), t = std::move(table_view); }
};

PyTypeObject* numpy_integer() {
    static PyTypeObject* tp = (PyTypeObject*) nb::object(nb::module_::import_("numpy").attr("integer")).release().ptr();
    return tp;
}

// The table as bytes: native order for numpy, little-endian in a saved state.
nb::bytes table_bytes(const std::vector<double>& t, bool little_endian) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, kTableBytes);
    if (!b) raise_pending();
    unsigned char* out = (unsigned char*) PyBytes_AS_STRING(b);
    for (size_t i = 0; i < t.size(); ++i) {
        std::uint64_t u;
        std::memcpy(&u, &t[i], 8);
        if (little_endian)
            for (int k = 0; k < 8; ++k) out[8 * i + k] = (unsigned char) (u >> (8 * k));
        else
            std::memcpy(out + 8 * i, &u, 8);
    }
    return nb::steal<nb::bytes>(b);
}

// Reads a table of duty fractions; false when a value is out of [0, 1].
bool read_table(const char* src, bool little_endian, std::vector<double>& t) {
    t.resize((size_t) TestSignal::kTableSize);
    const unsigned char* in = (const unsigned char*) src;
    for (size_t i = 0; i < t.size(); ++i) {
        std::uint64_t u = 0;
        if (little_endian)
            for (int k = 0; k < 8; ++k) u |= (std::uint64_t) in[8 * i + k] << (8 * k);
        else
            std::memcpy(&u, in + 8 * i, 8);
        std::memcpy(&t[i], &u, 8);
        if (!TestSignal::fraction_ok(t[i])) return false;
    }
    return true;
}

nb::object table_view(PyTS& s) {
    if (!s.table_view.is_valid()) {
        nb::object np = nb::module_::import_("numpy");
        s.table_view = np.attr("frombuffer")(table_bytes(s.core.table, false), "dtype"_a = np.attr("float64"));
    }
    return s.table_view;
}

nb::object amp_of(nb::handle self, PyTS& s) {
    if (!s.amp.is_valid()) raise_no_attribute(self, "_amp");
    return s.amp;
}

// A time that is neither an int nor a numpy integer fails where the
// interpreter and numpy make it fail: t // P, then the table index.
[[noreturn]] void fail_time(PyTS& s, nb::handle t) {
    nb::object P = nb::steal(PyNumber_Multiply(nb::int_(2).ptr(), s.ET.ptr()));
    if (!P.is_valid()) raise_pending();
    nb::object q = nb::steal(PyNumber_FloorDivide(t.ptr(), P.ptr()));
    if (!q.is_valid()) raise_pending();
    nb::object id = nb::steal(PyNumber_Remainder(q.ptr(), nb::int_(TestSignal::kTableSize).ptr()));
    if (!id.is_valid()) raise_pending();
    nb::object item = nb::steal(PyObject_GetItem(table_view(s).ptr(), id.ptr()));
    if (!item.is_valid()) raise_pending();
    raise(PyExc_TypeError, "TestSignal: the time must be an int or a numpy integer, got %.200s", tp_name_of(t));
}

// (U, next1, ..., next5); the nexts are ints, or of result_type when given.
PyObject* sample_tuple(PyObject* amp, const TestSignal::Sample& r, PyTypeObject* result_type) {
    nb::object out = nb::steal(PyTuple_New(6));
    if (!out.is_valid()) raise_pending();
    PyObject* U;
    if (r.high)
        U = Py_NewRef(amp);
    else if (PyFloat_CheckExact(amp))
        U = PyFloat_FromDouble(-PyFloat_AS_DOUBLE(amp));
    else
        U = PyNumber_Negative(amp);
    if (!U) raise_pending();
    PyTuple_SET_ITEM(out.ptr(), 0, U);
    for (int i = 0; i < 5; ++i) {
        PyObject* v = PyLong_FromLongLong(r.next[i]);
        if (v && result_type) {
            PyObject* c = PyObject_CallOneArg((PyObject*) result_type, v);
            Py_DECREF(v);
            v = c;
        }
        if (!v) raise_pending();
        PyTuple_SET_ITEM(out.ptr(), i + 1, v);
    }
    return out.release().ptr();
}

PyObject* CallBody::operator()(nb::handle self, PyTS& s, PyObject* (&a)[1]) const {
    int overflow = 0;
    // The usual case first: an int time and a usable half period.
    if (a[0] && PyLong_CheckExact(a[0]) && s.ET_native && s.core.ET != 0 && s.amp.is_valid()) {
        const long long tv = PyLong_AsLongLongAndOverflow(a[0], &overflow);
        if (!overflow) {
            nb::object amp = s.amp;  // held: the negation may run code that replaces it
            return sample_tuple(amp.ptr(), s.core.at(tv), nullptr);
        }
    }
    nb::object now;
    nb::handle t = a[0] ? nb::handle(a[0]) : nb::none();
    if (t.is_none()) {
        now = nb::steal(PyNumber_Long(wall_clock(g_globals).ptr()));
        if (!now.is_valid()) raise_pending();
        t = now;
    }
    nb::object index;  // a numpy integer's value
    PyTypeObject* result_type = nullptr;
    if (!PyLong_Check(t.ptr())) {
        if (!PyObject_TypeCheck(t.ptr(), numpy_integer())) fail_time(s, t);
        index = nb::steal(PyNumber_Index(t.ptr()));
        if (!index.is_valid()) raise_pending();
        result_type = Py_TYPE(t.ptr());
        t = index;
    }
    const long long tv = PyLong_AsLongLongAndOverflow(t.ptr(), &overflow);
    if (tv == -1 && PyErr_Occurred()) raise_pending();
    if (s.ET_native && s.core.ET == 0) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    if (overflow || !s.ET_native) raise(PyExc_OverflowError, "TestSignal: time or half period out of range");
    nb::object amp = amp_of(self, s);
    return sample_tuple(amp.ptr(), s.core.at(tv), result_type);
}

PyTS& ts_of(nb::handle h) { return nb::cast<PyTS&>(h); }

const char* kCallDoc =
    "The signal at time t (whole seconds since the epoch; None: now).\n"
    "\n"
    "Returns (U, next1, next2, next3, next4, next5): U is +amplitude in the high\n"
    "part of the period and -amplitude in the low part; next1..next5 are the\n"
    "seconds from t to the next five switching instants.";

// Held across seeding numpy's global generator and drawing the table from it,
// so that constructions in several threads each draw their own seed's table.
// Reentrant: a SEED whose conversion constructs another TestSignal cannot
// deadlock. Other users of numpy's global generator are not serialised by it.
PyObject* g_draw_lock = nullptr;

nb::object seed_and_draw(nb::handle random, nb::handle SEED) {
    nb::handle lock(g_draw_lock);
    lock.attr("acquire")();
    nb::object ints;
    try {
        random.attr("seed")(SEED);
        ints = random.attr("randint")(10, 91, "size"_a = TestSignal::kTableSize);
    } catch (...) {
        PyObject* r = PyObject_CallMethod(lock.ptr(), "release", nullptr);  // the first error is the one reported
        if (r) Py_DECREF(r);
        PyErr_Clear();
        throw;
    }
    lock.attr("release")();
    return ints;
}

}  // namespace

NB_MODULE(excitation, m) {
    m.doc() = "Two-level excitation signal with a random duty cycle per period.";
    m.attr("np") = numpy_mod();
    m.attr("time") = nb::module_::import_("time");
    g_globals = keep_globals(m);
    g_draw_lock = nb::module_::import_("threading").attr("RLock")().release().ptr();

    nb::class_<PyTS> cls(m, "TestSignal", nb::dynamic_attr(), nb::type_slots(gc_slots<PyTS>),
                         "Rectangular test signal between +amplitude and -amplitude with a period of\n"
                         "2*ET seconds and a duty fraction (0.10 ... 0.90) drawn per period.\n"
                         "Construction reseeds numpy's global random generator with SEED and draws\n"
                         "the table of 10000 duty fractions from it.");

    cls.def(
        "__init__",
        [](PyTS* p, nb::handle SEED) {
            nb::object random = nb::module_::import_("numpy").attr("random");
            nb::object ints = seed_and_draw(random, SEED);
            nb::object frac = nb::steal(PyNumber_TrueDivide(ints.ptr(), nb::int_(100).ptr()));
            if (!frac.is_valid()) raise_pending();
            nb::object raw = frac.attr("astype")("float64").attr("tobytes")();
            if (!PyBytes_CheckExact(raw.ptr()) || PyBytes_GET_SIZE(raw.ptr()) != kTableBytes)
                raise(PyExc_ValueError, "TestSignal: the duty table must hold %zd float64 values",
                      (Py_ssize_t) TestSignal::kTableSize);
            PyTS s;
            if (!read_table(PyBytes_AS_STRING(raw.ptr()), false, s.core.table))
                raise(PyExc_ValueError, "TestSignal: duty fractions must lie in [0, 1]");
            new (p) PyTS(std::move(s));
        },
        "SEED"_a.none() = nb::none(), nb::sig("def __init__(self, SEED: int | None = None) -> None"));

    cls.def("get_ET", [](PyTS& s) { return s.ET; }, nb::sig("def get_ET(self) -> int"), "The half period in seconds.");
    cls.def(
        "set_ET",
        [](PyTS& s, nb::handle ET) {
            nb::object v = nb::steal(PyNumber_Long(ET.ptr()));
            if (!v.is_valid()) raise_pending();
            s.set_ET(v);
        },
        "ET"_a.none() = 10, nb::sig("def set_ET(self, ET: int = 10) -> None"),
        "Set the half period (stored as int(ET)); the period is 2*ET seconds.");
    cls.def(
        "get_amplitude", [](nb::handle self) { return amp_of(self, ts_of(self)); },
        nb::sig("def get_amplitude(self) -> float"), "The amplitude.");
    cls.def(
        "set_amplitude",
        [](PyTS& s, nb::handle amp) {
            nb::object zero = nb::float_(0.0);
            s.amp = compare(amp, zero, Py_GT) ? nb::borrow(amp) : zero;
        },
        "amp"_a.none() = 1.0, nb::sig("def set_amplitude(self, amp: float = 1.0) -> None"),
        "Set the amplitude: amp itself when amp > 0.0, else 0.0.");

    def_call<PyTS>(cls, std::array<const char*, 1>{"t"}, 0, "($self, t=None)", kCallDoc, CallBody{});

    cls.def_prop_rw(
        "_ET", [](PyTS& s) { return s.ET; },
        [](PyTS& s, nb::handle v) {
            check_arg(v, &PyLong_Type, "_ET");
            s.set_ET(v);
        });
    cls.def_prop_rw(
        "_amp", [](nb::handle self) { return amp_of(self, ts_of(self)); },
        [](PyTS& s, nb::handle v) { s.amp = nb::borrow(v); });
    cls.def_prop_ro(
        "_rand_arr", [](PyTS& s) { return table_view(s); },
        "The duty fraction of each period (read-only float64 array of 10000).");

    def_pickle<PyTS>(
        cls,
        [](PyTS& s) {
            nb::object amp = s.amp.is_valid() ? s.amp : nb::object(nb::float_(0.0));
            return nb::make_tuple(s.ET, amp, table_bytes(s.core.table, true));
        },
        [](PyTS& s, nb::handle st) {
            StateView v(st, 3, "TestSignal");
            s.set_ET(v.typed(0, &PyLong_Type));
            s.amp = v.item(1);
            nb::object raw = v.typed(2, &PyBytes_Type);
            if (PyBytes_GET_SIZE(raw.ptr()) != kTableBytes)
                v.fail_at(2, PyExc_ValueError, "expected %zd bytes, got %zd", kTableBytes, PyBytes_GET_SIZE(raw.ptr()));
            if (!read_table(PyBytes_AS_STRING(raw.ptr()), true, s.core.table))
                v.fail_at(2, PyExc_ValueError, "duty fractions must lie in [0, 1]");
        });
    install_signatures(m);
}

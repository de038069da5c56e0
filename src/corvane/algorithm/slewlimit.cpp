// corvane.algorithm.slewlimit: the rate limiter block.
#include "exactkit.hpp"

#include <corvane/ratelimit.hpp>

#include "blockapi.hpp"

#include <array>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

struct PyRateLimit;
struct CallBody {
    PyObject* operator()(nb::handle, PyRateLimit& r, PyObject* (&a)[3]) const;
};

struct PyRateLimit {
    vectorcallfunc vectorcall = instance_call<PyRateLimit, 3, CallBody>;
    corvane::RateLimit core;
    // What Python sees: the previous output (a float, or the caller's target
    // object once it was reached) and the sample period as passed.
    nb::object u_last, Ts;
    bool u_exact = false;   // u_last is a float or a small int, its value in core.u_last
    bool ts_exact = false;  // Ts is a float or an int, its value in core.Ts

    // Old objects are released last: their finalisers may run Python code.
    void set_u_last(nb::handle v) {
        nb::object old = std::move(u_last);
        u_last = nb::borrow(v);
        u_exact = small_real(v.ptr(), core.u_last);
    }
    void set_Ts(nb::handle v) {
        nb::object old = std::move(Ts);
        Ts = nb::borrow(v);
        ts_exact = false;
        if (PyFloat_CheckExact(v.ptr()) || PyLong_CheckExact(v.ptr())) {
            double t;
            ts_exact = as_double(v.ptr(), t);
            if (ts_exact)
                core.Ts = t;
            else
                PyErr_Clear();
        }
    }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(u_last.ptr());
        Py_VISIT(Ts.ptr());
        return 0;
    }
    void clear() {
        u_last.reset();
        Ts.reset();
        u_exact = ts_exact = false;
    }
};

// |(rate / 60) * Ts| with the interpreter's operators.
nb::object per_sample(nb::handle rate, nb::handle Ts) {
    nb::object sixty = nb::int_(60);
    nb::object q = checked(PyNumber_TrueDivide(rate.ptr(), sixty.ptr()));
    nb::object p = checked(PyNumber_Multiply(q.ptr(), Ts.ptr()));
    return checked(PyNumber_Absolute(p.ptr()));
}

// One sample with any objects, step by step as the interpreter evaluates it.
// Returns float(u_out); u_last changes only when everything has succeeded.
PyObject* step_generic(PyRateLimit& r, nb::handle u_end, nb::handle P, nb::handle N) {
    if (!r.u_last.is_valid() || !r.Ts.is_valid()) raise(PyExc_TypeError, "RateLimit: the object is not initialised");
    nb::object u_last = r.u_last, Ts = r.Ts;
    nb::object rise = per_sample(P, Ts);
    nb::object fall =
        N.is_none() ? checked(PyNumber_Negative(rise.ptr())) : checked(PyNumber_Negative(per_sample(N, Ts).ptr()));
    nb::object zero = nb::int_(0);
    nb::object d = checked(PyNumber_Subtract(u_end.ptr(), u_last.ptr()));
    nb::object u_out;
    if (compare(d, zero, Py_GE)) {
        d = checked(PyNumber_Subtract(u_end.ptr(), u_last.ptr()));
        u_out = compare(d, rise, Py_GT) ? checked(PyNumber_Add(u_last.ptr(), rise.ptr())) : nb::borrow(u_end);
    } else {
        d = checked(PyNumber_Subtract(u_end.ptr(), u_last.ptr()));
        u_out = compare(d, fall, Py_LT) ? checked(PyNumber_Add(u_last.ptr(), fall.ptr())) : nb::borrow(u_end);
    }
    nb::object result = checked(PyNumber_Float(u_out.ptr()));
    r.set_u_last(u_out);
    return result.release().ptr();
}

PyObject* CallBody::operator()(nb::handle, PyRateLimit& r, PyObject* (&a)[3]) const {
    PyObject* u_end = a[0];
    PyObject* P = a[1];
    PyObject* N = a[2] ? a[2] : Py_None;
    double ue, pr = 60.0, nr = 0.0;
    const bool has_fall = N != Py_None;
    if (r.u_exact && r.ts_exact && small_real(u_end, ue) && (!P || small_real(P, pr)) &&
        (!has_fall || small_real(N, nr))) {
        corvane::RateLimit next = r.core;
        const corvane::RateStep s = next.step(ue, pr, has_fall, nr);
        // float(u_out): a float target is returned itself.
        PyObject* out = s.reached && PyFloat_CheckExact(u_end) ? Py_NewRef(u_end) : PyFloat_FromDouble(s.value);
        if (!out) raise_pending();
        r.core = next;
        // The target object itself becomes u_last when it was reached.
        r.u_last = nb::borrow(s.reached ? u_end : out);
        r.u_exact = true;
        return out;
    }
    nb::object p_default;
    if (!P) {
        p_default = nb::int_(60);
        P = p_default.ptr();
    }
    return step_generic(r, u_end, P, N);
}

const char* kDoc =
    "Rate limiter: moves its output toward a target by at most a rising or falling rate in units\n"
    "per minute, that is abs(rate / 60 * Ts) per sample (Ts in seconds).";

const char* kCallDoc =
    "One sample toward u_end; NRLimPerMin None limits falling by the rising rate. Returns the\n"
    "output as a float and keeps it in u_last (the target object itself when it was reached).";

// The closed-loop runner's access (blockapi.hpp).
corvane::BlockApi<corvane::RateLimit> g_block_api{
    corvane::kBlockApiVersion, nullptr,
    [](PyObject* obj, corvane::RateLimit* core) {
        if (Py_TYPE(obj) != g_block_api.type || !nb::inst_ready(obj)) return 0;
        const PyRateLimit& r = *nb::inst_ptr<PyRateLimit>(obj);
        if (!r.u_exact || !r.ts_exact) return 0;
        *core = r.core;
        return 1;
    },
    [](PyObject* obj, const corvane::RateLimit* core) {
        PyRateLimit& r = *nb::inst_ptr<PyRateLimit>(obj);
        nb::object u = nb::steal(PyFloat_FromDouble(core->u_last));
        if (!u.is_valid()) return -1;
        r.core = *core;
        r.u_last = std::move(u);  // the float output, or the float target reached
        r.u_exact = true;
        return 0;
    }};

}  // namespace

NB_MODULE(slewlimit, m) {
    m.doc() = "Rate limiter block.";

    nb::class_<PyRateLimit> cls(m, "RateLimit", nb::dynamic_attr(), nb::type_slots(gc_slots<PyRateLimit>), kDoc);
    def_call<PyRateLimit>(cls, std::array<const char*, 3>{"u_end", "PRLimPerMin", "NRLimPerMin"}, 1,
                          "($self, u_end, PRLimPerMin=60, NRLimPerMin=None)", kCallDoc, CallBody{});
    cls.def(
        "__init__",
        [](PyRateLimit* p, nb::handle u_ini, nb::handle Ts) {
            const double u = to_double(u_ini);
            new (p) PyRateLimit();
            p->set_u_last(nb::float_(u));
            p->set_Ts(Ts);
        },
        "u_ini"_a.none(), "Ts"_a.none() = 1, nb::sig("def __init__(self, u_ini: float, Ts: float = 1) -> None"));
    cls.def(
        "reset", [](PyRateLimit& r, nb::handle u_ini) { r.set_u_last(nb::float_(to_double(u_ini))); }, "u_ini"_a.none(),
        nb::sig("def reset(self, u_ini: float) -> None"), "Start the next ramp from u_ini (Ts unchanged).");
    cls.def_prop_rw(
        "u_last", [](PyRateLimit& r) { return r.u_last.is_valid() ? r.u_last : nb::none(); },
        [](PyRateLimit& r, nb::handle v) { r.set_u_last(v); }, nb::for_setter("value"_a.none()),
        "Output of the previous sample.");
    cls.def_prop_rw(
        "Ts", [](PyRateLimit& r) { return r.Ts.is_valid() ? r.Ts : nb::none(); },
        [](PyRateLimit& r, nb::handle v) { r.set_Ts(v); }, nb::for_setter("value"_a.none()),
        "Sample period in seconds, as passed.");

    def_pickle<PyRateLimit>(
        cls,
        [](PyRateLimit& r) {
            auto or_none = [](const nb::object& o) { return o.is_valid() ? o : nb::none(); };
            return nb::make_tuple(or_none(r.u_last), or_none(r.Ts));
        },
        [](PyRateLimit& r, nb::handle st) {
            StateView sv(st, 2, "RateLimit");
            r.set_u_last(sv.item(0));
            r.set_Ts(sv.item(1));
        });
    g_block_api.type = (PyTypeObject*) cls.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.slewlimit._block_api_RateLimit", &g_block_api) < 0)
        raise_pending();
    install_signatures(m);
}

// corvane.algorithm.clampguard: the anti-windup limiter block.
#include "exactkit.hpp"

#include <corvane/antiwindup.hpp>

#include "blockapi.hpp"

#include <array>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

PyTypeObject* g_type = nullptr;
// The default limits, the ints 100 and 0 (immortal small ints).
PyObject* g_hi_default = nullptr;
PyObject* g_lo_default = nullptr;

struct PyAntiWindup;
struct CallBody {
    PyObject* operator()(nb::handle, PyAntiWindup& p, PyObject* (&a)[3]) const;
};

struct PyAntiWindup {
    vectorcallfunc vectorcall = instance_call<PyAntiWindup, 3, CallBody>;
    corvane::AntiWindup core;
    // The previous output as Python sees it: a float or a limit object itself.
    nb::object y0;
    bool y0_exact = false;  // y0 is a float or a small int, its value in core.y0

    // The old object is released last: its finaliser may run Python code.
    void set_y0(nb::handle v) {
        nb::object old = std::move(y0);
        y0 = nb::borrow(v);
        y0_exact = small_real(v.ptr(), core.y0);
    }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(y0.ptr());
        return 0;
    }
    void clear() {
        y0.reset();
        y0_exact = false;
        core.started = false;
    }
};

// LO when LO > v, else v; then HI when HI < that: the interpreter's comparisons.
nb::object clamp_obj(nb::handle v, nb::handle hi, nb::handle lo) {
    nb::object t = compare(lo, v, Py_GT) ? nb::borrow(lo) : nb::borrow(v);
    return compare(hi, t, Py_LT) ? nb::borrow(hi) : t;
}

// One sample; the state changes only when the whole sample has succeeded.
PyObject* limit(PyAntiWindup& p, PyObject* u_in, PyObject* HI, PyObject* LO) {
    const double u = to_double(u_in);
    double hi = 100.0, lo = 0.0;
    bool exact = !p.core.started || p.y0_exact;
    if (HI)
        exact = exact && small_real(HI, hi);
    else
        HI = g_hi_default;
    if (LO)
        exact = exact && small_real(LO, lo);
    else
        LO = g_lo_default;

    if (exact) {
        corvane::AntiWindup next = p.core;
        corvane::ClampSide side;
        const double y = next.step(u, hi, lo, side);
        PyObject* out = side == corvane::ClampSide::lo   ? Py_NewRef(LO)
                        : side == corvane::ClampSide::hi ? Py_NewRef(HI)
                                                         : PyFloat_FromDouble(y);
        if (!out) raise_pending();
        p.core = next;
        p.y0 = nb::borrow(out);
        p.y0_exact = true;
        return out;
    }

    // Limits or a previous output of other types: the interpreter's operators.
    if (p.core.started && !p.y0.is_valid()) raise(PyExc_TypeError, "AntiWindupLimter: the object is not initialised");
    nb::object u_obj = nb::float_(u);
    const double u0 = p.core.started ? p.core.u0 : u;
    nb::object y0 = p.core.started ? p.y0 : clamp_obj(u_obj, HI, LO);
    nb::object delta = nb::float_(u - u0);
    nb::object y = clamp_obj(checked(PyNumber_Add(y0.ptr(), delta.ptr())), HI, LO);
    p.core.started = true;
    p.core.u0 = u;
    p.set_y0(y);
    return y.release().ptr();
}

PyObject* CallBody::operator()(nb::handle, PyAntiWindup& p, PyObject* (&a)[3]) const {
    return limit(p, a[0], a[1], a[2]);
}

struct RunBody {
    PyObject* operator()(nb::handle self, PyAntiWindup& p, PyObject* (&a)[3]) const {
        if (Py_TYPE(self.ptr()) == g_type) return limit(p, a[0], a[1], a[2]);
        // A subclass may have its own __call__: call the object, positionally.
        PyObject* args[3] = {a[0], a[1] ? a[1] : g_hi_default, a[2] ? a[2] : g_lo_default};
        PyObject* r = PyObject_Vectorcall(self.ptr(), args, 3, nullptr);
        if (!r) raise_pending();
        return r;
    }
};

const char* kDoc =
    "Anti-windup limiter: the output follows the input's change from sample to sample and is\n"
    "clamped to [LO, HI]; movement beyond a limit is discarded, so the output leaves the limit as\n"
    "soon as the input turns back.";

const char* kCallDoc =
    "One sample: the limited output, a float, or the limit object itself when the value lies\n"
    "strictly beyond that limit.";

// The closed-loop runner's access (blockapi.hpp).
corvane::BlockApi<corvane::AntiWindupRun> g_block_api{
    corvane::kBlockApiVersion, nullptr,
    [](PyObject* obj, corvane::AntiWindupRun* core) {
        if (Py_TYPE(obj) != g_block_api.type || !nb::inst_ready(obj)) return 0;
        const PyAntiWindup& p = *nb::inst_ptr<PyAntiWindup>(obj);
        if (p.core.started && !p.y0_exact) return 0;
        core->core = p.core;
        core->y0 = p.y0.ptr() == g_hi_default   ? corvane::AntiWindupRun::hi_default
                   : p.y0.ptr() == g_lo_default ? corvane::AntiWindupRun::lo_default
                                                : corvane::AntiWindupRun::value;
        return 1;
    },
    [](PyObject* obj, const corvane::AntiWindupRun* core) {
        PyAntiWindup& p = *nb::inst_ptr<PyAntiWindup>(obj);
        if (!core->core.started) return 0;
        nb::object y0 = core->y0 == corvane::AntiWindupRun::hi_default   ? nb::borrow(g_hi_default)
                        : core->y0 == corvane::AntiWindupRun::lo_default ? nb::borrow(g_lo_default)
                                                                         : nb::steal(PyFloat_FromDouble(core->core.y0));
        if (!y0.is_valid()) return -1;
        p.core = core->core;
        p.set_y0(y0);
        return 0;
    }};

}  // namespace

NB_MODULE(clampguard, m) {
    m.doc() = "Anti-windup limiter block.";

    nb::class_<PyAntiWindup> cls(m, "AntiWindupLimter", nb::dynamic_attr(), nb::type_slots(gc_slots<PyAntiWindup>),
                                 kDoc);
    g_type = (PyTypeObject*) cls.ptr();
    g_hi_default = PyLong_FromLong(100);
    g_lo_default = PyLong_FromLong(0);
    def_call<PyAntiWindup>(cls, std::array<const char*, 3>{"u", "HI", "LO"}, 1, "($self, u, HI=100, LO=0)", kCallDoc,
                           CallBody{});
    cls.def(nb::init<>());
    def_fast<PyAntiWindup>(cls, "run", std::array<const char*, 3>{"u", "HI", "LO"}, 1, "($self, u, HI=100, LO=0)",
                           "One sample, the same as calling the object with (u, HI, LO).", RunBody{});
    cls.def_prop_ro(
        "_u0",
        [](PyAntiWindup& p) -> nb::object { return p.core.started ? nb::object(nb::float_(p.core.u0)) : nb::none(); },
        "Input of the previous call (None before the first).");
    cls.def_prop_ro(
        "_y0", [](PyAntiWindup& p) -> nb::object { return p.core.started && p.y0.is_valid() ? p.y0 : nb::none(); },
        "Output of the previous call (None before the first).");

    def_pickle<PyAntiWindup>(
        cls,
        [](PyAntiWindup& p) {
            if (!p.core.started || !p.y0.is_valid()) return nb::make_tuple(nb::none(), nb::none());
            return nb::make_tuple(p.core.u0, p.y0);
        },
        [](PyAntiWindup& p, nb::handle st) {
            StateView sv(st, 2, "AntiWindupLimter");
            nb::object u0 = sv.typed(0, &PyFloat_Type, true);
            nb::object y0 = sv.item(1);
            if (u0.is_none() != y0.is_none()) sv.fail(PyExc_ValueError, "_u0 and _y0 must both be None or both be set");
            if (!u0.is_none()) {
                p.core.started = true;
                p.core.u0 = PyFloat_AS_DOUBLE(u0.ptr());
                p.set_y0(y0);
            }
        });
    g_block_api.type = (PyTypeObject*) cls.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.clampguard._block_api_AntiWindupLimter", &g_block_api) <
        0)
        raise_pending();
    install_signatures(m);
}

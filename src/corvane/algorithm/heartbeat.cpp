// corvane.algorithm.heartbeat: the WatchDog heartbeat counter.
//
// `ticks` is kept natively while it is a plain int; a value of any other type
// assigned by the caller is kept as given, and the call then runs on the
// interpreter's own operators.
#include "bindkit.hpp"
#include "blockapi.hpp"

#include <corvane/watchdog.hpp>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

struct PyWatchDog;
struct CallBody {
    PyObject* operator()(nb::handle, PyWatchDog& w, PyObject* (&a)[1]) const;
};

struct PyWatchDog {
    vectorcallfunc vectorcall = instance_call<PyWatchDog, 1, CallBody>;  // obj(...) enters here
    corvane::WatchDog core;
    nb::object other;  // ticks when it is not a native int

    nb::object ticks() const { return other.is_valid() ? other : nb::steal(PyLong_FromLongLong(core.ticks)); }

    void set_ticks(nb::handle v) {
        if (PyLong_CheckExact(v.ptr())) {
            int overflow = 0;
            const long long t = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
            if (!overflow && !(t == -1 && PyErr_Occurred())) {
                core.ticks = t;
                other.reset();
                return;
            }
            PyErr_Clear();
        }
        other = nb::borrow(v);
    }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(other.ptr());
        return 0;
    }
    void clear() {
        other.reset();
        core.ticks = 0;
    }
};

// The cycle length of a plain int, bool or float MaxOut, when it is native.
bool native_cycle(PyObject* o, long long& n) {
    if (PyFloat_CheckExact(o)) return corvane::cycle_length(PyFloat_AS_DOUBLE(o), n);
    if (PyLong_CheckExact(o) || PyBool_Check(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        return corvane::cycle_length(v, n);
    }
    return false;
}

PyObject* CallBody::operator()(nb::handle, PyWatchDog& w, PyObject* (&a)[1]) const {
    nb::object zero = nb::steal(PyLong_FromLong(0));
    PyObject* MaxOut = a[0] ? a[0] : zero.ptr();
    long long n;
    if (!w.other.is_valid() && native_cycle(MaxOut, n) && w.core.step(n)) return PyLong_FromLongLong(w.core.ticks);
    // (ticks + 1) % int(MaxOut + 1), operand by operand as the interpreter evaluates it.
    nb::object one = nb::steal(PyLong_FromLong(1));
    nb::object next = checked(PyNumber_Add(w.ticks().ptr(), one.ptr()));
    nb::object length = checked(PyNumber_Long(checked(PyNumber_Add(MaxOut, one.ptr())).ptr()));
    nb::object ticks = checked(PyNumber_Remainder(next.ptr(), length.ptr()));
    w.set_ticks(ticks);
    check_result(ticks, &PyLong_Type);
    return ticks.release().ptr();
}

// The closed-loop runner's access (blockapi.hpp).
corvane::BlockApi<corvane::WatchDog> g_block_api{corvane::kBlockApiVersion, nullptr,
                                                 [](PyObject* obj, corvane::WatchDog* core) {
                                                     if (Py_TYPE(obj) != g_block_api.type || !nb::inst_ready(obj))
                                                         return 0;
                                                     const PyWatchDog& w = *nb::inst_ptr<PyWatchDog>(obj);
                                                     if (w.other.is_valid()) return 0;
                                                     *core = w.core;
                                                     return 1;
                                                 },
                                                 [](PyObject* obj, const corvane::WatchDog* core) {
                                                     nb::inst_ptr<PyWatchDog>(obj)->core = *core;
                                                     return 0;
                                                 }};

}  // namespace

NB_MODULE(heartbeat, m) {
    m.doc() = "Heartbeat counter for watchdog supervision.";

    nb::class_<PyWatchDog> cls(m, "WatchDog", nb::type_slots(gc_slots<PyWatchDog>),
                               "Heartbeat counter: each call returns the next value of 0, 1, ..., MaxOut, 0, ...\n"
                               "A supervisor that sees the value frozen raises a watchdog alarm.");
    cls.def("__init__", [](PyWatchDog* w) { new (w) PyWatchDog(); });
    cls.def_prop_rw(
        "ticks", [](PyWatchDog& w) { return w.ticks(); }, [](PyWatchDog& w, nb::object v) { w.set_ticks(v); },
        nb::for_setter(nb::arg("value").none()), "The last output; 0 after construction.");
    def_call<PyWatchDog>(cls, std::array<const char*, 1>{"MaxOut"}, 0, "($self, MaxOut=0)",
                         "Advance the counter: ticks = (ticks + 1) % int(MaxOut + 1); returns ticks.", CallBody{});
    def_pickle<PyWatchDog>(
        cls, [](PyWatchDog& w) { return nb::make_tuple(w.ticks()); },
        [](PyWatchDog& w, nb::handle st) {
            StateView sv(st, 1, "WatchDog");
            nb::object t = sv.item(0);
            PyTypeObject* tp = Py_TYPE(t.ptr());
            if (tp != &PyLong_Type && tp != &PyFloat_Type && tp != &PyBool_Type)
                sv.fail_at(0, PyExc_TypeError, "expected int, got %.200s", tp_name_of(t));
            w.set_ticks(t);
        });
    g_block_api.type = (PyTypeObject*) cls.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.heartbeat._block_api_WatchDog", &g_block_api) < 0)
        raise_pending();
    install_signatures(m);
}

// Binding floor: no-op methods with the same named arguments as the blocks'
// per-sample calls, one through the blocks' vectorcall helpers, one through
// nanobind's dispatcher.
#include "bindkit.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {
struct Floor {};
// Same five named arguments as SoftSensorBiasUpdate.run.
struct BiasFloor {};
struct BiasNoOp {
    PyObject* operator()(nb::handle, BiasFloor&, PyObject* (&) [5]) const { return PyFloat_FromDouble(0.0); }
};
struct NoOp {
    PyObject* operator()(nb::handle, Floor&, PyObject* (&) [5]) const { return PyFloat_FromDouble(0.0); }
};

// Callable objects: Delay(Ut, nLag=1) and RateLimit(u_end, PRLimPerMin=60, NRLimPerMin=None),
// and AntiWindupLimter.run(u, HI=100, LO=0).
struct DelayFloor;
struct RateFloor;
struct DelayNoOp {
    PyObject* operator()(nb::handle, DelayFloor&, PyObject* (&a)[2]) const { return Py_NewRef(a[0]); }
};
struct RateNoOp {
    PyObject* operator()(nb::handle, RateFloor&, PyObject* (&) [3]) const { return PyFloat_FromDouble(0.0); }
};
struct DelayFloor : corvane::bind::NoPyObjects {
    vectorcallfunc vectorcall = corvane::bind::instance_call<DelayFloor, 2, DelayNoOp>;
};
struct RateFloor : corvane::bind::NoPyObjects {
    vectorcallfunc vectorcall = corvane::bind::instance_call<RateFloor, 3, RateNoOp>;
};
struct NbCallFloor {};
struct ClampFloor {};
struct ClampNoOp {
    PyObject* operator()(nb::handle, ClampFloor&, PyObject* (&) [3]) const { return PyFloat_FromDouble(0.0); }
};
// A simulator call that does nothing: takes the MV and disturbance dicts and
// returns a new one-CV dict, installed like MIMOSim.__call__.
struct SimFloor;
struct SimNoOp {
    PyObject* operator()(nb::handle, SimFloor&, PyObject* (&) [2]) const {
        static PyObject* cv = PyUnicode_InternFromString("CV");
        PyObject* d = PyDict_New();
        if (!d) return nullptr;
        nb::object v = corvane::bind::make_float64(0.0);
        if (PyDict_SetItem(d, cv, v.ptr()) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
        return d;
    }
};
struct SimFloor : corvane::bind::NoPyObjects {
    vectorcallfunc vectorcall = corvane::bind::instance_call<SimFloor, 2, SimNoOp>;
};

// Same call path as LDLAG.__call__ (its own vectorcall slot, one argument u)
// and the same result type, doing nothing.
struct CallFloor;
struct CallNoOp {
    PyObject* operator()(nb::handle, CallFloor&, PyObject* (&) [1]) const {
        return corvane::bind::make_float64(0.0).release().ptr();
    }
};
struct CallFloor : corvane::bind::NoPyObjects {
    vectorcallfunc vectorcall = corvane::bind::instance_call<CallFloor, 1, CallNoOp>;
};
}  // namespace

// No-op __call__ floors for the test-signal generator (t=None; returns a fresh
// tuple of six like it) and the constant detector (Ut, DectLen=10), installed
// like theirs.
namespace {
struct CallFloor1;
struct CallFloor2;
struct NoOpCall1 {  // builds a result of the same shape: (1.0, 1, 2, 3, 4, 5)
    PyObject* operator()(nb::handle, CallFloor1&, PyObject* (&) [1]) const {
        PyObject* r = PyTuple_New(6);
        if (!r) return nullptr;
        PyTuple_SET_ITEM(r, 0, PyFloat_FromDouble(1.0));
        for (int i = 1; i < 6; ++i) PyTuple_SET_ITEM(r, i, PyLong_FromLong(i));
        return r;
    }
};
struct NoOpCall2 {
    PyObject* operator()(nb::handle, CallFloor2&, PyObject* (&) [2]) const { return Py_NewRef(Py_None); }
};
struct CallFloor1 : corvane::bind::NoPyObjects {
    vectorcallfunc vectorcall = corvane::bind::instance_call<CallFloor1, 1, NoOpCall1>;
};
struct CallFloor2 : corvane::bind::NoPyObjects {
    vectorcallfunc vectorcall = corvane::bind::instance_call<CallFloor2, 2, NoOpCall2>;
};

void def_call_floors(nb::module_& m) {
    nb::class_<CallFloor1> c1(m, "SignalFloor", nb::type_slots(corvane::bind::gc_slots<CallFloor1>));
    c1.def(nb::init<>());
    corvane::bind::def_call<CallFloor1>(c1, std::array<const char*, 1>{"t"}, 0, "($self, t=None)", "No-op.",
                                        NoOpCall1{});
    nb::class_<CallFloor2> c2(m, "DetectFloor", nb::type_slots(corvane::bind::gc_slots<CallFloor2>));
    c2.def(nb::init<>());
    corvane::bind::def_call<CallFloor2>(c2, std::array<const char*, 2>{"Ut", "DectLen"}, 1, "($self, Ut, DectLen=10)",
                                        "No-op.", NoOpCall2{});
}
}  // namespace

void bind_logic_floors(nb::module_& m);

NB_MODULE(_benchfloor, m) {
    def_call_floors(m);
    nb::class_<Floor> cls(m, "Floor");
    cls.def(nb::init<>());
    corvane::bind::def_fast<Floor>(cls, "run", std::array<const char*, 5>{"MODE", "SP", "PV", "TV", "FF"}, 4,
                                   "($self, MODE, SP, PV, TV, FF=0.0)", "No-op.", NoOp{});
    cls.def(
        "run_nb", [](Floor&, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle) { return 0.0; }, "MODE"_a,
        "SP"_a, "PV"_a, "TV"_a, "FF"_a = 0.0);

    nb::class_<SimFloor> sim(m, "SimFloor", nb::type_slots(corvane::bind::gc_slots<SimFloor>));
    sim.def(nb::init<>());
    corvane::bind::def_call<SimFloor>(sim, std::array<const char*, 2>{"u_Value_Dict", "v_Value_Dict"}, 0,
                                      "($self, u_Value_Dict={}, v_Value_Dict={})", "No-op.", SimNoOp{});
    nb::class_<CallFloor> cf(m, "CallFloor", nb::type_slots(corvane::bind::gc_slots<CallFloor>));
    cf.def(nb::init<>());
    corvane::bind::def_call<CallFloor>(cf, std::array<const char*, 1>{"u"}, 1, "($self, u)", "No-op.", CallNoOp{});

    nb::class_<BiasFloor> bias(m, "BiasFloor");
    bias.def(nb::init<>());
    corvane::bind::def_fast<BiasFloor>(
        bias, "run", std::array<const char*, 5>{"prd_data", "lab_data", "lab_time", "prd_time", "update_trigger"}, 3,
        "($self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None)", "No-op.", BiasNoOp{});
    nb::class_<DelayFloor> delay(m, "DelayFloor", nb::type_slots(corvane::bind::gc_slots<DelayFloor>));
    delay.def(nb::init<>());
    corvane::bind::def_call<DelayFloor>(delay, std::array<const char*, 2>{"Ut", "nLag"}, 1, "($self, Ut, nLag=1)",
                                        "No-op.", DelayNoOp{});
    nb::class_<RateFloor> rate(m, "RateFloor", nb::type_slots(corvane::bind::gc_slots<RateFloor>));
    rate.def(nb::init<>());
    corvane::bind::def_call<RateFloor>(rate, std::array<const char*, 3>{"u_end", "PRLimPerMin", "NRLimPerMin"}, 1,
                                       "($self, u_end, PRLimPerMin=60, NRLimPerMin=None)", "No-op.", RateNoOp{});
    nb::class_<NbCallFloor> nbcall(m, "NbCallFloor");
    nbcall.def(nb::init<>());
    nbcall.def("__call__", [](NbCallFloor&, nb::handle Ut, nb::handle) { return Ut; }, "Ut"_a, "nLag"_a = 1);
    nb::class_<ClampFloor> clamp(m, "ClampFloor");
    clamp.def(nb::init<>());
    corvane::bind::def_fast<ClampFloor>(clamp, "run", std::array<const char*, 3>{"u", "HI", "LO"}, 1,
                                        "($self, u, HI=100, LO=0)", "No-op.", ClampNoOp{});
    bind_logic_floors(m);
}

// Function-block floor: a no-op call() (METH_NOARGS, as the blocks use) that reads
// the same attributes as the blocks' call(): Ut, DT, ET and Ut_array of a timer,
// or S, R and Q_array of a latch (the benchmark sets them on the instance). And a
// no-op call of the object itself, obj(MaxOut=0), through the blocks'
// instance-vectorcall helper, for the watchdog.
namespace {
struct FBFloor {};

template <int Kind>
PyObject* fb_call(PyObject* self, PyObject*) {
    static const char* timer[] = {"Ut", "DT", "ET", "Ut_array"};
    static const char* latch[] = {"S", "R", "Q_array"};
    static PyObject* names[4] = {};
    const char** src = Kind == 0 ? timer : latch;
    const int n = Kind == 0 ? 4 : 3;
    for (int i = 0; i < n; ++i) {
        if (!names[i]) names[i] = PyUnicode_InternFromString(src[i]);
        PyObject* v = PyObject_GetAttr(self, names[i]);
        if (!v) return nullptr;
        Py_DECREF(v);
    }
    Py_RETURN_NONE;
}

template <int Kind>
void def_fb_call(nb::handle cls) {
    static PyMethodDef def{"call", (PyCFunction) fb_call<Kind>, METH_NOARGS, nullptr};
    PyObject* descr = PyDescr_NewMethod((PyTypeObject*) cls.ptr(), &def);
    PyObject_SetAttrString(cls.ptr(), "call", descr);
    Py_XDECREF(descr);
}

struct WatchDogFloor;
struct NoOpCall {
    PyObject* operator()(nb::handle, WatchDogFloor&, PyObject* (&) [1]) const { return PyLong_FromLong(0); }
};
struct WatchDogFloor : corvane::bind::NoPyObjects {
    vectorcallfunc vectorcall = corvane::bind::instance_call<WatchDogFloor, 1, NoOpCall>;
};
}  // namespace

void bind_logic_floors(nb::module_& m) {
    nb::class_<FBFloor> timer(m, "TimerFloor", nb::dynamic_attr());
    timer.def(nb::init<>());
    for (const char* a : {"Ut", "DT", "ET", "Yt"}) timer.attr(a) = 0;
    def_fb_call<0>(timer);
    struct LatchTag {};
    nb::class_<LatchTag> latch(m, "LatchFloor", nb::dynamic_attr());
    latch.def(nb::init<>());
    for (const char* a : {"S", "R"}) latch.attr(a) = 0;
    def_fb_call<1>(latch);
    nb::class_<WatchDogFloor> wd(m, "WatchDogFloor", nb::type_slots(corvane::bind::gc_slots<WatchDogFloor>));
    wd.def(nb::init<>());
    corvane::bind::def_call<WatchDogFloor>(wd, std::array<const char*, 1>{"MaxOut"}, 0, "($self, MaxOut=0)", "No-op.",
                                           NoOpCall{});
}

// Binding floor: no-op methods with the same named arguments as the blocks'
// per-sample calls, one through the blocks' vectorcall helpers, one through
// nanobind's dispatcher.
#include "bindkit.hpp"
#include "callkit.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {
struct Floor {};
struct NoOp {
    PyObject* operator()(nb::handle, Floor&, PyObject* (&)[5]) const { return PyFloat_FromDouble(0.0); }
};

// Callable objects: Delay(Ut, nLag=1) and RateLimit(u_end, PRLimPerMin=60, NRLimPerMin=None).
vectorcallfunc g_delay_entry = nullptr, g_rate_entry = nullptr;
struct DelayFloor {
    corvane::bind::CallEntry entry{g_delay_entry};
    int traverse(visitproc, void*) { return 0; }
    void clear() {}
};
struct DelayNoOp {
    PyObject* operator()(nb::handle, DelayFloor&, PyObject* (&a)[2]) const { return Py_NewRef(a[0]); }
};
struct RateFloor {
    corvane::bind::CallEntry entry{g_rate_entry};
    int traverse(visitproc, void*) { return 0; }
    void clear() {}
};
struct RateNoOp {
    PyObject* operator()(nb::handle, RateFloor&, PyObject* (&)[3]) const { return PyFloat_FromDouble(0.0); }
};
struct NbCallFloor {};
// AntiWindupLimter.run(u, HI=100, LO=0).
struct ClampFloor {};
struct ClampNoOp {
    PyObject* operator()(nb::handle, ClampFloor&, PyObject* (&)[3]) const { return PyFloat_FromDouble(0.0); }
};
}  // namespace

NB_MODULE(_benchfloor, m) {
    nb::class_<Floor> cls(m, "Floor");
    cls.def(nb::init<>());
    corvane::bind::def_fast<Floor>(cls, "run", std::array<const char*, 5>{"MODE", "SP", "PV", "TV", "FF"}, 4,
                                   "($self, MODE, SP, PV, TV, FF=0.0)", "No-op.", NoOp{});
    cls.def(
        "run_nb", [](Floor&, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle) { return 0.0; }, "MODE"_a,
        "SP"_a, "PV"_a, "TV"_a, "FF"_a = 0.0);

    using corvane::bind::gc_call_slots;
    nb::class_<DelayFloor> delay(m, "DelayFloor", nb::type_slots(gc_call_slots<DelayFloor>));
    delay.def(nb::init<>());
    g_delay_entry = corvane::bind::def_call<DelayFloor>(delay, std::array<const char*, 2>{"Ut", "nLag"}, 1,
                                                         "($self, Ut, nLag=1)", "No-op.", DelayNoOp{});
    nb::class_<RateFloor> rate(m, "RateFloor", nb::type_slots(gc_call_slots<RateFloor>));
    rate.def(nb::init<>());
    g_rate_entry = corvane::bind::def_call<RateFloor>(
        rate, std::array<const char*, 3>{"u_end", "PRLimPerMin", "NRLimPerMin"}, 1,
        "($self, u_end, PRLimPerMin=60, NRLimPerMin=None)", "No-op.", RateNoOp{});
    nb::class_<NbCallFloor> nbcall(m, "NbCallFloor");
    nbcall.def(nb::init<>());
    nbcall.def(
        "__call__", [](NbCallFloor&, nb::handle Ut, nb::handle) { return Ut; }, "Ut"_a, "nLag"_a = 1);
    nb::class_<ClampFloor> clamp(m, "ClampFloor");
    clamp.def(nb::init<>());
    corvane::bind::def_fast<ClampFloor>(clamp, "run", std::array<const char*, 3>{"u", "HI", "LO"}, 1,
                                        "($self, u, HI=100, LO=0)", "No-op.", ClampNoOp{});
}

// Binding floor: no-op methods with the same five named arguments as PID.run,
// one through the blocks' vectorcall helper, one through nanobind's dispatcher.
#include "bindkit.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {
struct Floor {};
struct NoOp {
    PyObject* operator()(nb::handle, Floor&, PyObject* (&)[5]) const { return PyFloat_FromDouble(0.0); }
};
// A simulator call that does nothing: takes the MV and disturbance dicts and
// returns a new one-CV dict, bound like MIMOSim.__call__.
struct SimFloor {
    nb::object cv = nb::str("CV");
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

    nb::class_<SimFloor> sim(m, "SimFloor");
    sim.def(nb::init<>());
    sim.def(
        "__call__",
        [](SimFloor& s, nb::handle, nb::handle) {
            nb::dict d;
            d[s.cv] = corvane::bind::make_float64(0.0);
            return d;
        },
        "u_Value_Dict"_a.none() = nb::dict(), "v_Value_Dict"_a.none() = nb::dict());
}

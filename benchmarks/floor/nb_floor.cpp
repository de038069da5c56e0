// Binding floor: no-op methods with the same five named arguments as PID.run,
// one through the blocks' vectorcall helper, one through nanobind's dispatcher.
#include "bindkit.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {
struct Floor {};
// Same five named arguments as SoftSensorBiasUpdate.run.
struct BiasFloor {};
struct BiasNoOp {
    PyObject* operator()(nb::handle, BiasFloor&, PyObject* (&)[5]) const { return PyFloat_FromDouble(0.0); }
};
struct NoOp {
    PyObject* operator()(nb::handle, Floor&, PyObject* (&)[5]) const { return PyFloat_FromDouble(0.0); }
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

    nb::class_<BiasFloor> bias(m, "BiasFloor");
    bias.def(nb::init<>());
    corvane::bind::def_fast<BiasFloor>(
        bias, "run", std::array<const char*, 5>{"prd_data", "lab_data", "lab_time", "prd_time", "update_trigger"}, 3,
        "($self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None)", "No-op.", BiasNoOp{});
}

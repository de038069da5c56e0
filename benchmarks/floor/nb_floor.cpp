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

// Same call path as LDLAG.__call__ (its own vectorcall slot, one argument u)
// and the same result type, doing nothing.
vectorcallfunc g_call_floor = nullptr;
struct CallFloor {
    vectorcallfunc vc = g_call_floor;
};
int floor_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}
int floor_clear(PyObject*) { return 0; }
struct CallNoOp {
    PyObject* operator()(nb::handle, CallFloor&, PyObject* (&)[1]) const {
        return corvane::bind::make_float64(0.0).release().ptr();
    }
};
PyType_Slot call_floor_slots[4];
}  // namespace

NB_MODULE(_benchfloor, m) {
    nb::class_<Floor> cls(m, "Floor");
    cls.def(nb::init<>());
    corvane::bind::def_fast<Floor>(cls, "run", std::array<const char*, 5>{"MODE", "SP", "PV", "TV", "FF"}, 4,
                                   "($self, MODE, SP, PV, TV, FF=0.0)", "No-op.", NoOp{});
    cls.def(
        "run_nb", [](Floor&, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle) { return 0.0; }, "MODE"_a,
        "SP"_a, "PV"_a, "TV"_a, "FF"_a = 0.0);

    call_floor_slots[0] = corvane::bind::call_slot<CallFloor>(std::array<const char*, 1>{"u"}, 1, CallNoOp{});
    call_floor_slots[1] = {Py_tp_traverse, (void*) floor_traverse};
    call_floor_slots[2] = {Py_tp_clear, (void*) floor_clear};
    call_floor_slots[3] = {0, nullptr};
    nb::class_<CallFloor> cf(m, "CallFloor", nb::type_slots(call_floor_slots));
    g_call_floor = corvane::bind::enable_vectorcall<CallFloor>(cf, &CallFloor::vc, std::array<const char*, 1>{"u"}, 1,
                                                               "($self, u)", "No-op.", CallNoOp{});
    cf.def(nb::init<>());

    nb::class_<BiasFloor> bias(m, "BiasFloor");
    bias.def(nb::init<>());
    corvane::bind::def_fast<BiasFloor>(
        bias, "run", std::array<const char*, 5>{"prd_data", "lab_data", "lab_time", "prd_time", "update_trigger"}, 3,
        "($self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None)", "No-op.", BiasNoOp{});
}

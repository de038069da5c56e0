// What other modules may use of multiloop's simulators (the blended plant,
// the closed-loop runner): exported as the capsule
// corvane.algorithm.multiloop._plant_api, so that one copy of the simulator
// code runs, whichever module drives it.
//
// A client asks for a simulator's engine, which is ready when the simulator
// can take a sample natively now; it may then step it any number of times
// while it runs no Python code. Anything else calls the simulator itself.
// Snapshots save a simulator's dynamic state, to put back when a later part
// of the client's sample fails.
#pragma once

#include "bindkit.hpp"

#include <corvane/mimo.hpp>

#include <cstddef>
#include <vector>

namespace corvane {

// A ready engine, as the client sees it (filled by `engine`; no initial
// values, so that arrays of views cost nothing to make). The pointers stay
// valid, and the values current, until Python code runs.
struct PlantView {
    std::size_t nmv, ncv;
    PyObject* const* mv_keys;    // exact str, in MV order
    PyObject* const* cv_keys;    // exact str, in CV order
    const double* u;             // the current MV values
    const double* y;             // the outputs of the last sample
    const unsigned char* y_f64;  // their types: 1 numpy float64, 0 float
    void* engine;                // the simulator's engine (for `step`)
};

struct PlantSnapshot;  // opaque outside multiloop

// A simulator's plant copied out for a native run (the closed-loop runner):
// the plant core with filters of its own, and the simulator's current inputs
// and outputs.
struct PlantCopy {
    MimoPlant core;
    std::vector<double> u, y;                 // current MV values, last CV values
    std::vector<unsigned char> y_f64;         // each CV's output type: 1 numpy float64, 0 float
    std::vector<PyObject*> mv_keys, cv_keys;  // exact str, valid while the simulator stays as it is
};

struct PlantApi {
    unsigned version;
    PyTypeObject* mimo_type;  // MIMOSim (SISOSim derives from it)
    // 1 with *view filled when `sim` can take a native sample now with the MV
    // values u_values (the items of the dict its __call__ would take, read
    // once for every plant of a client; no disturbance): a MIMOSim of the
    // library's own models and plain numbers, whose class has no __call__ of
    // its own and whose dicts nobody else holds (the sample's values then
    // wait in the engine until something reads them), and every value of one
    // of its MVs a plain number; 0 when it cannot (call the simulator
    // instead); -1 with an exception set. Runs no Python code and changes
    // nothing.
    int (*engine)(PyObject* sim, const bind::StrItems* u_values, PlantView* view);
    // The sample `engine` found possible, taken now: before any Python code
    // runs (u_values and its values held by the caller). Cannot fail and runs
    // no Python code; *view then shows the outputs.
    void (*step)(PlantView* view);
    // The plant of a simulator whose engine is ready, copied into *copy: 1,
    // 0 when the simulator cannot run natively, -1 with an exception set.
    int (*copy_out)(PyObject* sim, PlantCopy* copy);
    // A copy that took samples put back: filter states, outputs, and the MV
    // values that samples gave (given[j]), written as floats. 0, or -1 with an
    // exception set (the simulator changed meanwhile) and nothing changed.
    int (*copy_in)(PyObject* sim, const PlantCopy* copy, const unsigned char* given);
    PlantSnapshot* (*snapshot_new)();
    void (*snapshot_free)(PlantSnapshot*);
    // Appends the dynamic state of `sim` (its native filters, its _u_dict and
    // _y_dict): 0, or -1 with an exception set.
    int (*snapshot_save)(PlantSnapshot*, PyObject* sim);
    // Puts back everything saved, the latest first, then empties the snapshot.
    void (*snapshot_restore)(PlantSnapshot*);
};

inline constexpr unsigned kPlantApiVersion = 11;
inline constexpr const char* kPlantApiCapsule = "corvane.algorithm.multiloop._plant_api";

// multiloop's plant interface, of the version this module was built for.
inline const PlantApi* import_plant_api() {
    const PlantApi* api = bind::capsule<PlantApi>("corvane.algorithm.multiloop", kPlantApiCapsule);
    if (api->version != kPlantApiVersion)
        bind::raise(PyExc_ImportError, "the plant interface of corvane.algorithm.multiloop is of another version");
    return api;
}

// A simulator the engine may advance: a MIMOSim (of `mimo`, the MIMOSim
// type) whose class has no __call__ of its own, which is to be called.
inline bool native_plant(PyTypeObject* mimo, PyObject* sim) {
    return PyObject_TypeCheck(sim, mimo) && Py_TYPE(sim)->tp_call == mimo->tp_call;
}

}  // namespace corvane

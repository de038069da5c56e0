// Native entry points of multiloop's simulator for other modules (the blended
// plant): exported as the capsule corvane.algorithm.multiloop._plant_api, so
// that one copy of the simulator code runs, whichever module drives it.
#pragma once

#include <Python.h>

namespace corvane {

// The dynamic state of simulators, saved before they advance and put back
// when a later step of the same call fails. Opaque outside multiloop.
struct PlantSnapshot;

struct PlantApi {
    unsigned version;
    PyTypeObject* mimo_type;  // MIMOSim (SISOSim derives from it)
    // One sample of a MIMOSim, as its __call__ without the result dict:
    // 0, or -1 with an exception set and the simulator unchanged.
    int (*step)(PyObject* sim, PyObject* u_values, PyObject* v_values);
    // The simulator's _y_dict (borrowed), or null with an exception set.
    PyObject* (*outputs)(PyObject* sim);
    PlantSnapshot* (*snapshot_new)();
    void (*snapshot_free)(PlantSnapshot*);
    // Appends the state of `sim` to the snapshot: 0, or -1 with an exception set.
    int (*snapshot_save)(PlantSnapshot*, PyObject* sim);
    // Puts back everything saved, the latest first; then empties the snapshot.
    void (*snapshot_restore)(PlantSnapshot*);
    void (*snapshot_clear)(PlantSnapshot*);
    // The compiled path in two halves, so that several plants can be checked
    // before any of them advances. prepare: 1 prepared (token set), 0 not
    // applicable (use step), -1 error; it runs no Python code and changes
    // nothing. commit: advances the prepared plant, 0 or -1.
    int (*fast_prepare)(PyObject* sim, PyObject* u_values, PyObject* v_values, unsigned long long* token);
    int (*fast_commit)(PyObject* sim, unsigned long long token);
};

inline constexpr unsigned kPlantApiVersion = 2;
inline constexpr const char* kPlantApiCapsule = "corvane.algorithm.multiloop._plant_api";

}  // namespace corvane

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
    // The simulator's _y_dict (borrowed) for its keys only: its values may
    // lag behind the last sample. Null with an exception set on error.
    PyObject* (*output_keys)(PyObject* sim);
    // The outputs of the last sample while they are kept natively (a
    // compiled sample, nothing has read _y_dict since): 1 with the count,
    // the keys of _y_dict in order, the values and their numpy-float64 flags
    // (valid until the simulator runs again); 0 when they are to be read
    // from _y_dict. Runs no Python code.
    int (*fast_outputs)(PyObject* sim, size_t* n, PyObject* const** keys, const double** y, const unsigned char** f64);
    // The compiled path once it is set up, with nothing else to check: 1 when
    // hot_step_all may advance the plant, with its MV tags (exact str, in order)
    // in *keys, *n of them, and the compilation's number in *id (never
    // reused: the same number means the same tags, CV tags and outputs
    // layout); 0 otherwise. Runs no Python code.
    int (*hot_ready)(PyObject* sim, unsigned long long* id, size_t* n, PyObject* const** keys);
    // hot_ready for n plants at once, each with the compilation number it is
    // expected to have: 1 when all are ready with those numbers; 0 when one
    // is not ready; -1 when one has another number. Runs no Python code.
    int (*hot_ready_all)(PyObject* const* sims, const unsigned long long* ids, size_t n);
    // One sample, without a disturbance, of n plants that hot_ready_all
    // accepted: MV j of plant i is tag t = tag[off[i] + j], its new value
    // objs[t] (an exact float, numpy float64 or int, held by the caller;
    // vals[t] its double), or null to keep the value. Their outputs are then
    // read through fast_outputs. Runs no Python code.
    void (*hot_step_all)(PyObject* const* sims, size_t n, const size_t* off, const size_t* tag, const double* vals,
                         PyObject* const* objs);
};

inline constexpr unsigned kPlantApiVersion = 6;

// A simulator the native entry points may advance: a MIMOSim (of `mimo`, the
// MIMOSim type) whose class has no __call__ of its own, which is to be called.
inline bool native_plant(PyTypeObject* mimo, PyObject* sim) {
    return PyObject_TypeCheck(sim, mimo) && Py_TYPE(sim)->tp_call == mimo->tp_call;
}
inline constexpr const char* kPlantApiCapsule = "corvane.algorithm.multiloop._plant_api";

}  // namespace corvane

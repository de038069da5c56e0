// What a block module gives the closed-loop runner (corvane.loop): the state
// of one of its objects as the core struct its binding runs, copied out and
// put back. The runner steps the copy natively, with float inputs, and puts
// it back once every sample of its run has succeeded. Exported per class as
// the capsule <module>._block_api_<Class>, a BlockApi<Core>.
#pragma once

#include <Python.h>

#include "plantapi.hpp"

#include <corvane/antiwindup.hpp>
#include <corvane/blend.hpp>

#include <string>
#include <vector>

namespace corvane {

template <class Core>
struct BlockApi {
    unsigned version;
    PyTypeObject* type;  // objects of exactly this class (a subclass may override the call)
    // 1 with *core filled when the object's state is its core alone, so that
    // samples with float inputs may run on a copy; 0 when not (the runner
    // calls the object instead); -1 with an exception set. Runs no Python code.
    int (*take)(PyObject* obj, Core* core);
    // The copy, after samples, put back as if they had been taken through the
    // object's own method with float inputs (and unwired pins at their
    // defaults): 0, or -1 with an exception set and the object unchanged.
    int (*put)(PyObject* obj, const Core* core);
};

inline constexpr unsigned kBlockApiVersion = 1;

// The anti-windup limiter's state as its object holds it: the previous output
// may be a default limit object itself (the ints 100 and 0) rather than a float.
struct AntiWindupRun {
    AntiWindup core;
    enum : unsigned char { value, hi_default, lo_default } y0 = value;
};

// A blended plant as a native run needs it: a copy of every local plant (in
// working-point order), where each plant's MVs and CVs are among the
// simulator's own (its input and output pins), the initial values of the
// CVs, and what a run leaves: the CV values (and which a sample wrote), the
// MV values samples gave, the working value and the plants' weights.
struct BlendedRun {
    struct Plant {
        PlantCopy copy;
        std::vector<long> mv, cv;          // index of each of the plant's MVs / CVs among the simulator's
        std::vector<unsigned char> given;  // the plant's MVs that samples gave
    };
    std::vector<Plant> plants;
    std::vector<double> xp;             // working points, strictly increasing
    std::vector<std::string> cv_names;  // the simulator's CV tags (for KeyError)
    std::vector<double> ini, y, u;      // per CV: initial value, value; per MV: value
    std::vector<unsigned char> ini_f64, y_f64, written, given;
    double working = 0.0;
    BlendWeights weights;  // of the last sample, between plants i1 and i2
    std::size_t i1 = 0, i2 = 0;
    bool stepped = false;
};

// Exports `api` under `name` in `module` (a capsule named as the attribute).
template <class Core>
inline int export_block_api(PyObject* module, const char* name, BlockApi<Core>* api) {
    PyObject* cap = PyCapsule_New(api, name, nullptr);
    if (!cap) return -1;
    const char* attr = name;
    for (const char* p = name; *p; ++p)
        if (*p == '.') attr = p + 1;
    const int r = PyObject_SetAttrString(module, attr, cap);
    Py_DECREF(cap);
    return r;
}

}  // namespace corvane

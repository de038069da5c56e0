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
#include <corvane/constdetect.hpp>
#include <corvane/delay.hpp>
#include <corvane/exact_count.hpp>
#include <corvane/latch.hpp>
#include <corvane/leadlag.hpp>
#include <corvane/timers.hpp>

#include <cstring>
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

// The lead-lag filter with its last input and output (_u_ini, _y_ini).
struct LeadLagRun {
    LeadLag core;
    double u = 0.0, y = 0.0;
};

// A Delay whose history holds floats.
struct DelayRun {
    DelayLine<double> line;
};

// The constant detector's window of floats (their values are the runs' x).
struct NoItem {};
using ConstDectRun = ConstDetector<NoItem>;

// A function block's input pin: the attribute's value, which the runner
// replaces by each sample's (`given`, written back as the attribute).
struct Pin {
    double value = 0.0;
    bool given = false;
};

// A value a pin that counts samples holds: an int (whole) or a float.
struct CountPin : Pin {
    bool is_int = true;
};

// Delay_Algorithm: U_array (newest first; `grown` once it has a new length),
// the inputs Ut and nLag, the output Yt.
struct DelayAlgoRun {
    std::vector<double> history;
    bool grown = false;
    Pin Ut;
    CountPin nLag;
    double Yt = 0.0;
};

// A timer: its count and stored inputs (Ut_array) and its inputs Ut (the
// level the attribute stores until a sample gives a value) and DT.
template <template <class, class> class Timer>
struct TimerRun {
    Timer<ExactCount, long long> core;
    Pin Ut;
    long long level = 0;
    Pin DT;
    bool ET_kept = false;  // ET is an instance attribute (a sample that sets it makes it one)
    bool ET_late = false;  // made one after the first sample: it follows Yt in the instance __dict__
};
using OnDelayRun = TimerRun<OnDelay>;
using OffDelayRun = TimerRun<OffDelay>;

// The latch: Q_array's element as `stored`; Q is a numpy bool after the hold
// row (read from Q_array), else a bool. S and R: the attributes' truths until
// a sample gives a value.
struct LatchRun {
    RSLatch core;
    bool q_from_array = false;
    Pin S, R;
    bool S_true = false, R_true = false;
};

// Attribute `name` of `obj`, found as the generic getattr finds it (the
// instance __dict__, then the class) when finding and setting it runs no
// Python code: a generic getattr and setattr and no descriptor of that name
// on the class. A new reference with *own set when the instance __dict__
// holds it; null when it cannot be told so or is missing (nothing set).
inline PyObject* plain_attr(PyObject* obj, PyObject* name, bool* own) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_setattro != PyObject_GenericSetAttr ||
        tp->tp_dictoffset <= 0)
        return nullptr;
    PyObject* cls_value = _PyType_Lookup(tp, name);
    if (cls_value && (Py_TYPE(cls_value)->tp_descr_get || Py_TYPE(cls_value)->tp_descr_set)) return nullptr;
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + tp->tp_dictoffset);
    PyObject* v = nullptr;
    if (dict && PyDict_CheckExact(dict) && PyDict_GetItemRef(dict, name, &v) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    *own = v != nullptr;
    return v ? v : Py_XNewRef(cls_value);
}

// Whether ndarray `a`, of exactly that type, is seen by its holder alone
// (`holders` references) and holds its own data: no view shares it.
inline bool sole_array(PyObject* a, Py_ssize_t holders) {
    // Anything else could answer `base` with Python code.
    PyTypeObject* tp = Py_TYPE(a);
    if ((tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || std::strcmp(tp->tp_name, "numpy.ndarray") != 0 ||
        Py_REFCNT(a) != holders)
        return false;
    PyObject* base = PyObject_GetAttrString(a, "base");
    if (!base) {
        PyErr_Clear();
        return false;
    }
    const bool own = base == Py_None;
    Py_DECREF(base);
    return own;
}

// The values set_attrs replaced, released when this goes out of scope: after
// the caller's last use of what a release could change (it may run Python
// code, a __del__ that replaces another attribute).
template <std::size_t N>
struct Released {
    PyObject* objs[N] = {};
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        for (PyObject* o : objs) Py_XDECREF(o);
    }
};

// Sets the attributes `names` of `obj` to `values` in order (a null value:
// left alone), as a put of a block whose attributes plain_attr found. When one
// fails, those set before take their old values back (or leave the instance
// __dict__ again): 0, or -1 with the exception set and `obj` unchanged. The
// old values go to `released`.
template <std::size_t N>
inline int set_attrs(PyObject* obj, PyObject* const (&names)[N], PyObject* const (&values)[N], Released<N>& released) {
    PyObject* old[N] = {};
    bool had[N] = {};
    std::size_t done = 0;  // attributes dealt with
    for (; done < N; ++done) {
        if (!values[done]) continue;
        PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
        if (!dict) break;
        const int found = PyDict_GetItemRef(dict, names[done], &old[done]);
        Py_DECREF(dict);
        if (found < 0) break;
        had[done] = found > 0;
        if (PyObject_SetAttr(obj, names[done], values[done]) < 0) break;
    }
    const int rc = done < N ? -1 : 0;
    if (rc < 0) {
        PyObject* exc = PyErr_GetRaisedException();
        for (std::size_t j = 0; j < done; ++j) {
            if (!values[j]) continue;
            if ((had[j] ? PyObject_SetAttr(obj, names[j], old[j]) : PyObject_DelAttr(obj, names[j])) < 0)
                PyErr_WriteUnraisable(obj);
        }
        PyErr_SetRaisedException(exc);
    }
    for (std::size_t j = 0; j < N; ++j) released.objs[j] = old[j];
    return rc;
}

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

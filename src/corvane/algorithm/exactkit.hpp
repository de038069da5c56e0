// When the blocks' double arithmetic gives exactly what the interpreter's
// operators give, so that a per-sample call may take its native path.
#pragma once

#include "bindkit.hpp"

namespace corvane::bind {

// A float, or an int small enough that every sum, difference and comparison
// of two such values is exact in double precision (|i| <= 2**52).
inline bool small_real(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    constexpr long long lim = 1LL << 52;
    if (overflow || v > lim || v < -lim) return false;
    out = (double) v;
    return true;
}

}  // namespace corvane::bind

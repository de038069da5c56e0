// Heartbeat counter: 0, 1, ..., MaxOut, 0, 1, ... one step per call.
#pragma once

#include <climits>
#include <cmath>

namespace corvane {

// a modulo d with the sign of the divisor (d != 0), as the host language's
// integer modulo.
inline long long floor_mod(long long a, long long d) {
    if (d == -1) return 0;  // LLONG_MIN % -1 overflows in C++
    long long r = a % d;
    if (r != 0 && ((r < 0) != (d < 0))) r += d;
    return r;
}

// The cycle length int(MaxOut + 1) of a real MaxOut (truncated toward zero);
// false when it is not a finite value within the range of long long.
inline bool cycle_length(double max_out, long long& n) {
    const double t = std::trunc(max_out + 1.0);
    if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) return false;
    n = (long long) t;
    return true;
}

// The cycle length of an integer MaxOut; false on overflow.
inline bool cycle_length(long long max_out, long long& n) {
    if (max_out == LLONG_MAX) return false;
    n = max_out + 1;
    return true;
}

struct WatchDog {
    long long ticks = 0;

    // ticks = (ticks + 1) mod n. False, with ticks unchanged, when n is 0 or
    // ticks + 1 overflows.
    bool step(long long n) {
        if (n == 0 || ticks == LLONG_MAX) return false;
        const long long next = ticks + 1;
        ticks = next >= 0 && next < n ? next : floor_mod(next, n);  // no division while counting up
        return true;
    }
};

}  // namespace corvane

// A count as the interpreter holds one (a timer's DT and ET): an int of any
// size a double and a 64-bit offset reach, or a float, with the interpreter's
// exact comparisons between ints and floats and its `- 1`. The timers of
// timers.hpp run on it as their Count where a count may be either.
#pragma once

#include <cmath>
#include <cstdint>

namespace corvane {

struct ExactCount {
    // An int is hi + lo, hi a whole double (0.0 when lo alone holds the
    // value); a float is hi.
    double hi = 0.0;
    std::int64_t lo = 0;
    bool is_float = false;

    ExactCount() = default;
    explicit ExactCount(std::int64_t v) : lo(v) {}

    static ExactCount integer(double whole_hi, std::int64_t lo) {
        ExactCount c(lo);
        c.hi = whole_hi;
        return c;
    }
    // The int a whole double stands for.
    static ExactCount whole(double d) {
        return std::fabs(d) < 0x1p62 ? ExactCount((std::int64_t) d) : integer(d, 0);
    }
    static ExactCount real(double d) {
        ExactCount c;
        c.hi = d;
        c.is_float = true;
        return c;
    }
    // What a pin that counts samples receives for d: an int when d is whole.
    static ExactCount of_count(double d) { return std::isfinite(d) && d == std::trunc(d) ? whole(d) : real(d); }
};

namespace detail {

template <class T>
int order(T a, T b) {
    return (a > b) - (a < b);
}

// hi1 + lo1 against hi2 + lo2, exactly (hi whole doubles, lo any int64).
inline int order_ints(double h1, std::int64_t l1, double h2, std::int64_t l2) {
    if (h1 == h2) return order(l1, l2);
    if (std::fabs(h1) < 0x1p120 && std::fabs(h2) < 0x1p120)
        return order((__int128) h1 + l1, (__int128) h2 + l2);  // whole doubles below 2^120 convert exactly
    // Different doubles, one of them at least 2^120 in magnitude, differ by at
    // least 2^67: more than two int64 offsets can make up.
    return order(h1, h2);
}

}  // namespace detail

inline constexpr int kUnordered = 2;

// -1, 0 or 1 as a is below, equal to or above b; kUnordered with a NaN.
inline int order(const ExactCount& a, const ExactCount& b) {
    if (a.is_float && b.is_float) {
        if (std::isnan(a.hi) || std::isnan(b.hi)) return kUnordered;
        return detail::order(a.hi, b.hi);
    }
    if (!a.is_float && !b.is_float) return detail::order_ints(a.hi, a.lo, b.hi, b.lo);
    const ExactCount& i = a.is_float ? b : a;
    const double f = a.is_float ? a.hi : b.hi;
    int r;  // the int against the float
    if (std::isnan(f)) return kUnordered;
    if (std::isinf(f)) {
        r = f > 0 ? -1 : 1;
    } else if (f == std::trunc(f)) {
        r = detail::order_ints(i.hi, i.lo, f, 0);
    } else {  // a fraction: |f| < 2^52, and the int lies below f exactly when it is <= floor(f)
        r = detail::order_ints(i.hi, i.lo, std::floor(f), 0) <= 0 ? -1 : 1;
    }
    return a.is_float ? -r : r;
}

inline bool operator<(const ExactCount& a, const ExactCount& b) { return order(a, b) == -1; }
inline bool operator>(const ExactCount& a, int b) { return order(a, ExactCount(b)) == 1; }

inline ExactCount operator-(const ExactCount& a, int b) {
    ExactCount r = a;
    if (a.is_float)
        r.hi = a.hi - b;
    else
        r.lo = a.lo - b;
    return r;
}

}  // namespace corvane

// The blend of a linear-parameter-varying plant: the position of the working
// value among the local plants' working points, the two weights, and each
// CV as the weighted sum of the bracketing plants' outputs plus its initial
// value. The arithmetic follows numpy's interp, floor and ceil and the
// interpreter's float operations, in their order.
#pragma once

#include <cmath>
#include <cstddef>

namespace corvane {

// numpy.interp(x, xp, [0, 1, ..., n - 1]) for n >= 1 strictly increasing xp.
inline double interp_index(double x, const double* xp, std::size_t n) noexcept {
    if (n == 1) return 0.0;
    if (std::isnan(x)) return x;
    if (x < xp[0]) return 0.0;
    if (x >= xp[n - 1]) return (double) (n - 1);
    std::size_t lo = 0, hi = n - 1;  // xp[lo] <= x < xp[hi]
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        if (xp[mid] <= x)
            lo = mid;
        else
            hi = mid;
    }
    if (xp[lo] == x) return (double) lo;
    const double slope = ((double) (lo + 1) - (double) lo) / (xp[lo + 1] - xp[lo]);
    double r = slope * (x - xp[lo]) + (double) lo;
    if (std::isnan(r)) r = slope * (x - xp[lo + 1]) + (double) (lo + 1);
    return r;
}

// The two plants and their weights for a position: id1 = floor, id2 = ceil,
// the weight of id2 is position - id1 limited to at most 1.0, then to at
// least 0.0, and id1 takes the rest. `clamped` tells that a limit applied
// (the weights are then the plain numbers 1.0 and 0.0, not computed ones).
struct BlendWeights {
    double id1 = 0.0, id2 = 0.0;  // whole numbers (or NaN for a NaN position)
    double w1 = 1.0, w2 = 0.0;
    bool clamped = false;
    bool single() const noexcept { return id1 == id2; }
};

inline BlendWeights blend_weights(double position) noexcept {
    BlendWeights b;
    b.id1 = std::floor(position);
    b.id2 = std::ceil(position);
    const double diff = position - b.id1;
    if (1.0 < diff) {
        b.w2 = 1.0;
        b.clamped = true;
    } else if (0.0 > diff) {
        b.w2 = 0.0;
        b.clamped = true;
    } else {
        b.w2 = diff;
    }
    b.w1 = 1.0 - b.w2;
    return b;
}

// One blended CV: (w1 * y1 + w2 * y2) + ini, or y1 + ini from a single plant.
inline double blend_value(double w1, double y1, double w2, double y2, double ini) noexcept {
    return (w1 * y1 + w2 * y2) + ini;
}
inline double single_value(double y1, double ini) noexcept { return y1 + ini; }

// A number and its type: numpy float64 (f64) or float.
struct BlendTerm {
    double v = 0.0;
    bool f64 = false;
};

// One blended CV with its type: numpy float64 is contagious, and computed
// (not clamped) weights are numpy float64. y2 is not read for a single plant.
inline BlendTerm blend_term(const BlendWeights& b, BlendTerm y1, BlendTerm y2, BlendTerm ini) noexcept {
    if (b.single()) return {single_value(y1.v, ini.v), y1.f64 || ini.f64};
    return {blend_value(b.w1, y1.v, b.w2, y2.v, ini.v), !b.clamped || y1.f64 || y2.f64 || ini.f64};
}

}  // namespace corvane

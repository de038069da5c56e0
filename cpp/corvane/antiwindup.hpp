// Anti-windup limiter: the output follows the input's sample-to-sample change
// and is clamped to [LO, HI]; movement beyond a limit is discarded, so the
// output leaves the limit as soon as the input turns back.
#pragma once

namespace corvane {

// Which value a clamp took: the value itself or one of the limits.
enum class ClampSide { value, lo, hi };

// LO when LO > v, else v; then HI when HI < that. Strict comparisons: a value
// on a limit passes, a NaN passes, LO > HI gives HI.
inline ClampSide clamp_side(double v, double hi, double lo, double& out) {
    ClampSide side = ClampSide::value;
    out = v;
    if (lo > out) out = lo, side = ClampSide::lo;
    if (hi < out) out = hi, side = ClampSide::hi;
    return side;
}

struct AntiWindup {
    bool started = false;
    double u0 = 0.0;  // input of the previous sample
    double y0 = 0.0;  // output of the previous sample

    // One sample; `side` tells which value the output took.
    double step(double u, double hi, double lo, ClampSide& side) {
        double prev_u = u0, prev_y = y0;
        if (!started) {
            prev_u = u;
            clamp_side(u, hi, lo, prev_y);
        }
        double y;
        side = clamp_side(prev_y + (u - prev_u), hi, lo, y);
        started = true;
        u0 = u;
        y0 = y;
        return y;
    }
};

}  // namespace corvane

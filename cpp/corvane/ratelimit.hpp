// Rate limiter: moves its output toward a target by at most one step per
// sample; rising and falling steps come from rates per minute and the sample
// period in seconds. Only the magnitude of a rate counts.
#pragma once

#include <cmath>

namespace corvane {

struct RateStep {
    double value;  // the output of this sample
    bool reached;  // true: the target itself (the step limit did not bite)
};

struct RateLimit {
    double u_last = 0.0;  // output of the previous sample
    double Ts = 1.0;      // sample period, seconds

    // Largest change per sample for a rate in units per minute.
    static double per_sample(double per_min, double Ts) { return std::fabs((per_min / 60.0) * Ts); }

    // One sample toward u_end. `rise` and `fall` are the per-sample limits
    // (fall as a non-positive number); a step equal to a limit passes.
    RateStep step(double u_end, double rise, double fall) {
        const double d = u_end - u_last;
        RateStep r{u_end, true};
        if (d >= 0.0) {
            if (d > rise) r = {u_last + rise, false};
        } else if (d < fall) {
            r = {u_last + fall, false};
        }
        u_last = r.value;
        return r;
    }

    // Rates per minute; without a falling rate the rising one limits both ways.
    RateStep step(double u_end, double rise_per_min, bool has_fall, double fall_per_min) {
        const double rise = per_sample(rise_per_min, Ts);
        const double fall = has_fall ? -per_sample(fall_per_min, Ts) : -rise;
        return step(u_end, rise, fall);
    }
};

}  // namespace corvane

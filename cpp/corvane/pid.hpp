// Velocity-form PID with tracking, output clamp and a saved inner state.
//
// run() is one sample: MODE rounded half to even selects automatic (1) or
// tracking (anything else); the first sample after construction (or after
// `ini` is set again) sets the state up from itself before an automatic step.
// The P, I and D increments come from increments(), or from a caller that
// computes them another way (with parameters a double cannot stand for); a
// sample changes nothing until they are known, so a caller's may throw.
#pragma once

#include <cmath>

namespace corvane {

// max/min with the argument order of the host language: the right-hand value
// wins only when strictly greater (smaller), so a NaN on the left survives.
inline double py_max(double a, double b) { return b > a ? b : a; }
inline double py_min(double a, double b) { return b < a ? b : a; }

inline double clamp_output(double x, double lo, double hi) { return py_min(py_max(x, lo), hi); }

struct PIDSaved {
    double OP = 0.0, OPcal = 0.0, dOP = 0.0, dOP_P = 0.0, dOP_I = 0.0, dOP_D = 0.0, dFF = 0.0;
};

struct PIDState {
    double et1 = 0.0, et2 = 0.0, OP1 = 0.0, FF1 = 0.0, dOPD1 = 0.0;
};

// The proportional, integral and derivative increments of one automatic sample.
struct PIDIncrements {
    double P = 0.0, I = 0.0, D = 0.0;
};

struct PID {
    // settings
    double TS = 1.0;
    double KP = 1.0, TI = 60.0, TD = 0.0, N = 10.0;
    double OP_HI = 100.0, OP_LO = 0.0;
    // dynamic state
    bool ini = true;  // the next run() sets the state up from its own sample first
    PIDState s;
    PIDSaved saved;

    // The mode MODE selects (finite): round half to even, 1 is automatic.
    static bool automatic(double MODE) { return std::nearbyint(MODE) == 1.0; }

    // The increments from the tuning: et = e(k), det = e(k) - e(k-1),
    // ddet = e(k) - 2e(k-1) + e(k-2), dOPD1 the last derivative increment.
    PIDIncrements increments(double et, double det, double ddet, double dOPD1) const {
        PIDIncrements d;
        d.P = KP * det;
        d.I = TI > 0.0 ? ((KP * TS) / TI) * et : 0.0;
        if (TD > 0.0) {
            const double tao = TD / N;
            d.D = (tao * dOPD1 + (KP * TD) * ddet) / py_max(tao + TS, 1e-6);
        }
        return d;
    }

    // Rewrites the dynamic state from one sample (tracking / first sample).
    void reset(double err, double TV, double FF) {
        s = initial(err, TV, FF);
        saved = PIDSaved{TV, TV, 0.0, 0.0, 0.0, 0.0, 0.0};
        ini = false;
    }

    // One tracking sample: the output is TV clamped, the state takes TV itself.
    double track(double SP, double PV, double TV, double FF) {
        const double OP = clamp_output(TV, OP_LO, OP_HI);
        reset(SP - PV, TV, FF);
        return OP;
    }

    // One automatic sample from the current state.
    double step(double SP, double PV, double FF) { return step(SP, PV, FF, Native{*this}); }

    template <class Inc>
    double step(double SP, double PV, double FF, Inc&& inc) {
        return advance(s, SP, PV, FF, inc);
    }

    // One sample with the given MODE (finite).
    double run(double MODE, double SP, double PV, double TV, double FF) {
        return run(MODE, SP, PV, TV, FF, Native{*this});
    }

    template <class Inc>
    double run(double MODE, double SP, double PV, double TV, double FF, Inc&& inc) {
        if (!automatic(MODE)) return track(SP, PV, TV, FF);
        const double OP = advance(ini ? initial(SP - PV, TV, FF) : s, SP, PV, FF, inc);
        ini = false;
        return OP;
    }

  private:
    static PIDState initial(double err, double TV, double FF) { return PIDState{err, err, TV, FF, 0.0}; }

    struct Native {
        const PID& pid;
        PIDIncrements operator()(double et, double det, double ddet, double dOPD1) const {
            return pid.increments(et, det, ddet, dOPD1);
        }
    };

    // The velocity algorithm from state `st`; the state and the saved values
    // change once `inc` has returned.
    template <class Inc>
    double advance(PIDState st, double SP, double PV, double FF, Inc& inc) {
        const double et = SP - PV;
        const double det = et - st.et1;
        const double ddet = (et - 2.0 * st.et1) + st.et2;
        const PIDIncrements d = inc(et, det, ddet, st.dOPD1);
        const double dFF = FF - st.FF1;
        const double dOP = ((d.P + d.I) + d.D) + dFF;
        const double OPcal = dOP + st.OP1;
        const double OP = clamp_output(OPcal, OP_LO, OP_HI);
        saved = PIDSaved{OP, OPcal, dOP, d.P, d.I, d.D, dFF};
        s = PIDState{et, st.et1, OP, FF, d.D};
        return OP;
    }
};

}  // namespace corvane

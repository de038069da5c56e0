// Velocity-form PID with tracking, output clamp and a saved inner state.
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

struct PID {
    // settings
    double TS = 1.0;
    double KP = 1.0, TI = 60.0, TD = 0.0, N = 10.0;
    double OP_HI = 100.0, OP_LO = 0.0;
    // dynamic state
    PIDState s;
    PIDSaved saved;

    // Rewrites the dynamic state from one sample (tracking / first sample).
    void reset(double err, double TV, double FF) {
        s.et1 = err;
        s.et2 = err;
        s.OP1 = TV;
        s.FF1 = FF;
        s.dOPD1 = 0.0;
        saved = PIDSaved{TV, TV, 0.0, 0.0, 0.0, 0.0, 0.0};
    }

    // One tracking sample: the output is TV clamped, the state takes TV itself.
    double track(double SP, double PV, double TV, double FF) {
        const double OP = clamp_output(TV, OP_LO, OP_HI);
        reset(SP - PV, TV, FF);
        return OP;
    }

    // One automatic sample of the velocity algorithm.
    double step(double SP, double PV, double FF) {
        const double et = SP - PV;
        const double det = et - s.et1;
        const double ddet = (et - 2.0 * s.et1) + s.et2;
        const double dP = KP * det;
        const double dI = TI > 0.0 ? ((KP * TS) / TI) * et : 0.0;
        double dD = 0.0;
        if (TD > 0.0) {
            const double tao = TD / N;
            dD = (tao * s.dOPD1 + (KP * TD) * ddet) / py_max(tao + TS, 1e-6);
        }
        const double dFF = FF - s.FF1;
        const double dOP = ((dP + dI) + dD) + dFF;
        const double OPcal = dOP + s.OP1;
        const double OP = clamp_output(OPcal, OP_LO, OP_HI);
        saved = PIDSaved{OP, OPcal, dOP, dP, dI, dD, dFF};
        s.et2 = s.et1;
        s.et1 = et;
        s.OP1 = OP;
        s.FF1 = FF;
        s.dOPD1 = dD;
        return OP;
    }
};

}  // namespace corvane

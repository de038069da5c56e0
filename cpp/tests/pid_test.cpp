// PID core: the per-sample sequencing (MODE rounding, first-sample set-up,
// tracking) and the velocity algorithm, without Python.
#include <corvane/pid.hpp>

#include <cstring>
#include <stdexcept>

#include "check.hpp"

using corvane::PID;
using corvane::PIDIncrements;

namespace {

bool same_bits(const PID& a, const PID& b) {
    return a.ini == b.ini && !std::memcmp(&a.s, &b.s, sizeof a.s) && !std::memcmp(&a.saved, &b.saved, sizeof a.saved);
}

}  // namespace

int main() {
    {  // integral only from the first automatic sample: a ramp of 10/60 from TV, no P or D kick
        PID p;
        double want = 50.0;
        for (int k = 0; k < 5; ++k) {
            want += (1.0 * 1.0 / 60.0) * 10.0;
            expect_near(p.run(1.0, 60.0, 50.0, 50.0, 0.0), want, 0.0, "integral ramp");
        }
        expect_true(!p.ini && p.saved.dOP_P == 0.0, "set up once, no proportional step");
    }
    {  // P and filtered D: KP 2, TI 0, TD 5, N 10 (tao 0.5)
        PID p;
        p.KP = 2.0, p.TI = 0.0, p.TD = 5.0, p.N = 10.0;
        const double want[] = {50.0, 58.6667, 54.2222, 52.7407, 52.2469};
        for (int k = 0; k < 5; ++k)
            expect_near(p.run(1.0, k ? 2.0 : 1.0, 0.0, 50.0, 0.0), want[k], 5e-5, "P and filtered D");
    }
    {  // MODE rounds half to even; only 1 is automatic
        const double automatic[] = {0.6, 1.0, 1.4}, tracking[] = {0.4, 0.5, 1.5, 2.0, -1.0, -0.6};
        for (double m : automatic) expect_true(PID::automatic(m), "automatic mode");
        for (double m : tracking) expect_true(!PID::automatic(m), "tracking mode");
        PID p;
        p.run(0.5, 10.0, 4.0, 30.0, 1.0);
        expect_true(!p.ini && p.s.et1 == 6.0 && p.s.et2 == 6.0 && p.s.OP1 == 30.0 && p.s.FF1 == 1.0, "0.5 tracks");
    }
    {  // tracking clamps the output, not the state; automatic continues from TV
        PID p;
        expect_near(p.run(0.0, 5.0, 5.0, 120.0, 0.0), 100.0, 0.0, "tracking output clamped");
        expect_true(p.saved.OP == 120.0 && p.saved.OPcal == 120.0 && p.s.OP1 == 120.0, "state takes TV");
        p.OP_HI = 1000.0;
        expect_near(p.run(1.0, 5.0, 5.0, 0.0, 0.0), 120.0, 0.0, "bumpless switch to automatic");
    }
    {  // tracking after automatic rewrites the state from the sample
        PID p;
        p.TD = 2.0;
        p.run(1.0, 3.0, 1.0, 40.0, 0.0);
        p.run(1.0, 5.0, 1.0, 40.0, 0.0);
        p.run(0.0, 7.0, 1.0, 33.0, 2.0);
        expect_true(p.s.et1 == 6.0 && p.s.et2 == 6.0 && p.s.OP1 == 33.0 && p.s.FF1 == 2.0 && p.s.dOPD1 == 0.0,
                    "tracking state");
    }
    {  // the first automatic sample sees the set-up state: det = ddet = 0, no derivative memory
        PID p;
        double seen[4] = {1, 1, 1, 1};
        auto spy = [&](double et, double det, double ddet, double d1) {
            seen[0] = et, seen[1] = det, seen[2] = ddet, seen[3] = d1;
            return PIDIncrements{0.0, 0.5, 0.25};
        };
        expect_near(p.run(1.0, 9.0, 2.0, 20.0, 3.0, spy), 20.75, 0.0, "caller's increments used");
        expect_true(seen[0] == 7.0 && seen[1] == 0.0 && seen[2] == 0.0 && seen[3] == 0.0, "first-sample differences");
        expect_true(p.s.dOPD1 == 0.25 && p.saved.dOP_I == 0.5 && p.saved.dFF == 0.0, "increments saved");
    }
    {  // increments that throw change nothing, before or after the set-up
        auto fail = [](double, double, double, double) -> PIDIncrements { throw std::runtime_error("no"); };
        PID fresh, before;
        bool threw = false;
        try {
            fresh.run(1.0, 1.0, 0.0, 10.0, 0.0, fail);
        } catch (const std::runtime_error&) {
            threw = true;
        }
        expect_true(threw && fresh.ini && same_bits(fresh, before), "unset-up PID unchanged");
        PID p;
        p.run(1.0, 1.0, 0.0, 10.0, 0.0);
        const PID kept = p;
        threw = false;
        try {
            p.run(1.0, 2.0, 0.0, 10.0, 0.0, fail);
        } catch (const std::runtime_error&) {
            threw = true;
        }
        expect_true(threw && same_bits(p, kept), "running PID unchanged");
    }
    {  // step() is one automatic sample and leaves the set-up flag alone
        PID p;
        p.reset(1.0, 10.0, 0.0);
        p.ini = true;
        expect_near(p.step(1.0, 0.0, 0.0), 10.0 + 1.0 / 60.0, 1e-15, "step");
        expect_true(p.ini, "step keeps ini");
    }
    return check_summary();
}

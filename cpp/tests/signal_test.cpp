// Signal-conditioning cores on their own: delay line, rate limiter, anti-windup limiter.
#include <corvane/antiwindup.hpp>
#include <corvane/delay.hpp>
#include <corvane/ratelimit.hpp>

#include <cmath>
#include <vector>

#include "check.hpp"

int main() {
    {  // capacity 3, primed with the first input, then 2, 3, 4: history 4, 3, 2
        corvane::DelayLine<int> d(3);
        d.prime(1);
        d.push(1);
        expect_true(d.size() == 3 && d[0] == 1 && d[2] == 1, "delay primed");
        expect_true(d.push(2) == 1 && d.push(3) == 1 && d.push(4) == 1, "delay drops the oldest");
        expect_true(d[0] == 4 && d[1] == 3 && d[2] == 2, "delay order");
        for (int k = 5; k < 12; ++k) d.push(k);  // wrap around several times
        expect_true(d[0] == 11 && d[1] == 10 && d[2] == 9, "delay wraps");
        corvane::DelayLine<int> z(0);
        expect_true(z.push(7) == 7 && z.empty(), "zero capacity keeps nothing");
    }
    {  // in-place history: shift, pad with the oldest, negative index from the old end
        double a[3] = {3.0, 2.0, 1.0};
        corvane::history_push(a, 3, 4.0);
        expect_true(a[0] == 4.0 && a[1] == 3.0 && a[2] == 2.0, "history push");
        std::vector<double> b(5);
        corvane::history_extend(a, 3, b.data(), 5);
        expect_true(b[3] == 2.0 && b[4] == 2.0 && b[0] == 4.0, "history pad");
        std::size_t i = 99;
        expect_true(corvane::history_index(5, -1, i) && i == 4, "index -1 is the oldest");
        expect_true(!corvane::history_index(5, 5, i) && !corvane::history_index(5, -6, i), "index bounds");
    }
    {  // 60 per minute, Ts 1: at most 1.0 per sample; a step on the limit passes as the target
        corvane::RateLimit r;
        for (int k = 1; k <= 10; ++k) expect_near(r.step(10.0, 60.0, false, 0.0).value, k, 0.0, "ramp up");
        const corvane::RateStep s = r.step(10.0, 60.0, false, 0.0);
        expect_true(s.reached && s.value == 10.0, "target held");
        expect_true(r.step(11.0, 60.0, false, 0.0).reached, "step equal to the limit");
        r.u_last = 10.0;
        expect_near(r.step(0.0, 60.0, true, -10.0).value, 10.0 - 1.0 / 6.0, 1e-15, "falling rate, sign ignored");
        r.Ts = 2.0;
        r.u_last = 0.0;
        expect_near(r.step(10.0, -30.0, false, 0.0).value, 1.0, 0.0, "Ts 2, rate 30, negative rise");
        expect_true(std::isnan(r.step(NAN, 60.0, false, 0.0).value), "NaN target passes");
    }
    {  // 50, 120, 130, 110, 90 within [0, 100]
        corvane::AntiWindup a;
        corvane::ClampSide side;
        const double in[] = {50, 120, 130, 110, 90}, want[] = {50, 100, 100, 80, 60};
        const corvane::ClampSide sides[] = {corvane::ClampSide::value, corvane::ClampSide::hi, corvane::ClampSide::hi,
                                            corvane::ClampSide::value, corvane::ClampSide::value};
        for (int k = 0; k < 5; ++k) {
            expect_near(a.step(in[k], 100, 0, side), want[k], 0.0, "anti-windup values");
            expect_true(side == sides[k], "anti-windup side");
        }
        corvane::AntiWindup b;
        expect_near(b.step(-10, 100, 0, side), 0.0, 0.0, "first output on LO");
        expect_true(side == corvane::ClampSide::value, "first output is the sum, not LO itself");
        expect_near(b.step(5, 100, 0, side), 15.0, 0.0, "moves up from LO");
        expect_near(b.step(5, 5, 10, side), 5.0, 0.0, "LO above HI gives HI");
    }
    return check_summary();
}

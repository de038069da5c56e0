// Lead-lag filter core and lfiltic, without Python.
#include <corvane/leadlag.hpp>

#include "check.hpp"

#include <vector>

using corvane::LeadLag;
using corvane::LeadLagCoeffs;
using corvane::LeadLagError;

namespace {
unsigned long long rng = 88172645463325252ull;
unsigned long long next_u() {
    rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
    return rng;
}
}  // namespace

int main() {
    {  // the three coefficient cases and the refused ones
        LeadLagCoeffs c;
        const double p = std::exp(-0.2);
        expect_true(corvane::leadlag_coefficients(0.5, 5.0, 1.0, c) == LeadLagError::none, "lead-lag ok");
        expect_true(c.nb == 2 && c.na == 2, "lead-lag sizes");
        expect_near(c.b[0], 0.5, 0.0, "b0");
        expect_near(c.b[1], (1.0 - 0.5) - p, 0.0, "b1");
        expect_near(c.a[1], -p, 0.0, "a1");
        corvane::leadlag_coefficients(0.0, 5.0, 1.0, c);
        expect_true(c.nb == 1 && c.na == 2, "lag sizes");
        expect_near(c.b[0], 1.0 - p, 0.0, "lag b0");
        corvane::leadlag_coefficients(-3.0, 0.0, 1.0, c);
        expect_true(c.nb == 1 && c.na == 1 && c.b[0] == 1.0 && c.state_size() == 0, "tao 0 passes through");
        const double bad[][2] = {{0.5, -1.0}, {-0.1, 5.0}, {NAN, 5.0}, {0.5, NAN}, {NAN, 0.0}};
        for (auto& ab : bad)
            expect_true(corvane::leadlag_coefficients(ab[0], ab[1], 1.0, c) == LeadLagError::out_of_domain,
                        "out of domain");
        expect_true(corvane::leadlag_coefficients(INFINITY, 5.0, 1.0, c) == LeadLagError::not_finite, "inf alpha");
        expect_true(corvane::leadlag_coefficients(0.0, 1e-3, -1.0, c) == LeadLagError::not_finite, "overflowing p");
        expect_true(corvane::leadlag_coefficients(0.5, INFINITY, 1.0, c) == LeadLagError::none, "infinite tao");
    }
    {  // alpha = 1 passes every input through exactly, also after a re-seed
        for (double tao : {0.5, 1.0, 3.3, 100.0}) {
            LeadLag f;
            LeadLagCoeffs c;
            corvane::leadlag_coefficients(1.0, tao, 2.0, c);
            expect_true(c.b[1] == c.a[1], "alpha 1: b1 == a1");
            f.set(c);
            f.seed(1.8175048039245025, 0.24);
            f.step(1.7976931348623157e+308);
            int off = 0;
            for (int k = 0; k < 1000; ++k) {
                const double u = (double) (next_u() % 20001) / 100.0 - 100.0;
                off += f.step(u) != u;
            }
            expect_near(off, 0, 0, "alpha 1: output == input");
        }
    }
    {  // unit step after steady state at 0: 1 - 0.5 exp(-0.2 k), k = 0, 1, ...
        LeadLag f;
        LeadLagCoeffs c;
        corvane::leadlag_coefficients(0.5, 5.0, 1.0, c);
        f.set(c);
        f.seed(0.0, 0.0);
        for (int k = 0; k < 20; ++k) expect_near(f.step(1.0), 1.0 - 0.5 * std::exp(-0.2 * k), 1e-14, "lead-lag step");
    }
    {  // LFilter::run on a second-order section equals step() sample by sample
        const double b[] = {0.2, 0.3, 0.1}, a[] = {1.0, -0.9, 0.2};
        corvane::LFilter f, g;
        f.assign(b, 3, a, 3);
        g.assign(b, 3, a, 3);
        const double x[] = {1.0, -2.0, 0.5, 4.0, 4.0, 0.0};
        double y[6];
        f.run(x, 1, y, 6);
        for (int k = 0; k < 6; ++k) expect_near(y[k], g.step(x[k]), 0.0, "second-order run == step");
    }
    {  // lfiltic of a longer filter, with a[0] != 1 and missing history taken as zero
        const double b[] = {1.0, 2.0, 3.0}, a[] = {2.0, 0.5, 0.25, 0.125};
        const double y[] = {4.0, 5.0}, x[] = {6.0};
        double zi[3];
        corvane::lfiltic(b, 3, a, 4, y, 2, x, 1, zi);
        expect_near(zi[0], ((2.0 * 6.0 + 3.0 * 0.0) - (0.5 * 4.0 + 0.25 * 5.0 + 0.125 * 0.0)) / 2.0, 0.0, "zi0");
        expect_near(zi[1], ((3.0 * 6.0) - (0.25 * 4.0 + 0.125 * 5.0)) / 2.0, 0.0, "zi1");
        expect_near(zi[2], (0.0 - 0.125 * 4.0) / 2.0, 0.0, "zi2");
    }
    return check_summary();
}

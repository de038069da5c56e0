// First-order lead-lag filter with unit steady-state gain,
//     G(s) = (alpha*tao*s + 1) / (tao*s + 1),
// discretised with a zero-order hold of period Ts, p = exp(-Ts/tao):
//     tao == 0:             y(k) = u(k)
//     alpha == 0, tao > 0:  y(k) = (1-p)*u(k) + p*y(k-1)
//     alpha > 0,  tao > 0:  y(k) = alpha*u(k) + ((1-alpha)-p)*u(k-1) + p*y(k-1)
// The lag (alpha == 0) keeps only the non-zero numerator coefficient of the
// hold, so it answers on the same sample. Samples run on LFilter, seeding on
// lfiltic, so outputs are the doubles scipy's lfilter gives for _b and _a.
#pragma once

#include <corvane/filter.hpp>

#include <cmath>
#include <cstddef>

namespace corvane {

struct LeadLagCoeffs {
    double b[2] = {1.0, 0.0}, a[2] = {1.0, 0.0};
    std::size_t nb = 1, na = 1;

    std::size_t state_size() const { return (nb > na ? nb : na) - 1; }
};

enum class LeadLagError {
    none,
    out_of_domain,  // negative tao, negative alpha with tao > 0, or NaN
    not_finite,     // the discrete coefficients overflow
};

inline LeadLagError leadlag_coefficients(double alpha, double tao, double Ts, LeadLagCoeffs& out) {
    if (std::isnan(alpha) || std::isnan(tao)) return LeadLagError::out_of_domain;
    LeadLagCoeffs c;
    if (tao == 0.0) {
        out = c;
        return LeadLagError::none;
    }
    if (!(tao > 0.0) || alpha < 0.0) return LeadLagError::out_of_domain;
    const double p = std::exp(-Ts / tao);
    c.na = 2;
    c.a[1] = -p;
    if (alpha == 0.0) {
        c.b[0] = 1.0 - p;
    } else {
        c.nb = 2;
        c.b[0] = alpha;
        c.b[1] = (1.0 - alpha) - p;  // alpha == 1 gives b1 == a1 exactly: a pass-through
    }
    for (double v : {c.b[0], c.b[1], c.a[1]})
        if (!std::isfinite(v)) return LeadLagError::not_finite;
    out = c;
    return LeadLagError::none;
}

struct LeadLag {
    LeadLagCoeffs c;
    LFilter f;
    bool seeded = false;  // false: the next sample seeds the state at steady state

    LeadLag() { set(c); }

    // New coefficients; the state is unseeded until seed() or the next sample.
    void set(const LeadLagCoeffs& nc) {
        c = nc;
        f.assign(c.b, c.nb, c.a, c.na);
        seeded = false;
    }

    // State that continues as if the last input had been u and the last output y.
    void seed(double u, double y) {
        lfiltic(c.b, c.nb, c.a, c.na, &y, 1, &u, 1, f.state_mut().data());
        seeded = true;
    }

    double step(double u) {
        if (!seeded) seed(u, u);
        return f.step(u);
    }

    // n samples, input with a stride (in elements); the first seeds an unseeded state.
    void run(const double* u, std::ptrdiff_t stride, double* y, std::size_t n) {
        if (n == 0) return;
        if (!seeded) seed(u[0], u[0]);
        f.run(u, stride, y, n);
    }
};

// Sampled unit-step response of G(s), scaled from r1 to r2, k = 0 .. n-1:
//     y(k) = r1 + (r2 - r1) * (1 - (1 - alpha) * exp((-1/tao) * k))   (tao > 0)
//     y(k) = r1 + (r2 - r1) * 1                                         (otherwise)
inline void leadlag_step_response(std::size_t n, double tao, double alpha, double r1, double r2, double* y) {
    const double span = r2 - r1;
    if (tao > 0.0) {
        const double rate = -1.0 / tao, gap = 1.0 - alpha;
        for (std::size_t k = 0; k < n; ++k) y[k] = r1 + span * (1.0 - gap * std::exp(rate * (double) k));
    } else {
        for (std::size_t k = 0; k < n; ++k) y[k] = r1 + span * 1.0;
    }
}

}  // namespace corvane

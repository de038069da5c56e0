// Discrete linear filter, one sample at a time, with the arithmetic of
// scipy.signal.lfilter carrying its final state from call to call.
//
// A denominator longer than one runs the direct form II transposed loop on
// coefficients normalised by a[0] and padded to equal length:
//     y = z[0] + b[0]*x;  z[i] = z[i+1] + b[i+1]*x - a[i+1]*y;  z[n-1] = b[n]*x - a[n]*y
// A denominator of length one is a convolution with the state added:
//     y = (0 + b[0]*x) + z[0];  z[i] = (0 + b[i+1]*x) + z[i+1];  z[n-1] = 0 + b[n]*x
// Same operations in the same order give the same doubles (build with
// -ffp-contract=off so that no multiply-add is fused).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace corvane {

enum class FilterError { none, empty_b, empty_a, zero_a0 };

// What lfilter refuses for these coefficient lengths and leading denominator.
inline FilterError check_filter(std::size_t nb, std::size_t na, double a0) {
    if (nb == 0) return FilterError::empty_b;
    if (na == 0) return FilterError::empty_a;
    if (na > 1 && a0 == 0.0) return FilterError::zero_a0;
    return FilterError::none;
}

class LFilter {
public:
    LFilter() = default;

    // Coefficients in ascending powers of z^-1. Callers check check_filter()
    // first; an invalid set leaves a filter that outputs zeros, with a state
    // of the usual length.
    void assign(const double* b_in, std::size_t nb, const double* a_in, std::size_t na) {
        b_.clear();
        a_.clear();
        z_.clear();
        fir_ = na == 1;
        if (check_filter(nb, na, na ? a_in[0] : 0.0) != FilterError::none) {
            const std::size_t n = std::max(nb, na);
            z_.assign(n ? n - 1 : 0, 0.0);
            b_.assign(z_.size() + 1, 0.0);
            fir_ = true;
            return;
        }
        if (fir_) {
            const double a0 = a_in[0];
            b_.resize(nb);
            for (std::size_t k = 0; k < nb; ++k) b_[k] = b_in[k] / a0;
            z_.assign(nb - 1, 0.0);
            return;
        }
        const std::size_t nf = std::max(nb, na);
        b_.assign(nf, 0.0);
        a_.assign(nf, 0.0);
        std::copy(b_in, b_in + nb, b_.begin());
        std::copy(a_in, a_in + na, a_.begin());
        const double a0 = a_[0];
        for (std::size_t k = 0; k < nf; ++k) {
            b_[k] /= a0;
            a_[k] /= a0;
        }
        z_.assign(nf - 1, 0.0);
    }

    double step(double x) noexcept {
        const std::size_t n = z_.size();
        const double* b = b_.data();
        double* z = z_.data();
        if (fir_) {
            if (n == 0) return 0.0 + b[0] * x;
            const double y = (0.0 + b[0] * x) + z[0];
            for (std::size_t i = 0; i + 1 < n; ++i) z[i] = (0.0 + b[i + 1] * x) + z[i + 1];
            z[n - 1] = 0.0 + b[n] * x;
            return y;
        }
        const double* a = a_.data();
        const double y = z[0] + b[0] * x;
        for (std::size_t i = 0; i + 1 < n; ++i) z[i] = z[i + 1] + b[i + 1] * x - a[i + 1] * y;
        z[n - 1] = b[n] * x - a[n] * y;
        return y;
    }

    // n samples, input read with a stride (in elements): the same doubles as
    // step() on each in turn. A first-order section keeps its state in a local,
    // so the output stores cannot force it back through memory.
    void run(const double* x, std::ptrdiff_t stride, double* y, std::size_t n) noexcept {
        if (!fir_ && z_.size() == 1) {
            const double b0 = b_[0], b1 = b_[1], a1 = a_[1];
            double z = z_[0];
            for (std::size_t k = 0; k < n; ++k) {
                const double xk = x[(std::ptrdiff_t) k * stride];
                const double yk = z + b0 * xk;
                z = b1 * xk - a1 * yk;
                y[k] = yk;
            }
            z_[0] = z;
            return;
        }
        for (std::size_t k = 0; k < n; ++k) y[k] = step(x[(std::ptrdiff_t) k * stride]);
    }

    void reset() noexcept { std::fill(z_.begin(), z_.end(), 0.0); }

    // Delay-line state, length max(len(b), len(a)) - 1.
    std::vector<double>& state() noexcept { return z_; }
    const std::vector<double>& state() const noexcept { return z_; }

private:
    std::vector<double> b_, a_, z_;
    bool fir_ = true;
};

// Initial state for LFilter from past outputs y[0..ny) and inputs x[0..nx)
// (newest first), as scipy.signal.lfiltic computes it; missing history counts
// as zero. zi has max(nb, na) - 1 entries; a[0] must be non-zero.
//     zi[m] = sum_i b[m+1+i]*x[i] - sum_i a[m+1+i]*y[i]   (then / a[0])
// The sums run left to right, as numpy's for fewer than eight terms.
inline void lfiltic(const double* b, std::size_t nb, const double* a, std::size_t na, const double* y,
                    std::size_t ny, const double* x, std::size_t nx, double* zi) {
    const std::size_t M = nb ? nb - 1 : 0, N = na ? na - 1 : 0, K = std::max(M, N);
    auto at = [](const double* v, std::size_t n, std::size_t i) { return i < n ? v[i] : 0.0; };
    for (std::size_t m = 0; m < K; ++m) zi[m] = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        double s = b[m + 1] * at(x, nx, 0);
        for (std::size_t i = 1; i < M - m; ++i) s += b[m + 1 + i] * at(x, nx, i);
        zi[m] = s;
    }
    for (std::size_t m = 0; m < N; ++m) {
        double s = a[m + 1] * at(y, ny, 0);
        for (std::size_t i = 1; i < N - m; ++i) s += a[m + 1 + i] * at(y, ny, i);
        zi[m] -= s;
    }
    if (na && a[0] != 1.0)
        for (std::size_t m = 0; m < K; ++m) zi[m] /= a[0];
}

}  // namespace corvane

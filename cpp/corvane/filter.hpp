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
//
// Dead time pads b with zeros, so a run of the loop often has zero b and a:
// z[i] = (z[i+1] + 0*x) - 0*y, which is z[i+1] itself while x and y are
// finite, unless z[i+1] is -0.0 (it may turn +0.0) or not finite. That run,
// the delay line, is kept as a ring: a sample then moves its start instead of
// every value. A counter says for how many more samples the line may hold a
// value that the ring would not reproduce; until then the ring is walked
// element by element with the loop's own arithmetic.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
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

// A filter's coefficients and state in one block, so that a sample touches
// one allocation: b[0..n], then a[0..n] (not for a convolution), then the
// state z[0..n), then (with a delay line) its counter and start. State indices
// [lo, hi) are the delay line (none when lo == hi): logical z[lo + k] is
// stored at z[lo + (start + k) % (hi - lo)]. A null p stands for no filter.
struct FilterView {
    double* p = nullptr;
    std::uint32_t n = 0;  // state length
    std::uint32_t lo = 0, hi = 0;
    bool fir = true;
};

// A value the ring may move as it is.
inline bool delay_clean(double v) noexcept { return v == 0.0 ? !std::signbit(v) : std::isfinite(v); }

namespace detail {

// One sample of a filter with a delay line (see the top of this file).
template <bool Fir>
double delay_step(const FilterView& v, double x) noexcept {
    const std::size_t n = v.n, lo = v.lo, hi = v.hi, len = hi - lo;
    const double* b = v.p;
    const double* a = v.p + n + 1;
    double* z = Fir ? v.p + n + 1 : v.p + 2 * (n + 1);
    double& dirty = z[n];
    std::size_t start = (std::size_t) z[n + 1];
    double* ring = z + lo;
    auto at = [&](std::size_t i) -> double& {  // logical z[i]
        if (i < lo || i >= hi) return z[i];
        std::size_t k = start + (i - lo);
        return ring[k >= len ? k - len : k];
    };
    const double y = Fir ? (0.0 + b[0] * x) + at(0) : at(0) + b[0] * x;
    // Loop index i of the direct form, from z[i+1]; the last index has no z[n].
    auto next = [&](std::size_t i, double z1) {
        return Fir ? (0.0 + b[i + 1] * x) + z1 : z1 + b[i + 1] * x - a[i + 1] * y;
    };
    const double last = Fir ? 0.0 + b[n] * x : b[n] * x - a[n] * y;
    const bool clean = std::isfinite(x) && (Fir || std::isfinite(y)) && delay_clean(z[hi]);
    if (clean && dirty == 0.0) {
        for (std::size_t i = 0; i + 1 < lo; ++i) z[i] = next(i, z[i + 1]);
        if (lo) z[lo - 1] = next(lo - 1, ring[start]);
        ring[start] = z[hi];  // the oldest slot takes the newest value
        z[n + 1] = (double) (start + 1 == len ? 0 : start + 1);
        for (std::size_t i = hi; i + 1 < n; ++i) z[i] = next(i, z[i + 1]);
        z[n - 1] = last;
        return y;
    }
    for (std::size_t i = 0; i + 1 < n; ++i) at(i) = next(i, at(i + 1));
    z[n - 1] = last;
    dirty = clean ? dirty - 1.0 : (double) len;
    return y;
}

[[gnu::noinline]] inline double delay_step(const FilterView& v, double x) noexcept {
    return v.fir ? delay_step<true>(v, x) : delay_step<false>(v, x);
}

}  // namespace detail

// One sample of the filter a view shows.
[[gnu::always_inline]] inline double filter_step(const FilterView& v, double x) noexcept {
    if (v.hi != v.lo) return detail::delay_step(v, x);
    const std::size_t n = v.n;
    const double* b = v.p;
    if (v.fir) {
        if (n == 0) return 0.0 + b[0] * x;
        double* z = v.p + n + 1;
        const double y = (0.0 + b[0] * x) + z[0];
        for (std::size_t i = 0; i + 1 < n; ++i) z[i] = (0.0 + b[i + 1] * x) + z[i + 1];
        z[n - 1] = 0.0 + b[n] * x;
        return y;
    }
    const double* a = v.p + n + 1;
    double* z = v.p + 2 * (n + 1);
    const double y = z[0] + b[0] * x;
    for (std::size_t i = 0; i + 1 < n; ++i) z[i] = z[i + 1] + b[i + 1] * x - a[i + 1] * y;
    z[n - 1] = b[n] * x - a[n] * y;
    return y;
}

// A filter state in place: a fixed-size run of doubles.
template <class T>
class StateSpan {
  public:
    StateSpan(T* p, std::size_t n) noexcept : p_(p), n_(n) {}
    std::size_t size() const noexcept { return n_; }
    bool empty() const noexcept { return n_ == 0; }
    T* data() const noexcept { return p_; }
    T* begin() const noexcept { return p_; }
    T* end() const noexcept { return p_ + n_; }
    T& operator[](std::size_t i) const noexcept { return p_[i]; }
    operator std::vector<double>() const { return std::vector<double>(p_, p_ + n_); }
    // Copies a state of the same length in (a shorter one fills the front).
    const StateSpan& operator=(const std::vector<double>& v) const noexcept {
        std::copy_n(v.begin(), std::min(n_, v.size()), p_);
        return *this;
    }
    friend bool operator==(const StateSpan& x, const StateSpan& y) noexcept {
        return x.n_ == y.n_ && std::equal(x.p_, x.p_ + x.n_, y.p_);
    }

  private:
    T* p_;
    std::size_t n_;
};

class LFilter {
  public:
    LFilter() = default;

    // Coefficients in ascending powers of z^-1. Callers check check_filter()
    // first; an invalid set leaves a filter that outputs zeros, with a state
    // of the usual length. The block is allocated anew: views of the old one
    // no longer apply.
    void assign(const double* b_in, std::size_t nb, const double* a_in, std::size_t na) {
        std::vector<double> buf;
        if (check_filter(nb, na, na ? a_in[0] : 0.0) != FilterError::none) {
            const std::size_t m = std::max(nb, na);
            n_ = m ? m - 1 : 0;
            fir_ = true;
            buf.assign(2 * n_ + 1, 0.0);
        } else if (na == 1) {
            const double a0 = a_in[0];
            n_ = nb - 1;
            fir_ = true;
            buf.assign(2 * n_ + 1, 0.0);
            for (std::size_t k = 0; k < nb; ++k) buf[k] = b_in[k] / a0;
        } else {
            const std::size_t nf = std::max(nb, na);
            n_ = nf - 1;
            fir_ = false;
            buf.assign(3 * n_ + 2, 0.0);
            double* b = buf.data();
            double* a = b + nf;
            std::copy(b_in, b_in + nb, b);
            std::copy(a_in, a_in + na, a);
            const double a0 = a[0];
            for (std::size_t k = 0; k < nf; ++k) {
                b[k] /= a0;
                a[k] /= a0;
            }
        }
        const auto [lo, hi] = delay_line(buf.data());
        if (hi != lo) buf.resize(buf.size() + 2, 0.0);  // the line's counter and start
        buf_.swap(buf);
        lo_ = lo;
        hi_ = hi;
        pristine_ = true;
    }

    FilterView view() noexcept {
        return FilterView{buf_.data(), (std::uint32_t) n_, (std::uint32_t) lo_, (std::uint32_t) hi_, fir_};
    }

    double step(double x) noexcept {
        pristine_ = false;
        return filter_step(view(), x);
    }

    // n samples, input read with a stride (in elements): the same doubles as
    // step() on each in turn. A first-order section keeps its state in a local,
    // so the output stores cannot force it back through memory.
    void run(const double* x, std::ptrdiff_t stride, double* y, std::size_t n) noexcept {
        if (n) pristine_ = false;
        const FilterView v = view();
        if (!v.fir && v.n == 1) {
            const double b0 = v.p[0], b1 = v.p[1], a1 = v.p[3];
            double z = v.p[4];
            for (std::size_t k = 0; k < n; ++k) {
                const double xk = x[(std::ptrdiff_t) k * stride];
                const double yk = z + b0 * xk;
                z = b1 * xk - a1 * yk;
                y[k] = yk;
            }
            v.p[4] = z;
            return;
        }
        for (std::size_t k = 0; k < n; ++k) y[k] = filter_step(v, x[(std::ptrdiff_t) k * stride]);
    }

    void reset() noexcept {
        std::fill(buf_.begin() + (std::ptrdiff_t) state_offset(), buf_.end(), 0.0);
        pristine_ = true;
    }

    // No sample has run and no state was written since the coefficients were
    // assigned or the state was reset. set_pristine puts a saved flag back.
    bool pristine() const noexcept { return pristine_; }
    void set_pristine(bool p) noexcept { pristine_ = p; }

    // Delay-line state, length max(len(b), len(a)) - 1, in order (the ring is
    // turned back to its start first: the values stay as they are).
    StateSpan<const double> state() const noexcept {
        unroll();
        return {buf_.data() + state_offset(), n_};
    }
    // The state to write: the delay line is walked element by element until
    // whatever is written has left it.
    StateSpan<double> state_mut() noexcept {
        unroll();
        pristine_ = false;
        if (hi_ != lo_) buf_[state_offset() + n_] = (double) (hi_ - lo_);
        return {buf_.data() + state_offset(), n_};
    }

  private:
    std::size_t state_offset() const noexcept { return fir_ ? n_ + 1 : 2 * (n_ + 1); }

    void unroll() const noexcept {
        if (hi_ == lo_) return;
        double* z = buf_.data() + state_offset();
        const std::size_t start = (std::size_t) z[n_ + 1];
        if (start == 0) return;
        std::rotate(z + lo_, z + lo_ + start, z + hi_);
        z[n_ + 1] = 0.0;
    }

    // The longest run of loop indices with zero coefficients (not the last,
    // which has no z[i+1]). Shorter than 16 it is left to the loop, which
    // moves such a run faster than the ring's bookkeeping costs.
    std::pair<std::size_t, std::size_t> delay_line(const double* b) const noexcept {
        const double* a = b + n_ + 1;
        std::size_t lo = 0, hi = 0, from = 0;
        for (std::size_t i = 0; i + 1 < n_; ++i) {
            if (b[i + 1] != 0.0 || (!fir_ && a[i + 1] != 0.0))
                from = i + 1;
            else if (i + 1 - from > hi - lo)
                lo = from, hi = i + 1;
        }
        if (hi - lo < 16) lo = hi = 0;
        return {lo, hi};
    }

    mutable std::vector<double> buf_ = std::vector<double>(1, 0.0);  // unassigned: b = [0], no state
    std::size_t n_ = 0;
    bool fir_ = true;
    std::size_t lo_ = 0, hi_ = 0;
    bool pristine_ = true;
};

// Initial state for LFilter from past outputs y[0..ny) and inputs x[0..nx)
// (newest first), as scipy.signal.lfiltic computes it; missing history counts
// as zero. zi has max(nb, na) - 1 entries; a[0] must be non-zero.
//     zi[m] = sum_i b[m+1+i]*x[i] - sum_i a[m+1+i]*y[i]   (then / a[0])
// The sums start from +0.0 and run left to right, as numpy's for fewer than
// eight terms (the start decides the sign of a zero sum).
inline void lfiltic(const double* b, std::size_t nb, const double* a, std::size_t na, const double* y, std::size_t ny,
                    const double* x, std::size_t nx, double* zi) {
    const std::size_t M = nb ? nb - 1 : 0, N = na ? na - 1 : 0, K = std::max(M, N);
    auto at = [](const double* v, std::size_t n, std::size_t i) { return i < n ? v[i] : 0.0; };
    for (std::size_t m = 0; m < K; ++m) zi[m] = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        double s = 0.0;
        for (std::size_t i = 0; i < M - m; ++i) s += b[m + 1 + i] * at(x, nx, i);
        zi[m] = s;
    }
    for (std::size_t m = 0; m < N; ++m) {
        double s = 0.0;
        for (std::size_t i = 0; i < N - m; ++i) s += a[m + 1 + i] * at(y, ny, i);
        zi[m] -= s;
    }
    if (na && a[0] != 1.0)
        for (std::size_t m = 0; m < K; ++m) zi[m] /= a[0];
}

}  // namespace corvane

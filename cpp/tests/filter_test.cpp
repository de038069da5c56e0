// The delay-line ring of LFilter against the plain direct-form loop, bit for
// bit (signed zeros included), on inputs that hit every way out of the ring:
// -0.0, infinities, NaN, overflow, states written from outside.
#include <corvane/filter.hpp>
#include <corvane/mimo.hpp>

#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"

namespace {

// The loop without a delay line.
struct Plain {
    std::vector<double> b, a, z;
    bool fir;
    Plain(const std::vector<double>& bi, const std::vector<double>& ai) : fir(ai.size() == 1) {
        const std::size_t nf = fir ? bi.size() : std::max(bi.size(), ai.size());
        b.assign(nf, 0.0);
        a.assign(nf, 0.0);
        std::copy(bi.begin(), bi.end(), b.begin());
        std::copy(ai.begin(), ai.end(), a.begin());
        const double a0 = ai[0];
        for (std::size_t k = 0; k < nf; ++k) b[k] /= a0;
        if (!fir)
            for (double& c : a) c /= a0;
        z.assign(nf - 1, 0.0);
    }
    double step(double x) {
        const std::size_t n = z.size();
        if (fir) {
            const double y = (0.0 + b[0] * x) + z[0];
            for (std::size_t i = 0; i + 1 < n; ++i) z[i] = (0.0 + b[i + 1] * x) + z[i + 1];
            z[n - 1] = 0.0 + b[n] * x;
            return y;
        }
        const double y = z[0] + b[0] * x;
        for (std::size_t i = 0; i + 1 < n; ++i) z[i] = z[i + 1] + b[i + 1] * x - a[i + 1] * y;
        z[n - 1] = b[n] * x - a[n] * y;
        return y;
    }
};

// Bit for bit, but any NaN for a NaN: the compiler may swap the operands of
// an addition, and with them which NaN comes out.
bool same_double(double p, double q) {
    std::uint64_t u, v;
    std::memcpy(&u, &p, sizeof u);
    std::memcpy(&v, &q, sizeof v);
    return u == v || (std::isnan(p) && std::isnan(q));
}

std::uint64_t g_rng = 0x9E3779B97F4A7C15ull;
std::uint64_t next() {
    g_rng ^= g_rng << 13;
    g_rng ^= g_rng >> 7;
    g_rng ^= g_rng << 17;
    return g_rng;
}

// Ordinary values with signed zeros among them; in special stretches also
// values the ring must not take (a huge one overflows a finite input's output).
double input(bool special) {
    const std::uint64_t r = next() % 100;
    if (r < 40) return (double) ((int) (next() % 9) - 4);
    if (r < 70) return r % 2 ? 0.0 : -0.0;
    if (!special || r < 85) return (double) ((int) (next() % 2001) - 1000) / 64.0;
    if (r < 90) return 1e308;
    if (r < 94) return r % 2 ? INFINITY : -INFINITY;
    return NAN;
}

bool same_state(const corvane::LFilter& f, const Plain& ref) {
    const auto z = f.state();
    bool same = z.size() == ref.z.size();
    for (std::size_t i = 0; same && i < z.size(); ++i) same = same_double(z[i], ref.z[i]);
    return same;
}

void compare(const char* what, const std::vector<double>& b, const std::vector<double>& a, bool writes) {
    corvane::LFilter f;
    f.assign(b.data(), b.size(), a.data(), a.size());
    const corvane::FilterView v = f.view();
    expect_true(v.hi - v.lo >= 16, what);  // the case has a delay line
    Plain ref(b, a);
    bool same = true;
    for (int k = 0; k < 20000 && same; ++k) {
        if (k % 100 == 0 && !std::isfinite(ref.step(0.0) + f.step(0.0))) {  // start again after a NaN
            f.reset();
            std::fill(ref.z.begin(), ref.z.end(), 0.0);
        }
        const double x = input(k % 1000 > 900);
        const double y = ref.step(x);
        same = same_double(f.step(x), y);
        // Now and then (reading turns the ring back), and whenever the output is not finite.
        if (k % 37 == 0 || !std::isfinite(y)) same = same && same_state(f, ref);
        if (writes && k % 333 == 0) {  // zeros of both signs, and now and then a NaN
            for (std::size_t i = 0; i < ref.z.size(); ++i) ref.z[i] = i % 3 == 0 ? -0.0 : i % 3 == 1 ? 0.0 : i * 0.5;
            if (k % 666 == 0) ref.z[ref.z.size() / 2] = NAN;
            f.state_mut() = ref.z;
        }
    }
    expect_true(same && same_state(f, ref), what);
}

}  // namespace

int main() {
    auto delayed = [](int d, std::vector<double> num) {
        std::vector<double> b(d, 0.0);
        b.insert(b.end(), num.begin(), num.end());
        return b;
    };
    compare("first order behind 25 samples", delayed(25, {0.0, 0.0198}), {1.0, -0.9802}, false);
    compare("negative a[0]: the padding turns -0.0", delayed(25, {0.0, 0.0198}), {-1.0, 0.9802}, true);
    compare("second order, state written", delayed(19, {0.0, 1.0, 0.5}), {1.0, -1.5, 0.7}, true);
    compare("integrator", delayed(17, {0.0, 1.0}), {1.0, -1.0}, true);
    compare("convolution with a gap",
            {1.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 3.0, 1.0},
            {1.0}, true);
    compare("convolution, line from the start, a[0] = -2", delayed(18, {4.0}), {-2.0}, true);
    std::vector<double> a_late(18, 0.0);  // a[1..16] zero, -0.0 among them
    a_late[0] = 1.0, a_late[2] = -0.0, a_late[17] = 0.125;
    std::vector<double> b_late = delayed(18, {1.0});
    b_late[0] = 0.5, b_late[3] = -0.0;
    compare("line from the start", b_late, a_late, true);
    {  // a copy turns on its own; a plant steps the filters it links
        corvane::MimoPlant p;
        p.resize(1, 1);
        const std::vector<double> b = delayed(20, {0.0, 1.0}), a = {1.0, -0.5};
        p.models[0].assign(b.data(), b.size(), a.data(), a.size());
        p.active[0] = 1;
        Plain ref(b, a);
        bool same = true;
        auto run = [&](int period, double offset) {
            for (int k = 0; k < 30; ++k) {
                const double u = k % period - offset, v = 0.0;
                double y;
                p.step(&u, &v, &y);
                same = same && same_double(y, 0.0 + ref.step(u));
            }
        };
        run(4, 1.5);
        corvane::MimoPlant q = p;
        Plain ref2 = ref;
        run(5, 2.0);
        same = same && same_state(q.models[0], ref2) && same_state(p.models[0], ref);
        expect_true(same, "plant and copy");
    }
    return check_summary();
}

// Constant detector core against a plain recomputation of the window.
#include <corvane/constdetect.hpp>

#include <cmath>
#include <cstdint>
#include <deque>
#include <vector>

#include "check.hpp"

namespace {

// The window kept in full, tested by a scan.
struct Plain {
    std::deque<double> w;
    bool step(double x, std::int64_t L) {
        w.push_back(x);
        while ((std::int64_t) w.size() < L) w.push_back(x);
        while ((std::int64_t) w.size() > L) w.pop_front();
        bool ok = std::fabs(w.front() - w.front()) < 1e-6;
        for (size_t i = 1; i < w.size(); ++i) ok = ok && std::fabs(w[i] - w[i - 1]) < 1e-6;
        return ok;
    }
};

std::uint64_t rng = 88172645463325252ull;
std::uint64_t next() {
    rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
    return rng;
}

}  // namespace

int main() {
    {  // a change, then a constant input: 9 False calls, then True
        corvane::ConstDetector<int> d;
        int dropped = 0;
        auto drop = [&](int&&) { ++dropped; };
        for (int k = 0; k < 10; ++k) d.step(1.0, 0, 10, drop);
        bool want[10] = {false, false, false, false, false, false, false, false, false, true};
        for (int k = 0; k < 10; ++k) expect_true(d.step(2.0, 0, 10, drop) == want[k], "change then constant");
        expect_true(d.length == 10 && dropped == 10, "window length and dropped runs");
    }
    {  // growing adds one run; tolerance is strict
        corvane::ConstDetector<int> d;
        auto drop = [](int&&) {};
        expect_true(d.step(5.0, 0, 10000, drop) && d.runs.size() == 1, "first call fills one run");
        expect_true(!d.step(5.0 + 1e-6, 0, 10000, drop), "step of 1e-6 is a change");
        corvane::ConstDetector<int> e;
        e.step(5.0, 0, 3, drop);
        expect_true(e.step(5.0 + 0.9e-6, 0, 3, drop), "step of 0.9e-6 is constant");
        expect_true(!e.step(INFINITY, 0, 1, drop) && !e.step(NAN, 0, 1, drop), "non-finite single entry");
    }
    {  // random sequences and window lengths against the plain scan
        corvane::ConstDetector<int> d;
        Plain p;
        auto drop = [](int&&) {};
        const double values[] = {0.0, 0.0, 1e-7, 3e-7, 1.0, NAN, INFINITY, 2.0, 2.0};
        int mismatches = 0;
        std::int64_t L = 5;
        for (int k = 0; k < 20000; ++k) {
            if (next() % 7 == 0) L = 1 + (std::int64_t) (next() % 12);
            const double x = values[next() % 9] + (next() % 3 == 0 ? 5e-7 : 0.0);
            if (d.step(x, k, L, drop) != p.step(x, L) || d.length != L) ++mismatches;
        }
        expect_near(mismatches, 0, 0, "agrees with the plain scan");
    }
    {  // window lengths for any real L, against the loops of the algorithm
        using corvane::WindowBounds;
        using corvane::WindowError;
        auto loops = [](std::int64_t n, double L, WindowBounds& w) {
            while ((double) n < L) ++n;
            w.grow = n;
            while ((double) n > L) {
                if (n == 0) return WindowError::pop_empty;
                --n;
            }
            w.keep = n;
            return n == 0 ? WindowError::index_empty : WindowError::none;
        };
        const double Ls[] = {-3.0, -0.5, 0.0, 0.5, 1.0, 1.7, 2.0, 2.5, 7.0, 9.99, 40.25, NAN};
        int mismatches = 0;
        for (std::int64_t n0 = 1; n0 < 12; ++n0) {
            for (double L : Ls) {
                WindowBounds want, real, any, whole;
                const WindowError e = loops(n0, L, want);
                const WindowError er = corvane::window_bounds(n0, L, real);
                const WindowError ea = corvane::window_bounds_by(
                    n0, [L](std::int64_t n) { return (double) n < L; }, [L](std::int64_t n) { return (double) n > L; },
                    any);
                auto same = [&](WindowError got, const WindowBounds& w) {
                    return got == e && (e != WindowError::none || (w.grow == want.grow && w.keep == want.keep));
                };
                mismatches += !same(er, real) + !same(ea, any);
                if (L == std::floor(L))
                    mismatches += !same(corvane::window_bounds(n0, (std::int64_t) L, 0, whole), whole);
            }
        }
        expect_near(mismatches, 0, 0, "window lengths agree with the loops");
        WindowBounds w;
        expect_true(corvane::window_bounds(1, INFINITY, w) == WindowError::too_long, "infinite L");
        expect_true(corvane::window_bounds(1, std::int64_t{0}, 1, w) == WindowError::too_long, "L beyond int64");
        expect_true(corvane::window_bounds(5, 1e18, w) == WindowError::none && w.grow == 1000000000000000000 &&
                        w.keep == w.grow,
                    "long window");
        auto huge = [](std::int64_t) { return true; };  // n < L for every n
        expect_true(corvane::window_bounds_by(1, huge, huge, w) == WindowError::too_long, "unbounded comparison");
    }
    {  // steps found by the caller; x stands for the step from itself (NaN: it fails)
        corvane::ConstDetector<int> d;
        auto drop = [](int&&) {};
        expect_true(!d.step(NAN, 0, 3, 3, false, drop), "unsettled first entry");
        expect_true(!d.step(0.0, 0, 3, 3, true, drop) && !d.step(0.0, 0, 3, 3, true, drop),
                    "unsettled entry still in the window");
        expect_true(d.step(0.0, 0, 3, 3, true, drop), "passing steps once it has left");
        expect_true(!d.step(0.0, 0, 4, 2, false, drop) && d.length == 2, "a failing step kept");
        expect_true(d.step(0.0, 0, 4, 1, false, drop) && d.length == 1, "a failing step that leaves");
    }
    return check_summary();
}

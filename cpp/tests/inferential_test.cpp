// Ring buffer, lab-result recognition and bias update, without Python.
#include <corvane/bias_update.hpp>
#include <corvane/lab_recognition.hpp>
#include <corvane/ring_buffer.hpp>

#include <cmath>
#include <deque>
#include <random>

#include "check.hpp"

namespace {

// The rule written out: differences of neighbours, oldest pair first.
bool rule(const std::deque<double>& v, double thr) {
    if (std::fabs(v[1] - v[0]) < thr) return false;
    for (std::size_t i = 2; i < v.size(); ++i)
        if (!(std::fabs(v[i] - v[i - 1]) < 1e-6)) return false;
    return true;
}

bool same(const corvane::RingBuffer& r, const std::deque<double>& d) {
    if (r.size() != d.size()) return false;
    for (std::size_t i = 0; i < d.size(); ++i)
        if (r.at(i) != d[i]) return false;
    return true;
}

}  // namespace

int main() {
    std::mt19937 gen(7);
    {  // ring buffer against a bounded deque; bisection against a linear count
        for (std::size_t cap : {0u, 1u, 2u, 5u}) {
            corvane::RingBuffer r(cap);
            std::deque<double> d;
            bool ok = true;
            for (int k = 0; k < 40; ++k) {
                const double x = (double) (k / 3);  // ascending with repeats
                r.push_back(x);
                if (cap) {
                    if (d.size() == cap) d.pop_front();
                    d.push_back(x);
                }
                ok = ok && same(r, d);
                for (double q : {-1.0, x - 1.0, x - 0.5, x, x + 1.0}) {
                    std::size_t n = 0;
                    while (n < d.size() && d[n] <= q) ++n;
                    ok = ok && r.count_not_greater(q) == n;
                }
            }
            expect_true(ok, "ring buffer vs deque");
        }
    }
    {  // mark/rewind takes back one push, full or not
        corvane::RingBuffer r(3);
        bool ok = true;
        for (int k = 0; k < 7; ++k) {
            const auto m = r.mark();
            std::deque<double> before;
            for (std::size_t i = 0; i < r.size(); ++i) before.push_back(r.at(i));
            r.push_back(100.0 + k);
            r.rewind(m);
            ok = ok && same(r, before);
            r.push_back(k);
        }
        expect_true(ok, "ring rewind");
    }
    {  // O(1) recognition makes exactly the decisions of the written-out rule
        std::uniform_int_distribution<int> pick(0, 9);
        bool ok = true;
        for (std::size_t cap : {2u, 3u, 4u, 8u}) {
            corvane::LabChangeDetector det(cap);
            std::deque<double> d;
            double held = 1.0;
            for (int k = 0; k < 4000; ++k) {
                const int p = pick(gen);
                if (p == 0)
                    held += 1.0;  // a new lab result
                else if (p == 1)
                    held += 5e-7;  // below the steady tolerance
                else if (p == 2)
                    held += 2e-6;  // above it, below the threshold
                det.push(held);
                if (d.size() == cap) d.pop_front();
                d.push_back(held);
                if (d.size() >= 2) ok = ok && det.recognised(1e-3) == rule(d, 1e-3);
            }
        }
        expect_true(ok, "recognition vs rule");
    }
    {  // first call, a step of the lab value recognised const_len calls later; taking a step back
        corvane::SoftSensorBias s(6, 4, 1e-6);  // prd_len 5, const_len 2
        const double T = 1000.0;
        auto r = s.step(1.0, 3.0, T - 30.0, T, false, 0.0);
        expect_true(r.first && r.update == corvane::SoftSensorBias::Update::applied && s.bias == 2.0, "first update");
        expect_true(s.prd_time.front() == T - 300.0 && s.prd_time.back() == T, "start history stamps");
        int updated_at = -1;
        for (int k = 0; k < 4; ++k) {
            s.step(2.0 + k, 5.0, T + 1.5, T + 1.0 + k, false, 0.0);
            if (s.update_flag) updated_at = updated_at < 0 ? k : 99;
        }
        expect_true(updated_at == 2 && s.bias == 3.0 && s.prd_at_lab == 2.0, "one update, held prediction at T+1");
        auto snap = s.snapshot();
        r = s.step(7.0, 9.0, T + 6.0, T + 6.0, true, 1.0);
        expect_true(r.update == corvane::SoftSensorBias::Update::applied && s.bias == 9.0 - 7.0, "triggered, newest");
        s.restore(snap);
        expect_true(s.bias == 3.0 && s.prd_time.back() == T + 4.0 && s.prd_time.front() == T - 60.0 &&
                        s.lab.values().back() == 5.0 && !s.update_flag,
                    "step taken back");
        corvane::SoftSensorBias none(0, 3, 1e-6);
        expect_true(none.step(1.0, 1.0, 0.0, 0.0, false, 0.0).error == corvane::SoftSensorBias::Error::no_history,
                    "no prediction history");
    }
    return check_summary();
}

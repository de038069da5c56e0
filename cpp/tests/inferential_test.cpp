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
                if (p == 0) held += 1.0;           // a new lab result
                else if (p == 1) held += 5e-7;     // below the steady tolerance
                else if (p == 2) held += 2e-6;     // above it, below the threshold
                det.push(held);
                if (d.size() == cap) d.pop_front();
                d.push_back(held);
                if (d.size() >= 2) ok = ok && det.recognised(1e-3) == rule(d, 1e-3);
            }
        }
        expect_true(ok, "recognition vs rule");
    }
    {  // first call, then a step of the lab value recognised after const_len further calls
        corvane::SoftSensorBias s(6, 4, 1e-6);  // prd_len 5, const_len 2
        const double T = 1000.0;
        auto r = s.step(1.0, 3.0, T - 30.0, T, false, 0.0);
        expect_true(r.first && r.attempted && r.update == corvane::SoftSensorBias::Update::applied, "first update");
        expect_near(s.bias, 2.0, 0.0, "first bias (prediction at T-60)");
        expect_near(s.prd_time.front(), T - 300.0, 0.0, "start history oldest stamp");
        expect_near(s.prd_time.back(), T, 0.0, "start history newest stamp");
        const double preds[] = {2.0, 4.0, 8.0, 16.0};
        bool flags[4];
        for (int k = 0; k < 4; ++k) {
            s.step(preds[k], 5.0, T + 1.5, T + 1.0 + k, false, 0.0);
            flags[k] = s.update_flag;
        }
        expect_true(!flags[0] && !flags[1] && flags[2] && !flags[3], "update in the third call with the new value");
        expect_near(s.bias, 5.0 - 2.0, 0.0, "bias from the prediction stamped T+1");
        // lab time on a stamp takes that stamp's prediction; beyond the newest: no change
        s.step(32.0, 5.0, T + 3.0, T + 5.0, true, 1.0);
        expect_near(s.prd_at_lab, 8.0, 0.0, "stamp equal to the lab time");
        const auto before = s.bias;
        r = s.step(64.0, 9.0, T + 99.0, T + 6.0, true, 1.0);
        expect_true(r.update == corvane::SoftSensorBias::Update::out_of_range && s.bias == before && !s.update_flag,
                    "lab time newer than the newest stamp");
        r = s.step(64.0, 5.0, T + 3.0, T + 7.0, true, 1.0);
        expect_true(r.update == corvane::SoftSensorBias::Update::unchanged, "same lab value and time");
    }
    {  // snapshot/restore takes back a first step and a later one
        corvane::SoftSensorBias s(4, 3, 1e-6);
        auto snap = s.snapshot();
        s.step(1.0, 2.0, 0.0, 100.0, false, 0.0);
        s.restore(snap);
        expect_true(s.prd_data.empty() && s.prd_time.empty() && s.lab.values().empty() && std::isnan(s.bias + s.lab_data),
                    "first step taken back");
        s.step(1.0, 2.0, 50.0, 100.0, false, 0.0);
        const double bias = s.bias, oldest = s.prd_time.front();
        snap = s.snapshot();
        s.step(7.0, 9.0, 100.0, 101.0, true, 1.0);
        s.restore(snap);
        expect_true(s.bias == bias && s.prd_time.front() == oldest && s.prd_time.back() == 100.0 &&
                        s.lab.values().back() == 2.0 && s.update_flag,
                    "later step taken back");
    }
    {  // capacities that leave nothing to look up or compare report it
        corvane::SoftSensorBias none(0, 3, 1e-6);
        expect_true(none.step(1.0, 1.0, 0.0, 0.0, false, 0.0).error == corvane::SoftSensorBias::Error::no_history,
                    "no prediction history");
        corvane::SoftSensorBias one(3, 1, 1e-6);
        one.step(1.0, 1.0, 0.0, 0.0, false, 0.0);
        expect_true(one.step(1.0, 1.0, 0.0, 1.0, false, 0.0).error ==
                        corvane::SoftSensorBias::Error::no_lab_difference,
                    "no lab difference");
    }
    return check_summary();
}

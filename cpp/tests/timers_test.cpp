// Timers and latch on their own: timing table rows and the latch truth table.
#include <corvane/latch.hpp>
#include <corvane/timers.hpp>

#include "check.hpp"

template <class Timer>
void run_row(long long DT, const long long (&in)[6], const long long (&et)[6], const int (&yt)[6], const char* what) {
    Timer t;
    t.DT = DT;
    for (int k = 0; k < 6; ++k) {
        t.step(in[k]);
        expect_true(t.ET == et[k] && t.Yt == yt[k], what);
    }
}

int main() {
    run_row<corvane::OnDelay<>>(3, {0, 1, 0, 1, 1, 1}, {3, 2, 3, 2, 1, 0}, {0, 0, 0, 0, 0, 1}, "on-delay");
    run_row<corvane::OffDelay<>>(3, {1, 0, 1, 0, 0, 0}, {3, 2, 3, 2, 1, 0}, {1, 1, 1, 1, 1, 0}, "off-delay");
    run_row<corvane::OffDelay<>>(3, {2, 1, 1, 0, 0, 0}, {3, 2, 3, 2, 1, 0}, {1, 1, 1, 1, 1, 0}, "2 -> 1 edge");
    run_row<corvane::OnDelay<>>(0, {1, 0, 1, 1, 0, 1}, {-1, 0, -1, -1, 0, -1}, {1, 1, 1, 1, 1, 1}, "DT 0");
    corvane::RSLatch l;  // reset wins; hold keeps the previous Q
    const bool S[] = {false, true, false, true, false, false}, R[] = {false, false, false, true, false, true};
    const bool Q[] = {false, true, true, false, false, false};
    for (int k = 0; k < 6; ++k) {
        l.step(S[k], R[k]);
        expect_true(l.Q == Q[k] && l.nQ == !Q[k], "latch table");
    }
    return check_summary();
}

// Timers and latch on their own: the timing tables and the latch truth table.
#include <corvane/latch.hpp>
#include <corvane/timers.hpp>

#include "check.hpp"

#include <initializer_list>

template <class Timer>
void run_table(const long long (&in)[6], const long long (&et)[6], const int (&yt)[6], int n, const char* what) {
    Timer t;
    for (int k = 0; k < n; ++k) {
        t.step(in[k]);
        expect_true(t.ET == et[k] && t.Yt == yt[k], what);
    }
}

int main() {
    run_table<corvane::OnDelay<>>({0, 1, 1, 1, 1, 0}, {3, 2, 1, 0, 0, 3}, {0, 0, 0, 1, 1, 0}, 6, "on-delay row 1");
    run_table<corvane::OnDelay<>>({0, 1, 0, 1, 1, 1}, {3, 2, 3, 2, 1, 0}, {0, 0, 0, 0, 0, 1}, 6, "on-delay row 2");
    run_table<corvane::OffDelay<>>({1, 0, 0, 0, 0, 0}, {3, 2, 1, 0, 0, 0}, {1, 1, 1, 0, 0, 0}, 5, "off-delay row 1");
    run_table<corvane::OffDelay<>>({1, 0, 1, 0, 0, 0}, {3, 2, 3, 2, 1, 0}, {1, 1, 1, 1, 1, 0}, 6, "off-delay row 2");
    {  // lowering DT to ET during a count stops it; a step 2 -> 1 is a falling edge
        corvane::OnDelay<> on;
        on.step(1);
        on.DT = 2;
        on.step(1);
        on.step(1);
        expect_true(on.ET == 2 && on.Yt == 0, "on-delay stopped count");
        corvane::OffDelay<> off;
        off.step(2);
        off.step(1);
        expect_true(off.ET == 2 && off.Yt == 1, "off-delay 2 -> 1 edge");
    }
    {  // DT 0: never positive
        corvane::OnDelay<> on;
        corvane::OffDelay<> off;
        on.DT = off.DT = 0;
        for (long long u : {1, 0, 1}) {
            on.step(u);
            off.step(u);
            expect_true(on.Yt == 1 && off.Yt == 0, "DT 0");
        }
    }
    {  // reset wins; hold keeps the previous Q
        corvane::RSLatch l;
        const bool S[] = {false, true, false, true, false, false};
        const bool R[] = {false, false, false, true, false, true};
        const bool Q[] = {false, true, true, false, false, false};
        for (int k = 0; k < 6; ++k) {
            l.step(S[k], R[k]);
            expect_true(l.Q == Q[k] && l.nQ == !Q[k], "latch table");
        }
    }
    return check_summary();
}

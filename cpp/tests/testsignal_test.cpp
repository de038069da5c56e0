// Test-signal generator core: switching offsets, the next five switches, negative times.
#include <corvane/testsignal.hpp>

#include <initializer_list>

#include "check.hpp"

int main() {
    using corvane::floor_div;
    using corvane::floor_mod;
    expect_true(floor_div(-1, 20) == -1 && floor_mod(-1, 20) == 19, "floor toward minus infinity");
    expect_true(floor_div(7, -4) == -2 && floor_mod(7, -4) == -1, "modulo takes the divisor's sign");
    for (std::int64_t a : std::initializer_list<std::int64_t>{-7, -6, -1, 0, 1, 6, 7, INT64_MIN, INT64_MAX})
        for (std::int64_t d : std::initializer_list<std::int64_t>{-6, -2, 2, 6, 20}) {
            std::int64_t q, r;
            corvane::floor_divmod(a, d, q, r);
            expect_true(q == floor_div(a, d) && r == floor_mod(a, d), "divmod");
        }

    corvane::TestSignal s;
    s.table[0] = 0.57, s.table[1] = 0.3, s.table[2] = 0.9, s.table[9999] = 0.1;
    {  // 20 * 0.57 = 11.399.. truncates to 11
        auto r = s.at(0);
        const std::int64_t want[5] = {11, 20, 26, 40, 58};
        expect_true(r.high, "t=0 high");
        for (int i = 0; i < 5; ++i) expect_near((double) r.next[i], (double) want[i], 0, "t=0 next");
    }
    {  // first second of the low part, then the last second of the period
        auto r = s.at(11);
        const std::int64_t want[5] = {9, 15, 29, 47, 49};
        expect_true(!r.high, "t=11 low");
        for (int i = 0; i < 5; ++i) expect_near((double) r.next[i], (double) want[i], 0, "t=11 next");
        expect_true(s.at(19).next[0] == 1, "last second");
    }
    {  // period -1 uses entry 9999 and wraps to entries 0, 1
        auto r = s.at(-1);
        expect_true(!r.high && r.next[0] == 1 && r.next[1] == 12 && r.next[4] == 41, "negative t");
        expect_true(s.at(-20).high && s.at(-20).next[0] == 2, "start of period -1");
    }
    {  // the table wraps after 10000 periods
        auto a = s.at(5), b = s.at(5 + 20 * 10000);
        bool same = a.high == b.high;
        for (int i = 0; i < 5; ++i) same = same && a.next[i] == b.next[i];
        expect_true(same, "wrap");
    }
    {  // extremes of the handled range stay finite and exact
        s.ET = corvane::TestSignal::kMaxHalfPeriod;
        auto r = s.at(INT64_MIN);
        expect_true(r.next[4] > 0, "largest half period");
        s.ET = 1;
        auto q = s.at(INT64_MAX);
        expect_true(q.next[0] >= 1, "largest time");
    }
    return check_summary();
}

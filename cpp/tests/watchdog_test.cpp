// Watchdog counter on its own: wrap-around, divisor sign, range limits.
#include <corvane/watchdog.hpp>

#include "check.hpp"

int main() {
    using corvane::cycle_length;
    long long n = 0;
    {
        corvane::WatchDog w;
        const long long want[] = {1, 2, 3, 0, 1};
        for (long long v : want) expect_true(w.step(4) && w.ticks == v, "MaxOut 3");
    }
    {  // MaxOut -3: divisor -2
        corvane::WatchDog w;
        expect_true(cycle_length(-3LL, n) && n == -2, "divisor of -3");
        const long long want[] = {-1, 0, -1, 0};
        for (long long v : want) expect_true(w.step(n) && w.ticks == v, "negative divisor");
    }
    expect_true(cycle_length(2.5, n) && n == 3, "MaxOut 2.5");
    expect_true(cycle_length(-2.5, n) && n == -1, "MaxOut -2.5 truncates toward zero");
    expect_true(!cycle_length(NAN, n) && !cycle_length(INFINITY, n) && !cycle_length(1e19, n), "unrepresentable");
    expect_true(!cycle_length(LLONG_MAX, n), "int overflow");
    {
        corvane::WatchDog w;
        w.ticks = 7;
        expect_true(!w.step(0) && w.ticks == 7, "zero divisor leaves ticks");
        expect_true(w.step(4) && w.ticks == 0, "lowered MaxOut");
        w.ticks = LLONG_MAX;
        expect_true(!w.step(5) && w.ticks == LLONG_MAX, "overflow leaves ticks");
        w.ticks = LLONG_MIN;
        expect_true(w.step(-1) && w.ticks == 0, "divisor -1");
    }
    return check_summary();
}

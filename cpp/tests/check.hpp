// Minimal checks for the core tests: each test file is its own program and
// ends with check_summary(), which prints "N passed, N failed".
#pragma once

#include <cmath>
#include <cstdio>

inline int g_failures = 0, g_checks = 0;

inline void expect_near(double got, double want, double tol, const char* what) {
    ++g_checks;
    if (!(std::fabs(got - want) <= tol) && !(std::isnan(got) && std::isnan(want))) {
        ++g_failures;
        std::printf("FAIL %s: got %.17g, want %.17g\n", what, got, want);
    }
}

inline void expect_true(bool ok, const char* what) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        std::printf("FAIL %s\n", what);
    }
}

inline int check_summary() {
    std::printf("%d passed, %d failed\n", g_checks - g_failures, g_failures);
    return g_failures ? 1 : 0;
}

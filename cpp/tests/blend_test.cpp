// The blend: position by linear interpolation of the working value, clamped
// weights, and the blended value; worked examples with three plants.
#include <corvane/blend.hpp>

#include <cmath>

#include "check.hpp"

int main() {
    const double xp[] = {10.0, 20.0, 40.0};
    expect_near(corvane::interp_index(30.0, xp, 3), 1.5, 0.0, "between 20 and 40");
    expect_near(corvane::interp_index(12.5, xp, 3), 0.25, 0.0, "between 10 and 20");
    expect_near(corvane::interp_index(5.0, xp, 3), 0.0, 0.0, "below the first point");
    expect_near(corvane::interp_index(50.0, xp, 3), 2.0, 0.0, "above the last point");
    expect_near(corvane::interp_index(INFINITY, xp, 3), 2.0, 0.0, "infinity");
    expect_near(corvane::interp_index(20.0, xp, 3), 1.0, 0.0, "at a point");
    expect_near(corvane::interp_index(123.0, xp, 1), 0.0, 0.0, "one plant");
    expect_true(std::isnan(corvane::interp_index(NAN, xp, 3)), "NaN stays NaN");
    const double open[] = {1.0, 2.0, INFINITY};  // an infinite span has slope 0
    expect_near(corvane::interp_index(3.0, open, 3), 1.0, 0.0, "infinite span");
    const double from[] = {-INFINITY, 0.0};  // 0 * inf: taken from the upper point instead
    expect_near(corvane::interp_index(-1.0, from, 2), 1.0, 0.0, "infinite lower point");

    const corvane::BlendWeights half = corvane::blend_weights(1.5);
    expect_true(!half.single() && half.id1 == 1.0 && half.id2 == 2.0 && !half.clamped, "1.5 brackets 1 and 2");
    expect_near(half.w1, 0.5, 0.0, "w1");
    expect_near(half.w2, 0.5, 0.0, "w2");
    const corvane::BlendWeights at = corvane::blend_weights(2.0);
    expect_true(at.single() && at.w1 == 1.0 && at.w2 == 0.0, "a whole position is one plant");
    const corvane::BlendWeights q = corvane::blend_weights(0.25);
    expect_near(q.w1, 0.75, 0.0, "0.25: w1");
    expect_near(corvane::blend_value(q.w1, 4.0, q.w2, 8.0, 1.0), 6.0, 0.0, "blended value");
    expect_near(corvane::single_value(4.0, 1.0), 5.0, 0.0, "single value");
    const corvane::BlendWeights n = corvane::blend_weights(NAN);
    expect_true(std::isnan(n.id1) && std::isnan(n.id2), "NaN position has no plant");
    return check_summary();
}

// Two-level excitation signal with a random duty cycle per period.
//
// Time is counted in whole seconds from the epoch. Period p covers
// p*P <= t < (p+1)*P with P = 2*ET; it starts high and switches low at offset
// int(P * table[p mod n]) (the product in double, truncated toward zero).
// Besides the level, a sample gives the seconds to the next five switches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

// Integer division rounding toward minus infinity, and the matching modulo
// whose result takes the divisor's sign (d != 0, d != -1 for INT64_MIN).
inline std::int64_t floor_div(std::int64_t a, std::int64_t d) {
    std::int64_t q = a / d;
    if (a % d != 0 && ((a < 0) != (d < 0))) --q;
    return q;
}

inline std::int64_t floor_mod(std::int64_t a, std::int64_t d) {
    std::int64_t r = a % d;
    if (r != 0 && ((r < 0) != (d < 0))) r += d;
    return r;
}

// Both at once, from one hardware division.
inline void floor_divmod(std::int64_t a, std::int64_t d, std::int64_t& q, std::int64_t& r) {
    q = a / d;
    r = a - q * d;
    if (r != 0 && ((r < 0) != (d < 0))) {
        --q;
        r += d;
    }
}

struct TestSignal {
    static constexpr std::int64_t kTableSize = 10000;
    // Largest |ET| handled: 2*ET is exact as a double and 4*P fits in 64 bits.
    static constexpr std::int64_t kMaxHalfPeriod = std::int64_t(1) << 51;

    std::int64_t ET = 10;
    std::vector<double> table = std::vector<double>(kTableSize, 0.5);

    struct Sample {
        bool high;
        std::int64_t next[5];
    };

    static bool half_period_in_range(std::int64_t et) { return et >= -kMaxHalfPeriod && et <= kMaxHalfPeriod; }
    // Duty fractions the table may hold: offsets then stay within one period.
    static bool fraction_ok(double f) { return f >= 0.0 && f <= 1.0; }

    // Switch-down offset inside a period whose table index is id.
    std::int64_t offset(std::int64_t P, std::int64_t id) const {
        return static_cast<std::int64_t>(static_cast<double>(P) * table[static_cast<std::size_t>(id)]);
    }

    // The signal at time t. Requires ET != 0, half_period_in_range(ET) and a
    // full table of fractions that pass fraction_ok.
    Sample at(std::int64_t t) const {
        const std::int64_t P = 2 * ET;
        std::int64_t period, tp;
        floor_divmod(t, P, period, tp);
        const std::int64_t id0 = floor_mod(period, kTableSize);
        const std::int64_t id1 = (id0 + 1) % kTableSize, id2 = (id0 + 2) % kTableSize;
        const std::int64_t sw0 = offset(P, id0), sw1 = offset(P, id1), sw2 = offset(P, id2);
        if (tp < sw0) return Sample{true, {sw0 - tp, P - tp, P - tp + sw1, 2 * P - tp, 2 * P - tp + sw2}};
        return Sample{false, {P - tp, P - tp + sw1, 2 * P - tp, 2 * P - tp + sw2, 3 * P - tp}};
    }
};

}  // namespace corvane

// Recognition of a new lab result in the held lab value, O(1) per sample.
//
// The rule, on the last values passed (oldest first) and their neighbour
// differences d0, d1, ... : a new result is recognised when |d0| >= threshold
// and every later |di| < 1e-6. Instead of forming the differences each call,
// the detector counts the newest differences below 1e-6 in a row: the later
// differences are all small exactly when that count reaches size - 2.
#pragma once

#include "ring_buffer.hpp"

#include <cmath>
#include <cstddef>

namespace corvane {

inline constexpr double kLabSteadyTolerance = 1e-6;

class LabChangeDetector {
  public:
    LabChangeDetector() = default;
    explicit LabChangeDetector(std::size_t capacity) : values_(capacity) {}

    const RingBuffer& values() const noexcept { return values_; }

    void push(double x) noexcept {
        if (values_.capacity() == 0) return;
        if (values_.empty()) {
            steady_ = 0;
        } else if (std::fabs(x - values_.back()) < kLabSteadyTolerance) {
            if (steady_ < values_.capacity()) ++steady_;
        } else {
            steady_ = 0;
        }
        values_.push_back(x);
    }

    // Pushes x until the history is full.
    void fill(double x) noexcept {
        while (!values_.full()) push(x);
    }

    // At least one difference to test.
    bool ready() const noexcept { return values_.size() >= 2; }

    // The rule above; needs ready().
    bool recognised(double threshold) const noexcept {
        const double d0 = std::fabs(values_.at(1) - values_.at(0));
        return d0 >= threshold && steady_ >= values_.size() - 2;
    }

    // Enough to take back one push.
    struct Mark {
        RingBuffer::Mark values;
        std::size_t steady = 0;
    };
    Mark mark() const noexcept { return {values_.mark(), steady_}; }
    bool owns(const Mark& m) const noexcept { return values_.owns(m.values); }
    void rewind(const Mark& m) noexcept {
        if (!owns(m)) return;
        values_.rewind(m.values);
        steady_ = m.steady;
    }

    // Rebuilds the history from values, oldest first (n <= capacity).
    void assign(const double* v, std::size_t n) noexcept {
        values_.clear();
        steady_ = 0;
        for (std::size_t i = 0; i < n; ++i) push(v[i]);
    }

  private:
    RingBuffer values_;
    std::size_t steady_ = 0;
};

}  // namespace corvane

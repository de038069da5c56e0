// Soft-sensor bias update: buffered predictions with their time stamps, a new
// lab result recognised in the held lab value (or triggered), and the bias set
// to the lab value minus the prediction that was valid when the lab sample was
// drawn (the newest stamp not later than the lab time, held, no interpolation).
#pragma once

#include "lab_recognition.hpp"
#include "ring_buffer.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

namespace corvane {

struct SoftSensorBias {
    RingBuffer prd_data, prd_time;  // same capacity and size, aligned by index
    LabChangeDetector lab;
    double abs_threshold = 1e-6;
    double bias = 0.0;
    double lab_data = std::numeric_limits<double>::quiet_NaN();  // of the last update
    double lab_time = std::numeric_limits<double>::quiet_NaN();
    double prd_at_lab = std::numeric_limits<double>::quiet_NaN();
    bool update_flag = false;

    static constexpr double kStartSpacing = 60.0;  // seconds between the stamps of the start history
    static constexpr double kSameLabTime = 0.1;    // seconds

    SoftSensorBias() = default;
    SoftSensorBias(std::size_t prd_capacity, std::size_t lab_capacity, double threshold)
        : prd_data(prd_capacity), prd_time(prd_capacity), lab(lab_capacity), abs_threshold(threshold) {}

    enum class Update { applied, unchanged, out_of_range, no_history };

    Update update_bias(double lab_value, double t) noexcept {
        if (std::fabs(lab_value - lab_data) < abs_threshold && std::fabs(t - lab_time) < kSameLabTime)
            return Update::unchanged;
        if (prd_time.empty()) return Update::no_history;
        if (!(prd_time.front() <= t && t <= prd_time.back())) return Update::out_of_range;
        const std::size_t n = prd_time.count_not_greater(t);
        // An unsorted history may give 0; index -1 then means the newest entry.
        const double p = prd_data.at(n == 0 ? prd_data.size() - 1 : n - 1);
        bias = lab_value - p;
        update_flag = true;
        lab_data = lab_value;
        lab_time = t;
        prd_at_lab = p;
        return Update::applied;
    }

    enum class Error { none, no_history, no_lab_difference };

    struct Step {
        bool first = false;      // start history built: the first-data message follows
        bool attempted = false;  // update_bias was called
        Update update = Update::out_of_range;
        Error error = Error::none;  // the step must be taken back (see Snapshot)
    };

    // One sample. trigger: NaN-free explicit trigger when `triggered`, else the
    // automatic recognition decides.
    Step step(double prd, double lab_value, double lab_t, double prd_t, bool triggered, double trigger) noexcept {
        Step r;
        if (prd_data.empty()) {
            lab.fill(lab_value);
            const std::size_t cap = prd_data.capacity();
            for (std::size_t k = cap; k >= 1; --k) {
                prd_data.push_back(prd);
                prd_time.push_back(prd_t - kStartSpacing * (double) k);
            }
            r.first = true;
        }
        prd_data.push_back(prd);
        prd_time.push_back(prd_t);
        lab.push(lab_value);
        update_flag = false;
        if (r.first) {
            r.attempted = true;
        } else if (triggered) {
            r.attempted = trigger > 0.5;
        } else if (!lab.ready()) {
            r.error = Error::no_lab_difference;
            return r;
        } else {
            r.attempted = lab.recognised(abs_threshold);
        }
        if (r.attempted) {
            r.update = update_bias(lab_value, lab_t);
            if (r.update == Update::no_history) r.error = Error::no_history;
        }
        return r;
    }

    // Everything one step changes, to take it back when the caller cannot
    // complete the step (an error above, or a message that cannot be printed).
    struct Snapshot {
        RingBuffer::Mark data, time;
        LabChangeDetector::Mark lab_mark;
        std::optional<LabChangeDetector> lab_copy;  // the first step fills the whole history
        double bias, lab_data, lab_time, prd_at_lab;
        bool update_flag;
    };

    Snapshot snapshot() const {
        Snapshot s{prd_data.mark(), prd_time.mark(), lab.mark(), std::nullopt, bias,
                   lab_data,        lab_time,        prd_at_lab, update_flag};
        if (prd_data.empty()) s.lab_copy = lab;
        return s;
    }

    // Takes the step back; nothing happens when the buffers were replaced since
    // the snapshot (the caller's callbacks swapped in a new state).
    void restore(Snapshot& s) noexcept {
        if (!prd_data.owns(s.data) || !prd_time.owns(s.time) || !lab.owns(s.lab_mark)) return;
        prd_data.rewind(s.data);
        prd_time.rewind(s.time);
        if (s.lab_copy)
            lab = std::move(*s.lab_copy);
        else
            lab.rewind(s.lab_mark);
        bias = s.bias;
        lab_data = s.lab_data;
        lab_time = s.lab_time;
        prd_at_lab = s.prd_at_lab;
        update_flag = s.update_flag;
    }
};

}  // namespace corvane

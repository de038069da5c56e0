// Constant-signal detector over a sliding window of the last L samples.
//
// The window is constant when every step between consecutive entries is below
// the tolerance in magnitude and its oldest entry is finite (x - x is then 0).
// Instead of rescanning the window, the detector keeps the length of the
// longest newest-end run whose steps all pass, so a sample costs O(1) whatever
// L is. Entries are stored run-length encoded: a sample that fills a grown
// window with copies of itself adds one run, so growing the window costs O(1)
// as well, and shrinking it costs one step per run removed (amortised O(1)).
//
// Item is whatever the caller keeps beside each value (its own object); the
// detector moves it in and hands it back through `drop` when it leaves.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <utility>

namespace corvane {

template <class Item>
struct ConstDetector {
    static constexpr double kTol = 1e-6;
    // Longest window: lengths and run counts stay far from overflow.
    static constexpr std::int64_t kMaxLength = INT64_MAX / 4;

    struct Run {
        double x;
        std::int64_t count;
        Item item;
    };

    std::deque<Run> runs;     // oldest at the front
    std::int64_t length = 0;  // entries in the window
    std::int64_t steady = 0;  // entries in the longest newest-end run of passing steps

    static bool same(double older, double newer) { return std::fabs(newer - older) < kTol; }

    // Appends `count` (>= 1) copies of x at the newest end.
    void append(double x, Item item, std::int64_t count) {
        std::int64_t s = (length > 0 && same(runs.back().x, x)) ? steady + 1 : 1;
        if (count > 1) s = same(x, x) ? s + (count - 1) : 1;
        runs.push_back(Run{x, count, std::move(item)});
        length += count;
        steady = s;
    }

    // Removes the oldest entries until `L` remain.
    template <class Drop>
    void trim(std::int64_t L, Drop&& drop) {
        while (length > L) {
            Run& f = runs.front();
            const std::int64_t cut = std::min(f.count, length - L);
            f.count -= cut;
            length -= cut;
            if (f.count == 0) {
                drop(std::move(f.item));
                runs.pop_front();
            }
        }
        steady = std::min(steady, length);
    }

    bool constant() const { return length > 0 && steady >= length && same(runs.front().x, runs.front().x); }

    // One sample with window length L (1 <= L <= kMaxLength): x enters once,
    // then again until the window holds L entries; the oldest leave while it
    // holds more. Returns whether the window is constant.
    template <class Drop>
    bool step(double x, Item item, std::int64_t L, Drop&& drop) {
        append(x, std::move(item), std::max<std::int64_t>(1, L - length));
        trim(L, drop);
        return constant();
    }

    template <class Drop>
    void reset(Drop&& drop) {
        for (Run& r : runs) drop(std::move(r.item));
        runs.clear();
        length = steady = 0;
    }
};

}  // namespace corvane

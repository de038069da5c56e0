// Constant-signal detector over a sliding window of the last L samples.
//
// The window is constant when every step between consecutive entries is below
// the tolerance in magnitude and so is its oldest entry's step from itself (a
// finite number's). Steps are compared as numbers here, or the caller finds an
// entry's step from the newest one (an entry whose arithmetic is its own) and
// gives it an x that stands for its step from itself: 0 passes, NaN fails.
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

// Longest window: lengths and run counts stay far from overflow.
inline constexpr std::int64_t kMaxWindow = INT64_MAX / 4;

template <class Item>
struct ConstDetector {
    static constexpr double kTol = 1e-6;
    static constexpr std::int64_t kMaxLength = kMaxWindow;

    struct Run {
        double x;
        std::int64_t count;
        Item item;
    };

    std::deque<Run> runs;     // oldest at the front
    std::int64_t length = 0;  // entries in the window
    std::int64_t steady = 0;  // entries in the longest newest-end run of passing steps

    static bool same(double older, double newer) { return std::fabs(newer - older) < kTol; }

    // Appends `count` (>= 1) copies of an entry at the newest end; `step_ok`:
    // its step from the current newest entry passes.
    void append(double x, Item item, std::int64_t count, bool step_ok) {
        std::int64_t s = (length > 0 && step_ok) ? steady + 1 : 1;
        if (count > 1) s = same(x, x) ? s + (count - 1) : 1;
        runs.push_back(Run{x, count, std::move(item)});
        length += count;
        steady = s;
    }

    // The same, the step compared as numbers.
    void append(double x, Item item, std::int64_t count) {
        append(x, std::move(item), count, length > 0 && same(runs.back().x, x));
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

    // Copies of this sample's input that step() appends for a window grown to
    // `grow` entries: once, and again until the window holds `grow`.
    std::int64_t copies(std::int64_t grow) const { return std::max<std::int64_t>(1, grow - length); }

    // One sample: the input enters copies(grow) times, then the oldest entries
    // leave until `keep` remain (1 <= keep <= grow <= kMaxLength); `step_ok` is
    // append()'s. Returns whether the window is constant.
    template <class Drop>
    bool step(double x, Item item, std::int64_t grow, std::int64_t keep, bool step_ok, Drop&& drop) {
        append(x, std::move(item), copies(grow), step_ok);
        trim(keep, drop);
        return constant();
    }

    // One sample with window length L, the steps compared as numbers.
    template <class Drop>
    bool step(double x, Item item, std::int64_t L, Drop&& drop) {
        return step(x, std::move(item), L, L, length > 0 && same(runs.back().x, x), drop);
    }

    template <class Drop>
    void reset(Drop&& drop) {
        for (Run& r : runs) drop(std::move(r.item));
        runs.clear();
        length = steady = 0;
    }
};

// The window length a sample leaves: the input enters once (n0 entries), again
// while the window is shorter than L (`grow` entries), then the oldest entries
// leave while it is longer than L (`keep` entries). L need not be an integer:
// 2.5 grows to 3 and keeps 2.
struct WindowBounds {
    std::int64_t grow = 0, keep = 0;
};

enum class WindowError {
    none,
    too_long,     // L beyond kMaxWindow
    pop_empty,    // L < 0: entries leave until none is left to remove
    index_empty,  // 0 <= L < 1: nothing remains to compare
};

namespace detail {
inline WindowError finish(std::int64_t grow, std::int64_t keep, WindowBounds& out) {
    if (keep == 0) return WindowError::index_empty;
    out = WindowBounds{grow, keep};
    return WindowError::none;
}
}  // namespace detail

// An integer L (`overflow` > 0 or < 0: beyond the int64 range that way).
inline WindowError window_bounds(std::int64_t n0, std::int64_t L, int overflow, WindowBounds& out) {
    if (overflow > 0 || L > kMaxWindow) return WindowError::too_long;
    if (overflow < 0 || L < 0) return WindowError::pop_empty;
    return detail::finish(std::max(n0, L), L, out);
}

// A real L; NaN compares false both ways, so nothing is added or removed.
inline WindowError window_bounds(std::int64_t n0, double L, WindowBounds& out) {
    if (std::isnan(L)) return detail::finish(n0, n0, out);
    if (!(L < (double) kMaxWindow)) return WindowError::too_long;  // (double) kMaxWindow is 2^61
    if (L < 0.0) return WindowError::pop_empty;
    const std::int64_t grow = std::max(n0, (std::int64_t) std::ceil(L));
    return detail::finish(grow, (double) grow > L ? (std::int64_t) std::floor(L) : grow, out);
}

namespace detail {
// The first n from `from` toward `bound` (both ends included) where `pred`,
// true at `from` and monotone, turns false: galloping, then bisection. False
// when it is still true at `bound`.
template <class Pred>
bool first_false(std::int64_t from, std::int64_t bound, Pred& pred, std::int64_t& out) {
    const std::int64_t dir = bound >= from ? 1 : -1, span = (bound - from) * dir;
    std::int64_t lo = 0, hi = 1;  // offsets from `from`: pred holds at lo
    for (;;) {
        if (hi >= span) {
            if (pred(bound)) return false;
            hi = span;
            break;
        }
        if (!pred(from + dir * hi)) break;
        lo = hi;
        hi *= 2;
    }
    while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        (pred(from + dir * mid) ? lo : hi) = mid;
    }
    out = from + dir * hi;
    return true;
}
}  // namespace detail

// Any L, given the two comparisons `lt(n)`: n < L and `gt(n)`: n > L (monotone
// in n, as for every real L); a few dozen of them at the most.
template <class Lt, class Gt>
WindowError window_bounds_by(std::int64_t n0, Lt&& lt, Gt&& gt, WindowBounds& out) {
    std::int64_t grow = n0, keep;
    if (lt(n0) && !detail::first_false(n0, kMaxWindow, lt, grow)) return WindowError::too_long;
    keep = grow;
    if (gt(grow) && !detail::first_false(grow, 0, gt, keep)) return WindowError::pop_empty;
    return detail::finish(grow, keep, out);
}

}  // namespace corvane

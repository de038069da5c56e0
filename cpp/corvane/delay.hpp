// Pure transport delay counted in samples.
//
// DelayLine<T>: a fixed-capacity ring of the last `capacity` inputs, index 0
// the newest. Primed on the first input with `capacity` copies of it, so the
// history reads as if the input had always been that value; from then on
// every push drops the oldest entry (O(1), nothing moves).
//
// The free functions work on a plain newest-first array of doubles (a history
// that callers see and may share, so it is shifted in place).
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace corvane {

template <class T>
class DelayLine {
  public:
    DelayLine() = default;
    explicit DelayLine(std::size_t capacity) : cap_(capacity) {}

    std::size_t capacity() const { return cap_; }
    // 0 before priming, `capacity` afterwards.
    std::size_t size() const { return buf_.size(); }
    bool empty() const { return buf_.empty(); }

    // Fills the whole history with copies of x (the first input).
    void prime(const T& x) {
        buf_.assign(cap_, x);
        head_ = 0;
    }

    // Stores x as the newest entry and returns the entry that dropped out (x
    // itself when the capacity is 0). Requires a primed (or zero-capacity) line.
    T push(T x) {
        if (buf_.empty()) return x;
        head_ = head_ == 0 ? buf_.size() - 1 : head_ - 1;
        std::swap(buf_[head_], x);
        return x;
    }

    // Entry k (0 = newest); k < size().
    const T& operator[](std::size_t k) const {
        std::size_t i = head_ + k;
        if (i >= buf_.size()) i -= buf_.size();
        return buf_[i];
    }

    // Newest-first copy of the history into a fresh line of the same capacity.
    template <class It>
    void assign(It first, std::size_t n) {
        std::vector<T> b;
        b.reserve(n);
        for (std::size_t k = 0; k < n; ++k, ++first) b.push_back(*first);
        buf_ = std::move(b);
        head_ = 0;
    }

    void clear() {
        std::vector<T>().swap(buf_);
        head_ = 0;
    }

    template <class F>
    void for_each(F&& f) const {
        for (std::size_t k = 0; k < buf_.size(); ++k) f((*this)[k]);
    }

  private:
    std::vector<T> buf_;
    std::size_t head_ = 0;
    std::size_t cap_ = 0;
};

// Newest-first history of doubles, shifted in place: every entry moves one
// index toward the old end, the oldest drops out, x becomes entry 0.
inline void history_push(double* a, std::size_t n, double x) {
    if (n == 0) return;
    std::memmove(a + 1, a, (n - 1) * sizeof(double));
    a[0] = x;
}

// Undoes history_push: the entries move back and the oldest value returns.
inline void history_pop(double* a, std::size_t n, double oldest) {
    if (n == 0) return;
    std::memmove(a, a + 1, (n - 1) * sizeof(double));
    a[n - 1] = oldest;
}

// Copies an n-entry history into `out` (m >= n entries) and pads the old end
// with the oldest value, so that a deeper delay first repeats that value.
inline void history_extend(const double* a, std::size_t n, double* out, std::size_t m) {
    if (n == 0) return;
    std::memcpy(out, a, n * sizeof(double));
    const double oldest = a[n - 1] * 1.0;
    for (std::size_t k = n; k < m; ++k) out[k] = oldest;
}

// Entry `lag` of an n-entry history, a negative lag counting from the old end
// (-1 is the oldest). False when the index lies outside the history.
inline bool history_index(std::size_t n, long long lag, std::size_t& index) {
    const long long len = (long long) n;
    if (lag < 0) lag += len;
    if (lag < 0 || lag >= len) return false;
    index = (std::size_t) lag;
    return true;
}

}  // namespace corvane

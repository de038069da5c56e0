// Fixed-capacity ring buffer of doubles: O(1) push at the newest end, the
// oldest entry dropped when full, indexed oldest first (like a bounded deque).
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace corvane {

class RingBuffer {
  public:
    RingBuffer() = default;
    // The storage is allocated, not touched: pages of a large buffer cost
    // memory only once entries are written.
    explicit RingBuffer(std::size_t capacity) : data_(capacity ? new double[capacity] : nullptr), cap_(capacity) {}
    RingBuffer(const RingBuffer& o) : RingBuffer(o.cap_) {
        head_ = o.head_;
        size_ = o.size_;
        for (std::size_t i = 0; i < size_; ++i) data_[slot(i)] = o.at(i);
    }
    RingBuffer(RingBuffer&& o) noexcept { swap(o); }
    RingBuffer& operator=(RingBuffer o) noexcept {
        swap(o);
        return *this;
    }
    void swap(RingBuffer& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(cap_, o.cap_);
        std::swap(head_, o.head_);
        std::swap(size_, o.size_);
    }

    std::size_t capacity() const noexcept { return cap_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool full() const noexcept { return size_ == cap_; }

    // Entry i, 0 = oldest; i < size().
    double at(std::size_t i) const noexcept { return data_[slot(i)]; }
    double front() const noexcept { return at(0); }
    double back() const noexcept { return at(size_ - 1); }

    // Appends at the newest end; a full buffer drops its oldest entry first.
    // A buffer of capacity 0 keeps nothing.
    void push_back(double x) noexcept {
        const std::size_t cap = cap_;
        if (cap == 0) return;
        if (size_ < cap) {
            data_[slot(size_)] = x;
            ++size_;
        } else {
            data_[head_] = x;
            head_ = head_ + 1 == cap ? 0 : head_ + 1;
        }
    }

    void clear() noexcept { head_ = size_ = 0; }

    // Number of entries, counted from the oldest, that are <= x: the position
    // of the first entry greater than x in an ascending buffer (bisection).
    std::size_t count_not_greater(double x) const noexcept {
        std::size_t lo = 0, n = size_;
        while (n > 0) {
            const std::size_t half = n / 2;
            if (at(lo + half) <= x) {
                lo += half + 1;
                n -= half + 1;
            } else {
                n = half;
            }
        }
        return lo;
    }

    // Enough to take back one push (or any pushes into an empty buffer): a
    // push into a full buffer overwrites the oldest entry. A mark belongs to
    // the storage it was taken from; rewinding other storage (the buffer was
    // replaced meanwhile) changes nothing.
    struct Mark {
        const double* storage = nullptr;
        std::size_t head = 0, size = 0;
        bool overwrites = false;
        double old = 0.0;
    };
    Mark mark() const noexcept {
        Mark m{data_.get(), head_, size_, cap_ != 0 && size_ == cap_, 0.0};
        if (m.overwrites) m.old = data_[head_];
        return m;
    }
    bool owns(const Mark& m) const noexcept {
        return m.storage == data_.get() && m.size <= cap_ && (m.head < cap_ || m.head == 0);
    }
    void rewind(const Mark& m) noexcept {
        if (!owns(m)) return;
        head_ = m.head;
        size_ = m.size;
        if (m.overwrites && cap_ != 0) data_[head_] = m.old;
    }

  private:
    std::size_t slot(std::size_t i) const noexcept {
        const std::size_t j = head_ + i;
        return j >= cap_ ? j - cap_ : j;
    }

    std::unique_ptr<double[]> data_;
    std::size_t cap_ = 0, head_ = 0, size_ = 0;
};

}  // namespace corvane

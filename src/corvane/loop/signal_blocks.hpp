// The signal and logic blocks of a native loop run (LDLAG, Delay,
// Delay_Algorithm, ConstDect, TONtrigger, TOFFtrigger, RStrigger), each on a
// copy of its binding's state (blockapi.hpp). A value a block refuses fails
// the sample with the error the block's own API raises for it, message
// included. A pin that counts samples takes a whole value as an int, any
// other as a float, as the Python-API path passes it.
#pragma once

#include "blocks.hpp"

#include <corvane/memory.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace corvane::loop {

// ---------------------------------------------------------------------------
// Numbers in messages, as the interpreter's str() writes them.

// A float: the shortest digits that read back as x, positional for decimal
// exponents -4 to 15, else scientific with at least two exponent digits.
inline std::string float_text(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[40];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    const std::string s(buf, res.ptr);  // d[.ddd]e±XX
    const size_t e = s.find('e');
    const std::string digits = s.substr(0, 1) + (e > 2 ? s.substr(2, e - 2) : "");
    const int exp10 = std::atoi(s.c_str() + e + 1), point = exp10 + 1, n = (int) digits.size();
    std::string out = std::signbit(x) ? "-" : "";
    if (point > -4 && point <= 16) {
        if (point <= 0)
            out += "0." + std::string((size_t) -point, '0') + digits;
        else if (point >= n)
            out += digits + std::string((size_t) (point - n), '0') + ".0";
        else
            out += digits.substr(0, (size_t) point) + "." + digits.substr((size_t) point);
        return out;
    }
    out += digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "") + (exp10 < 0 ? "e-" : "e+");
    const int a = std::abs(exp10);
    return out + (a < 10 ? "0" : "") + std::to_string(a);
}

// The int a whole double stands for, every digit.
inline std::string whole_text(double x) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.0f", x);
    return buf;
}

inline bool is_whole(double x) { return std::isfinite(x) && x == std::trunc(x); }

// ---------------------------------------------------------------------------

struct LeadLagBlock : CoreBlock<corvane::LeadLagRun> {  // u -> out
    bool step(Slots& s, Failure&) override {
        core.u = s.v[in[0]];
        core.y = core.core.step(core.u);
        emit(s, 0, core.y);
        return true;
    }
};

struct DelayBlock : CoreBlock<corvane::DelayRun> {  // Ut, nLag -> out
    bool step(Slots& s, Failure& f) override {
        auto& line = core.line;
        const double ut = s.v[in[0]];
        const size_t cap = line.capacity();
        if (line.empty()) {
            if (!corvane::fits_in_memory(cap, sizeof(PyObject*)))
                return f.set(PyExc_MemoryError, cannot_fit("Delay history", cap));
            line.prime(ut);
        }
        line.push(ut);  // stored before nLag is checked
        const double lag = get(s, 1, 1.0);
        const bool whole = is_whole(lag);
        if (lag >= 0.0 && lag < (double) cap) {
            if (!whole) return f.set(PyExc_TypeError, "sequence index must be integer, not 'float'");
            emit(s, 0, line[(size_t) lag]);
            return true;
        }
        return f.set(PyExc_ValueError, "nLag must be between 0 and " + std::to_string((long long) cap - 1) +
                                           ", but got " + (whole ? whole_text(lag) : float_text(lag)) + ".");
    }
};

struct DelayAlgoBlock : CoreBlock<corvane::DelayAlgoRun> {  // Ut, nLag -> Yt
    static constexpr const char* kIndices =
        "only integers, slices (`:`), ellipsis (`...`), numpy.newaxis (`None`) and integer or boolean arrays are "
        "valid indices";

    bool step(Slots& s, Failure& f) override {
        if (in[0] >= 0) core.Ut = {s.v[in[0]], true};
        if (in[1] >= 0) {
            const double v = s.v[in[1]];
            core.nLag.value = v;
            core.nLag.given = true;
            core.nLag.is_int = is_whole(v);
        }
        const double lag = core.nLag.value;
        const size_t n = core.history.size(), len = n ? n : 1;  // a first sample's history holds Ut
        if (!core.nLag.is_int) {
            if (lag > (double) len - 1.0)  // numpy sizes the padding by a float
                return f.set(PyExc_TypeError, "expected a sequence of integers or a single integer, got '" +
                                                  float_text((lag + 1.0) - (double) len) + "'");
            return f.set(PyExc_IndexError, kIndices);
        }
        if (lag < -0x1p63) return f.set(PyExc_IndexError, kIndices);
        size_t m, idx;
        if (lag > 0x1p40) {  // padded through numpy, by an int count
            if (!padding_fits(lag, len, f)) return false;
            m = (size_t) lag + 1;
            idx = m - 1;
        } else {
            const long long L = (long long) lag;
            if (n > 0 && L <= (long long) n - 1) {  // deep enough: shifted in place
                if (!corvane::history_index(n, L, idx)) return out_of_bounds(L, n, f);
                corvane::history_push(core.history.data(), n, core.Ut.value);
                core.Yt = core.history[idx];
                emit(s, 0, core.Yt);
                return true;
            }
            m = L + 1 > (long long) len ? (size_t) (L + 1) : len;
            if (!corvane::history_index(m, L, idx)) return out_of_bounds(L, m, f);
        }
        if (!corvane::fits_in_memory((unsigned long long) n + m, sizeof(double))) return history_too_long(n + m, f);
        // A new history of m entries, the old end padded with the oldest value.
        std::vector<double> w(m, core.Ut.value);
        corvane::history_extend(core.history.data(), n, w.data(), m);
        corvane::history_push(w.data(), m, core.Ut.value);
        core.Yt = w[idx];
        core.history.swap(w);
        core.grown = true;
        emit(s, 0, core.Yt);
        return true;
    }

    static bool out_of_bounds(long long L, size_t size, Failure& f) {
        return f.set(PyExc_IndexError,
                     "index " + std::to_string(L) + " is out of bounds for axis 0 with size " + std::to_string(size));
    }

    static bool history_too_long(unsigned long long entries, Failure& f) {
        return f.set(PyExc_MemoryError, cannot_fit("Delay_Algorithm history, old and grown,", entries));
    }

    // A padding count beyond 2^40: refused before numpy allocates when the
    // copies cannot fit, else refused by numpy.
    static bool padding_fits(double lag, size_t len, Failure& f) {
        constexpr unsigned __int128 ssize_max = (unsigned __int128) INT64_MAX;
        const unsigned __int128 count = lag < 0x1p64 ? (unsigned __int128) lag + 1 - len : ssize_max + 1;
        if (count > ssize_max) return f.set(PyExc_ValueError, "Maximum allowed dimension exceeded");
        if (count > ssize_max / sizeof(double))
            return f.set(PyExc_ValueError,
                         "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
        const unsigned long long entries = 3 * (unsigned long long) count + 2 * (unsigned long long) len;
        return corvane::fits_in_memory(entries, sizeof(double)) || history_too_long(entries, f);
    }
};

struct ConstDectBlock : CoreBlock<corvane::ConstDectRun> {  // Ut, DectLen -> out
    bool step(Slots& s, Failure& f) override {
        const double x = s.v[in[0]], L = get(s, 1, 10.0);
        const std::int64_t n0 = core.length + 1;
        corvane::WindowBounds w;
        corvane::WindowError e;
        if (is_whole(L)) {
            const int overflow = L >= 0x1p63 ? 1 : L < -0x1p63 ? -1 : 0;
            e = corvane::window_bounds(n0, overflow ? std::int64_t{0} : (std::int64_t) L, overflow, w);
        } else {
            e = corvane::window_bounds(n0, L, w);
        }
        switch (e) {
            case corvane::WindowError::none: break;
            case corvane::WindowError::too_long: return f.set(PyExc_OverflowError, "DectLen too large");
            case corvane::WindowError::pop_empty: return f.set(PyExc_IndexError, "pop from an empty deque");
            case corvane::WindowError::index_empty: return f.set(PyExc_IndexError, "deque index out of range");
        }
        const bool linked = core.length > 0 && w.keep > core.copies(w.grow);  // its step from the newest stays
        const bool step_ok = linked && corvane::ConstDectRun::same(core.runs.back().x, x);
        const bool constant = core.step(x, corvane::NoItem{}, w.grow, w.keep, step_ok, [](corvane::NoItem&&) {});
        emit(s, 0, constant ? 1.0 : 0.0);
        return true;
    }
};

// The level an int64 history stores for a float, or numpy's error for it.
inline bool stored_level(double v, long long& level, Failure& f) {
    if (!integral_float(v, f)) return false;
    const double t = std::trunc(v);
    if (!(t >= -0x1p63 && t < 0x1p63)) return f.set(PyExc_OverflowError, "Python int too large to convert to C long");
    level = (long long) t;
    return true;
}

template <class Run>
struct TimerBlock : CoreBlock<Run> {  // Ut, DT -> Yt
    bool step(Slots& s, Failure& f) override {
        Run& r = this->core;
        long long level = r.level;
        if (this->in[0] >= 0) {
            r.Ut = {s.v[this->in[0]], true};
            if (!stored_level(r.Ut.value, level, f)) return false;
        }
        if (this->in[1] >= 0) {
            r.DT = {s.v[this->in[1]], true};
            r.core.DT = corvane::ExactCount::of_count(r.DT.value);
        }
        r.core.step(level);
        // A count left at the class's int 0 is never written; any other is.
        if (!r.ET_kept && (r.core.ET.is_float || corvane::order(r.core.ET, corvane::ExactCount(0)) != 0)) {
            r.ET_kept = true;
            r.ET_late = samples > 0;
        }
        ++samples;
        this->emit(s, 0, r.core.Yt);
        return true;
    }
    bool retake(nb::handle obj) override {
        samples = 0;
        return CoreBlock<Run>::retake(obj);
    }
    size_t samples = 0;  // since the copy was taken
};

struct LatchBlock : CoreBlock<corvane::LatchRun> {  // S, R -> Q
    bool step(Slots& s, Failure&) override {
        bool S = core.S_true, R = core.R_true;
        if (in[0] >= 0) {
            core.S = {s.v[in[0]], true};
            S = core.S.value != 0.0;
        }
        if (in[1] >= 0) {
            core.R = {s.v[in[1]], true};
            R = core.R.value != 0.0;
        }
        core.q_from_array = corvane::RSLatch::row(S, R) == corvane::RSLatch::Row::Hold;
        core.core.step(S, R);
        emit(s, 0, core.core.Q ? 1.0 : 0.0);
        return true;
    }
};

// ---------------------------------------------------------------------------

struct SignalApis {
    const BlockApi<corvane::LeadLagRun>* leadlag = nullptr;
    const BlockApi<corvane::DelayRun>* delay = nullptr;
    const BlockApi<corvane::DelayAlgoRun>* delay_algo = nullptr;
    const BlockApi<corvane::ConstDectRun>* constdect = nullptr;
    const BlockApi<corvane::OnDelayRun>* on_delay = nullptr;
    const BlockApi<corvane::OffDelayRun>* off_delay = nullptr;
    const BlockApi<corvane::LatchRun>* latch = nullptr;
};
inline SignalApis g_signal_apis;

inline void load_signal_apis() {
    SignalApis& a = g_signal_apis;
    block_api(a.leadlag, "corvane.algorithm.phasefilter", "LDLAG");
    block_api(a.delay, "corvane.algorithm.deadtime", "Delay");
    block_api(a.delay_algo, "corvane.algorithm.deadtime", "Delay_Algorithm");
    block_api(a.constdect, "corvane.algorithm.flatline", "ConstDect");
    block_api(a.on_delay, "corvane.algorithm.logicblocks", "TONtrigger");
    block_api(a.off_delay, "corvane.algorithm.logicblocks", "TOFFtrigger");
    block_api(a.latch, "corvane.algorithm.logicblocks", "RStrigger");
}

inline std::unique_ptr<Block> signal_block(int kind, nb::handle obj) {
    const SignalApis& a = g_signal_apis;
    switch (kind) {
        case LDLAG_: return core_block<LeadLagBlock>(a.leadlag, obj);
        case DELAY: return core_block<DelayBlock>(a.delay, obj);
        case DELAY_ALGO: return core_block<DelayAlgoBlock>(a.delay_algo, obj);
        case CONST: return core_block<ConstDectBlock>(a.constdect, obj);
        case TON: return core_block<TimerBlock<corvane::OnDelayRun>>(a.on_delay, obj);
        case TOFF: return core_block<TimerBlock<corvane::OffDelayRun>>(a.off_delay, obj);
        case LATCH: return core_block<LatchBlock>(a.latch, obj);
        default: return nullptr;
    }
}

}  // namespace corvane::loop

// The block interface of a native loop run: each block steps its own copy
// of a block's core state on the loop's slot values (doubles), or calls the
// block through Python when it cannot. The kind numbers are those of
// corvane/loop/blocks.py.
#pragma once

#include "../algorithm/bindkit.hpp"
#include "../algorithm/blockapi.hpp"
#include "../algorithm/plantapi.hpp"

#include <string>
#include <utility>
#include <vector>

namespace corvane::loop {

namespace nb = nanobind;
using namespace corvane::bind;

enum Kind { CALLABLE, PID_, LDLAG_, DELAY, DELAY_ALGO, RATE, CLAMP, CONST, WATCHDOG, TON, TOFF, LATCH, MIMO, LPV };

// The loop's values: every output, input and constant, and whether it has a value yet.
struct Slots {
    double* v;
    unsigned char* has;
};

// Why a sample failed: a Python exception already set (python), or one to raise.
struct Failure {
    PyObject* type = nullptr;
    std::string message;
    bool python = false;
    size_t sample = 0, block = 0;

    bool set(PyObject* t, std::string m) {
        type = t;
        message = std::move(m);
        return false;
    }
};

struct Block {
    std::vector<long> in, out;  // slots of the input pins (-1: unwired) and of the outputs
    virtual ~Block() = default;
    // One sample; false with `f` set. Native blocks run without the lock.
    virtual bool step(Slots& s, Failure& f) = 0;
    // The state after the run's samples back into the object (the lock held).
    virtual void put(nb::handle) {}
    virtual bool needs_lock() const { return false; }
    // The object's state copied again, after Python code ran between samples
    // (the pins stay as parsed): false when it can no longer run natively.
    virtual bool retake(nb::handle) { return false; }

    double get(const Slots& s, size_t i, double unwired) const { return in[i] < 0 ? unwired : s.v[in[i]]; }
    void emit(Slots& s, size_t i, double v) const {
        s.v[out[i]] = v;
        s.has[out[i]] = 1;
    }
};

// A block stepped by its own core: take() copies the object's state through
// its module's BlockApi, put() puts the stepped copy back.
template <class Core>
struct CoreBlock : Block {
    const BlockApi<Core>* api = nullptr;
    Core core{};
    bool take(nb::handle obj) {
        const int r = api ? api->take(obj.ptr(), &core) : 0;
        if (r < 0) raise_pending();
        return r == 1;
    }
    void put(nb::handle obj) override {
        if (api->put(obj.ptr(), &core) < 0) raise_pending();
    }
    bool retake(nb::handle obj) override {
        core = Core{};
        return take(obj);
    }
};

}  // namespace corvane::loop

// The blocks of a native loop run and how one is made for an entry.
#pragma once

#include "block.hpp"
#include "plant_blocks.hpp"

#include <corvane/pid.hpp>
#include <corvane/ratelimit.hpp>
#include <corvane/watchdog.hpp>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace corvane::loop {

// The interpreter's errors for a float made an integer (round(), int()): NaN and the infinities.
inline bool integral_float(double x, Failure& f) {
    if (std::isnan(x)) return f.set(PyExc_ValueError, "cannot convert float NaN to integer");
    if (std::isinf(x)) return f.set(PyExc_OverflowError, "cannot convert float infinity to integer");
    return true;
}

struct PIDBlock : CoreBlock<corvane::PID> {  // MODE, SP, PV, TV, FF -> OP
    bool step(Slots& s, Failure& f) override {
        const double mode = s.v[in[0]];
        if (!integral_float(mode, f)) return false;
        emit(s, 0, core.run(mode, s.v[in[1]], s.v[in[2]], s.v[in[3]], get(s, 4, 0.0)));
        return true;
    }
};

struct RateBlock : CoreBlock<corvane::RateLimit> {  // u_end, PRLimPerMin, NRLimPerMin -> out
    bool step(Slots& s, Failure&) override {
        emit(s, 0, core.step(s.v[in[0]], get(s, 1, 60.0), in[2] >= 0, get(s, 2, 0.0)).value);
        return true;
    }
};

struct ClampBlock : CoreBlock<corvane::AntiWindupRun> {  // u, HI, LO -> out
    bool step(Slots& s, Failure&) override {
        corvane::ClampSide side;
        emit(s, 0, core.core.step(s.v[in[0]], get(s, 1, 100.0), get(s, 2, 0.0), side));
        core.y0 = side == corvane::ClampSide::hi && in[1] < 0   ? corvane::AntiWindupRun::hi_default
                  : side == corvane::ClampSide::lo && in[2] < 0 ? corvane::AntiWindupRun::lo_default
                                                                : corvane::AntiWindupRun::value;
        return true;
    }
};

struct WatchDogBlock : CoreBlock<corvane::WatchDog> {  // MaxOut -> out
    bool step(Slots& s, Failure& f) override {
        const double max_out = get(s, 0, 0.0);
        if (!integral_float(max_out, f)) return false;
        long long n;
        if (!corvane::cycle_length(max_out, n)) return f.set(PyExc_OverflowError, "MaxOut too large for a native run");
        if (n == 0) return f.set(PyExc_ZeroDivisionError, "integer modulo by zero");
        if (!core.step(n)) return f.set(PyExc_OverflowError, "ticks too large for a native run");
        emit(s, 0, (double) core.ticks);
        return true;
    }
};

// Any block through Python, under the lock: step(*values) returns the
// outputs as floats. A pin without a value is passed as None (unwired, or a
// plant MV whose source has no value yet).
struct PythonBlock : Block {
    nb::object fn;
    bool plant = false;
    bool needs_lock() const override { return true; }
    bool step(Slots& s, Failure& f) override {
        nb::tuple args = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t) in.size()));
        for (size_t i = 0; i < in.size(); ++i) {
            const bool none = in[i] < 0 || (plant && !s.has[in[i]] && i >= plant_first);
            PyObject* a = none ? Py_NewRef(Py_None) : PyFloat_FromDouble(s.v[in[i]]);
            if (!a) return f.python = true, false;
            PyTuple_SET_ITEM(args.ptr(), (Py_ssize_t) i, a);
        }
        PyObject* r = PyObject_Call(fn.ptr(), args.ptr(), nullptr);
        if (!r) return f.python = true, false;
        nb::object res = nb::steal(r);
        if (!PyTuple_CheckExact(r) || (size_t) PyTuple_GET_SIZE(r) != out.size())
            return f.set(PyExc_TypeError, "a block's step returned no tuple of its outputs");
        for (size_t i = 0; i < out.size(); ++i) {
            double v;
            if (!as_double(PyTuple_GET_ITEM(res.ptr(), (Py_ssize_t) i), v)) return f.python = true, false;
            emit(s, i, v);
        }
        return true;
    }
    size_t plant_first = 0;  // a blended plant's first pin is its working value
};

struct Apis {
    const BlockApi<corvane::PID>* pid = nullptr;
    const BlockApi<corvane::RateLimit>* rate = nullptr;
    const BlockApi<corvane::AntiWindupRun>* clamp = nullptr;
    const BlockApi<corvane::WatchDog>* watchdog = nullptr;
    const corvane::PlantApi* plant = nullptr;
    const BlockApi<corvane::BlendedRun>* blended = nullptr;
};
inline Apis g_apis;

// The signal and logic blocks (signal_blocks.hpp).
inline void load_signal_apis();
inline std::unique_ptr<Block> signal_block(int kind, nb::handle obj);

// The BlockApi<Core> capsule of `cls` in `module`, of this runner's version.
template <class Core>
inline void block_api(const BlockApi<Core>*& api, const char* module, const char* cls) {
    const std::string name = std::string(module) + "._block_api_" + cls;
    api = capsule<BlockApi<Core>>(module, name.c_str());
    if (api->version != corvane::kBlockApiVersion) raise(PyExc_ImportError, "corvane.loop: block interface mismatch");
}

inline void load_block_apis() {
    load_signal_apis();
    block_api(g_apis.pid, "corvane.algorithm.loopcontrol", "PID");
    block_api(g_apis.rate, "corvane.algorithm.slewlimit", "RateLimit");
    block_api(g_apis.clamp, "corvane.algorithm.clampguard", "AntiWindupLimter");
    block_api(g_apis.watchdog, "corvane.algorithm.heartbeat", "WatchDog");
    block_api(g_apis.blended, "corvane.algorithm.blendedplant", "LPVPlantSim");
    g_apis.plant = corvane::import_plant_api();
}

template <class B, class Api>
inline std::unique_ptr<Block> core_block(const Api* api, nb::handle obj) {
    auto b = std::make_unique<B>();
    b->api = api;
    if (!b->take(obj)) return nullptr;
    return b;
}

// A simulator's block: its pins first, since its copy must fit them.
template <class B, class Api>
inline std::unique_ptr<Block> plant_block(const Api* api, nb::handle obj, const std::vector<long>& in,
                                          const std::vector<long>& out) {
    auto p = std::make_unique<B>();
    p->api = api;
    p->in = in;
    p->out = out;
    if (!p->take(obj)) return nullptr;
    return p;
}

// The pins a library block's native step reads: how many inputs, how many
// of the first are required (wired), one output; a plant's are its own.
inline void check_pins(int kind, const std::vector<long>& in, const std::vector<long>& out) {
    static constexpr struct {
        int kind;
        size_t ins, required;
    } pins[] = {{PID_, 5, 4},       {RATE, 3, 1},  {CLAMP, 3, 1}, {WATCHDOG, 1, 0}, {LDLAG_, 1, 1}, {DELAY, 2, 1},
                {DELAY_ALGO, 2, 0}, {CONST, 2, 1}, {TON, 2, 0},   {TOFF, 2, 0},     {LATCH, 2, 0}};
    bool ok = kind != LPV || (!in.empty() && in[0] >= 0);
    for (const auto& p : pins)
        if (p.kind == kind) {
            ok = in.size() == p.ins && out.size() == 1;
            for (size_t i = 0; ok && i < p.required; ++i) ok = in[i] >= 0;
        }
    if (!ok) raise(PyExc_ValueError, "corvane.loop: the pins of a block of kind %d do not fit it", kind);
}

// The block of one entry (kind, name, object, input slots, output slots,
// Python step): native where its object can run so, else through Python.
inline std::unique_ptr<Block> make_block(nb::tuple t, size_t nslots) {
    const int kind = nb::cast<int>(t[0]);
    nb::handle obj = t[2];
    std::unique_ptr<Block> b;
    switch (kind) {
        case PID_: b = core_block<PIDBlock>(g_apis.pid, obj); break;
        case RATE: b = core_block<RateBlock>(g_apis.rate, obj); break;
        case CLAMP: b = core_block<ClampBlock>(g_apis.clamp, obj); break;
        case WATCHDOG: b = core_block<WatchDogBlock>(g_apis.watchdog, obj); break;
        case LDLAG_:
        case DELAY:
        case DELAY_ALGO:
        case CONST:
        case TON:
        case TOFF:
        case LATCH: b = signal_block(kind, obj); break;
        default: break;
    }
    std::vector<long> in, out;
    for (nb::handle x : t[3]) in.push_back(nb::cast<long>(x));
    for (nb::handle x : t[4]) out.push_back(nb::cast<long>(x));
    for (long x : in)
        if (x >= (long) nslots) raise(PyExc_IndexError, "slot out of range");
    for (long x : out)
        if (x < 0 || x >= (long) nslots) raise(PyExc_IndexError, "slot out of range");
    check_pins(kind, in, out);
    if (kind == MIMO) b = plant_block<PlantBlock>(g_apis.plant, obj, in, out);
    if (kind == LPV) b = plant_block<BlendedBlock>(g_apis.blended, obj, in, out);
    if (!b) {
        auto p = std::make_unique<PythonBlock>();
        p->fn = t[5];
        p->plant = kind == MIMO || kind == LPV;
        p->plant_first = kind == LPV ? 1 : 0;
        b = std::move(p);
    }
    b->in = std::move(in);
    b->out = std::move(out);
    return b;
}

}  // namespace corvane::loop

#include "signal_blocks.hpp"

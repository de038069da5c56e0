// The simulators of a native loop run: a MIMOSim (or SISOSim) on a copy of
// its plant, and a blended plant on copies of its local plants with the blend
// of blend.hpp. An MV whose source has no value yet keeps its value.
#pragma once

#include "block.hpp"

#include <corvane/blend.hpp>

#include <cmath>
#include <vector>

namespace corvane::loop {

struct PlantBlock : Block {
    const corvane::PlantApi* api = nullptr;
    corvane::PlantCopy copy;
    std::vector<unsigned char> given;
    std::vector<double> zeros;

    bool take(nb::handle sim) {
        const int r = api->copy_out(sim.ptr(), &copy);
        if (r < 0) raise_pending();
        if (r == 0 || copy.core.nmv != in.size() || copy.core.ncv != out.size()) return false;
        given.assign(in.size(), 0);
        zeros.assign(out.size(), 0.0);
        return true;
    }
    bool retake(nb::handle sim) override { return take(sim); }
    bool step(Slots& s, Failure&) override {
        for (size_t j = 0; j < in.size(); ++j)
            if (in[j] >= 0 && s.has[in[j]]) {
                copy.u[j] = s.v[in[j]];
                given[j] = 1;
            }
        copy.core.step(copy.u.data(), zeros.data(), copy.y.data());
        for (size_t i = 0; i < out.size(); ++i) emit(s, i, copy.y[i]);
        return true;
    }
    void put(nb::handle sim) override {
        if (api->copy_in(sim.ptr(), &copy, given.data()) < 0) raise_pending();
    }
};

// working_value and the MV tags -> the CV tags.
struct BlendedBlock : CoreBlock<corvane::BlendedRun> {
    // Per pair of neighbouring plants (i, i + 1): each CV of plant i among plant i + 1's, or -1.
    std::vector<std::vector<long>> match;
    std::vector<double> zeros;

    bool take(nb::handle obj) {
        match.clear();
        if (!CoreBlock<corvane::BlendedRun>::take(obj) || core.u.size() + 1 != in.size() || core.y.size() != out.size())
            return false;
        size_t most = 0;
        for (size_t i = 0; i < core.plants.size(); ++i) {
            const auto& p = core.plants[i].copy;
            most = std::max(most, p.core.ncv);
            if (i + 1 == core.plants.size()) break;
            const auto& q = core.plants[i + 1].copy;
            std::vector<long> m;
            for (size_t a = 0; a < p.core.ncv; ++a) {
                const size_t at = find_key(p.cv_keys[a], q.cv_keys.data(), q.core.ncv, a);
                m.push_back(at < q.core.ncv ? (long) at : -1);
            }
            match.push_back(std::move(m));
        }
        zeros.assign(most, 0.0);
        return true;
    }

    bool retake(nb::handle obj) override {
        core = {};
        return take(obj);
    }
    bool step(Slots& s, Failure& f) override {
        auto& R = core;
        const double w = s.v[in[0]];
        const size_t n = R.plants.size();
        const double position = corvane::interp_index(w, R.xp.data(), n);
        if (std::isnan(position)) return f.set(PyExc_ValueError, "cannot convert float NaN to integer");
        const corvane::BlendWeights b = corvane::blend_weights(position);
        const size_t i1 = (size_t) b.id1, i2 = (size_t) b.id2;
        if (!b.single())
            for (size_t a = 0; a < match[i1].size(); ++a)
                if (match[i1][a] < 0) return f.set(PyExc_KeyError, R.cv_names[(size_t) R.plants[i1].cv[a]]);
        for (size_t t = 0; t < R.u.size(); ++t)
            if (in[t + 1] >= 0 && s.has[in[t + 1]]) {
                R.u[t] = s.v[in[t + 1]];
                R.given[t] = 1;
            }
        for (auto& p : R.plants) {
            for (size_t j = 0; j < p.mv.size(); ++j)
                if (p.mv[j] >= 0 && R.given[(size_t) p.mv[j]]) {
                    p.copy.u[j] = R.u[(size_t) p.mv[j]];
                    p.given[j] = 1;
                }
            p.copy.core.step(p.copy.u.data(), zeros.data(), p.copy.y.data());
        }
        const auto &p1 = R.plants[i1], &p2 = R.plants[i2];
        for (size_t a = 0; a < p1.cv.size(); ++a) {
            const size_t c = (size_t) p1.cv[a];
            corvane::BlendTerm y2;
            if (!b.single()) {
                const size_t m = (size_t) match[i1][a];
                y2 = {p2.copy.y[m], p2.copy.y_f64[m] != 0};
            }
            const corvane::BlendTerm t =
                corvane::blend_term(b, {p1.copy.y[a], p1.copy.y_f64[a] != 0}, y2, {R.ini[c], R.ini_f64[c] != 0});
            R.y[c] = t.v;
            R.y_f64[c] = t.f64;
            R.written[c] = 1;
        }
        R.weights = b;
        R.i1 = i1;
        R.i2 = i2;
        R.working = w;
        R.stepped = true;
        for (size_t c = 0; c < out.size(); ++c) emit(s, c, R.y[c]);
        return true;
    }
};

}  // namespace corvane::loop

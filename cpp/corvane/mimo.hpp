// Multi-input multi-output process simulator in deviation variables: every CV
// is the sum of one single-input model per MV, driven by the MV's distance
// from its initial value, plus a one-sample disturbance and the CV's initial
// value.
#pragma once

#include <corvane/filter.hpp>

#include <cstddef>
#include <vector>

namespace corvane {

// Order of the additions, as the per-CV accumulation is written:
// dy = ((0 + m0) + m1) + ...;  y = (dy + v) + y_ini.
inline double miso_add(double acc, double contribution) noexcept { return acc + contribution; }
inline double cv_output(double dy, double disturbance, double y_ini) noexcept { return (dy + disturbance) + y_ini; }

// The plant step over filters that live elsewhere (the simulator's model
// objects own theirs): links[cv * nmv + mv] is a view of the pair's filter,
// or a null view when the MV has no effect on the CV. A view stays valid
// until its filter is assigned again.
struct PlantCore {
    std::size_t ncv = 0, nmv = 0;
    std::vector<FilterView> links;
    std::vector<double> u_ini, y_ini;
    std::vector<double> du;  // scratch, nmv

    void resize(std::size_t cvs, std::size_t mvs) {
        ncv = cvs;
        nmv = mvs;
        links.assign(cvs * mvs, FilterView{});
        u_ini.assign(mvs, 0.0);
        y_ini.assign(cvs, 0.0);
        du.assign(mvs, 0.0);
    }

    // One sample: u holds nmv MV values, v ncv disturbances; y receives ncv CVs.
    void step(const double* u, const double* v, double* y) noexcept {
        if (ncv == 1 && nmv == 1) {  // one loop, the same operations without the scratch
            const FilterView& l = links[0];
            y[0] = cv_output(miso_add(0.0, l.p ? filter_step(l, u[0] - u_ini[0]) : 0.0), v[0], y_ini[0]);
            return;
        }
        for (std::size_t j = 0; j < nmv; ++j) du[j] = u[j] - u_ini[j];
        for (std::size_t i = 0; i < ncv; ++i) {
            double acc = 0.0;
            const FilterView* row = links.data() + i * nmv;
            for (std::size_t j = 0; j < nmv; ++j) acc = miso_add(acc, row[j].p ? filter_step(row[j], du[j]) : 0.0);
            y[i] = cv_output(acc, v[i], y_ini[i]);
        }
    }
};

// A plant that owns its filters.
struct MimoPlant : PlantCore {
    std::vector<LFilter> models;        // ncv * nmv, row-major by CV; assign through model()
    std::vector<unsigned char> active;  // 0: the MV has no effect on the CV

    void resize(std::size_t cvs, std::size_t mvs) {
        PlantCore::resize(cvs, mvs);
        models.assign(cvs * mvs, LFilter{});
        active.assign(cvs * mvs, 0);
        linked_to_ = nullptr;
    }

    LFilter& model(std::size_t cv, std::size_t mv) {
        linked_to_ = nullptr;  // the caller may assign it anew
        return models[cv * nmv + mv];
    }

    void step(const double* u, const double* v, double* y) noexcept {
        if (linked_to_ != models.data()) {  // a copy links its own filters
            for (std::size_t k = 0; k < models.size(); ++k) links[k] = active[k] ? models[k].view() : FilterView{};
            linked_to_ = models.data();
        }
        PlantCore::step(u, v, y);
    }

    void reset_states() noexcept {
        for (auto& m : models) m.reset();
    }

  private:
    const LFilter* linked_to_ = nullptr;
};

}  // namespace corvane

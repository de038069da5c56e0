// Plant core: a plant over filters owned elsewhere gives the same doubles as
// one owning its filters; a pair without effect adds 0.0.
#include <corvane/mimo.hpp>

#include <cmath>

#include "check.hpp"

int main() {
    const double b1[] = {0.0, 1.0, 0.5}, a1[] = {1.0, -1.5, 0.7};
    const double b2[] = {0.0, 0.0, 2.0}, a2[] = {1.0};
    corvane::MimoPlant owned;
    owned.resize(2, 2);
    owned.model(0, 0).assign(b1, 3, a1, 3);
    owned.model(1, 1).assign(b2, 3, a2, 1);
    owned.active = {1, 0, 0, 1};
    owned.u_ini = {15.0, 16.0};
    owned.y_ini = {10.0, 20.0};

    corvane::LFilter f1, f2;
    f1.assign(b1, 3, a1, 3);
    f2.assign(b2, 3, a2, 1);
    corvane::PlantCore core;
    core.resize(2, 2);
    core.links = {f1.view(), {}, {}, f2.view()};
    core.u_ini = owned.u_ini;
    core.y_ini = owned.y_ini;

    const double v[] = {0.25, 0.0};
    double y1[2], y2[2];
    bool same = true;
    for (int k = 0; k < 40; ++k) {
        const double u[] = {15.0 + std::sin(k), 16.0 + (k % 3)};
        owned.step(u, v, y1);
        core.step(u, v, y2);
        same = same && y1[0] == y2[0] && y1[1] == y2[1];
    }
    expect_true(same, "linked core equals owning plant");
    expect_true(f1.state() == owned.model(0, 0).state(), "linked filter state");

    corvane::PlantCore none;  // no effect at all: -0.0 deviations still give +0.0
    none.resize(1, 1);
    const double u[] = {-0.0}, vz[] = {-0.0};
    double y[1];
    none.y_ini[0] = -0.0;
    none.step(u, vz, y);
    expect_true(y[0] == 0.0 && !std::signbit(y[0]), "no-effect pair adds +0.0");
    return check_summary();
}

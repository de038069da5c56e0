// The numeric core on its own: no Python, only the headers under cpp/.
#include <corvane/filter.hpp>
#include <corvane/memory.hpp>
#include <corvane/mimo.hpp>
#include <corvane/pid.hpp>

#include "check.hpp"

int main() {
    {  // P and filtered D, velocity form
        corvane::PID pid;
        pid.KP = 2.0, pid.TI = 0.0, pid.TD = 5.0, pid.N = 10.0, pid.TS = 1.0;
        pid.reset(1.0, 50.0, 0.0);
        const double want[] = {50.0, 58.6667, 54.2222, 52.7407, 52.2469};
        for (int k = 0; k < 5; ++k) expect_near(pid.step(k == 0 ? 1.0 : 2.0, 0.0, 0.0), want[k], 5e-5, "pid P+D");
    }
    {  // clamp keeps a NaN from the left-hand side, output pinned by equal limits
        corvane::PID pid;
        pid.OP_HI = pid.OP_LO = 50.0;
        pid.reset(0.0, 10.0, 0.0);
        expect_near(pid.step(100.0, 0.0, 0.0), 50.0, 0.0, "pid pinned");
        expect_true(std::isnan(corvane::clamp_output(NAN, 0.0, 100.0)), "clamp NaN");
    }
    {  // 0.5 / (1 - 0.5 z^-1) behind two samples of dead time
        corvane::LFilter f;
        const double b[] = {0.0, 0.0, 0.0, 1.0}, a[] = {1.0, -0.5};
        f.assign(b, 4, a, 2);
        const double want[] = {0.0, 0.0, 0.0, 1.0, 1.5, 1.75};
        for (double w : want) expect_near(f.step(1.0), w, 0.0, "filter step");
        expect_near((double) f.state().size(), 3.0, 0.0, "filter state length");
    }
    {  // two CVs, one MV: deviation in, initial values and disturbance added back
        corvane::MimoPlant p;
        p.resize(2, 1);
        const double b[] = {2.0}, a[] = {1.0};
        p.models[0].assign(b, 1, a, 1);
        p.active[0] = 1;
        p.u_ini[0] = 10.0;
        p.y_ini[0] = 1.0;
        p.y_ini[1] = 5.0;
        const double u[] = {13.0}, v[] = {0.5, 0.0};
        double y[2];
        p.step(u, v, y);
        expect_near(y[0], 7.5, 0.0, "mimo active pair");
        expect_near(y[1], 5.0, 0.0, "mimo inactive pair");
    }
    {  // a budget: small buffers fit, one of half the address space does not
        expect_true(corvane::fits_in_memory(1000, 8) && corvane::fits_in_memory(UINT64_MAX, 0), "small buffer fits");
        expect_true(!corvane::fits_in_memory(UINT64_MAX / 16, 8), "huge buffer refused");
    }
    return check_summary();
}

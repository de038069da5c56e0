// The record of one local plant, and what the blended plant shares with
// multiloop's simulators.
#pragma once

#include "../bindkit.hpp"
#include "../plantapi.hpp"

#include <array>

namespace corvane::blendedplant {

namespace nb = nanobind;
using namespace corvane::bind;

inline const corvane::PlantApi* g_api = nullptr;  // multiloop's plant interface
inline PyTypeObject* g_local_type = nullptr;      // LPVLocalPlant

struct LocalPlant : ObjectFields<LocalPlant> {
    nb::object plant_id = nb::none(), working_point = nb::none(), plant = nb::none(), yu_model_tf = nb::none();
    nb::object Ts = nb::int_(1), current_weight = nb::float_(0.0);
    // A weight a native sample left as a number, made an object when read:
    // 0 none, 1 a float, 2 a numpy float64 (benchmarks/compare_builds.py,
    // LPVPlantSim row: an object per plant and sample costs about 5 %).
    double weight_v = 0.0;
    unsigned char weight_kind = 0;

    std::array<nb::object*, 6> fields() {
        return {&plant_id, &working_point, &plant, &yu_model_tf, &Ts, &current_weight};
    }
    const nb::object& weight() {
        if (weight_kind) {
            nb::object w = number(weight_v, weight_kind == 2);
            weight_kind = 0;
            std::swap(current_weight, w);  // the old object goes last
        }
        return current_weight;
    }
    void set_weight(nb::object w) {
        weight_kind = 0;
        std::swap(current_weight, w);
    }
    void set_weight(double v, bool f64) {
        weight_v = v;
        weight_kind = f64 ? 2 : 1;
    }
};

inline const char* const kFieldNames[6] = {"plant_id", "working_point", "plant", "yu_model_tf", "Ts", "current_weight"};

inline LocalPlant& record_of(nb::handle o) {
    if (!PyObject_TypeCheck(o.ptr(), g_local_type))
        raise(PyExc_TypeError, "plant_list items must be LPVLocalPlant, got %.200s", tp_name_of(o));
    return ready_inst<LocalPlant>(o);
}

}  // namespace corvane::blendedplant

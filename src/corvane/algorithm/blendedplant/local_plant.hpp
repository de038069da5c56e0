// Number and container helpers, and the record of one local plant.
#pragma once

namespace {

const corvane::PlantApi* g_api = nullptr;
PyTypeObject* g_local_type = nullptr;

// ---------------------------------------------------------------------------
// The record of one local plant

struct LocalPlant : ObjectFields<LocalPlant> {
    nb::object plant_id = nb::none(), working_point = nb::none(), plant = nb::none(), yu_model_tf = nb::none();
    nb::object Ts = nb::int_(1), current_weight = nb::float_(0.0);
    // A weight written by the simulator's fast path, made an object when read.
    double weight_value = 0.0;
    bool weight_f64 = false, weight_pending = false;

    std::array<nb::object*, 6> fields() {
        return {&plant_id, &working_point, &plant, &yu_model_tf, &Ts, &current_weight};
    }

    const nb::object& weight() {
        if (weight_pending) {
            nb::object w = number(weight_value, weight_f64);
            weight_pending = false;
            std::swap(current_weight, w);  // the old object goes last
        }
        return current_weight;
    }
    void set_weight(nb::object w) {
        weight_pending = false;
        std::swap(current_weight, w);
    }
    void set_weight(double v, bool f64) {
        weight_value = v;
        weight_f64 = f64;
        weight_pending = true;
    }
};

const char* const kFieldNames[6] = {"plant_id", "working_point", "plant", "yu_model_tf", "Ts", "current_weight"};

LocalPlant& record_of(nb::handle o) {
    if (!PyObject_TypeCheck(o.ptr(), g_local_type))
        raise(PyExc_TypeError, "plant_list items must be LPVLocalPlant, got %.200s", tp_name_of(o));
    if (!nb::inst_ready(o)) raise(PyExc_TypeError, "'%.200s' object is not initialised", tp_name_of(o));
    return *nb::inst_ptr<LocalPlant>(o);
}

}  // namespace

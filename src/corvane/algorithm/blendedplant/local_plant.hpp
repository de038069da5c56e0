// Number and container helpers, and the record of one local plant.
#pragma once

namespace {

const corvane::PlantApi* g_api = nullptr;
PyTypeObject* g_local_type = nullptr;

nb::object deepcopy(nb::handle o) { return nb::module_::import_("copy").attr("deepcopy")(o); }


nb::object py_binop(PyObject* (*op)(PyObject*, PyObject*), nb::handle a, nb::handle b) {
    PyObject* r = op(a.ptr(), b.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

// A copy of a dict of plain scalars, or a deep copy.
nb::object copy_values(nb::handle d) {
    if (PyDict_CheckExact(d.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool flat = true;
        while (flat && PyDict_Next(d.ptr(), &pos, &k, &v)) {
            for (PyObject* o : {k, v}) {
                PyTypeObject* t = Py_TYPE(o);
                flat = flat && (t == &PyFloat_Type || t == &PyLong_Type || t == &PyUnicode_Type || t == &PyBool_Type ||
                                o == Py_None || t == float64_type());
            }
        }
        if (flat) {
            PyObject* c = PyDict_Copy(d.ptr());
            if (!c) raise_pending();
            return nb::steal(c);
        }
    }
    return deepcopy(d);
}

// ---------------------------------------------------------------------------
// The record of one local plant

struct LocalPlant : ObjectFields<LocalPlant> {
    nb::object plant_id = nb::none(), working_point = nb::none(), plant = nb::none(), yu_model_tf = nb::none();
    nb::object Ts = nb::int_(1), current_weight = nb::float_(0.0);
    // A weight written by the simulator's fast path, made an object when read.
    double weight_value = 0.0;
    bool weight_f64 = false, weight_pending = false;

    std::array<nb::object*, 6> fields() { return {&plant_id, &working_point, &plant, &yu_model_tf, &Ts, &current_weight}; }

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

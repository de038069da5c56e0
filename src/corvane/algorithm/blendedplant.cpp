// corvane.algorithm.blendedplant: a linear-parameter-varying plant blended
// from local MIMOSim plants by working point.
#include "blendedplant/engine_call.hpp"
#include "blendedplant/general_call.hpp"
#include "blendedplant/native_run.hpp"

#include <array>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;
using namespace corvane::blendedplant;

namespace corvane::blendedplant {
PyObject* BlendedCall::operator()(nb::handle self, Blended& s, PyObject* (&a)[3]) const {
    nb::handle u = a[1] ? a[1] : empty_default(), v = a[2] ? a[2] : empty_default();
    const double w = to_double(a[0]);
    s.check_ready();
    if (!s.engine_call(w, u.ptr(), v.ptr())) s.general_call(w, u, v);
    static PyTypeObject* const own_type = (PyTypeObject*) nb::type<Blended>().ptr();
    nb::object result = Py_TYPE(self.ptr()) == own_type ? s.result() : self.attr("get_output_data_dict")();
    if (!result.is_none()) check_result(result, &PyDict_Type);
    return result.release().ptr();
}
}  // namespace corvane::blendedplant

NB_MODULE(blendedplant, m) {
    m.doc() = "Blended-plant (linear-parameter-varying) simulator over local MIMOSim plants.";

    nb::module_ ml = nb::module_::import_("corvane.algorithm.multiloop");
    g_api = corvane::import_plant_api();

    m.attr("MIMOSim") = ml.attr("MIMOSim");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("copy") = nb::module_::import_("copy");

    nb::class_<LocalPlant> local(
        m, "LPVLocalPlant", nb::dynamic_attr(), nb::type_slots(gc_slots<LocalPlant>),
        "Record of one local plant: id, working point, MIMOSim, model dictionary, sample time, current weight.");
    local.def(nb::init<>());
    for (int i = 0; i < 6; ++i) {
        local.def_prop_rw(
            kFieldNames[i], [i](LocalPlant& r) { return i == 5 ? r.weight() : *r.fields()[i]; },
            [i](LocalPlant& r, nb::handle v) {
                if (i == 5)
                    r.set_weight(nb::borrow(v));
                else
                    *r.fields()[i] = nb::borrow(v);
            },
            nb::arg("value").none());
    }
    def_pickle<LocalPlant>(
        local,
        [](LocalPlant& r) {
            return nb::make_tuple(r.plant_id, r.working_point, r.plant, r.yu_model_tf, r.Ts, r.weight());
        },
        [](LocalPlant& r, nb::handle st) {
            StateView sv(st, 6, "LPVLocalPlant");
            for (int i = 0; i < 6; ++i) *r.fields()[i] = sv.item(i);
        });
    g_local_type = (PyTypeObject*) local.ptr();

    nb::class_<Blended> sim(
        m, "LPVPlantSim", nb::dynamic_attr(), nb::type_slots(gc_slots<Blended>),
        "Blended-plant simulator: local MIMOSim plants weighted by linear interpolation of the working value.");
    sim.def(
        "__init__", [](Blended* p, nb::handle ini) { new (p) Blended{.ini_value_dict = deepcopy(ini)}; },
        "ini_value_dict"_a.none() = nb::dict());
    sim.def(
        "addPlant",
        [](Blended& s, nb::handle plant_id, nb::handle working_point, nb::handle yu_model_tf, nb::handle Ts) {
            s.add_plant(plant_id, working_point, yu_model_tf, Ts);
        },
        "plant_id"_a.none(), "working_point"_a.none(), "yu_model_tf"_a.none(), "Ts"_a.none(),
        "Register a local plant; a plant with the same id (or working point) is replaced.");
    sim.def(
        "delPlant",
        [](Blended& s, nb::handle plant_id) {
            check_arg(plant_id, &PyLong_Type, "plant_id");
            s.del_plant(plant_id);
        },
        "plant_id"_a.none(), "Remove every plant with this id.");
    def_call<Blended>(sim, std::array<const char*, 3>{"working_value", "u_Value_Dict", "v_Value_Dict"}, 1,
                      "($self, working_value, u_Value_Dict={}, v_Value_Dict={})",
                      "One sample of every plant; returns the blended CV values.", BlendedCall{});
    sim.def(
        "run",
        [](nb::handle self, nb::handle w, nb::handle u, nb::handle v) {
            nb::object r = self(w, u, v);
            if (!r.is_none()) check_result(r, &PyDict_Type);
            return r;
        },
        "working_value"_a.none(), "u_Value_Dict"_a.none() = nb::dict(), "v_Value_Dict"_a.none() = nb::dict(),
        "Calls the simulator and checks that the result is a dict.");
    sim.def("get_input_data_dict", [](Blended& s) {
        s.sync();
        return deepcopy_flat(s.u_dict);
    });
    sim.def("get_output_data_dict", [](Blended& s) {
        s.sync();
        return deepcopy_flat(s.y_dict);
    });
    sim.def("get_all_data_dict", [](nb::handle self) {
        nb::object d = self.attr("get_input_data_dict")();
        d.attr("update")(self.attr("get_output_data_dict")());
        return d;
    });
    sim.def("get_cv_list", [](Blended& s) { return nb::list(s.y_dict.attr("keys")()); });
    sim.def("get_mv_list", [](Blended& s) { return nb::list(s.u_dict.attr("keys")()); });
    sim.def("get_plant_dict", [](Blended& s) {
        nb::dict d;
        for (nb::handle p : s.plant_list) d[p.attr("plant_id")] = p;
        return d;
    });
    sim.def("get_current_plant_weight_dict", [](Blended& s) {
        nb::dict d;
        for (nb::handle p : s.plant_list) d[p.attr("plant_id")] = p.attr("current_weight");
        return d;
    });
    sim.def(
        "plot_model_stp",
        [](Blended& s, nb::handle plant_id, nb::handle plotLen) {
            nb::object plants = s.plant_list;
            if (nb::len(plants) == 0) return;
            for (nb::handle p : plants) {
                if (compare(p.attr("plant_id"), plant_id, Py_EQ)) {
                    p.attr("plant").attr("plot_model_stp")(plotLen);
                    return;
                }
            }
        },
        "plant_id"_a.none(), "plotLen"_a.none() = 300, "Plot the step responses of one local plant.");

    // The dicts are handed out (and replaced) only with nothing waiting for them.
    auto field = [&](const char* name, nb::object Blended::* f, PyTypeObject* tp, bool dict) {
        sim.def_prop_rw(
            name,
            [f, dict](Blended& s) {
                if (dict) s.expose();
                return s.*f;
            },
            [f, tp, name, dict](Blended& s, nb::handle v) {
                if (tp) check_arg(v, tp, name);
                if (dict) s.expose();
                s.*f = nb::borrow(v);
            },
            nb::arg("value").none());
    };
    field("plant_list", &Blended::plant_list, &PyList_Type, false);
    field("ini_value_dict", &Blended::ini_value_dict, &PyDict_Type, false);
    field("_u_dict", &Blended::u_dict, &PyDict_Type, true);
    field("_y_dict", &Blended::y_dict, &PyDict_Type, true);
    sim.def_prop_rw(
        "_working_value", [](Blended& s) { return s.working(); },
        [](Blended& s, nb::handle v) { s.set_working_value(nb::borrow(v)); }, nb::arg("value").none());

    def_pickle<Blended>(
        sim,
        [](Blended& s) {
            s.expose();
            return nb::make_tuple(s.plant_list, s.ini_value_dict, s.working(), s.u_dict, s.y_dict);
        },
        [](Blended& s, nb::handle st) {
            StateView sv(st, 5, "LPVPlantSim");
            s.plant_list = sv.typed(0, &PyList_Type);
            s.ini_value_dict = sv.typed(1, &PyDict_Type);
            s.set_working_value(nb::float_(sv.real(2)));
            s.u_dict = sv.typed(3, &PyDict_Type);
            s.y_dict = sv.typed(4, &PyDict_Type);
        });
    g_blended_type = g_block_api.type = (PyTypeObject*) sim.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.blendedplant._block_api_LPVPlantSim", &g_block_api) < 0)
        raise_pending();
    install_signatures(m);
}

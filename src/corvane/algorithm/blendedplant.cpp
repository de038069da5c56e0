// corvane.algorithm.blendedplant: a linear-parameter-varying plant blended
// from local MIMOSim plants by working point.
#include "bindkit.hpp"
#include "plantapi.hpp"

#include <cmath>
#include <memory>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

#include "blendedplant/local_plant.hpp"

namespace {

// ---------------------------------------------------------------------------
// The simulator

struct Blended;
// sim(working_value, u_Value_Dict={}, v_Value_Dict={}) through the instance's vectorcall slot.
struct BlendedCall {
    PyObject* operator()(nb::handle self, Blended& s, PyObject* (&a)[3]) const;
};

struct HotPlan;

struct Blended : ObjectFields<Blended> {
    vectorcallfunc vectorcall = instance_call<Blended, 3, BlendedCall>;  // the instance's vectorcall slot
    nb::object plant_list = nb::list(), ini_value_dict = nb::dict(), working_value = nb::float_(0.0);
    nb::object u_dict = nb::dict(), y_dict = nb::dict();
    // The working value written by the fast path, made an object when read.
    double working_double = 0.0;
    bool working_pending = false;
    // What the fast path found out about the plants and containers (shared:
    // a call keeps the one it runs).
    std::shared_ptr<HotPlan> plan;
    // The dict the fast path returned last: once the caller has let go of it
    // and it still matches _y_dict item for item, the next sample's values
    // go into both in place.
    nb::object last_result;
    // MV values the fast path took while _u_dict was held by nobody else,
    // by tag of u_plan, written into the dict before anything reads it.
    std::shared_ptr<HotPlan> u_plan;
    std::vector<nb::object> u_pending;
    bool u_dirty = false;
    void sync_u();

    std::array<nb::object*, 5> fields() { return {&plant_list, &ini_value_dict, &working_value, &u_dict, &y_dict}; }
    int traverse(visitproc visit, void* arg);
    void clear();

    const nb::object& working() {
        if (working_pending) {
            nb::object w = nb::float_(working_double);
            working_pending = false;
            std::swap(working_value, w);
        }
        return working_value;
    }
    void set_working_value(nb::object w) {
        working_pending = false;
        std::swap(working_value, w);
    }

    void check_ready() const {
        if (!PyList_CheckExact(plant_list.ptr()) || !PyDict_CheckExact(ini_value_dict.ptr()) ||
            !PyDict_CheckExact(u_dict.ptr()) || !PyDict_CheckExact(y_dict.ptr()))
            raise(PyExc_TypeError, "LPVPlantSim state is not initialised");
    }

    // numpy's unique(working points, return_index=True): ascending, the first
    // of equal working points stays.
    void sort_plants() {
        nb::object held = plant_list;
        std::vector<nb::object> items;
        nb::list wps;
        for (nb::handle p : nb::borrow<nb::list>(held)) {
            items.push_back(nb::borrow(p));
            wps.append(record_of(p).working_point);
        }
        nb::object res = nb::module_::import_("numpy").attr("unique")(wps, "return_index"_a = true);
        nb::list sorted;
        for (nb::handle i : res[nb::int_(1)]) {
            const Py_ssize_t k = nb::cast<Py_ssize_t>(nb::int_(i));
            if (k < 0 || (size_t) k >= items.size()) raise(PyExc_IndexError, "list index out of range");
            sorted.append(items[(size_t) k]);
        }
        plant_list = sorted;
    }

    void del_plant(nb::handle plant_id) {
        check_ready();
        nb::object held = plant_list;
        bool deleted = false;
        for (;;) {
            Py_ssize_t found = -1;
            const Py_ssize_t n = PyList_GET_SIZE(held.ptr());
            std::vector<nb::object> ids;
            for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(held.ptr()); ++i)
                ids.push_back(record_of(nb::borrow(PyList_GET_ITEM(held.ptr(), i))).plant_id);
            for (size_t i = 0; i < ids.size() && found < 0; ++i) {
                int eq = PyObject_RichCompareBool(ids[i].ptr(), plant_id.ptr(), Py_EQ);
                if (eq < 0) raise_pending();
                if (eq) found = (Py_ssize_t) i;
            }
            if (found < 0) break;
            if (found < PyList_GET_SIZE(held.ptr()) && PySequence_DelItem(held.ptr(), found) < 0) raise_pending();
            deleted = true;
        }
        if (deleted) sort_plants();
    }

    void add_plant(nb::handle plant_id, nb::handle working_point, nb::handle yu_model_tf, nb::handle Ts) {
        check_arg(plant_id, &PyLong_Type, "plant_id");
        const double wp = to_double(working_point);
        check_arg(yu_model_tf, &PyDict_Type, "yu_model_tf");
        check_arg(Ts, &PyLong_Type, "Ts");
        check_ready();
        // The new plant is built before anything changes: a model dictionary
        // that fails leaves the registered plants as they were.
        nb::object ini = deepcopy(ini_value_dict);
        nb::object zero = nb::float_(0.0);
        for (nb::handle cv : nb::borrow<nb::dict>(yu_model_tf).keys()) ini[cv] = zero;
        nb::object sim = nb::handle((PyObject*) g_api->mimo_type)(yu_model_tf, "ini_value_dict"_a = ini, "Ts"_a = Ts);
        nb::object cvs = sim.attr("get_output_data_dict")();
        nb::object mvs = sim.attr("get_input_data_dict")();

        del_plant(plant_id);
        nb::object rec = nb::handle((PyObject*) g_local_type)();
        LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
        r.plant_id = nb::borrow(plant_id);
        r.working_point = nb::float_(wp);
        r.yu_model_tf = nb::borrow(yu_model_tf);
        r.Ts = nb::borrow(Ts);
        r.plant = sim;
        nb::object ini_src = ini_value_dict;
        for (auto [target, tags] : {std::pair{y_dict, cvs}, std::pair{u_dict, mvs}}) {
            for (nb::handle tag : tags) {
                nb::object v = nb::borrow<nb::dict>(ini_src).attr("get")(tag, zero);
                target.attr("setdefault")(tag, v);
            }
        }
        if (PyList_Insert(plant_list.ptr(), 0, rec.ptr()) < 0) raise_pending();
        sort_plants();
    }

    nb::object call(nb::handle self, nb::handle working_value, nb::handle u_values, nb::handle v_values);
    // The fast path: false, with nothing changed, where it does not apply.
    bool hot_call(nb::handle self, double w, PyObject* u_values, PyObject* v_values, nb::object& result);
};

}  // namespace

#include "blendedplant/general_call.hpp"
#include "blendedplant/hot_call.hpp"

NB_MODULE(blendedplant, m) {
    m.doc() = "Blended-plant (linear-parameter-varying) simulator over local MIMOSim plants.";

    nb::module_ ml = nb::module_::import_("corvane.algorithm.multiloop");
    nb::object cap = ml.attr("_plant_api");
    g_api = static_cast<const corvane::PlantApi*>(PyCapsule_GetPointer(cap.ptr(), corvane::kPlantApiCapsule));
    if (!g_api) raise_pending();
    if (g_api->version != corvane::kPlantApiVersion) raise(PyExc_ImportError, "multiloop plant interface mismatch");

    // The fast path's plans follow the dicts they rely on; without watchers
    // every call takes the general path.
    g_watch_any = PyDict_AddWatcher(on_any_change);
    g_watch_keys = g_watch_any < 0 ? -1 : PyDict_AddWatcher(on_key_change);
    if (g_watch_keys < 0) PyErr_Clear();

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
            r.weight_pending = false;
        });
    g_local_type = (PyTypeObject*) local.ptr();

    nb::class_<Blended> sim(
        m, "LPVPlantSim", nb::dynamic_attr(), nb::type_slots(gc_slots<Blended>),
        "Blended-plant simulator: local MIMOSim plants weighted by linear interpolation of the working value.");
    sim.def(
        "__init__",
        [](Blended* p, nb::handle ini) {
            Blended b;
            b.ini_value_dict = deepcopy(ini);
            new (p) Blended(std::move(b));
        },
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
        s.sync_u();
        return deepcopy_flat(s.u_dict);
    });
    sim.def("get_output_data_dict", [](Blended& s) { return deepcopy_flat(s.y_dict); });
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

    auto field = [&](const char* name, nb::object Blended::* f, PyTypeObject* tp) {
        sim.def_prop_rw(
            name, [f](Blended& s) { return s.*f; },
            [f, tp, name](Blended& s, nb::handle v) {
                if (tp) check_arg(v, tp, name);
                s.*f = nb::borrow(v);
            },
            nb::arg("value").none());
    };
    field("plant_list", &Blended::plant_list, &PyList_Type);
    field("ini_value_dict", &Blended::ini_value_dict, &PyDict_Type);
    sim.def_prop_rw(
        "_working_value", [](Blended& s) { return s.working(); },
        [](Blended& s, nb::handle v) { s.set_working_value(nb::borrow(v)); }, nb::arg("value").none());
    sim.def_prop_rw(
        "_u_dict",
        [](Blended& s) {
            s.sync_u();
            return s.u_dict;
        },
        [](Blended& s, nb::handle v) {
            check_arg(v, &PyDict_Type, "_u_dict");
            s.sync_u();
            s.u_dict = nb::borrow(v);
        },
        nb::arg("value").none());
    field("_y_dict", &Blended::y_dict, &PyDict_Type);

    def_pickle<Blended>(
        sim,
        [](Blended& s) {
            s.sync_u();
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
    install_signatures(m);
}

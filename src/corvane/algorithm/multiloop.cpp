// corvane.algorithm.multiloop: single-input process models, the MISO/MIMO
// simulators built from a model dictionary, and step-response tools.
#include "multiloop/native_api.hpp"
#include "multiloop/pickling.hpp"
#include "multiloop/tools.hpp"

#include <array>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;
using namespace corvane::multiloop;

namespace {
const char* const kCallDoc = "One sample: apply the MV values (and one-sample CV disturbances); returns the CV values.";
}  // namespace

NB_MODULE(multiloop, m) {
    m.doc() = "Process models, MISO/MIMO simulators and step-response tools.";
    float64_type();  // numpy.float64, fetched at import rather than during a sample

    // Names the module works with (looked up at call time where it matters).
    m.attr("copy") = nb::module_::import_("copy");
    m.attr("np") = numpy_mod();
    m.attr("signal") = nb::module_::import_("scipy.signal");
    m.attr("sharedkit") = nb::module_::import_("corvane.algorithm.sharedkit");
    m.attr("Sequence") = nb::module_::import_("typing").attr("Sequence");
    nb::module_ abc = nb::module_::import_("abc");
    m.attr("ABCMeta") = abc.attr("ABCMeta");
    m.attr("abstractmethod") = abc.attr("abstractmethod");

    // Abstract base, registered below as the virtual base of the model classes.
    nb::dict ns;
    ns["__name__"] = kModuleName;
    nb::module_::import_("builtins")
        .attr("exec")(
            "import abc\n"
            "class model(metaclass=abc.ABCMeta):\n"
            "    \"\"\"Abstract single-input single-output process model.\"\"\"\n"
            "    @abc.abstractmethod\n"
            "    def deltaU_sim(self, dU):\n"
            "        \"\"\"One sample: the output deviation for the input deviation dU.\"\"\"\n",
            ns);
    nb::object model = ns["model"];
    m.attr("model") = model;

    // -- models
    nb::class_<PyNoModel> no_model(m, "no_model", nb::dynamic_attr(),
                                   "A pair without effect: the output is always 0.0.");
    no_model.def(nb::init<>());
    no_model.def(
        "deltaU_sim",
        [](PyNoModel&, nb::handle dU) {
            (void) to_double(dU);
            return 0.0;
        },
        "dU"_a.none() = 0.0, "Converts dU to float and returns 0.0.");
    def_pickle<PyNoModel>(
        no_model, [](PyNoModel&) { return nb::none(); },
        [](PyNoModel&, nb::handle st) {
            if (!st.is_none())
                raise(PyExc_TypeError, "invalid no_model state: expected None, got %.200s", tp_name_of(st));
        });

    nb::class_<PyTfz> tfz(m, "tfz_model", nb::dynamic_attr(),
                          "Discrete transfer function num(z^-1)/den(z^-1) with a whole-sample dead time.");
    tfz.def(
        "__init__",
        [](PyTfz* p, nb::handle num, nb::handle den, nb::handle delay) { new (p) PyTfz(build_tfz(num, den, delay)); },
        "num"_a.none() = default_list({0, 1, 0.5}, true), "den"_a.none() = default_list({1, -1.5, 0.7}, true),
        "delay"_a.none() = 0);
    tfz.def(
        "deltaU_sim",
        [](PyTfz& t, nb::handle dU) {
            const double x = to_double(dU);
            t.check_usable();
            return make_float64(t.step(x));
        },
        "dU"_a.none(), "One sample: the output deviation (numpy float64) for the input deviation dU.");
    tfz.def(
        "reset_zi",
        [](PyTfz& t) {
            t.f.reset();
            t.touched();
        },
        "Clear the filter state.");
    tfz.def_prop_ro("Gz_num", [](PyTfz& t) { return t.num; }, "Numerator coefficients, dead time included.");
    tfz.def_prop_ro("Gz_den", [](PyTfz& t) { return t.den; }, "Denominator coefficients.");
    tfz.def_prop_ro("_zi", [](PyTfz& t) { return t.zi(); }, "Filter state.");
    tfz_family<PyTfz>(tfz, "tfz_model");

    nb::class_<PyTfs, PyTfz> tfs(m, "tfs_model", "Continuous transfer function with dead time, discretised once.");
    tfs.def(
        "__init__",
        [](PyTfs* p, nb::handle num, nb::handle den, nb::handle delay, nb::handle Ts) {
            new (p) PyTfs{build_tfs(num, den, delay, Ts)};
        },
        "num"_a.none() = default_list({0, 1}, true), "den"_a.none() = default_list({5, 1}, true), "delay"_a.none() = 0,
        "Ts"_a.none() = 1);
    tfz_family<PyTfs>(tfs, "tfs_model");

    nb::class_<PyStp, PyTfz> stp(m, "stp_model", "Step-response model: a finite impulse response filter.");
    stp.def(
        "__init__", [](PyStp* p, nb::handle s) { new (p) PyStp{build_stp(s)}; },
        "stp"_a.none() = default_list({0.5, 1, 2, 3, 4, 5}, true));
    tfz_family<PyStp>(stp, "stp_model");

    nb::class_<PyStpxy, PyStp> stpxy(m, "stpxy_model", "Step-response model given by breakpoints (x, y).");
    stpxy.def(
        "__init__", [](PyStpxy* p, nb::handle x, nb::handle y) { new (p) PyStpxy{build_stpxy(x, y)}; },
        "x"_a.none() = default_list({1, 2, 3}, true), "y"_a.none() = default_list({10, 20, 30}, true));
    tfz_family<PyStpxy>(stpxy, "stpxy_model");

    g_classes.no_model = (PyTypeObject*) no_model.ptr();
    g_classes.tfz = (PyTypeObject*) tfz.ptr();
    g_classes.tfs = (PyTypeObject*) tfs.ptr();
    g_classes.stp = (PyTypeObject*) stp.ptr();
    g_classes.stpxy = (PyTypeObject*) stpxy.ptr();
    for (nb::handle t : {no_model.ptr(), tfz.ptr(), tfs.ptr(), stp.ptr(), stpxy.ptr()}) model.attr("register")(t);

    m.def(
        "get_model_tags",
        [](nb::handle yu_model) {
            auto t = model_tags(yu_model);
            return nb::make_tuple(t.first, t.second);
        },
        "yu_model"_a.none(), "(cv_tag_list, mv_tag_list) of a model dictionary, each in order of first appearance.");

    // -- simulators
    nb::class_<PyMISO> miso(m, "MISOSimulator", nb::type_slots(miso_slots), "One CV as the sum of one model per MV.");
    miso.def(
        "__init__",
        [](PyMISO* p, nb::handle models, nb::handle inis) { new (p) PyMISO(nb::borrow(models), nb::borrow(inis)); },
        "model_list"_a.none(), "u_ini_list"_a.none());
    for (auto [name, field] :
         {std::pair{"model_list", &PyMISO::model_list}, std::pair{"u_ini_list", &PyMISO::u_ini_list}})
        miso.def_prop_rw(
            name,
            [field](PyMISO& s) {
                s.exposed();
                return s.*field;
            },
            [field](PyMISO& s, nb::handle v) {
                s.*field = nb::borrow(v);
                s.exposed();
            });
    miso.def(
        "one_step_sim", [](PyMISO& s, nb::handle u_list) { return miso_one_step(s, u_list); }, "u_list"_a.none(),
        "One sample: the CV deviation for the current MV values.");
    def_pickle<PyMISO>(
        miso,
        [](PyMISO& s) {
            s.exposed();
            return nb::make_tuple(s.model_list, s.u_ini_list);
        },
        [](PyMISO& s, nb::handle st) {
            StateView sv(st, 2, "MISOSimulator");
            s.model_list = sv.item(0);
            s.u_ini_list = sv.item(1);
        });
    g_classes.miso = (PyTypeObject*) miso.ptr();

    nb::class_<PyMIMO> mimo(m, "MIMOSim", nb::type_slots(mimo_slots),
                            "Multi-input multi-output process simulator built from a model dictionary.\n"
                            "Call it once per sample with the MV values; it returns the CV values.");
    mimo.def(
        "__init__",
        [](PyMIMO* p, nb::handle pmd, nb::handle ini, nb::handle Ts) { new (p) PyMIMO(build_mimo(pmd, ini, Ts)); },
        "process_model_dict"_a.none(), "ini_value_dict"_a.none() = nb::dict(), "Ts"_a.none() = 1);
    def_call<PyMIMO>(mimo, std::array<const char*, 2>{"u_Value_Dict", "v_Value_Dict"}, 0,
                     "($self, u_Value_Dict={}, v_Value_Dict={})", kCallDoc, MimoCall{});
    mimo.def(
        "reset", [](PyMIMO& s) { s.reset(); },
        "Inputs and outputs back to their initial values; model states are kept.");
    mimo.def(
        "get_process_tags",
        [](PyMIMO& s) {
            nb::list l;
            for (nb::handle t : s.cv_list) l.append(t);
            for (nb::handle t : s.mv_list) l.append(t);
            return l;
        },
        "cv_list followed by mv_list.");
    mimo.def("get_input_data_dict", [](PyMIMO& s) {
        s.sync();
        return deepcopy_flat(s.u_dict);
    });
    mimo.def("get_output_data_dict", [](PyMIMO& s) {
        s.sync();
        return deepcopy_flat(s.y_dict);
    });
    mimo.def("get_all_data_dict", [](PyMIMO& s) {
        s.sync();
        nb::object d = deepcopy_flat(s.u_dict);
        d.attr("update")(deepcopy_flat(s.y_dict));
        return d;
    });
    mimo.def("get_cv_list", [](PyMIMO& s) { return deepcopy(s.cv_list); });
    mimo.def("get_mv_list", [](PyMIMO& s) { return deepcopy(s.mv_list); });
    mimo.def("get_model_dict", [](PyMIMO& s) { return deepcopy(s.process_model_dict); });
    mimo.def(
        "plot_model_stp",
        [](PyMIMO& s, nb::handle plotLen) {
            return this_module().attr("plot_model_stp")(s.process_model_dict, s.Ts, plotLen);
        },
        "plotLen"_a.none() = 300, "Plot the step responses of this simulator's model dictionary.");
    for (size_t i = 0; i < 9; ++i)
        mimo.def_prop_ro(kMimoFields[i], [i](PyMIMO& s) {
            nb::object* f = s.fields()[i];
            if (f == &s.u_dict || f == &s.y_dict) s.expose();  // handed out: nothing may wait for them
            return *f;
        });
    mimo_family<PyMIMO>(mimo, "MIMOSim");
    g_classes.mimo = (PyTypeObject*) mimo.ptr();

    nb::class_<PySISO, PyMIMO> siso(m, "SISOSim", nb::type_slots(mimo_slots),
                                    "First-order loop with dead time: gain/(tao*s + 1), tags CV and MV.");
    def_call<PySISO>(siso, std::array<const char*, 2>{"u_Value_Dict", "v_Value_Dict"}, 0,
                     "($self, u_Value_Dict={}, v_Value_Dict={})", kCallDoc, MimoCall{});
    siso.def(
        "__init__",
        [](PySISO* p, nb::handle gain, nb::handle tao, nb::handle delay, nb::handle Ts, nb::handle integralMark) {
            nb::dict entry, row, pmd, ini;
            entry["mode"] = "tf_s";
            entry["num_s"] = nb::list(nb::make_tuple(0, gain));
            entry["den_s"] = nb::list(nb::make_tuple(tao, 1));
            entry["iodelay_s"] = delay;
            entry["IntegralMark"] = integralMark;
            row["MV"] = entry;
            pmd["CV"] = row;
            ini["CV"] = 0.0;
            ini["MV"] = 0.0;
            new (p) PySISO{build_mimo(pmd, ini, Ts)};
        },
        "gain"_a.none(), "tao"_a.none(), "delay"_a.none() = 0, "Ts"_a.none() = 1, "integralMark"_a.none() = 0);
    mimo_family<PySISO>(siso, "SISOSim");
    g_classes.siso = (PyTypeObject*) siso.ptr();

    g_plant_api.mimo_type = g_classes.mimo;
    m.attr("_plant_api") = nb::steal(PyCapsule_New(&g_plant_api, corvane::kPlantApiCapsule, nullptr));

    m.def(
        "_set_native_engines",
        [](bool on) {
            const bool was = g_engines_on;
            g_engines_on = on;
            return was;
        },
        "on"_a, "Switch the simulators' native engines on or off (for tests); returns the previous setting.");

    // -- tools
    m.def(
        "get_model_stp", [](nb::handle y, nb::handle Ts, nb::handle n) { return get_model_stp(y, Ts, n); },
        "yu_model"_a.none(), "Ts"_a.none() = 1, "length"_a.none() = 300,
        "Unit-step response of every (CV, MV) pair, each simulated alone from rest; flat responses are [].");
    m.def(
        "plot_model_stp", [](nb::handle y, nb::handle Ts, nb::handle n) { return plot_model_stp(y, Ts, n); },
        "yu_model"_a.none(), "Ts"_a.none() = 1, "plotLen"_a.none() = 300,
        "Draw the step responses, CVs in rows and MVs in columns; nothing when matplotlib is absent.");
    install_signatures(m);
}

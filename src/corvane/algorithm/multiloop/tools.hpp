// Step-response tools.
#pragma once

#include "mimo.hpp"

namespace corvane::multiloop {

using namespace nb::literals;

// max(values) - min(values) < 1e-06, with the interpreter's max and min.
inline bool flat_response(nb::handle lst) {
    nb::module_ bi = nb::module_::import_("builtins");
    return compare(bi.attr("max")(lst) - bi.attr("min")(lst), nb::float_(1e-06), Py_LT);
}

inline nb::object get_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle length) {
    check_arg(yu_model, &PyDict_Type, "yu_model");
    check_arg(Ts, &PyLong_Type, "Ts");
    check_arg(length, &PyLong_Type, "length");
    const Py_ssize_t n = PyLong_AsSsize_t(length.ptr());
    if (n == -1 && PyErr_Occurred()) raise_pending();
    auto tags = model_tags(yu_model);
    if (n > 0)  // every response is kept: a list of n floats per pair
        check_fits((unsigned long long) n * nb::len(tags.first) * nb::len(tags.second),
                   sizeof(PyObject*) + sizeof(PyFloatObject), "step responses");
    nb::dict result;
    for (nb::handle cv : tags.first) {
        nb::dict inner;
        for (nb::handle mv : tags.second) inner[mv] = nb::list();
        result[cv] = inner;
    }
    nb::object zero = nb::float_(0.0);
    for (nb::handle cv : tags.first) {
        nb::object cv_models = yu_model[cv];
        for (nb::handle mv : tags.second) {
            nb::dict pair, one;
            pair[mv] = map_get(cv_models, mv, nb::dict());
            one[cv] = pair;
            nb::dict ini;
            ini[cv] = zero;
            ini[mv] = zero;
            nb::object sim = nb::handle((PyObject*) g_classes.mimo)(one, ini, Ts);
            PyMIMO& s = mimo_of(sim);
            nb::dict u, v;
            u[mv] = nb::float_(1.0);
            nb::list out;
            for (Py_ssize_t k = 0; k < n; ++k) out.append(mimo_call(sim, s, u, v)[cv]);
            nb::object inner = result[cv];
            inner[mv] = flat_response(out) ? nb::list() : out;
        }
    }
    return result;
}

inline nb::object plot_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle plotLen) {
    check_arg(yu_model, &PyDict_Type, "yu_model");
    check_arg(Ts, &PyLong_Type, "Ts");
    check_arg(plotLen, &PyLong_Type, "plotLen");
    nb::object spec = nb::module_::import_("importlib.util").attr("find_spec")("matplotlib");
    if (spec.is_none()) return nb::none();
    nb::object stp = get_model_stp(yu_model, Ts, plotLen);
    nb::module_ plt = nb::module_::import_("matplotlib.pyplot");
    nb::module_ gridspec = nb::module_::import_("matplotlib.gridspec");
    nb::module_ mpl = nb::module_::import_("matplotlib");
    nb::object rc = mpl.attr("rcParams");
    nb::list fonts;
    fonts.append("SimHei");
    rc["font.sans-serif"] = fonts;
    rc["axes.unicode_minus"] = false;
    auto tags = model_tags(yu_model);
    const size_t cv_num = nb::len(tags.first), mv_num = nb::len(tags.second);
    plt.attr("figure")("figsize"_a = nb::make_tuple(5 * mv_num, 5 * cv_num), "facecolor"_a = "w",
                       "tight_layout"_a = true);
    nb::object gs = gridspec.attr("GridSpec")(cv_num, mv_num);
    size_t plot_num = 0;
    for (nb::handle cv : tags.first) {
        for (nb::handle mv : tags.second) {
            plt.attr("subplot")(gs[nb::int_(plot_num)]);
            nb::object data = stp[cv][mv];
            plt.attr("plot")(data);
            plt.attr("title")(nb::str("{}-{}").format(cv, mv), "fontsize"_a = 11);
            plt.attr("grid")(true);
            const int size = nb::len(data) == 0 ? 0 : 15;
            plt.attr("yticks")("fontsize"_a = size);
            plt.attr("xticks")("fontsize"_a = size);
            ++plot_num;
        }
    }
    plt.attr("show")();
    return nb::none();
}

}  // namespace corvane::multiloop

// corvane.algorithm.smoothing: sFilter, a continuous transfer function run
// sample by sample (zero-order hold, one time unit per call).
#include "bindkit.hpp"
#include "sfilter_object.hpp"

#include <algorithm>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

using SF = SFilterObject;

std::vector<double> reals_of(nb::handle seq) {
    nb::list items = nb::cast<nb::list>(seq.attr("tolist")());
    std::vector<double> out;
    out.reserve(items.size());
    for (nb::handle x : items) out.push_back(to_double(x));
    return out;
}

// sFilter(u): one sample; the argument converted as float() converts it.
PyObject* sfilter_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"u", nullptr};
    PyObject* u = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:sFilter", (char**) kwlist, &u)) return nullptr;
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "sFilter(): the object is not initialised");
        return nullptr;
    }
    double x;
    if (!as_double(u, x)) return nullptr;
    return PyFloat_FromDouble(nb::inst_ptr<SF>(self)->step(x));
}

PyType_Slot sfilter_slots[] = {{Py_tp_call, (void*) sfilter_call}, {0, nullptr}};

}  // namespace

NB_MODULE(smoothing, m) {
    m.doc() = "Smoothing filters for block outputs.";

    nb::class_<SF> cls(m, "sFilter", nb::type_slots(sfilter_slots),
                       "Continuous transfer function num(s)/den(s) (descending powers of s), discretised with a\n"
                       "zero-order hold at one time unit per call and seeded as if input u_ini and output y_ini\n"
                       "had always held. Call it with one number to get the filtered value.");

    cls.def(
        "__init__",
        [](SF* p, nb::handle num, nb::handle den, nb::handle u_ini, nb::handle y_ini) {
            const double u0 = to_double(u_ini), y0 = to_double(y_ini);
            nb::module_ sig = nb::module_::import_("scipy.signal");
            nb::object d = sig.attr("cont2discrete")(nb::make_tuple(num, den), 1.0, "method"_a = "zoh");
            std::vector<double> b = reals_of(d[0][0]), a = reals_of(d[1]);
            if (corvane::check_filter(b.size(), a.size(), a.empty() ? 0.0 : a[0]) != corvane::FilterError::none)
                raise(PyExc_ValueError, "sFilter: the discretised transfer function is not usable");
            nb::list ys, xs;
            for (size_t i = 1; i < a.size(); ++i) ys.append(y0);
            for (size_t i = 1; i < b.size(); ++i) xs.append(u0);
            std::vector<double> zi = reals_of(sig.attr("lfiltic")(d[0][0], d[1], ys, xs));
            if (zi.size() != std::max(a.size(), b.size()) - 1)
                raise(PyExc_ValueError, "sFilter: unexpected initial state");
            new (p) SF();
            p->assign(std::move(b), std::move(a));
            std::copy(zi.begin(), zi.end(), p->f.state_mut().begin());
        },
        "num"_a.none(), "den"_a.none(), "u_ini"_a.none() = 0.0, "y_ini"_a.none() = 0.0,
        nb::sig("def __init__(self, num: typing.Sequence[float], den: typing.Sequence[float], u_ini: float = 0.0, "
                "y_ini: float = 0.0) -> None"));

    def_pickle<SF>(
        cls, [](SF& s) { return s.state(); }, [](SF& s, nb::handle st) { s.restore(StateView(st, 3, "sFilter")); });
    install_signatures(m);
}

// corvane.algorithm.phasefilter: the lead-lag filter block and its step response.
#include "bindkit.hpp"

#include <corvane/leadlag.hpp>

#include "blockapi.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <tuple>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

const char* const kNonNegative = "Expected a non-negative value.";

// A numpy float64 made before the value is known, so that nothing can fail
// after the state has changed.
void set_float64(nb::handle f64, double v) { reinterpret_cast<PyFloatObject*>(f64.ptr())->ob_fval = v; }

// A held buffer view, released however its owner's construction ends.
struct BufferHold {
    Py_buffer v{};
    bool held = false;
    BufferHold() = default;
    BufferHold(const BufferHold&) = delete;
    BufferHold& operator=(const BufferHold&) = delete;
    void release() {
        if (held) PyBuffer_Release(&v);
        held = false;
    }
    ~BufferHold() { release(); }
};

// A block of samples: a one-dimensional buffer of doubles read in place, or
// any other sequence converted item by item (as float() converts a number).
// `last` is the block's last item as u[-1] gives it.
class InputBlock {
  public:
    explicit InputBlock(nb::handle u) {
        if (PyObject_CheckBuffer(u.ptr())) {
            if (PyObject_GetBuffer(u.ptr(), &buf_.v, PyBUF_STRIDES | PyBUF_FORMAT) == 0) {
                buf_.held = true;
                const Py_buffer& view_ = buf_.v;
                if (view_.ndim != 1)
                    raise(PyExc_ValueError, "expected a one-dimensional block of samples, got %d dimensions",
                          view_.ndim);
                if (native_f64(view_) && view_.strides[0] % 8 == 0) {
                    data_ = static_cast<const double*>(view_.buf);
                    stride_ = view_.strides[0] / 8;
                    n_ = (size_t) view_.shape[0];
                    if (n_) {
                        PyObject* it = PySequence_GetItem(u.ptr(), (Py_ssize_t) n_ - 1);
                        if (it) {
                            last_ = nb::steal(it);
                        } else {
                            PyErr_Clear();
                            last_ = make_float64(data_[(std::ptrdiff_t) (n_ - 1) * stride_]);
                        }
                    }
                    return;
                }
                buf_.release();
            } else {
                PyErr_Clear();
            }
        }
        if (!PySequence_Check(u.ptr()))
            raise(PyExc_TypeError, "expected a sequence of numbers, got %.200s", tp_name_of(u));
        PyObject* l = PySequence_List(u.ptr());  // our own list: items cannot change under us
        if (!l) raise_pending();
        nb::object list = nb::steal(l);
        n_ = (size_t) PyList_GET_SIZE(l);
        owned_.resize(n_);
        for (size_t i = 0; i < n_; ++i) owned_[i] = to_double(nb::borrow(PyList_GET_ITEM(l, (Py_ssize_t) i)));
        if (n_) last_ = nb::borrow(PyList_GET_ITEM(l, (Py_ssize_t) n_ - 1));
        data_ = owned_.data();
    }
    InputBlock(const InputBlock&) = delete;
    InputBlock& operator=(const InputBlock&) = delete;

    const double* data() const { return data_; }
    std::ptrdiff_t stride() const { return stride_; }
    size_t size() const { return n_; }
    const nb::object& last() const { return last_; }

  private:
    BufferHold buf_;
    std::vector<double> owned_;
    const double* data_ = nullptr;
    std::ptrdiff_t stride_ = 1;
    size_t n_ = 0;
    nb::object last_;
};

corvane::LeadLagCoeffs coefficients(double alpha, double tao, double Ts) {
    corvane::LeadLagCoeffs c;
    switch (corvane::leadlag_coefficients(alpha, tao, Ts, c)) {
        case corvane::LeadLagError::none: break;
        case corvane::LeadLagError::out_of_domain: raise(PyExc_ValueError, "%s", kNonNegative);
        case corvane::LeadLagError::not_finite:
            raise(PyExc_ValueError, "LDLAG coefficients are not finite (alpha=%R, tao=%R, Ts=%R)",
                  nb::float_(alpha).ptr(), nb::float_(tao).ptr(), nb::float_(Ts).ptr());
    }
    return c;
}

struct PyLDLAG;
struct CallBody {
    PyObject* operator()(nb::handle, PyLDLAG& s, PyObject* (&a)[1]) const;
};

struct PyLDLAG : ObjectFields<PyLDLAG> {
    vectorcallfunc vectorcall = instance_call<PyLDLAG, 1, CallBody>;  // the instance's vectorcall slot
    corvane::LeadLag core;
    // What Python sees, as stored; the doubles beside them do the arithmetic.
    nb::object alpha_obj = nb::none(), tao_obj = nb::none(), Ts_obj = nb::none();
    nb::object u_obj = nb::none(), y_obj = nb::none();  // last input and output, or None
    double alpha = 0.0, tao = 5.0, Ts = 1.0;

    // _modify_param: coefficients from alpha, tao, Ts; the state re-seeded from
    // the last input and output when both are known, else left unseeded.
    void modify_param() {
        nb::object u = u_obj, y = y_obj;  // strong: the conversions may run Python code
        const bool seed = !u.is_none() && !y.is_none();
        double uv = 0.0, yv = 0.0;
        if (seed) {
            yv = to_double(y);
            uv = to_double(u);
        }
        const corvane::LeadLagCoeffs c = coefficients(alpha, tao, Ts);
        core.set(c);
        if (seed) core.seed(uv, yv);
    }

    nb::object zi() const {
        if (!core.seeded) return nb::none();
        const auto& z = core.f.state();
        return float64_array(z.data(), z.size());
    }

    std::array<nb::object*, 5> fields() { return {&alpha_obj, &tao_obj, &Ts_obj, &u_obj, &y_obj}; }
};

// A parameter value as stored by the properties: float or int (bool included).
double real_param(nb::handle v, const char* name) {
    PyTypeObject* t = Py_TYPE(v.ptr());
    if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr()))
        raise(PyExc_TypeError, "%s must be a float or an int, got %.200s", name, t->tp_name);
    return to_double(v);
}

// ---------------------------------------------------------------------------
// positive_parameter_property: fget/fset are functools.partial objects over the
// two functions below, so the property works on any class and its captured
// name and type take part in garbage collection.

PyObject* g_parameter_get = nullptr;  // the module's two functions, kept for the module's life
PyObject* g_parameter_set = nullptr;

nb::object parameter_get(nb::handle storage, nb::handle obj) { return nb::getattr(obj, storage); }

void parameter_set(nb::handle name, nb::handle storage, nb::handle expected, nb::handle obj, nb::handle value) {
    int ok = PyObject_IsInstance(value.ptr(), expected.ptr());
    if (ok < 0) raise_pending();
    if (!ok) {
        nb::object msg = nb::str("{} must be a {}").attr("format")(name, expected);
        PyErr_SetObject(PyExc_TypeError, msg.ptr());
        raise_pending();
    }
    nb::object zero = nb::int_(0);
    if (compare(value, zero, Py_LT)) raise(PyExc_ValueError, "%s", kNonNegative);
    if (PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr())))
        raise(PyExc_ValueError, "%s", kNonNegative);
    // Compared with the stored value, which must exist (AttributeError otherwise).
    nb::object old = nb::getattr(obj, storage);
    PyObject* ne = PyObject_RichCompare(value.ptr(), old.ptr(), Py_NE);
    if (!ne) raise_pending();
    int differs = PyObject_IsTrue(ne);
    Py_DECREF(ne);
    if (differs < 0) raise_pending();
    if (!differs) return;
    if (PyObject_SetAttr(obj.ptr(), storage.ptr(), value.ptr()) < 0) raise_pending();
    PyObject* r = PyObject_CallMethod(obj.ptr(), "_modify_param", nullptr);
    if (r) {
        Py_DECREF(r);
        return;
    }
    // A failed recomputation takes the new value back out.
    PyObject* exc = PyErr_GetRaisedException();
    if (PyObject_SetAttr(obj.ptr(), storage.ptr(), old.ptr()) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    raise_pending();
}

nb::object make_property(nb::handle name, nb::handle expected) {
    nb::object storage = nb::steal(PyNumber_Add(nb::str("_").ptr(), name.ptr()));
    if (!storage.is_valid()) raise_pending();
    nb::object partial = nb::module_::import_("functools").attr("partial");
    nb::object fget = partial(nb::handle(g_parameter_get), storage);
    nb::object fset = partial(nb::handle(g_parameter_set), name, storage, expected);
    nb::object doc = nb::str("Non-negative parameter, stored in '{}'.").attr("format")(storage);
    return nb::module_::import_("builtins").attr("property")(fget, fset, nb::none(), doc);
}

// ---------------------------------------------------------------------------

const char* kLDLAGDoc =
    "增益为 1 的一阶超前滞后滤波器。\n"
    "\n"
    "filter = (alpha*tao*s+1)/(tao*s+1)\n"
    "alpha = 0 时，filter = 1/(tao*s+1)\n"
    "alpha: 滤波器单位阶跃响应的起点\n"
    "tao: 时间常数\n"
    "滤波器参数 alpha 和 tao 可以随时修改。";

const char* kFilterStpDoc =
    "wk = (alpha*tao*s+1)/(tao*s+1)\n"
    "\n"
    "N (int): 长度\n"
    "tao (float): 滤波时间常数\n"
    "alpha (float): 起始位置\n"
    "r1 (float, 可选): 轨迹起点，默认 0.0\n"
    "r2 (float, 可选): 轨迹终点，默认 1.0\n"
    "\n"
    "返回: 单位阶跃响应 (ndarray)";

PyObject* CallBody::operator()(nb::handle, PyLDLAG& s, PyObject* (&a)[1]) const {
    const double u = to_double(a[0]);
    nb::object y = make_float64(0.0);
    set_float64(y, s.core.step(u));
    // The old objects are released only once the new state is complete.
    nb::object old_u = std::move(s.u_obj), old_y = std::move(s.y_obj);
    s.u_obj = nb::borrow(a[0]);
    s.y_obj = y;
    return y.release().ptr();
}

// The closed-loop runner's access (blockapi.hpp): the filter and its last
// sample, which every sample replaces (a float input, a float64 output).
corvane::BlockApi<corvane::LeadLagRun> g_block_api{corvane::kBlockApiVersion, nullptr,
                                                   [](PyObject* obj, corvane::LeadLagRun* run) {
                                                       if (Py_TYPE(obj) != g_block_api.type || !nb::inst_ready(obj))
                                                           return 0;
                                                       run->core = nb::inst_ptr<PyLDLAG>(obj)->core;
                                                       return 1;
                                                   },
                                                   [](PyObject* obj, const corvane::LeadLagRun* run) {
                                                       PyLDLAG& s = *nb::inst_ptr<PyLDLAG>(obj);
                                                       nb::object u = nb::steal(PyFloat_FromDouble(run->u));
                                                       if (!u.is_valid()) return -1;
                                                       nb::object y;
                                                       try {
                                                           y = make_float64(run->y);
                                                       } catch (nb::python_error& e) {
                                                           e.restore();
                                                           return -1;
                                                       }
                                                       s.core = run->core;
                                                       nb::object old_u = std::move(s.u_obj),
                                                                  old_y = std::move(s.y_obj);
                                                       s.u_obj = std::move(u);
                                                       s.y_obj = std::move(y);
                                                       return 0;
                                                   }};

}  // namespace

NB_MODULE(phasefilter, m) {
    m.doc() = "First-order lead-lag filter block and its ideal step response.";
    m.attr("np") = numpy_mod();
    m.attr("signal") = from_import("scipy", "signal");

    m.def(
        "filter_stp",
        [](nb::handle N, nb::handle tao, nb::handle alpha, nb::handle r1, nb::handle r2) {
            const double t = to_double(tao), al = to_double(alpha), a = to_double(r1), b = to_double(r2);
            check_arg(N, &PyLong_Type, "N");
            Py_ssize_t n = PyLong_AsSsize_t(N.ptr());
            if (n == -1 && PyErr_Occurred()) raise_pending();
            if (n < 0) {
                if (t > 0.0)
                    n = 0;  // an empty range of sample times
                else
                    raise(PyExc_ValueError, "negative dimensions are not allowed");
            }
            if ((size_t) n <= (size_t) PY_SSIZE_T_MAX / sizeof(double))  // else numpy's own error
                check_fits((unsigned long long) n, sizeof(double), "filter_stp response");
            double* y;
            nb::object out = new_float64_array((size_t) std::max<Py_ssize_t>(n, 0), y);
            corvane::leadlag_step_response((size_t) std::max<Py_ssize_t>(n, 0), t, al, a, b, y);
            return out;
        },
        "N"_a.none(), "tao"_a.none(), "alpha"_a.none(), "r1"_a.none() = 0.0, "r2"_a.none() = 1.0,
        nb::sig("def filter_stp(N: int, tao: float, alpha: float, r1: float = 0.0, r2: float = 1.0) "
                "-> numpy.typing.NDArray[numpy.float64]"),
        kFilterStpDoc);

    m.def("_parameter_get", &parameter_get, "storage"_a.none(), "obj"_a.none(),
          "Getter of positive_parameter_property.");
    m.def("_parameter_set", &parameter_set, "name"_a.none(), "storage"_a.none(), "expected_type"_a.none(),
          "obj"_a.none(), "value"_a.none(), "Setter of positive_parameter_property.");
    g_parameter_get = m.attr("_parameter_get").inc_ref().ptr();
    g_parameter_set = m.attr("_parameter_set").inc_ref().ptr();
    m.def("positive_parameter_property", &make_property, "name"_a.none(), "expected_type"_a.none(),
          nb::sig("def positive_parameter_property(name: str, expected_type: type | tuple[type, ...]) -> property"),
          "A property for a non-negative parameter `name`, stored in '_' + name; assigning a value checks its\n"
          "type against `expected_type` and its sign, and calls the owner's _modify_param() when it changes.");

    nb::class_<PyLDLAG> cls(m, "LDLAG", nb::dynamic_attr(), nb::is_weak_referenceable(),
                            nb::type_slots(gc_slots<PyLDLAG>), kLDLAGDoc);

    def_call<PyLDLAG>(cls, std::array<const char*, 1>{"u"}, 1, "($self, u)",
                      "One sample: the filtered output (numpy float64) for input u.", CallBody{});

    cls.def(
        "__init__",
        [](PyLDLAG* p, nb::handle alpha, nb::handle tao, nb::handle Ts, nb::handle u_ini, nb::handle y_ini) {
            const double a = to_double(alpha), t = to_double(tao);
            check_arg(Ts, &PyLong_Type, "Ts");
            PyLDLAG s;
            s.Ts = to_double(Ts);
            s.Ts_obj = nb::borrow(Ts);
            s.alpha = a;
            s.alpha_obj = nb::float_(a);
            s.tao = t;
            s.tao_obj = nb::float_(t);
            s.u_obj = nb::borrow(u_ini);
            s.y_obj = nb::borrow(y_ini);
            s.modify_param();
            new (p) PyLDLAG(std::move(s));
        },
        "alpha"_a.none() = 0.0, "tao"_a.none() = 5.0, "Ts"_a.none() = 1, "u_ini"_a.none() = nb::none(),
        "y_ini"_a.none() = nb::none(),
        nb::sig("def __init__(self, alpha: float = 0.0, tao: float = 5.0, Ts: int = 1, u_ini: float | None = None, "
                "y_ini: float | None = None) -> None"));

    cls.def(
        "multi_step",
        [](PyLDLAG& s, nb::handle u) {
            InputBlock in(u);
            const size_t n = in.size();
            if (n == 0) {
                // As u[0] (unseeded) or u[-1] (after filtering nothing) fails.
                PyObject* it = PySequence_GetItem(u.ptr(), s.core.seeded ? -1 : 0);
                if (it) {
                    Py_DECREF(it);
                    raise(PyExc_IndexError, "index out of range");
                }
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) {
                    PyErr_Clear();
                    raise(PyExc_IndexError, "index out of range");
                }
                raise_pending();
            }
            double* y;
            nb::object out = new_float64_array(n, y);
            nb::object y_last = make_float64(0.0);
            s.core.run(in.data(), in.stride(), y, n);
            set_float64(y_last, y[n - 1]);
            nb::object old_u = std::move(s.u_obj), old_y = std::move(s.y_obj);
            s.u_obj = in.last();
            s.y_obj = y_last;
            return out;
        },
        "u"_a.none(), nb::sig("def multi_step(self, u: typing.Sequence[float]) -> numpy.typing.NDArray[numpy.float64]"),
        "Filter a block of consecutive samples; the same outputs as calling the filter on each in turn.");

    cls.def(
        "_modify_param", [](PyLDLAG& s) { s.modify_param(); },
        "Recompute the coefficients from _alpha, _tao and _Ts; re-seed from _u_ini and _y_ini when both are set.");

    auto param = [&](const char* name, nb::object PyLDLAG::* obj, double PyLDLAG::* val) {
        cls.def_prop_rw(
            name, [obj](PyLDLAG& s) { return s.*obj; },
            [obj, val, name](PyLDLAG& s, nb::handle v) {
                const double d = real_param(v, name);
                nb::object old = std::move(s.*obj);
                s.*obj = nb::borrow(v);
                s.*val = d;
            });
    };
    param("_alpha", &PyLDLAG::alpha_obj, &PyLDLAG::alpha);
    param("_tao", &PyLDLAG::tao_obj, &PyLDLAG::tao);
    cls.def_prop_rw(
        "_Ts", [](PyLDLAG& s) { return s.Ts_obj; },
        [](PyLDLAG& s, nb::handle v) {
            check_arg(v, &PyLong_Type, "Ts");
            const double d = to_double(v);
            nb::object old = std::move(s.Ts_obj);
            s.Ts_obj = nb::borrow(v);
            s.Ts = d;
        });
    auto last = [&](const char* name, nb::object PyLDLAG::* obj) {
        cls.def_prop_rw(
            name, [obj](PyLDLAG& s) { return s.*obj; },
            [obj](PyLDLAG& s, nb::handle v) {
                nb::object old = std::move(s.*obj);
                s.*obj = nb::borrow(v);
            });
    };
    last("_u_ini", &PyLDLAG::u_obj);
    last("_y_ini", &PyLDLAG::y_obj);
    cls.def_prop_ro("_b", [](PyLDLAG& s) { return float64_array(s.core.c.b, s.core.c.nb); });
    cls.def_prop_ro("_a", [](PyLDLAG& s) { return float64_array(s.core.c.a, s.core.c.na); });
    cls.def_prop_rw(
        "_zi", [](PyLDLAG& s) { return s.zi(); },
        [](PyLDLAG& s, nb::handle v) {
            if (v.is_none()) {
                s.core.seeded = false;
                return;
            }
            InputBlock in(v);
            const size_t k = s.core.c.state_size();
            if (in.size() != k) raise(PyExc_ValueError, "_zi must hold %zu values, got %zu", k, in.size());
            auto z = s.core.f.state_mut();
            for (size_t i = 0; i < k; ++i) z[i] = in.data()[(std::ptrdiff_t) i * in.stride()];
            s.core.seeded = true;
        });

    nb::object real_types = nb::make_tuple(nb::handle((PyObject*) &PyFloat_Type), nb::handle((PyObject*) &PyLong_Type));
    cls.attr("alpha") = make_property(nb::str("alpha"), real_types);
    cls.attr("tao") = make_property(nb::str("tao"), real_types);

    def_pickle<PyLDLAG>(
        cls,
        [](PyLDLAG& s) {
            const auto& c = s.core.c;
            nb::object zi = nb::none();
            if (s.core.seeded) {
                nb::list l;
                for (double v : s.core.f.state()) l.append(v);
                zi = nb::tuple(l);
            }
            nb::object b = c.nb == 2 ? nb::make_tuple(c.b[0], c.b[1]) : nb::make_tuple(c.b[0]);
            nb::object a = c.na == 2 ? nb::make_tuple(c.a[0], c.a[1]) : nb::make_tuple(c.a[0]);
            return nb::make_tuple(s.alpha_obj, s.tao_obj, s.Ts_obj, s.u_obj, s.y_obj, b, a, zi);
        },
        [](PyLDLAG& s, nb::handle st) {
            StateView sv(st, 8, "LDLAG");
            auto param_at = [&](Py_ssize_t i) {
                nb::object o = sv.item(i);
                PyTypeObject* t = Py_TYPE(o.ptr());
                if (t != &PyFloat_Type && t != &PyLong_Type && t != &PyBool_Type && t != float64_type())
                    sv.fail_at(i, PyExc_TypeError, "expected float, got %.200s", t->tp_name);
                return std::make_pair(o, to_double(o));
            };
            std::tie(s.alpha_obj, s.alpha) = param_at(0);
            std::tie(s.tao_obj, s.tao) = param_at(1);
            s.Ts_obj = sv.typed(2, &PyLong_Type);
            s.Ts = to_double(s.Ts_obj);
            s.u_obj = sv.item(3);
            s.y_obj = sv.item(4);
            const std::vector<double> b = sv.reals(5), a = sv.reals(6);
            if (b.empty() || b.size() > 2) sv.fail_at(5, PyExc_ValueError, "expected 1 or 2 coefficients");
            if (a.empty() || a.size() > 2) sv.fail_at(6, PyExc_ValueError, "expected 1 or 2 coefficients");
            if (a[0] == 0.0) sv.fail_at(6, PyExc_ValueError, "a[0] must not be zero");
            corvane::LeadLagCoeffs c;
            c.nb = b.size();
            c.na = a.size();
            std::copy(b.begin(), b.end(), c.b);
            std::copy(a.begin(), a.end(), c.a);
            s.core.set(c);
            if (!sv.item(7).is_none()) {
                const std::vector<double> z = sv.reals(7);
                if (z.size() != c.state_size())
                    sv.fail_at(7, PyExc_ValueError, "expected %zu values, got %zu", c.state_size(), z.size());
                std::copy(z.begin(), z.end(), s.core.f.state_mut().begin());
                s.core.seeded = true;
            }
        });

    g_block_api.type = (PyTypeObject*) cls.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.phasefilter._block_api_LDLAG", &g_block_api) < 0)
        raise_pending();
    install_signatures(m);
}

// corvane.algorithm.loopcontrol: the PID block.
#include "bindkit.hpp"
#include "blockapi.hpp"

#include <corvane/pid.hpp>

#include <array>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

constexpr const char* kSavedNames[7] = {"_OP_save",    "_OPcal_save", "_dOP_save", "_dOP_P_save",
                                        "_dOP_I_save", "_dOP_D_save", "_dFF_save"};
constexpr const char* kSavedKeys[7] = {"OP", "OPcal", "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF"};

// A tuning value kept as the caller's object, with its double for the arithmetic.
struct Param {
    nb::object obj;
    double value = NAN;
    bool simple = true;    // native arithmetic on `value` gives what the interpreter's gives on `obj`
    bool integer = false;  // an int (a product of two stays exact only while small)

    void assign(nb::handle h) {
        double v = NAN;
        bool f64 = false;
        simple = simple_number(h.ptr(), v, f64);
        integer = simple && PyLong_CheckExact(h.ptr());
        if (!simple && small_int64(h.ptr(), v)) simple = integer = true;
        obj = nb::borrow(h);
        value = simple ? v : NAN;
    }

    // A numpy int64 a double holds exactly: numpy's arithmetic on it is native
    // (products stay within int64 while they stay below 2^53).
    static bool small_int64(PyObject* o, double& v) {
        static PyTypeObject* tp = (PyTypeObject*) nb::object(numpy_mod().attr("int64")).release().ptr();
        if (Py_TYPE(o) != tp) return false;
        nb::object i = nb::steal(PyNumber_Index(o));
        bool f64 = false;
        const bool ok = i.is_valid() && simple_number(i.ptr(), v, f64);
        PyErr_Clear();
        return ok;
    }
};

// Two int parameters multiply exactly in doubles only while the product is
// below 2^53 (the interpreter's int product is exact).
bool exact_product(const Param& a, const Param& b) {
    return !(a.integer && b.integer) || std::fabs(a.value * b.value) < 0x1p53;
}

struct PyPID;

// The increments computed with the stored objects, as the interpreter computes
// them (exact int division, its own errors), for a tuning that native doubles
// cannot stand for: an int past 2^53, a Fraction, a zero N, None ...
struct ObjectIncrements {
    nb::object KP, TS, TI, TD, N;  // held: the arithmetic may run code that replaces them

    corvane::PIDIncrements operator()(double et, double det, double ddet, double dOPD1) const {
        auto mul = [](nb::handle a, nb::handle b) { return binary_op(PyNumber_Multiply, a, b); };
        auto div = [](nb::handle a, nb::handle b) { return binary_op(PyNumber_TrueDivide, a, b); };
        corvane::PIDIncrements d;
        nb::object zero = nb::int_(0);
        d.P = to_double(mul(KP, nb::float_(det)));
        if (compare(TI, zero, Py_GT)) d.I = to_double(mul(div(mul(KP, TS), TI), nb::float_(et)));
        if (compare(TD, zero, Py_GT)) {
            nb::object tao = div(TD, N);
            nb::object memory = mul(tao, nb::float_(dOPD1));  // in the interpreter's order of evaluation
            nb::object num = binary_op(PyNumber_Add, memory, mul(mul(KP, TD), nb::float_(ddet)));
            nb::object den = binary_op(PyNumber_Add, tao, TS), floor = nb::float_(1e-6);
            d.D = to_double(div(num, py_max(den, floor)));
        }
        return d;
    }
};

struct PyPID {
    corvane::PID core;
    Param TS, KP, TI, TD, N;
    bool native = true;  // the tuning's arithmetic runs on the doubles
    bool has_dyn = false;
    bool has_saved = false;
    // Saved inner state given as arbitrary objects (a direct _setInnerSaveState
    // or _resetPID call); empty while the numeric copy in core.saved is current.
    nb::object saved_objs;

    int traverse(visitproc visit, void* arg) {
        for (const Param* q : {&TS, &KP, &TI, &TD, &N}) Py_VISIT(q->obj.ptr());
        Py_VISIT(saved_objs.ptr());
        return 0;
    }

    // Drops every held object; parameters read as None afterwards.
    void clear() {
        std::vector<nb::object> drop;
        for (Param* q : {&TS, &KP, &TI, &TD, &N}) {
            drop.push_back(std::move(q->obj));
            q->obj = nb::none();
            q->simple = q->integer = false;
        }
        native = false;
        drop.push_back(std::move(saved_objs));
        saved_objs.reset();
    }

    void sync_params() {
        core.TS = TS.value;
        core.KP = KP.value;
        core.TI = TI.value;
        core.TD = TD.value;
        core.N = N.value;
        native = TS.simple && KP.simple && TI.simple && TD.simple && N.simple && exact_product(KP, TS) &&
                 exact_product(KP, TD) && !(core.TD > 0.0 && core.N == 0.0);
    }

    void set_param(nb::handle KP_, nb::handle TI_, nb::handle TD_, nb::handle N_) {
        // Every comparison first, so that a failing one changes nothing.
        nb::object zero = nb::float_(0.0), floor = nb::float_(1e-6);
        nb::handle ti = py_max(TI_, zero), td = py_max(TD_, zero), n = py_max(N_, floor);
        KP.assign(KP_);
        TI.assign(ti);
        TD.assign(td);
        N.assign(n);
        sync_params();
    }

    void set_limits(nb::handle hi, nb::handle lo) {
        if (compare(hi, lo, Py_GE)) {
            double h = to_double(hi), l = to_double(lo);
            core.OP_HI = h;
            core.OP_LO = l;
        } else {
            print_line("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!");
        }
    }

    ObjectIncrements objects() const { return ObjectIncrements{KP.obj, TS.obj, TI.obj, TD.obj, N.obj}; }

    // The Python-visible state after a sample of the core.
    double mark_sampled(double op) {
        has_dyn = has_saved = true;
        saved_objs.reset();
        return op;
    }

    void reset_numeric(double err, double TV, double FF) {
        core.reset(err, TV, FF);
        mark_sampled(0.0);
    }

    double auto_step(double SP, double PV, double FF) {
        return mark_sampled(native ? core.step(SP, PV, FF) : core.step(SP, PV, FF, objects()));
    }

    double run(double MODE, double SP, double PV, double TV, double FF) {
        if (!std::isfinite(MODE)) round_half_even(MODE);  // raises as round() does, before any change
        return mark_sampled(native ? core.run(MODE, SP, PV, TV, FF) : core.run(MODE, SP, PV, TV, FF, objects()));
    }

    nb::object saved_item(int i) const {
        if (saved_objs.is_valid()) return nb::borrow(PyTuple_GET_ITEM(saved_objs.ptr(), i));
        const corvane::PIDSaved& s = core.saved;
        const double v[7] = {s.OP, s.OPcal, s.dOP, s.dOP_P, s.dOP_I, s.dOP_D, s.dFF};
        return nb::float_(v[i]);
    }

    nb::tuple saved_tuple() const {
        if (saved_objs.is_valid()) return nb::borrow<nb::tuple>(saved_objs);
        return nb::make_tuple(saved_item(0), saved_item(1), saved_item(2), saved_item(3), saved_item(4), saved_item(5),
                              saved_item(6));
    }

    void set_saved(nb::tuple items) {
        // Keep the numeric copy in step when every item is a real number.
        corvane::PIDSaved s;
        double* dst[7] = {&s.OP, &s.OPcal, &s.dOP, &s.dOP_P, &s.dOP_I, &s.dOP_D, &s.dFF};
        bool all_float = true;
        for (int i = 0; i < 7; ++i) {
            PyObject* o = PyTuple_GET_ITEM(items.ptr(), i);
            if (PyFloat_CheckExact(o))
                *dst[i] = PyFloat_AS_DOUBLE(o);
            else
                all_float = false;
        }
        if (all_float) {
            core.saved = s;
            saved_objs.reset();
        } else {
            saved_objs = items;
        }
        has_saved = true;
    }
};

const char* kPIDForm =
    "\n"
    "Name: Non-Interacting A\n"
    "Continuous Time:\n"
    "                  1             TD*s\n"
    "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]\n"
    "                TI*s         TD\n"
    "                            -----*s  +  1\n"
    "                              N\n"
    "Discrete: (Backward Euler)\n"
    "\n"
    "    1        TS*z\n"
    "---- = ------------\n"
    "    s        z - 1\n"
    "\n"
    "Default Parameters:\n"
    "Kp = 1.0\n"
    "TI = 60.0\n"
    "TD = 0.0\n"
    "N = 10.0\n"
    "TS = 1\n";

const char* kRunDoc =
    "每个采样时刻执行一次。\n"
    "\n"
    "MODE: 模式，跟踪模式 MODE = 0，自动模式 MODE = 1\n"
    "SP: 设定值\n"
    "PV: 被控变量\n"
    "FF: 前馈变量（输出偏置）\n"
    "TV: 跟踪变量，必须正确给定，通常为实际阀位指令；切换到自动时，OP 的初始值等于 TV\n"
    "返回值 OP: 操纵变量，连接下游";

PyPID& self_of(nb::handle h) { return nb::cast<PyPID&>(h); }

// The closed-loop runner's access: a PID whose tuning runs on doubles.
corvane::BlockApi<corvane::PID> g_block_api{corvane::kBlockApiVersion, nullptr,
                                            [](PyObject* obj, corvane::PID* core) {
                                                if (Py_TYPE(obj) != g_block_api.type || !nb::inst_ready(obj)) return 0;
                                                const PyPID& p = *nb::inst_ptr<PyPID>(obj);
                                                if (!p.native || p.saved_objs.is_valid()) return 0;
                                                *core = p.core;
                                                return 1;
                                            },
                                            [](PyObject* obj, const corvane::PID* core) {
                                                PyPID& p = *nb::inst_ptr<PyPID>(obj);
                                                p.core = *core;
                                                p.mark_sampled(0.0);
                                                return 0;
                                            }};

}  // namespace

NB_MODULE(loopcontrol, m) {
    m.doc() = "Velocity-form PID controller block.";

    nb::class_<PyPID> cls(m, "PID", nb::dynamic_attr(), nb::type_slots(gc_slots<PyPID>),
                          "Incremental (velocity-form) PID controller with tracking, output limits\n"
                          "and a saved inner state. Call run() once per sample.");

    cls.def(
        "__init__",
        [](PyPID* p, nb::handle TS) {
            new (p) PyPID();
            p->TS.assign(TS);
            nb::object d1 = nb::float_(1.0), d60 = nb::float_(60.0), d0 = nb::float_(0.0), d10 = nb::float_(10.0);
            p->set_param(d1, d60, d0, d10);
            p->set_limits(nb::float_(100.0), d0);
        },
        "TS"_a.none() = 1.0, nb::sig("def __init__(self, TS: float = 1.0) -> None"));

    cls.def("getPIDForm", [](PyPID&) { return nb::str(kPIDForm); }, "The control law and its discretisation.");
    cls.def(
        "setPIDParam",
        [](PyPID& p, nb::handle KP, nb::handle TI, nb::handle TD, nb::handle N) { p.set_param(KP, TI, TD, N); },
        "KP"_a.none() = 1.0, "TI"_a.none() = 60.0, "TD"_a.none() = 0.0, "N"_a.none() = 10.0,
        nb::sig("def setPIDParam(self, KP: float = 1.0, TI: float = 60.0, TD: float = 0.0, N: float = 10.0) -> None"),
        "Set the tuning; TI and TD are floored at 0, N at 1e-6. Acts from the next sample.");
    cls.def(
        "getPIDParam", [](PyPID& p) { return nb::make_tuple(p.KP.obj, p.TI.obj, p.TD.obj, p.N.obj); },
        nb::sig("def getPIDParam(self) -> tuple[float, float, float, float]"), "(KP, TI, TD, N) as stored.");
    cls.def(
        "setOPHighLowLimit", [](PyPID& p, nb::handle hi, nb::handle lo) { p.set_limits(hi, lo); }, "OP_HI"_a = 100.0,
        "OP_LO"_a = 0.0, nb::sig("def setOPHighLowLimit(self, OP_HI: float = 100.0, OP_LO: float = 0.0) -> None"),
        "Set both output limits, or neither when OP_HI < OP_LO.");
    cls.def(
        "getOPHighLowLimit", [](PyPID& p) { return nb::make_tuple(p.core.OP_HI, p.core.OP_LO); },
        nb::sig("def getOPHighLowLimit(self) -> tuple[float, float]"), "(OP_HI, OP_LO).");

    struct RunBody {
        PyObject* operator()(nb::handle, PyPID& p, PyObject* (&a)[5]) const {
            const double mode = to_double(a[0]), sp = to_double(a[1]), pv = to_double(a[2]), tv = to_double(a[3]),
                         ff = a[4] ? to_double(a[4]) : 0.0;
            return PyFloat_FromDouble(p.run(mode, sp, pv, tv, ff));
        }
    };
    def_fast<PyPID>(cls, "run", std::array<const char*, 5>{"MODE", "SP", "PV", "TV", "FF"}, 4,
                    "($self, MODE, SP, PV, TV, FF=0.0)", kRunDoc, RunBody{});
    struct AutoBody {
        PyObject* operator()(nb::handle self, PyPID& p, PyObject* (&a)[3]) const {
            const double sp = to_double(a[0]), pv = to_double(a[1]), ff = a[2] ? to_double(a[2]) : 0.0;
            if (!p.has_dyn) raise_no_attribute(self, "_et1");
            return PyFloat_FromDouble(p.auto_step(sp, pv, ff));
        }
    };
    def_fast<PyPID>(cls, "PID_Auto", std::array<const char*, 3>{"SP", "PV", "FF"}, 2, "($self, SP, PV, FF=0.0)",
                    "One automatic sample; needs an initialised state.", AutoBody{});
    cls.def(
        "_resetPID",
        [](PyPID& p, nb::handle SP, nb::handle PV, nb::handle TV, nb::handle FF) {
            double err;
            if (PyFloat_CheckExact(SP.ptr()) && PyFloat_CheckExact(PV.ptr())) {
                err = PyFloat_AS_DOUBLE(SP.ptr()) - PyFloat_AS_DOUBLE(PV.ptr());
            } else {
                PyObject* d = PyNumber_Subtract(SP.ptr(), PV.ptr());
                if (!d) raise_pending();
                nb::object diff = nb::steal(d);
                err = to_double(diff);
            }
            const double tv = to_double(TV), ff = to_double(FF);
            p.reset_numeric(err, tv, ff);
            if (!PyFloat_CheckExact(TV.ptr())) {
                nb::object z = nb::float_(0.0);
                p.saved_objs = nb::make_tuple(TV, TV, z, z, z, z, z);
            }
        },
        "SP"_a, "PV"_a, "TV"_a, "FF"_a,
        nb::sig("def _resetPID(self, SP: float, PV: float, TV: float, FF: float) -> None"),
        "Initialise the dynamic state from one sample.");
    cls.def(
        "_setInnerSaveState",
        [](PyPID& p, nb::handle a, nb::handle b, nb::handle c, nb::handle d, nb::handle e, nb::handle f, nb::handle g) {
            p.set_saved(nb::make_tuple(a, b, c, d, e, f, g));
        },
        "OP_save"_a.none(), "OPcal_save"_a.none(), "dOP_save"_a.none(), "dOP_P_save"_a.none(), "dOP_I_save"_a.none(),
        "dOP_D_save"_a.none(), "dFF_save"_a.none(), "Store the inner state of the last sample.");
    cls.def(
        "getInnerSaveState",
        [](nb::handle self) {
            PyPID& p = self_of(self);
            if (!p.has_saved) raise_no_attribute(self, "_OP_save");
            nb::dict d;
            for (int i = 0; i < 7; ++i) d[kSavedKeys[i]] = p.saved_item(i);
            return d;
        },
        nb::sig("def getInnerSaveState(self) -> dict[str, float]"),
        "The saved inner state of the last sample as a dict.");

    // Settings, as stored.
    cls.def_prop_rw(
        "_iniFlag", [](PyPID& p) { return p.core.ini; }, [](PyPID& p, nb::handle v) { p.core.ini = truth(v); },
        nb::for_setter(nb::arg("value").none()));
    auto param_prop = [&](const char* name, Param PyPID::* field) {
        cls.def_prop_rw(
            name, [field](PyPID& p) { return (p.*field).obj; },
            [field](PyPID& p, nb::handle v) {
                (p.*field).assign(v);
                p.sync_params();
            },
            nb::for_setter(nb::arg("value").none()));
    };
    param_prop("_TS", &PyPID::TS);
    param_prop("_KP", &PyPID::KP);
    param_prop("_TI", &PyPID::TI);
    param_prop("_TD", &PyPID::TD);
    param_prop("_N", &PyPID::N);
    cls.def_prop_rw(
        "_OP_HI", [](PyPID& p) { return p.core.OP_HI; }, [](PyPID& p, nb::handle v) { p.core.OP_HI = to_double(v); });
    cls.def_prop_rw(
        "_OP_LO", [](PyPID& p) { return p.core.OP_LO; }, [](PyPID& p, nb::handle v) { p.core.OP_LO = to_double(v); });

    // Dynamic state: exists from the first initialisation on.
    auto dyn_prop = [&](const char* name, double corvane::PIDState::* field) {
        cls.def_prop_rw(
            name,
            [field, name](nb::handle self) {
                PyPID& p = self_of(self);
                if (!p.has_dyn) raise_no_attribute(self, name);
                return p.core.s.*field;
            },
            [field](PyPID& p, nb::handle v) {
                if (!p.has_dyn) {
                    p.core.s = corvane::PIDState{};
                    p.has_dyn = true;
                }
                p.core.s.*field = to_double(v);
            });
    };
    dyn_prop("_et1", &corvane::PIDState::et1);
    dyn_prop("_et2", &corvane::PIDState::et2);
    dyn_prop("_OP1", &corvane::PIDState::OP1);
    dyn_prop("_FF1", &corvane::PIDState::FF1);
    dyn_prop("_dOPD1", &corvane::PIDState::dOPD1);

    for (int i = 0; i < 7; ++i) {
        const char* name = kSavedNames[i];
        cls.def_prop_ro(name, [i, name](nb::handle self) {
            PyPID& p = self_of(self);
            if (!p.has_saved) raise_no_attribute(self, name);
            return p.saved_item(i);
        });
    }

    def_pickle<PyPID>(
        cls,
        [](PyPID& p) {
            const auto& s = p.core.s;
            nb::object saved = p.has_saved ? nb::object(p.saved_tuple()) : nb::none();
            return nb::make_tuple(p.TS.obj, p.KP.obj, p.TI.obj, p.TD.obj, p.N.obj, p.core.OP_HI, p.core.OP_LO,
                                  p.core.ini, p.has_dyn, nb::make_tuple(s.et1, s.et2, s.OP1, s.FF1, s.dOPD1), saved);
        },
        [](PyPID& p, nb::handle st) {
            StateView t(st, 11, "PID");
            const double hi = t.real(5), lo = t.real(6);
            const bool ini = t.flag(7), dyn = t.flag(8);
            StateView s = t.tuple(9, 5);
            const corvane::PIDState ds{s.real(0), s.real(1), s.real(2), s.real(3), s.real(4)};
            nb::object saved = t.item(10);
            if (!saved.is_none()) StateView(saved, 7, "PID", "10");
            p.TS.assign(t.item(0));
            p.KP.assign(t.item(1));
            p.TI.assign(t.item(2));
            p.TD.assign(t.item(3));
            p.N.assign(t.item(4));
            p.sync_params();
            p.core.OP_HI = hi;
            p.core.OP_LO = lo;
            p.core.ini = ini;
            p.has_dyn = dyn;
            p.core.s = ds;
            if (!saved.is_none()) p.set_saved(nb::borrow<nb::tuple>(saved));
        });
    g_block_api.type = (PyTypeObject*) cls.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.loopcontrol._block_api_PID", &g_block_api) < 0)
        raise_pending();
    install_signatures(m);
}

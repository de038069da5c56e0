// corvane.algorithm.flatline: the constant-signal detector.
#include "bindkit.hpp"

#include <corvane/constdetect.hpp>

#include <array>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

using Detector = corvane::ConstDetector<nb::object>;

struct PyCD;
struct CallBody {
    PyObject* operator()(nb::handle, PyCD& d, PyObject* (&a)[2]) const;
};

struct PyCD {
    vectorcallfunc vectorcall = instance_call<PyCD, 2, CallBody>;
    Detector core;  // the window: the caller's objects with their values

    int traverse(visitproc visit, void* arg) {
        for (auto& r : core.runs) Py_VISIT(r.item.ptr());
        return 0;
    }
    void clear() {
        std::vector<nb::object> dead;
        core.reset([&](nb::object&& o) { dead.push_back(std::move(o)); });
    }
};

// Objects that leave the window are released only after the call has put the
// window in order: their finalisers may run any code, this block included.
struct Released {
    nb::object one;
    std::vector<nb::object> more;
    void operator()(nb::object&& o) {
        if (!one.is_valid())
            one = std::move(o);
        else
            more.push_back(std::move(o));
    }
};

PyObject* g_true = nullptr;   // numpy.True_
PyObject* g_false = nullptr;  // numpy.False_
PyObject* g_deque = nullptr;  // collections.deque

PyObject* CallBody::operator()(nb::handle, PyCD& d, PyObject* (&a)[2]) const {
    Py_ssize_t L = 10;
    if (a[1]) {
        check_arg(a[1], &PyLong_Type, "DectLen");
        L = PyLong_AsSsize_t(a[1]);
        if (L == -1 && PyErr_Occurred()) raise_pending();
        if (L == 0) raise(PyExc_IndexError, "deque index out of range");
        if (L < 0) raise(PyExc_IndexError, "pop from an empty deque");
        if (L > Detector::kMaxLength) raise(PyExc_OverflowError, "DectLen too large");
    }
    double x;
    if (!as_double(a[0], x)) raise_pending();
    Released gone;
    const bool constant = d.core.step(x, nb::borrow(a[0]), L, gone);
    return Py_NewRef(constant ? g_true : g_false);
}

const char* kClassDoc =
    "判断输入数据是否为连续常数（连续数据长度 ≥ DectLen），是则返回 True，否则返回 False。\n"
    "常用于判断看门狗是否持续动作，此时对结果取反使用：心跳计数器停止变化时输入保持不变，\n"
    "返回 True 表示被监视的数据源已停止。";

const char* kCallDoc =
    "Ut: 本周期的输入值\n"
    "DectLen: 检测窗口长度（采样数），整数 ≥ 1，默认 10，可逐次改变\n"
    "返回值: numpy 布尔量，窗口内相邻数据之差的绝对值均小于 1e-6 时为 True";

}  // namespace

NB_MODULE(flatline, m) {
    m.doc() = "Constant-signal detector.";
    nb::object np = import_module("numpy");
    g_true = nb::object(np.attr("True_")).release().ptr();
    g_false = nb::object(np.attr("False_")).release().ptr();
    g_deque = from_import("collections", "deque").release().ptr();
    m.attr("np") = np;
    m.attr("deque") = nb::handle(g_deque);

    nb::class_<PyCD> cls(m, "ConstDect", nb::dynamic_attr(), nb::type_slots(gc_slots<PyCD>), kClassDoc);
    cls.def(nb::init<>());

    def_call<PyCD>(cls, std::array<const char*, 2>{"Ut", "DectLen"}, 1, "($self, Ut, DectLen=10)", kCallDoc,
                   CallBody{});

    cls.def_prop_ro(
        "_U_queue",
        [](PyCD& d) {
            nb::object items = nb::steal(PyList_New((Py_ssize_t) d.core.length));
            if (!items.is_valid()) raise_pending();
            Py_ssize_t k = 0;
            for (auto& r : d.core.runs)
                for (std::int64_t c = 0; c < r.count; ++c) PyList_SET_ITEM(items.ptr(), k++, Py_NewRef(r.item.ptr()));
            return nb::steal(PyObject_CallOneArg(g_deque, items.ptr()));
        },
        nb::sig("def _U_queue(self) -> collections.deque[float]"),
        "A copy of the window, oldest first: the inputs as passed.");

    def_pickle<PyCD>(
        cls,
        [](PyCD& d) {
            nb::object runs = nb::steal(PyTuple_New((Py_ssize_t) d.core.runs.size()));
            if (!runs.is_valid()) raise_pending();
            Py_ssize_t k = 0;
            for (auto& r : d.core.runs)
                PyTuple_SET_ITEM(runs.ptr(), k++, nb::make_tuple(r.item, r.x, r.count).release().ptr());
            return runs;
        },
        [](PyCD& d, nb::handle st) {
            StateView v(st, -1, "ConstDect");
            for (Py_ssize_t i = 0; i < v.size(); ++i) {
                StateView run = v.tuple(i, 3);
                nb::object item = run.item(0);
                const double x = PyFloat_AsDouble(run.typed(1, &PyFloat_Type).ptr());
                const long long n = run.integer(2);
                if (n < 1 || n > Detector::kMaxLength - d.core.length)
                    run.fail_at(2, PyExc_ValueError, "run length out of range");
                d.core.append(x, std::move(item), n);
            }
        });
    install_signatures(m);
}

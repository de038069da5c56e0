// corvane.algorithm.flatline: the constant-signal detector.
#include "bindkit.hpp"

#include <corvane/constdetect.hpp>

#include "blockapi.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

using Detector = corvane::ConstDetector<nb::object>;  // the window: the caller's objects

struct PyCD;
struct CallBody {
    PyObject* operator()(nb::handle, PyCD& d, PyObject* (&a)[2]) const;
};

// Stamps of window changes, so that a call can tell its window was changed by
// Python code it ran (a comparison or arithmetic that calls the detector).
std::uint64_t g_changes = 0;

struct PyCD {
    vectorcallfunc vectorcall = instance_call<PyCD, 2, CallBody>;
    Detector core;  // the window: the caller's objects with their values
    std::uint64_t stamp = ++g_changes;

    int traverse(visitproc visit, void* arg) {
        for (auto& r : core.runs) Py_VISIT(r.item.ptr());
        return 0;
    }
    void clear() {
        std::vector<nb::object> dead;
        core.reset([&](nb::object&& o) { dead.push_back(std::move(o)); });
        stamp = ++g_changes;
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

PyObject* g_true = nullptr;     // numpy.True_
PyObject* g_false = nullptr;    // numpy.False_
PyObject* g_deque = nullptr;    // collections.deque
PyObject* g_tol = nullptr;      // 1e-6
PyObject* g_generic = nullptr;  // numpy.generic, numpy.integer, numpy.complexfloating
PyObject* g_integer = nullptr;
PyObject* g_complex = nullptr;

bool is_a(PyObject* o, PyObject* type) { return PyObject_TypeCheck(o, (PyTypeObject*) type) != 0; }

// numpy holds a window of floats, 64-bit ints and real numpy scalars as a
// numeric array and takes its steps as doubles. Anything else (Decimal,
// Fraction, complex, a larger int ...) makes it an object array, whose steps
// are the objects' own arithmetic. Runs no Python code.
bool plain_value(PyObject* o, double& x) {
    if (PyFloat_Check(o)) {
        x = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_Check(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            x = (double) v;
            return true;
        }
        const unsigned long long u = overflow > 0 ? PyLong_AsUnsignedLongLong(o) : 0;
        if (overflow > 0 && !PyErr_Occurred()) {
            x = (double) u;
            return true;
        }
        PyErr_Clear();
        return false;
    }
    // numpy's own scalar types (a Python subclass could run code in __float__)
    if (!(Py_TYPE(o)->tp_flags & Py_TPFLAGS_HEAPTYPE) && is_a(o, g_generic) && !is_a(o, g_complex) &&
        !PyComplex_Check(o)) {
        if (as_double(o, x)) return true;
        PyErr_Clear();
    }
    return false;
}

// One step of an object array: abs(newer - older) < 1e-6, taken as a truth.
bool object_step(nb::handle older, nb::handle newer) {
    nb::object d = checked(PyNumber_Subtract(newer.ptr(), older.ptr()));
    nb::object m = checked(PyNumber_Absolute(d.ptr()));
    nb::object lt = checked(PyObject_RichCompare(m.ptr(), g_tol, Py_LT));
    const int t = PyObject_IsTrue(lt.ptr());
    if (t < 0) raise_pending();
    return t != 0;
}

// The window lengths a sample with `DectLen` L leaves, n0 entries after its
// first append: the length loops of the algorithm, for any L they can compare.
corvane::WindowBounds window_for(PyObject* L, std::int64_t n0) {
    corvane::WindowBounds w;
    corvane::WindowError e;
    nb::object index;  // a numpy integer's value
    if (L && !PyLong_CheckExact(L) && is_a(L, g_integer)) L = (index = checked(PyNumber_Index(L))).ptr();
    if (!L) {
        e = corvane::window_bounds(n0, std::int64_t{10}, 0, w);
    } else if (PyLong_CheckExact(L) || PyBool_Check(L)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(L, &overflow);
        e = corvane::window_bounds(n0, (std::int64_t) v, overflow, w);
    } else if (PyFloat_CheckExact(L) || Py_TYPE(L) == float64_type()) {
        e = corvane::window_bounds(n0, PyFloat_AS_DOUBLE(L), w);
    } else {  // the interpreter's comparisons, `len(q) < L` and `len(q) > L`
        auto cmp = [L](std::int64_t n, int op) { return compare(checked(PyLong_FromLongLong(n)), L, op); };
        e = corvane::window_bounds_by(
            n0, [&](std::int64_t n) { return cmp(n, Py_LT); }, [&](std::int64_t n) { return cmp(n, Py_GT); }, w);
    }
    switch (e) {
        case corvane::WindowError::none: break;
        case corvane::WindowError::too_long: raise(PyExc_OverflowError, "DectLen too large");
        case corvane::WindowError::pop_empty: raise(PyExc_IndexError, "pop from an empty deque");
        case corvane::WindowError::index_empty: raise(PyExc_IndexError, "deque index out of range");
    }
    return w;
}

// Any sample: Python code may run (comparisons, arithmetic).
[[gnu::noinline]] PyObject* general_call(PyCD& d, PyObject* (&a)[2]) {
    Detector& core = d.core;
    // The window must still be the one measured before it changes.
    const std::uint64_t stamp = d.stamp;
    auto check_unchanged = [&] {
        if (d.stamp != stamp) raise(PyExc_RuntimeError, "ConstDect changed while its input was being compared");
    };
    const std::int64_t length = core.length;
    const corvane::WindowBounds w = window_for(a[1], length + 1);
    check_unchanged();
    nb::object in = nb::borrow(a[0]);
    double x, newest_x;
    const bool plain = plain_value(in.ptr(), x);
    const bool linked = length > 0 && w.keep > core.copies(w.grow);  // its step from the newest entry stays
    bool step_ok = false;
    if (plain && (!linked || plain_value(core.runs.back().item.ptr(), newest_x))) {
        step_ok = linked && Detector::same(core.runs.back().x, x);
    } else {
        if (linked) {
            nb::object newest = core.runs.back().item;  // held: the arithmetic may run any code
            step_ok = object_step(newest, in);
        }
        if (!plain) x = object_step(in, in) ? 0.0 : NAN;  // stands for its step from itself
        check_unchanged();
    }
    Released gone;
    const bool constant = core.step(x, std::move(in), w.grow, w.keep, step_ok, gone);
    d.stamp = ++g_changes;
    return Py_NewRef(constant ? g_true : g_false);
}

bool exact_float(PyObject* o) { return PyFloat_CheckExact(o) || Py_TYPE(o) == float64_type(); }

PyObject* CallBody::operator()(nb::handle, PyCD& d, PyObject* (&a)[2]) const {
    Detector& core = d.core;
    // The usual sample, a float into a window of floats with an int length,
    // runs no Python code and holds nothing (bench_flatline, row "ConstDect
    // DectLen 10 vs plain Python": 36 ns through general_call, 30 ns here).
    if (exact_float(a[0]) && (!a[1] || PyLong_CheckExact(a[1])) &&
        (!core.length || exact_float(core.runs.back().item.ptr()))) {
        int overflow = 0;
        const long long L = a[1] ? PyLong_AsLongLongAndOverflow(a[1], &overflow) : 10;
        if (!overflow && L >= 1 && L <= corvane::kMaxWindow) {
            Released gone;
            const bool constant = core.step(PyFloat_AS_DOUBLE(a[0]), nb::borrow(a[0]), L, gone);
            d.stamp = ++g_changes;
            return Py_NewRef(constant ? g_true : g_false);
        }
    }
    return general_call(d, a);
}

const char* kClassDoc =
    "判断输入数据是否为连续常数（连续数据长度 ≥ DectLen），是则返回 True，否则返回 False。\n"
    "常用于判断看门狗是否持续动作，此时对结果取反使用：心跳计数器停止变化时输入保持不变，\n"
    "返回 True 表示被监视的数据源已停止。";

const char* kCallDoc =
    "Ut: 本周期的输入值\n"
    "DectLen: 检测窗口长度（采样数），整数 ≥ 1，默认 10，可逐次改变\n"
    "返回值: numpy 布尔量，窗口内相邻数据之差的绝对值均小于 1e-6 时为 True";

// The closed-loop runner's access (blockapi.hpp): a window of floats, each
// run's x its value.
corvane::BlockApi<corvane::ConstDectRun> g_block_api{
    corvane::kBlockApiVersion, nullptr,
    [](PyObject* obj, corvane::ConstDectRun* run) {
        if (Py_TYPE(obj) != g_block_api.type || !nb::inst_ready(obj)) return 0;
        const Detector& core = nb::inst_ptr<PyCD>(obj)->core;
        run->runs.clear();
        for (const auto& r : core.runs) {
            PyObject* o = r.item.ptr();
            if (!o || !PyFloat_CheckExact(o)) return 0;
            const double v = PyFloat_AS_DOUBLE(o);
            if (std::memcmp(&r.x, &v, sizeof(double)) != 0) return 0;
            run->runs.push_back({r.x, r.count, {}});
        }
        run->length = core.length;
        run->steady = core.steady;
        return 1;
    },
    [](PyObject* obj, const corvane::ConstDectRun* run) {
        Detector next;
        for (const auto& r : run->runs) {
            const bool repeat = !next.runs.empty() && std::memcmp(&next.runs.back().x, &r.x, sizeof(double)) == 0;
            PyObject* item = repeat ? Py_NewRef(next.runs.back().item.ptr()) : PyFloat_FromDouble(r.x);
            if (!item) return -1;
            next.runs.push_back({r.x, r.count, nb::steal(item)});
        }
        next.length = run->length;
        next.steady = run->steady;
        PyCD& d = *nb::inst_ptr<PyCD>(obj);
        std::swap(d.core, next);  // the old window is released last
        d.stamp = ++g_changes;
        return 0;
    }};

}  // namespace

NB_MODULE(flatline, m) {
    m.doc() = "Constant-signal detector.";
    nb::object np = numpy_mod();
    g_true = nb::object(np.attr("True_")).release().ptr();
    g_false = nb::object(np.attr("False_")).release().ptr();
    g_deque = from_import("collections", "deque").release().ptr();
    g_tol = nb::float_(1e-6).release().ptr();
    g_generic = nb::object(np.attr("generic")).release().ptr();
    g_integer = nb::object(np.attr("integer")).release().ptr();
    g_complex = nb::object(np.attr("complexfloating")).release().ptr();
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

    // State: (runs, steady), each run (item, x, count); up to version 1 the
    // runs alone, their steps compared as numbers.
    def_pickle<PyCD>(
        cls,
        [](PyCD& d) {
            nb::object runs = nb::steal(PyTuple_New((Py_ssize_t) d.core.runs.size()));
            if (!runs.is_valid()) raise_pending();
            Py_ssize_t k = 0;
            for (auto& r : d.core.runs)
                PyTuple_SET_ITEM(runs.ptr(), k++, nb::make_tuple(r.item, r.x, r.count).release().ptr());
            return nb::make_tuple(runs, d.core.steady);
        },
        [](PyCD& d, nb::handle st, long version) {
            Detector& core = d.core;
            StateView top(st, version >= 2 ? 2 : -1, "ConstDect");
            StateView v = version >= 2 ? top.tuple(0) : top;
            for (Py_ssize_t i = 0; i < v.size(); ++i) {
                StateView run = v.tuple(i, 3);
                nb::object item = run.item(0);
                const double x = PyFloat_AsDouble(run.typed(1, &PyFloat_Type).ptr());
                const long long n = run.integer(2);
                if (n < 1 || n > Detector::kMaxLength - core.length)
                    run.fail_at(2, PyExc_ValueError, "run length out of range");
                if (version >= 2)
                    core.append(x, std::move(item), n, false);
                else
                    core.append(x, std::move(item), n);
            }
            if (version >= 2) {
                const long long steady = top.integer(1);
                if (core.length ? steady < 1 || steady > core.length : steady != 0)
                    top.fail_at(1, PyExc_ValueError, "steady length out of range");
                core.steady = steady;
            }
        },
        2);
    g_block_api.type = (PyTypeObject*) cls.ptr();
    if (corvane::export_block_api(m.ptr(), "corvane.algorithm.flatline._block_api_ConstDect", &g_block_api) < 0)
        raise_pending();
    install_signatures(m);
}

// corvane.algorithm.inferential: soft-sensor bias update and lab data recorder.
#include "bindkit.hpp"
#include "sfilter_object.hpp"

#include <corvane/bias_update.hpp>
#include <corvane/lab_recognition.hpp>

#include "inferential/labfile.hpp"
#include "inferential/record_line.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <cmath>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;

namespace {

using SF = SFilterObject;

// Set at module init; kept for the life of the process.
PyObject* g_sfilter_type = nullptr;
PyObject* g_globals = nullptr;  // the module's globals: `time` is read there at each use

// ---------------------------------------------------------------------------
// Shared pieces

// name + suffix; an object cleared by the collector has the empty name.
nb::object with_name(const nb::object& name, const char* suffix) {
    nb::object s = nb::steal(PyUnicode_FromString(suffix));
    if (!s.is_valid()) raise_pending();
    if (!name.is_valid()) return s;
    PyObject* r = PyUnicode_Concat(name.ptr(), s.ptr());
    if (!r) raise_pending();
    return nb::steal(r);
}

[[noreturn]] void raise_named(PyObject* exc, const nb::object& name, const char* suffix) {
    nb::object msg = with_name(name, suffix);
    PyErr_SetObject(exc, msg.ptr());
    raise_pending();
}

nb::object as_deque(const corvane::RingBuffer& r) {
    nb::list items;
    for (size_t i = 0; i < r.size(); ++i) items.append(r.at(i));
    return nb::module_::import_("collections").attr("deque")(items, "maxlen"_a = r.capacity());
}

nb::tuple reals_tuple(const corvane::RingBuffer& r) {
    PyObject* t = PyTuple_New((Py_ssize_t) r.size());
    if (!t) raise_pending();
    nb::tuple out = nb::steal<nb::tuple>(t);
    for (size_t i = 0; i < r.size(); ++i) {
        PyObject* x = PyFloat_FromDouble(r.at(i));
        if (!x) raise_pending();
        PyTuple_SET_ITEM(t, (Py_ssize_t) i, x);
    }
    return out;
}

// A deque's maxlen from an int setting plus `extra`: negative raises
// ValueError, too large OverflowError (as the deque constructor does).
size_t capacity_of(nb::handle len, Py_ssize_t extra) {
    Py_ssize_t n = PyLong_AsSsize_t(len.ptr());
    if (n == -1 && PyErr_Occurred()) raise_pending();
    if (n > PY_SSIZE_T_MAX - extra) raise(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
    n += extra;
    if (n < 0) raise(PyExc_ValueError, "maxlen must be non-negative");
    return (size_t) n;
}

// A capacity read from a state: a non-negative int that fits in memory.
size_t state_capacity(const StateView& sv, Py_ssize_t i) {
    long long n = sv.integer(i);
    if (n < 0 || (unsigned long long) n > (unsigned long long) PY_SSIZE_T_MAX / sizeof(double))
        sv.fail_at(i, PyExc_ValueError, "capacity out of range");
    return (size_t) n;
}

// Every buffer of a SoftSensorBiasUpdate: predictions and their stamps, the lab
// history and the copy of it that the first run keeps to undo itself.
void check_bias_buffers(size_t prd_cap, size_t lab_cap) {
    const size_t most = size_t(1) << 60;  // more entries than any memory holds, and no overflow below
    check_fits(2 * (unsigned long long) std::min(prd_cap, most) + 2 * (unsigned long long) std::min(lab_cap, most),
               sizeof(double), "SoftSensorBiasUpdate buffers");
}

// The lab history of a LabDataRecorder and the copy of it that its first run keeps.
void check_recorder_history(size_t cap) { check_fits(cap, 2 * sizeof(double), "LabDataRecorder history"); }

template <class F>
auto allocating(F f) {
    try {
        return f();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        raise_pending();
    }
}

bool finite(double x) { return std::isfinite(x); }

const char* kNoHistory = "deque index out of range";
const char* kNoDifference = "index 0 is out of bounds for axis 0 with size 0";

// ---------------------------------------------------------------------------
// SoftSensorBiasUpdate

struct PySoftSensor {
    corvane::SoftSensorBias core;
    nb::object name;
    nb::object fil;  // an sFilter object, or invalid for none

    SF* filter() const { return fil.is_valid() ? nb::inst_ptr<SF>(fil) : nullptr; }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(name.ptr());
        Py_VISIT(fil.ptr());
        return 0;
    }
    void clear() {
        name.reset();
        fil.reset();
    }

    // The message of _update_bias when the lab value and lab time are unchanged.
    void report(corvane::SoftSensorBias::Update u) const {
        if (u == corvane::SoftSensorBias::Update::unchanged)
            print_line(with_name(name, ": Bias Update is not triggered, lab_data or lab_time is unchanged."));
    }

    double run(double prd, double lab, double lab_t, double prd_t, bool triggered, double trigger) {
        using Err = corvane::SoftSensorBias::Error;
        auto snap = allocating([&] { return core.snapshot(); });
        const auto r = core.step(prd, lab, lab_t, prd_t, triggered, trigger);
        try {
            if (r.error != Err::none) raise(PyExc_IndexError, r.error == Err::no_history ? kNoHistory : kNoDifference);
            if (r.attempted) report(r.update);
            if (r.first) print_line(with_name(name, ": Bias Update is triggered by the first data."));
        } catch (...) {
            core.restore(snap);
            throw;
        }
        SF* f = filter();
        return f ? f->step(core.bias) : core.bias;
    }
};

const char* kSoftSensorDoc = "软测量偏差校正：预测值（prd_data）与化验值（lab_data）之间的偏差。";

const char* kRunDoc =
    "每个采样周期调用一次，返回应叠加到预测值上的偏差（设置了滤波器时为滤波后的偏差）。\n"
    "\n"
    "prd_data: 当前预测值\n"
    "lab_data: 最新化验值\n"
    "lab_time: 最新化验样品的采样时间（秒）\n"
    "prd_time: 预测值的时间戳（float），None 表示当前时间\n"
    "update_trigger: None 表示自动识别新化验值；float 大于 0.5 时触发更新";

void bind_soft_sensor(nb::module_& m) {
    using P = PySoftSensor;
    nb::class_<P> cls(m, "SoftSensorBiasUpdate", nb::dynamic_attr(), nb::type_slots(gc_slots<P>), kSoftSensorDoc);

    cls.def(
        "__init__",
        [](P* p, nb::handle name, nb::handle filter_tao, nb::handle abs_threshold, nb::handle prd_len,
           nb::handle const_len) {
            check_arg(name, &PyUnicode_Type, "name");
            const double tao = to_double(filter_tao), thr = to_double(abs_threshold);
            check_arg(prd_len, &PyLong_Type, "prd_len");
            check_arg(const_len, &PyLong_Type, "const_len");
            const size_t prd_cap = capacity_of(prd_len, 1), lab_cap = capacity_of(const_len, 2);
            check_bias_buffers(prd_cap, lab_cap);
            corvane::SoftSensorBias core = allocating([&] { return corvane::SoftSensorBias(prd_cap, lab_cap, thr); });
            nb::object fil;
            if (tao > 0.0) {
                nb::list num, den;
                num.append(1);
                den.append(tao);
                den.append(1);
                fil = nb::borrow(g_sfilter_type)(num, den, "u_ini"_a.none() = 0.0, "y_ini"_a.none() = 0.0);
                if (Py_TYPE(fil.ptr()) != (PyTypeObject*) g_sfilter_type || !nb::inst_ready(fil))
                    raise(PyExc_TypeError, "sFilter did not make a filter");
            }
            new (p) P{std::move(core), nb::borrow(name), std::move(fil)};
        },
        "name"_a.none() = "softSensor", "filter_tao"_a.none() = 5.0, "abs_threshold"_a.none() = 1e-6,
        "prd_len"_a.none() = 28800, "const_len"_a.none() = 60,
        nb::sig("def __init__(self, name: str = 'softSensor', filter_tao: float = 5.0, abs_threshold: float = 1e-06, "
                "prd_len: int = 28800, const_len: int = 60) -> None"));

    struct RunBody {
        PyObject* operator()(nb::handle, P& p, PyObject* (&a)[5]) const {
            const double prd = to_double(a[0]), lab = to_double(a[1]), lab_t = to_double(a[2]);
            PyObject* pt = a[3] && a[3] != Py_None ? a[3] : nullptr;
            PyObject* trig = a[4] && a[4] != Py_None ? a[4] : nullptr;
            if (pt) check_arg(pt, &PyFloat_Type, "prd_time");
            if (trig) check_arg(trig, &PyFloat_Type, "update_trigger");
            if (!finite(prd)) raise_named(PyExc_ValueError, p.name, " Bias Update: prd_data is not finite!");
            if (!finite(lab)) raise_named(PyExc_ValueError, p.name, " Bias Update: lab_data is not finite!");
            if (!finite(lab_t)) raise_named(PyExc_ValueError, p.name, " Bias Update: lab_time is not finite!");
            if (pt && !finite(PyFloat_AS_DOUBLE(pt)))
                raise_named(PyExc_ValueError, p.name, " Bias Update: prd_time is not finite!");
            if (trig && !finite(PyFloat_AS_DOUBLE(trig)))
                raise_named(PyExc_ValueError, p.name, " Bias Update: update_trigger is not finite!");
            const double prd_t = pt ? PyFloat_AS_DOUBLE(pt) : to_double(wall_clock(g_globals));
            const double out = p.run(prd, lab, lab_t, prd_t, trig != nullptr, trig ? PyFloat_AS_DOUBLE(trig) : 0.0);
            return PyFloat_FromDouble(out);
        }
    };
    def_fast<P>(cls, "run",
                std::array<const char*, 5>{"prd_data", "lab_data", "lab_time", "prd_time", "update_trigger"}, 3,
                "($self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None)", kRunDoc, RunBody{});

    cls.def(
        "_update_bias",
        [](P& p, nb::handle lab_data, nb::handle lab_time) {
            const double lab = to_double(lab_data), t = to_double(lab_time);
            const auto u = p.core.update_bias(lab, t);
            if (u == corvane::SoftSensorBias::Update::no_history) raise(PyExc_IndexError, kNoHistory);
            p.report(u);
        },
        "lab_data"_a.none(), "lab_time"_a.none(),
        nb::sig("def _update_bias(self, lab_data: float, lab_time: float) -> None"),
        "Set the bias from a lab value and the prediction valid at its sample time.");

    cls.def(
        "get_name", [](P& p) { return p.name.is_valid() ? p.name : nb::none(); },  // an exact str: _name is read-only
        nb::sig("def get_name(self) -> str"), "名称");
    cls.def("get_lab_data", [](P& p) { return p.core.lab_data; }, "当前化验值");
    cls.def("get_lab_time", [](P& p) { return p.core.lab_time; }, "当前化验时间");
    cls.def("get_prd_data_at_labtime", [](P& p) { return p.core.prd_at_lab; }, "化验时间对应的预测值");
    cls.def("get_update_flag", [](P& p) { return p.core.update_flag; }, "偏差是否已更新");
    cls.def("get_bias", [](P& p) { return p.core.bias; }, "偏差值（未经滤波）");

    cls.def_prop_ro("_name", [](P& p) { return p.name.is_valid() ? p.name : nb::none(); });
    cls.def_prop_ro("_prd_data_list", [](P& p) { return as_deque(p.core.prd_data); });
    cls.def_prop_ro("_prd_time_list", [](P& p) { return as_deque(p.core.prd_time); });
    cls.def_prop_ro("_lab_data_list", [](P& p) { return as_deque(p.core.lab.values()); });
    cls.def_prop_ro("_bias", [](P& p) { return p.core.bias; });
    cls.def_prop_ro("_fil", [](P& p) { return p.fil.is_valid() ? p.fil : nb::none(); });
    cls.def_prop_ro("_abs_threshold", [](P& p) { return p.core.abs_threshold; });
    cls.def_prop_ro("_update_flag", [](P& p) { return p.core.update_flag; });
    cls.def_prop_ro("_current_lab_data", [](P& p) { return p.core.lab_data; });
    cls.def_prop_ro("_current_lab_time", [](P& p) { return p.core.lab_time; });
    cls.def_prop_ro("_prd_data_at_labtime", [](P& p) { return p.core.prd_at_lab; });
    cls.def(
        "__sizeof__",
        [](nb::handle self) {
            const P& p = nb::cast<P&>(self);
            return (size_t) Py_TYPE(self.ptr())->tp_basicsize +
                   sizeof(double) *
                       (p.core.prd_data.capacity() + p.core.prd_time.capacity() + p.core.lab.values().capacity());
        },
        "Size in bytes, with the buffers.");

    def_pickle<P>(
        cls,
        [](P& p) {
            const auto& c = p.core;
            SF* f = p.filter();
            return nb::make_tuple(p.name.is_valid() ? p.name : nb::none(), f ? nb::object(f->state()) : nb::none(),
                                  c.abs_threshold, c.prd_data.capacity(), reals_tuple(c.prd_data),
                                  reals_tuple(c.prd_time), c.lab.values().capacity(), reals_tuple(c.lab.values()),
                                  c.bias, c.update_flag, c.lab_data, c.lab_time, c.prd_at_lab);
        },
        [](P& p, nb::handle st) {
            StateView sv(st, 13, "SoftSensorBiasUpdate");
            nb::object name = sv.typed(0, &PyUnicode_Type);
            nb::object fil;
            if (!sv.item(1).is_none()) {
                SF tmp;
                tmp.restore(sv.tuple(1, 3));
                fil = nb::inst_alloc(nb::handle(g_sfilter_type));
                new (nb::inst_ptr<SF>(fil)) SF(std::move(tmp));
                nb::inst_mark_ready(fil);
            }
            const double thr = sv.real(2);
            const size_t prd_cap = state_capacity(sv, 3), lab_cap = state_capacity(sv, 6);
            check_bias_buffers(prd_cap, lab_cap);
            const std::vector<double> data = sv.reals(4), times = sv.reals(5), lab = sv.reals(7);
            if (data.size() > prd_cap) sv.fail_at(4, PyExc_ValueError, "more items than the capacity");
            if (times.size() != data.size()) sv.fail_at(5, PyExc_ValueError, "expected %zu items", data.size());
            if (lab.size() > lab_cap) sv.fail_at(7, PyExc_ValueError, "more items than the capacity");
            corvane::SoftSensorBias c = allocating([&] { return corvane::SoftSensorBias(prd_cap, lab_cap, thr); });
            for (size_t i = 0; i < data.size(); ++i) {
                c.prd_data.push_back(data[i]);
                c.prd_time.push_back(times[i]);
            }
            c.lab.assign(lab.data(), lab.size());
            c.bias = sv.real(8);
            c.update_flag = sv.flag(9);
            c.lab_data = sv.real(10);
            c.lab_time = sv.real(11);
            c.prd_at_lab = sv.real(12);
            p.core = std::move(c);
            p.name = std::move(name);
            p.fil = std::move(fil);
        });
}

// ---------------------------------------------------------------------------
// LabDataRecorder

struct PyRecorder {
    corvane::LabChangeDetector lab;
    double abs_threshold = 1e-6;
    nb::object name;
    nb::object csv_file;               // pathlib.Path
    nb::object csv_str;                // the same path as text, for error messages
    std::string csv_path;              // the same path, file-system encoded
    std::vector<std::string> pending;  // records not yet in the file, oldest first

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(name.ptr());
        Py_VISIT(csv_file.ptr());
        Py_VISIT(csv_str.ptr());
        return 0;
    }
    void clear() {
        name.reset();
        csv_file.reset();
        csv_str.reset();
    }

    // Sets csv_file and the forms derived from it.
    void set_file(nb::object path) {
        nb::module_ os = nb::module_::import_("os");
        nb::object text = os.attr("fspath")(path);
        nb::bytes raw = nb::cast<nb::bytes>(os.attr("fsencode")(path));
        std::string bytes(raw.c_str(), raw.size());
        if (bytes.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
        csv_file = std::move(path);
        csv_str = std::move(text);
        csv_path = std::move(bytes);
    }

    // "ExportTime,LabTime,LabData\n" for one record; formatting errors raise here.
    std::string record(double lab_data, double lab_time) const {
        nb::object fmt = nb::str("%Y-%m-%d %H:%M:%S");
        nb::object time = module_global(g_globals, "time");
        nb::object strftime = time.attr("strftime"), localtime = time.attr("localtime");
        nb::str now = nb::cast<nb::str>(strftime(fmt, localtime()));
        nb::str sampled = nb::cast<nb::str>(strftime(fmt, localtime(lab_time)));
        nb::str value = nb::steal<nb::str>(PyObject_Repr(nb::float_(lab_data).ptr()));
        return std::string(now.c_str()) + "," + sampled.c_str() + "," + value.c_str() + "\n";
    }

    // Writes every pending record (the header first when this creates the
    // file) in one write; what could not be written stays pending.
    void flush() {
        if (pending.empty()) return;
        if (!csv_str.is_valid()) raise(PyExc_RuntimeError, "LabDataRecorder: the object has been cleared");
        std::string data;
        for (const auto& r : pending) data += r;
        const AppendResult res = append_records(csv_path, "ExportTime,LabTime,LabData\n", data);
        // A record only part of which reached the file stays pending; the
        // next append starts on a line of its own.
        size_t done = 0, used = 0;
        while (done < pending.size() && used + pending[done].size() <= res.written) used += pending[done++].size();
        pending.erase(pending.begin(), pending.begin() + (std::ptrdiff_t) done);
        if (res.err) {
            errno = res.err;
            if (res.irregular) {
                nb::object args = nb::make_tuple(res.err, "not a regular file", csv_str);
                PyErr_SetObject(PyExc_OSError, args.ptr());
            } else if (res.at_open)
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, csv_str.ptr());
            else
                PyErr_SetFromErrno(PyExc_OSError);
            raise_pending();
        }
    }
};

const char* kFileSuffix = "_Raw_LabData.csv";

// Creates the folder of the CSV file: csv_dir, and the subfolder a name such as
// "unit1/NIR" asks for. A name whose file would lie outside csv_dir (an
// absolute path, "..", a subfolder that is a link leading out) is refused
// before anything is created. A link at the file itself is followed, as open does.
void make_folder_inside(const nb::object& dir, const nb::object& file, const nb::object& name) {
    nb::object folder = file.attr("parent");
    if (!nb::cast<bool>(folder.attr("resolve")().attr("is_relative_to")(dir))) {
        PyErr_Format(PyExc_ValueError, "%U LabDataRecorder: the file '%S' would lie outside csv_dir '%S'", name.ptr(),
                     file.ptr(), dir.ptr());
        raise_pending();
    }
    folder.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);  // as named, so that "a/../b" finds "a"
}

const char* kRecorderDoc = "化验数据记录：识别到新的化验值后，将其追加到原始化验数据 CSV 文件。";

void bind_recorder(nb::module_& m) {
    using R = PyRecorder;
    nb::class_<R> cls(m, "LabDataRecorder", nb::dynamic_attr(), nb::type_slots(gc_slots<R>), kRecorderDoc);

    cls.def(
        "__init__",
        [](R* p, nb::handle name, nb::handle abs_threshold, nb::handle const_len, nb::handle csv_dir) {
            check_arg(name, &PyUnicode_Type, "name");
            const double thr = to_double(abs_threshold);
            check_arg(const_len, &PyLong_Type, "const_len");
            const size_t cap = capacity_of(const_len, 2);
            check_recorder_history(cap);
            R r;
            r.lab = allocating([&] { return corvane::LabChangeDetector(cap); });
            r.abs_threshold = thr;
            r.name = nb::borrow(name);
            nb::object dir = nb::module_::import_("pathlib").attr("Path")(csv_dir).attr("resolve")();
            nb::object file = nb::steal(PyNumber_TrueDivide(dir.ptr(), with_name(r.name, kFileSuffix).ptr()));
            if (!file.is_valid()) raise_pending();
            make_folder_inside(dir, file, r.name);
            r.set_file(std::move(file));
            new (p) R(std::move(r));
        },
        "name"_a.none() = "softSensor", "abs_threshold"_a.none() = 1e-6, "const_len"_a.none() = 60,
        "csv_dir"_a.none() = "./",
        nb::sig("def __init__(self, name: str = 'softSensor', abs_threshold: float = 1e-06, const_len: int = 60, "
                "csv_dir: str | os.PathLike[str] = './') -> None"));

    struct RunBody {
        PyObject* operator()(nb::handle, R& p, PyObject* (&a)[2]) const {
            const double lab = to_double(a[0]), t = to_double(a[1]);
            if (!finite(lab)) raise_named(PyExc_ValueError, p.name, " LabDataRecorder: lab_data is not finite!");
            if (!finite(t)) raise_named(PyExc_ValueError, p.name, " LabDataRecorder: lab_time is not finite!");
            if (p.lab.values().capacity() < 2) raise(PyExc_IndexError, kNoDifference);
            // The new value enters the history; it is taken back only when the
            // record cannot even be formed (an input error).
            std::optional<corvane::LabChangeDetector> copy;
            corvane::LabChangeDetector::Mark mark = p.lab.mark();
            if (!p.lab.values().full()) copy = allocating([&] { return p.lab; });
            p.lab.fill(lab);
            p.lab.push(lab);
            const bool recorded = p.lab.recognised(p.abs_threshold);
            if (recorded) {
                try {
                    p.pending.push_back(p.record(lab, t));
                } catch (...) {
                    if (p.lab.owns(mark)) {
                        if (copy)
                            p.lab = std::move(*copy);
                        else
                            p.lab.rewind(mark);
                    }
                    throw;
                }
            }
            p.flush();
            return nb::bool_(recorded).release().ptr();
        }
    };
    def_fast<R>(cls, "run", std::array<const char*, 2>{"lab_data", "lab_time"}, 2, "($self, lab_data, lab_time)",
                "每个采样周期调用一次；识别到新的化验值并写入记录时返回 True。\n"
                "写文件失败时异常照常抛出，但该记录保留，在下一次能写文件的调用中先于更新的记录写入。",
                RunBody{});

    cls.def(
        "export_lab_data_csv",
        [](R& p, nb::handle lab_data, nb::handle lab_time) {
            const double lab = to_double(lab_data), t = to_double(lab_time);
            std::string rec = p.record(lab, t);
            p.pending.push_back(std::move(rec));
            try {
                p.flush();
            } catch (...) {
                // The caller sees the error and may export again: only older records stay pending.
                if (!p.pending.empty()) p.pending.pop_back();
                throw;
            }
        },
        "lab_data"_a.none(), "lab_time"_a.none(),
        nb::sig("def export_lab_data_csv(self, lab_data: float, lab_time: float) -> None"),
        "将一条记录追加到 CSV 文件（文件新建时先写表头）。");

    cls.def_prop_ro("_name", [](R& p) { return p.name.is_valid() ? p.name : nb::none(); });
    cls.def_prop_ro("_lab_data_list", [](R& p) { return as_deque(p.lab.values()); });
    cls.def_prop_ro("_abs_threshold", [](R& p) { return p.abs_threshold; });
    cls.def_prop_ro("_csv_file", [](R& p) { return p.csv_file.is_valid() ? p.csv_file : nb::none(); });

    def_pickle<R>(
        cls,
        [](R& p) {
            nb::list pend;
            for (const auto& r : p.pending) pend.append(nb::str(r.data(), r.size()));
            return nb::make_tuple(p.name.is_valid() ? p.name : nb::none(), p.abs_threshold, p.lab.values().capacity(),
                                  reals_tuple(p.lab.values()), p.csv_str.is_valid() ? p.csv_str : nb::none(),
                                  nb::tuple(pend));
        },
        [](R& p, nb::handle st) {
            StateView sv(st, 6, "LabDataRecorder");
            p.name = sv.typed(0, &PyUnicode_Type);
            p.abs_threshold = sv.real(1);
            const size_t cap = state_capacity(sv, 2);
            check_recorder_history(cap);
            const std::vector<double> lab = sv.reals(3);
            if (lab.size() > cap) sv.fail_at(3, PyExc_ValueError, "more items than the capacity");
            p.lab = allocating([&] { return corvane::LabChangeDetector(cap); });
            p.lab.assign(lab.data(), lab.size());
            nb::object path = sv.typed(4, &PyUnicode_Type);
            nb::object Path = nb::module_::import_("pathlib").attr("Path");
            nb::object file = Path(path), own = Path(with_name(p.name, kFileSuffix));
            if (!nb::cast<bool>(file.attr("is_absolute")()) || !compare(file.attr("name"), own.attr("name"), Py_EQ))
                sv.fail_at(4, PyExc_ValueError, "the path must be absolute and end in the recorder's file name");
            p.set_file(std::move(file));
            StateView pend = sv.tuple(5);
            for (Py_ssize_t i = 0; i < pend.size(); ++i) {
                nb::object s = pend.typed(i, &PyUnicode_Type);
                const Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
                const char* u = (const char*) PyUnicode_DATA(s.ptr());
                if (!PyUnicode_IS_ASCII(s.ptr()) || !is_record_line(std::string_view(u, (size_t) n)))
                    pend.fail_at(i, PyExc_ValueError, "a pending record must be one record line");
                p.pending.emplace_back(u, (size_t) n);
            }
        });
}

}  // namespace

NB_MODULE(inferential, m) {
    m.doc() = "Soft-sensor blocks: bias update from late lab results, and the raw lab data recorder.";
    nb::object sfilter = nb::module_::import_("corvane.algorithm.smoothing").attr("sFilter");
    g_sfilter_type = sfilter.inc_ref().ptr();
    m.attr("time") = nb::module_::import_("time");
    m.attr("np") = numpy_mod();
    m.attr("deque") = from_import("collections", "deque");
    m.attr("Path") = from_import("pathlib", "Path");
    m.attr("sFilter") = sfilter;
    g_globals = keep_globals(m);
    bind_soft_sensor(m);
    bind_recorder(m);
    install_signatures(m);
}

// corvane.loop._native: a loop's samples run natively on copies of its blocks'
// core states (taken through each block module's BlockApi, the simulators'
// PlantApi), with the interpreter lock released; the copies are put back once
// every sample has succeeded. Blocks that cannot run natively are called
// through Python, under the lock.
#include "blocks.hpp"

#include <nanobind/stl/string.h>

#include <memory>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;
using namespace corvane::loop;

namespace {

// A loop's run: the blocks in order, the value of every slot, the inputs.
struct Run {
    std::vector<std::unique_ptr<Block>> blocks;
    std::vector<nb::tuple> entries;    // what each block was made from
    std::vector<unsigned char> user;   // the user's own callables
    std::vector<unsigned char> moved;  // stepped since its copy was taken: only these are put back
    std::vector<double> vals;
    std::vector<unsigned char> has;
    std::vector<std::pair<size_t, const double*>> series;  // input slot, its n values
    std::vector<size_t> rec;
    bool python = false;  // some block runs through Python: the lock stays held
    bool sync = false;    // a user's callable may read or change the other blocks between samples

    // Samples [0, n) into data (n x rec.size()); false with `fail` set.
    bool samples(size_t n, double* data, Failure& fail) {
        Slots s{vals.data(), has.data()};
        for (size_t k = 0; k < n; ++k) {
            for (auto& [slot, xs] : series) {
                vals[slot] = xs[k];
                has[slot] = 1;
            }
            for (size_t b = 0; b < blocks.size(); ++b) {
                const bool around = sync && user[b];
                if ((around && !put_native(fail)) || !blocks[b]->step(s, fail) || (around && !take_native(fail))) {
                    fail.sample = k;
                    fail.block = b;
                    return false;
                }
                moved[b] = 1;
            }
            for (size_t j = 0; j < rec.size(); ++j) data[k * rec.size() + j] = vals[rec[j]];
        }
        return true;
    }

    // Before a user's callable runs, the objects of the blocks stepped on
    // copies hold their current state; after it, the copies are taken again
    // (a block the callable made unfit for a native run goes on through
    // Python). The callable thus sees and changes the blocks as the Python
    // API's run would let it.
    bool put_native(Failure& fail) {
        try {
            put_moved();
        } catch (nb::python_error& e) {
            e.restore();
            return fail.python = true, false;
        }
        return true;
    }
    // A copy not stepped since it was taken holds nothing new (a timer's copy,
    // for one, has no output yet).
    void put_moved() {
        for (size_t i = 0; i < blocks.size(); ++i)
            if (moved[i] && !blocks[i]->needs_lock()) blocks[i]->put(entries[i][2]);
    }
    bool take_native(Failure& fail) {
        try {
            for (size_t i = 0; i < blocks.size(); ++i)
                if (!blocks[i]->needs_lock()) {
                    if (!blocks[i]->retake(entries[i][2]))
                        blocks[i] = make_block(entries[i], vals.size());  // on through Python
                    moved[i] = 0;
                }
        } catch (nb::python_error& e) {
            e.restore();
            return fail.python = true, false;
        }
        return true;
    }
};

// An entry of the runner's lists: a tuple of exactly n items.
nb::tuple tuple_of(nb::handle item, size_t n, const char* what) {
    if (!PyTuple_CheckExact(item.ptr()) || (size_t) PyTuple_GET_SIZE(item.ptr()) != n)
        raise(PyExc_TypeError, "corvane.loop: %s is a tuple of %zu items", what, n);
    return nb::borrow<nb::tuple>(item);
}

nb::object run(nb::list blocks, size_t n, nb::list exo, nb::list vals, nb::list has, nb::list rec,
               nb::object through_python) {
    Run r;
    for (nb::handle v : vals) r.vals.push_back(to_double(v));
    for (nb::handle h : has) r.has.push_back(truth(h));
    if (r.has.size() != r.vals.size()) raise(PyExc_ValueError, "corvane.loop: one has-a-value flag per slot");
    std::vector<nb::object> keep;  // the input arrays
    std::vector<std::pair<size_t, double>> constants;
    for (nb::handle item : exo) {
        nb::tuple t = tuple_of(item, 2, "an input");
        const size_t slot = nb::cast<size_t>(t[0]);
        if (slot >= r.vals.size()) raise(PyExc_IndexError, "input slot out of range");
        nb::object x = t[1];
        if (PyFloat_Check(x.ptr())) {
            r.vals[slot] = to_double(x);
            r.has[slot] = 1;
            continue;
        }
        nb::object arr = numpy_mod().attr("ascontiguousarray")(x, "dtype"_a = "float64");
        if (nb::len(arr) != n) raise(PyExc_ValueError, "an input has %zu values, the run %zu samples", nb::len(arr), n);
        double* data = nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS) < 0) raise_pending();
        data = static_cast<double*>(view.buf);
        PyBuffer_Release(&view);  // the array, held, keeps its data
        keep.push_back(arr);
        r.series.emplace_back(slot, data);
    }
    for (nb::handle s : rec) {
        r.rec.push_back(nb::cast<size_t>(s));
        if (r.rec.back() >= r.vals.size()) raise(PyExc_IndexError, "record slot out of range");
    }
    std::vector<std::string> names;
    for (nb::handle item : blocks) {
        nb::tuple t = tuple_of(item, 6, "a block entry");
        std::unique_ptr<Block> b = make_block(t, r.vals.size());
        r.python = r.python || b->needs_lock();
        r.user.push_back(b->needs_lock());  // Python code (a callable, a subclass) may read or change the others
        r.sync = r.sync || r.user.back();
        names.push_back(nb::cast<std::string>(t[1]));
        r.entries.push_back(t);
        r.blocks.push_back(std::move(b));
        r.moved.push_back(0);
    }
    // The blocks whose objects the samples change: saved first, to be put back
    // if the run fails (all of them when a user's callable runs among them).
    nb::list python;
    for (size_t b = 0; b < r.blocks.size(); ++b)
        if (r.blocks[b]->needs_lock() || r.sync) python.append(b);
    if (nb::len(python)) through_python(python);
    double* data;
    // Shaped as numpy shapes it, so that a trace too large for memory is its ValueError, not a short buffer.
    nb::object trace = new_float64_array(nb::make_tuple(n, r.rec.size()), data);
    Failure fail;
    bool ok;
    if (r.python) {
        ok = r.samples(n, data, fail);
    } else {
        nb::gil_scoped_release unlocked;
        ok = r.samples(n, data, fail);
    }
    if (!ok) {
        if (!fail.python) PyErr_SetString(fail.type, fail.message.c_str());
        nb::python_error e;
        nb::object note = nb::str("in sample {} of block '{}'").format(fail.sample, names[fail.block]);
        nb::object exc = nb::borrow(e.value());
        exc.attr("add_note")(note);
        throw e;
    }
    r.put_moved();
    nb::list end_vals, end_has;
    for (double v : r.vals) end_vals.append(v);
    for (unsigned char h : r.has) end_has.append(nb::bool_(h != 0));
    return nb::make_tuple(trace, end_vals, end_has);
}

}  // namespace

NB_MODULE(_native, m) {
    m.doc() = "The native runner of corvane.loop.";
    load_block_apis();
    m.def("run", &run, "blocks"_a, "n"_a, "exo"_a, "vals"_a, "has"_a, "rec"_a, "through_python"_a,
          "Runs n samples of the blocks natively; returns (trace, values, has-a-value) of every slot.");
}

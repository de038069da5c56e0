// The closed-loop runner's access to a blended plant (blockapi.hpp): its
// plants copied out through multiloop's plant interface, with what a native
// run needs of the simulator itself, and everything put back after the run.
#pragma once

#include "../blockapi.hpp"
#include "simulator.hpp"

#include <string>
#include <vector>

namespace corvane::blendedplant {

inline PyTypeObject* g_blended_type = nullptr;  // LPVPlantSim

// The simulator's CVs: current and initial values (plain numbers), or false.
inline bool read_cvs(PyObject* yd, PyObject* ini, const std::vector<PyObject*>& cvs, corvane::BlendedRun& R) {
    for (PyObject* c : cvs) {
        double y, i = 0.0;
        bool yf, fi = false;
        PyObject* iv = PyDict_GetItemWithError(ini, c);  // str key, str-keyed dict
        if (PyErr_Occurred()) raise_pending();
        if (!simple_number(PyDict_GetItem(yd, c), y, yf) || (iv && !simple_number(iv, i, fi))) return false;
        R.cv_names.push_back(nb::borrow<nb::str>(c).c_str());
        R.y.push_back(y);
        R.y_f64.push_back(yf);
        R.ini.push_back(i);
        R.ini_f64.push_back(fi);
    }
    R.written.assign(cvs.size(), 0);
    return true;
}

// Local plant `i` of `list` copied into R, or false where a native run cannot step it.
inline bool read_plant(PyObject* list, Py_ssize_t i, const std::vector<PyObject*>& mvs,
                       const std::vector<PyObject*>& cvs, corvane::BlendedRun& R) {
    PyObject* rec = PyList_GET_ITEM(list, i);
    if (Py_TYPE(rec) != g_local_type || !nb::inst_ready(rec)) return false;
    const LocalPlant& lp = *nb::inst_ptr<LocalPlant>(rec);
    double wp;
    bool f64;
    if (!simple_number(lp.working_point.ptr(), wp, f64) || (i > 0 && !(R.xp.back() < wp))) return false;
    for (Py_ssize_t j = 0; j < i; ++j)
        if (nb::inst_ptr<LocalPlant>(PyList_GET_ITEM(list, j))->plant.ptr() == lp.plant.ptr()) return false;
    corvane::BlendedRun::Plant p;
    const int ok = g_api->copy_out(lp.plant.ptr(), &p.copy);
    if (ok < 0) raise_pending();
    if (ok == 0) return false;
    for (PyObject* k : p.copy.mv_keys) {
        const size_t at = find_key(k, mvs.data(), mvs.size(), p.mv.size());
        p.mv.push_back(at < mvs.size() ? (long) at : -1);  // never given: the loop gives the pins
    }
    for (PyObject* k : p.copy.cv_keys) {
        const size_t at = find_key(k, cvs.data(), cvs.size(), p.cv.size());
        if (at == cvs.size()) return false;  // a sample would add it to _y_dict: the general path
        p.cv.push_back((long) at);
    }
    p.given.assign(p.mv.size(), 0);
    R.xp.push_back(wp);
    R.plants.push_back(std::move(p));
    return true;
}

inline int take_blended(PyObject* obj, corvane::BlendedRun* run) {
    if (Py_TYPE(obj) != g_blended_type || !nb::inst_ready(obj)) return 0;
    Blended& s = *nb::inst_ptr<Blended>(obj);
    int r = 0;
    if (guarded([&] {
            s.sync();  // values waiting for the dicts: the dicts are read below
            PyObject *list = s.plant_list.ptr(), *ud = s.u_dict.ptr(), *yd = s.y_dict.ptr(),
                     *ini = s.ini_value_dict.ptr();
            std::vector<PyObject*> mvs, cvs;
            if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0 || !str_keyed(ini) || !str_keyed(ud, &mvs) ||
                !str_keyed(yd, &cvs))
                return;
            corvane::BlendedRun R;
            if (!read_cvs(yd, ini, cvs, R)) return;
            R.u.assign(mvs.size(), 0.0);
            R.given.assign(mvs.size(), 0);
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
                if (!read_plant(list, i, mvs, cvs, R)) return;
            *run = std::move(R);
            r = 1;
        }) < 0)
        return -1;
    return r;
}

inline int put_blended(PyObject* obj, const corvane::BlendedRun* run) {
    Blended& s = *nb::inst_ptr<Blended>(obj);
    return guarded([&] {
        s.expose();
        const nb::object list = s.plant_list, ud = s.u_dict, yd = s.y_dict;
        std::vector<PyObject*> mvs, cvs;
        if (!PyList_CheckExact(list.ptr()) || (size_t) PyList_GET_SIZE(list.ptr()) != run->plants.size() ||
            !str_keyed(ud.ptr(), &mvs) || !str_keyed(yd.ptr(), &cvs) || mvs.size() != run->u.size() ||
            cvs.size() != run->y.size())
            raise(PyExc_RuntimeError, "the blended plant changed while a loop ran it");
        // Held, records and plants: writing a plant back may run Python code.
        std::vector<nb::object> held{list, ud, yd}, recs;
        for (PyObject* k : mvs) held.push_back(nb::borrow(k));
        for (PyObject* k : cvs) held.push_back(nb::borrow(k));
        for (size_t i = 0; i < run->plants.size(); ++i)
            recs.push_back(nb::borrow(PyList_GET_ITEM(list.ptr(), (Py_ssize_t) i)));
        for (size_t i = 0; i < recs.size(); ++i) {
            const nb::object plant = record_of(recs[i]).plant;
            const auto& p = run->plants[i];
            if (g_api->copy_in(plant.ptr(), &p.copy, p.given.data()) < 0) raise_pending();
        }
        if (!run->stepped) return;
        set_weights(Blend{run->i1, run->i2, run->weights}, recs.size(),
                    [&](size_t i) -> LocalPlant& { return record_of(recs[i]); });
        s.set_working_value(nb::float_(run->working));
        for (size_t t = 0; t < mvs.size(); ++t)
            if (run->given[t]) {
                nb::object v = nb::float_(run->u[t]);
                if (PyDict_SetItem(ud.ptr(), mvs[t], v.ptr()) < 0) raise_pending();
            }
        for (size_t c = 0; c < cvs.size(); ++c)
            if (run->written[c]) {
                nb::object v = number(run->y[c], run->y_f64[c]);
                if (PyDict_SetItem(yd.ptr(), cvs[c], v.ptr()) < 0) raise_pending();
            }
    });
}

inline corvane::BlockApi<corvane::BlendedRun> g_block_api{corvane::kBlockApiVersion, nullptr, take_blended,
                                                          put_blended};

}  // namespace corvane::blendedplant

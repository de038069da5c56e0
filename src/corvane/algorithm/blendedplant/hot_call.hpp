// The fast path of a call: plants that multiloop can advance natively on its
// compiled path, plain containers, exact dicts and plain numbers. What it
// relies on is found once (HotPlan) and checked on every call; the call then
// runs no Python code until every plant has advanced and the blend is formed.
#pragma once

namespace {

// Bumped by the dict watchers below: any change of a watched initial-value
// dict, any change of the key set of a watched _u_dict or _y_dict.
inline uint64_t g_plan_epoch = 1;
inline int g_watch_any = -1, g_watch_keys = -1;

int on_any_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_plan_epoch;
    return 0;
}
int on_key_change(PyDict_WatchEvent e, PyObject*, PyObject*, PyObject*) {
    if (e != PyDict_EVENT_MODIFIED) ++g_plan_epoch;
    return 0;
}

// Sizes the fast path handles (its per-call arrays sit on the stack).
constexpr size_t kHotTags = 64;

struct HotPlan {
    uint64_t epoch = 0;
    PyObject *list = nullptr, *ini = nullptr, *ud = nullptr, *yd = nullptr;
    std::vector<PyObject*> recs, sims, wps;    // per plant, in list order
    std::vector<unsigned long long> compiled;  // per plant: the compilation planned with
    std::vector<double> xp;                    // working points, strictly increasing
    // The MV tags of all plants (exact str, one per text) and which of them
    // are keys of _u_dict.
    std::vector<PyObject*> tags;
    std::vector<unsigned char> in_u;
    nb::dict tag_index;  // str -> index into tags
    // Per plant: its MV tags and their index into tags; its CV tags, their
    // initial values and, for all but the last plant, the index of each in
    // the next plant's CVs (-1: the next plant lacks it).
    std::vector<size_t> mv_off, cv_off;
    std::vector<PyObject*> mv_keys, cv_keys;
    std::vector<size_t> mv_tag;
    std::vector<double> cv_ini;
    std::vector<unsigned char> cv_ini_f64;
    std::vector<long> next_cv;
    std::vector<nb::object> hold;  // everything above points into these

    nb::handle held(nb::handle o) {
        hold.push_back(nb::borrow(o));
        return o;
    }
};

int Blended::traverse(visitproc visit, void* arg) {
    for (nb::object* f : fields()) Py_VISIT(f->ptr());
    Py_VISIT(last_result.ptr());
    for (const nb::object& o : u_pending) Py_VISIT(o.ptr());
    for (const HotPlan* p : {plan.get(), u_plan != plan ? u_plan.get() : nullptr})
        if (p)
            for (const nb::object& o : p->hold) Py_VISIT(o.ptr());
    return 0;
}

void Blended::clear() {
    std::shared_ptr<HotPlan> drop = std::move(plan), drop_u = std::move(u_plan);
    nb::object last = std::move(last_result);
    std::vector<nb::object> pending;
    pending.swap(u_pending);
    u_dirty = false;
    ObjectFields<Blended>::clear();
}

void Blended::sync_u() {
    if (!u_dirty) {
        std::shared_ptr<HotPlan> drop = std::move(u_plan);  // no values wait: the plan is not needed
        return;
    }
    // Taken out first: the values are written once, whatever a write runs.
    u_dirty = false;
    const std::shared_ptr<HotPlan> p = std::move(u_plan);
    std::vector<nb::object> vals;
    vals.swap(u_pending);
    const nb::object ud = nb::borrow(p->ud);
    for (size_t t = 0; t < vals.size() && t < p->tags.size(); ++t)
        if (vals[t].is_valid() && PyDict_SetItem(ud.ptr(), p->tags[t], vals[t].ptr()) < 0) raise_pending();
}

bool plain_str_keys(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k)) return false;
    return true;
}

// The plan for the current plants and containers, or null where the fast
// path does not apply. Runs no Python code: every dict it reads has exact
// str keys only, and so has every key it looks up.
std::shared_ptr<HotPlan> make_plan(Blended& s) {
    if (g_watch_any < 0 || g_watch_keys < 0) return nullptr;
    PyObject *list = s.plant_list.ptr(), *ini = s.ini_value_dict.ptr(), *ud = s.u_dict.ptr(), *yd = s.y_dict.ptr();
    if (!PyList_CheckExact(list) || !PyDict_CheckExact(ini) || !PyDict_CheckExact(ud) || !PyDict_CheckExact(yd) ||
        !plain_str_keys(ini) || !plain_str_keys(ud) || !plain_str_keys(yd))
        return nullptr;
    const size_t n = (size_t) PyList_GET_SIZE(list);
    if (n == 0) return nullptr;
    auto p = std::make_shared<HotPlan>();
    HotPlan& P = *p;
    P.list = P.held(list).ptr();
    P.ini = P.held(ini).ptr();
    P.ud = P.held(ud).ptr();
    P.yd = P.held(yd).ptr();
    for (size_t i = 0; i < n; ++i) {
        PyObject* rec = PyList_GET_ITEM(list, (Py_ssize_t) i);
        if (Py_TYPE(rec) != g_local_type || !nb::inst_ready(rec)) return nullptr;
        LocalPlant& r = *nb::inst_ptr<LocalPlant>(rec);
        double wp;
        bool f64;
        if (!simple_number(r.working_point.ptr(), wp, f64) || (i > 0 && !(P.xp.back() < wp))) return nullptr;
        size_t nmv = 0;
        PyObject* const* keys = nullptr;
        unsigned long long id = 0;
        if (g_api->hot_ready(r.plant.ptr(), &id, &nmv, &keys) != 1 || nmv > kHotTags) return nullptr;
        size_t ncv = 0;
        PyObject* const* cvs = nullptr;
        const double* y = nullptr;
        const unsigned char* yf = nullptr;
        if (g_api->fast_outputs(r.plant.ptr(), &ncv, &cvs, &y, &yf) != 1 || ncv > kHotTags) return nullptr;
        P.recs.push_back(P.held(rec).ptr());
        P.sims.push_back(P.held(r.plant).ptr());
        P.wps.push_back(P.held(r.working_point).ptr());
        P.compiled.push_back(id);
        P.xp.push_back(wp);
        P.mv_off.push_back(P.mv_keys.size());
        for (size_t j = 0; j < nmv; ++j) {
            PyObject* k = P.held(keys[j]).ptr();
            PyObject* at = PyDict_GetItemWithError(P.tag_index.ptr(), k);
            if (!at && PyErr_Occurred()) {
                PyErr_Clear();
                return nullptr;
            }
            size_t t = P.tags.size();
            if (at) {
                t = (size_t) PyLong_AsSize_t(at);
            } else {
                if (t >= kHotTags) return nullptr;
                const int has = PyDict_Contains(ud, k);
                if (has < 0 || PyDict_SetItem(P.tag_index.ptr(), k, nb::int_(t).ptr()) < 0) {
                    PyErr_Clear();
                    return nullptr;
                }
                P.tags.push_back(k);
                P.in_u.push_back(has == 1);
            }
            P.mv_keys.push_back(k);
            P.mv_tag.push_back(t);
        }
        P.cv_off.push_back(P.cv_keys.size());
        for (size_t a = 0; a < ncv; ++a) {
            PyObject* k = P.held(cvs[a]).ptr();
            PyObject* iv = PyDict_GetItemWithError(ini, k);
            if (!iv && PyErr_Occurred()) {
                PyErr_Clear();
                return nullptr;
            }
            double d = 0.0;
            bool df = false;
            if (iv && !simple_number(iv, d, df)) return nullptr;
            P.cv_keys.push_back(k);
            P.cv_ini.push_back(d);
            P.cv_ini_f64.push_back(df);
        }
    }
    P.mv_off.push_back(P.mv_keys.size());
    P.cv_off.push_back(P.cv_keys.size());
    // A simulator standing for two plants advances twice per call: the general path.
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < i; ++j)
            if (P.sims[i] == P.sims[j]) return nullptr;
    // Keys of _u_dict that no plant has (left by deleted plants) take values too.
    {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(ud, &pos, &k, &v)) {
            const int has = PyDict_Contains(P.tag_index.ptr(), k);
            if (has < 0) {
                PyErr_Clear();
                return nullptr;
            }
            if (has) continue;
            if (P.tags.size() >= kHotTags || PyDict_SetItem(P.tag_index.ptr(), k, nb::int_(P.tags.size()).ptr()) < 0) {
                PyErr_Clear();
                return nullptr;
            }
            P.tags.push_back(P.held(k).ptr());
            P.in_u.push_back(1);
        }
    }
    // Where each CV of a plant sits among the next plant's CVs.
    for (size_t i = 0; i + 1 < n; ++i)
        for (size_t a = P.cv_off[i]; a < P.cv_off[i + 1]; ++a) {
            long at = -1;
            for (size_t b = P.cv_off[i + 1]; b < P.cv_off[i + 2] && at < 0; ++b)
                if (P.cv_keys[b] == P.cv_keys[a] || PyUnicode_Compare(P.cv_keys[b], P.cv_keys[a]) == 0)
                    at = (long) (b - P.cv_off[i + 1]);
            P.next_cv.push_back(at);
        }
    if (PyDict_Watch(g_watch_any, ini) < 0 || PyDict_Watch(g_watch_keys, ud) < 0 ||
        PyDict_Watch(g_watch_keys, yd) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    P.epoch = g_plan_epoch;
    return p;
}

// The plan still describes the plants and containers (each plant's own
// compiled state is checked by the caller).
bool plan_current(const Blended& s, const HotPlan& P) {
    if (P.epoch != g_plan_epoch || s.plant_list.ptr() != P.list || s.ini_value_dict.ptr() != P.ini ||
        s.u_dict.ptr() != P.ud || s.y_dict.ptr() != P.yd)
        return false;
    const size_t n = P.recs.size();
    if ((size_t) PyList_GET_SIZE(P.list) != n) return false;
    PyObject* const* items = ((PyListObject*) P.list)->ob_item;
    for (size_t i = 0; i < n; ++i) {
        if (items[i] != P.recs[i]) return false;
        const LocalPlant& r = *nb::inst_ptr<LocalPlant>(P.recs[i]);
        if (r.plant.ptr() != P.sims[i] || r.working_point.ptr() != P.wps[i]) return false;
    }
    return true;
}

bool Blended::hot_call(nb::handle self, double w, PyObject* u_values, PyObject* v_values, nb::object& result) {
    if (!PyDict_CheckExact(u_values) || !PyDict_CheckExact(v_values) || PyDict_GET_SIZE(v_values) != 0 || std::isnan(w))
        return false;
    if (u_dirty && u_plan != plan) sync_u();  // may run Python code: before anything is checked
    // Every plant on the compiled path it was planned with; a plant compiled
    // anew (after any watched dict changed, say) calls for a new plan.
    int state = plan && plan_current(*this, *plan)
                    ? g_api->hot_ready_all(plan->sims.data(), plan->compiled.data(), plan->sims.size())
                    : -1;
    if (state < 0) {
        sync_u();
        plan = make_plan(*this);
        state = plan ? 1 : 0;  // made of plants found ready
    }
    if (state != 1) return false;
    const std::shared_ptr<HotPlan> keep = plan;
    const HotPlan& P = *keep;
    const size_t n = P.recs.size(), ntags = P.tags.size();

    // The given MV values, by tag.
    double val[kHotTags];
    PyObject* obj[kHotTags];
    for (size_t t = 0; t < ntags; ++t) obj[t] = nullptr;
    {
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        while (PyDict_Next(u_values, &pos, &k, &x)) {
            size_t t = 0;
            while (t < ntags && P.tags[t] != k) ++t;
            if (t == ntags) {
                if (!PyUnicode_CheckExact(k)) return false;
                PyObject* at = PyDict_GetItemWithError(P.tag_index.ptr(), k);
                if (!at) {
                    if (PyErr_Occurred()) {
                        PyErr_Clear();
                        return false;
                    }
                    continue;  // no plant knows this MV
                }
                t = (size_t) PyLong_AsSize_t(at);
                if (t >= ntags) return false;
            }
            bool f64;
            if (!simple_number(x, val[t], f64)) return false;
            obj[t] = x;
        }
    }

    // numpy's interp over strictly increasing working points, floor and ceil.
    const double id_float = interp_increasing(w, P.xp.data(), n);
    if (!(std::fabs(id_float) <= 9.0e18)) return false;
    const size_t i1 = (size_t) (long long) std::floor(id_float), i2 = (size_t) (long long) std::ceil(id_float);
    if (i1 >= n || i2 >= n) return false;
    const double diff = id_float - (double) i1;
    const bool clamp_hi = 1.0 < diff, clamp_lo = !clamp_hi && 0.0 > diff;
    const double weight2 = clamp_hi ? 1.0 : clamp_lo ? 0.0 : diff;
    const double weight1 = 1.0 - weight2;
    const bool w_f64 = !(clamp_hi || clamp_lo);
    const bool single = i1 == i2;
    const size_t c1 = P.cv_off[i1], ncv = P.cv_off[i1 + 1] - c1;
    if (!single)
        for (size_t a = 0; a < ncv; ++a)
            if (P.next_cv[c1 + a] < 0) return false;  // the general path raises the KeyError
    // The outputs (their tags are those planned: same compilation).
    auto outputs = [&](size_t i, const double*& y, const unsigned char*& f) {
        size_t m = 0;
        PyObject* const* keys = nullptr;
        return g_api->fast_outputs(P.sims[i], &m, &keys, &y, &f) == 1 && m == P.cv_off[i + 1] - P.cv_off[i];
    };
    const double *y1 = nullptr, *y2 = nullptr;
    const unsigned char *f1 = nullptr, *f2 = nullptr;
    if (!outputs(i1, y1, f1) || (!single && !outputs(i2, y2, f2))) return false;

    // Every plant advances; nothing here runs Python code. The outputs are
    // written in place: y1 and y2 then show this sample's.
    g_api->hot_step_all(P.sims.data(), n, P.mv_off.data(), P.mv_tag.data(), val, obj);
    double out[kHotTags];
    bool out_f64[kHotTags];
    for (size_t a = 0; a < ncv; ++a) {
        const double vi = P.cv_ini[c1 + a];
        const bool fi = P.cv_ini_f64[c1 + a];
        if (single) {
            out[a] = y1[a] + vi;
            out_f64[a] = f1[a] || fi;
        } else {
            const size_t b = (size_t) P.next_cv[c1 + a];
            out[a] = (weight1 * y1[a] + weight2 * y2[b]) + vi;
            out_f64[a] = w_f64 || f1[a] || f2[b] || fi;
        }
    }
    working_double = w;
    working_pending = true;
    for (size_t i = 0; i < n; ++i) nb::inst_ptr<LocalPlant>(P.recs[i])->set_weight(0.0, false);
    if (single) {
        nb::inst_ptr<LocalPlant>(P.recs[i1])->set_weight(1.0, false);
    } else {
        nb::inst_ptr<LocalPlant>(P.recs[i1])->set_weight(weight1, w_f64);
        nb::inst_ptr<LocalPlant>(P.recs[i2])->set_weight(weight2, w_f64);
    }

    // The MV values for _u_dict, held from here: writing a dict may release
    // an old value and so run Python code, even code that changes the
    // caller's dict. The dicts written are those of the plan (held).
    struct Held {
        PyObject* o[kHotTags];
        size_t t[kHotTags];
        size_t n = 0;
        ~Held() {
            for (size_t i = 0; i < n; ++i) Py_DECREF(o[i]);
        }
    } given;
    for (size_t t = 0; t < ntags; ++t)
        if (obj[t] && P.in_u[t]) {
            given.o[given.n] = Py_NewRef(obj[t]);
            given.t[given.n++] = t;
        }
    // _u_dict held by nobody but this simulator and the plan: the values wait
    // (their release runs no Python code: plain numbers). With no value to
    // write, nothing is adopted: a plan kept for nothing would outlive its plants.
    std::shared_ptr<HotPlan> released;  // an older plan, let go of on return (its release may run Python code)
    if (given.n == 0) {
    } else if (Py_REFCNT(P.ud) == 2 && u_dict.ptr() == P.ud && (!u_dirty || u_plan == keep)) {
        if (!u_dirty) {
            u_pending.assign(ntags, nb::object());
            released = std::move(u_plan);
            u_plan = keep;
        }
        for (size_t g = 0; g < given.n; ++g) {
            u_pending[given.t[g]] = nb::borrow(given.o[g]);
            u_dirty = true;
        }
    } else {
        sync_u();
        for (size_t g = 0; g < given.n; ++g)
            if (PyDict_SetItem(P.ud, P.tags[given.t[g]], given.o[g]) < 0) raise_pending();
    }
    static PyTypeObject* const own_type = (PyTypeObject*) nb::type<Blended>().ptr();
    const bool own = Py_TYPE(self.ptr()) == own_type;
    // The last result, let go of by the caller, still holding what _y_dict
    // holds (the same tags and value objects, in order): the values written
    // now are then held by these two alone.
    PyObject* last = last_result.ptr();
    bool reuse = own && last && Py_REFCNT(last) == 1 && PyDict_CheckExact(last) &&
                 PyDict_GET_SIZE(last) == PyDict_GET_SIZE(P.yd);
    if (reuse) {
        Py_ssize_t p1 = 0, p2 = 0;
        PyObject *k1, *v1, *k2, *v2;
        while (reuse && PyDict_Next(P.yd, &p1, &k1, &v1) && PyDict_Next(last, &p2, &k2, &v2))
            reuse = k1 == k2 && v1 == v2;
    }
    for (size_t a = 0; a < ncv; ++a) {
        // The last sample's value, held by _y_dict (and the last result)
        // alone, takes the new one in place.
        PyObject* old = PyDict_GetItemWithError(P.yd, P.cv_keys[c1 + a]);  // exact str keys: no Python code
        if (!old && PyErr_Occurred()) raise_pending();
        if (refill_number(old, out[a], out_f64[a], reuse ? 2 : 1)) continue;
        reuse = false;  // from here Python code may run
        nb::object v = number(out[a], out_f64[a]);
        if (PyDict_SetItem(P.yd, P.cv_keys[c1 + a], v.ptr()) < 0) raise_pending();
    }
    if (reuse) {
        result = last_result;
        return true;
    }
    result = own ? deepcopy_flat(nb::handle(P.yd)) : self.attr("get_output_data_dict")();
    if (!result.is_none()) check_result(result, &PyDict_Type);
    if (own) last_result = result;
    return true;
}

PyObject* BlendedCall::operator()(nb::handle self, Blended& s, PyObject* (&a)[3]) const {
    static PyObject* empty = PyDict_New();  // the shared defaults, never modified
    PyObject* u = a[1] ? a[1] : empty;
    PyObject* v = a[2] ? a[2] : empty;
    double w;
    bool f64;
    if (simple_number(a[0], w, f64)) {
        nb::object r;
        if (s.hot_call(self, w, u, v, r)) return r.release().ptr();
    }
    return s.call(self, a[0], u, v).release().ptr();
}

}  // namespace

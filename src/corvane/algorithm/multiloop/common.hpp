// Shared by the parts of the multiloop module: the bound classes, number and
// container helpers, and the arithmetic of one CV's accumulation.
#pragma once

#include "../bindkit.hpp"

#include <corvane/mimo.hpp>

#include <unordered_map>
#include <vector>

namespace corvane::multiloop {

namespace nb = nanobind;
using namespace corvane::bind;

inline constexpr const char* kModuleName = "corvane.algorithm.multiloop";

inline nb::module_ this_module() { return nb::module_::import_(kModuleName); }

// The bound classes, set when the module is initialised. The filter models
// are the library's own single-input models with a native filter.
struct Classes {
    PyTypeObject *no_model = nullptr, *tfz = nullptr, *tfs = nullptr, *stp = nullptr, *stpxy = nullptr;
    PyTypeObject *miso = nullptr, *mimo = nullptr, *siso = nullptr;

    bool filter_model(PyTypeObject* t) const { return t == tfz || t == tfs || t == stp || t == stpxy; }
};
inline Classes g_classes;

// Tests switch the native engines off to compare them with the general path
// (multiloop._set_native_engines).
inline bool g_engines_on = true;

// ---------------------------------------------------------------------------
// What relies on an object staying as it is (an engine on the per-CV
// simulators, models and dicts it was built from) registers a flag for it;
// whatever may change the object (a method of it, a dict watcher, handing
// out a container it holds) notifies, which clears every flag registered for
// it. Keys are compared by address: a flag's owner holds the object.
class Dependents {
  public:
    static void add(const void* key, bool* flag) { reg_.emplace(key, flag); }
    static void remove(const void* key, bool* flag) {
        auto [a, b] = reg_.equal_range(key);
        for (auto it = a; it != b; ++it)
            if (it->second == flag) {
                reg_.erase(it);
                return;
            }
    }
    static void notify(const void* key) {
        if (reg_.empty()) return;
        auto [a, b] = reg_.equal_range(key);
        for (auto it = a; it != b; ++it) *it->second = false;
    }

  private:
    static inline std::unordered_multimap<const void*, bool*> reg_;
};

// ---------------------------------------------------------------------------
// Numbers

inline nb::object py_add(nb::handle a, nb::handle b, bool inplace = false) {
    return binary_op(inplace ? PyNumber_InPlaceAdd : PyNumber_Add, a, b);
}

// One CV's sum as the interpreter forms it, y = 0.0; y += c for each term:
// a double while every term is a plain number (numpy float64 is contagious),
// an object from the first term that is not.
struct Acc {
    double v = 0.0;
    bool f64 = false;
    nb::object obj;

    void add(double c, bool cf64) {
        if (obj.is_valid()) {
            obj = py_add(obj, number(c, cf64), true);
        } else {
            v = corvane::miso_add(v, c);
            f64 = f64 || cf64;
        }
    }
    void add(nb::handle r) {
        double c;
        bool cf64;
        if (!obj.is_valid() && simple_number(r.ptr(), c, cf64)) {
            add(c, cf64);
            return;
        }
        if (!obj.is_valid()) obj = number(v, f64);
        obj = py_add(obj, r, true);
    }
    nb::object value() const { return obj.is_valid() ? obj : number(v, f64); }
};

}  // namespace corvane::multiloop

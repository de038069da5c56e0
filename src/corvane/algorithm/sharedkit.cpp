// corvane.algorithm.sharedkit: the shared helpers, with numpy, scipy.signal
// and time imported when the module is loaded and looked up in its globals
// when a helper runs (so callers may replace them).
#include "helperkit.hpp"

namespace nb = nanobind;
using namespace corvane::helpers;

NB_MODULE(sharedkit, m) {
    m.doc() = "Shared helpers: discretisation with dead time, nested-dict paths, history push, curve text.";

    m.attr("np") = numpy_mod();
    m.attr("signal") = from_import("scipy", "signal");
    m.attr("time") = nb::module_::import_("time");

    def_helpers<ModuleGlobals>(m);
}

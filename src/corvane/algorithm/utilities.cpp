// corvane.algorithm.utilities: the shared helpers plus project-path and
// optional-package probes. Nothing is imported when the module is loaded;
// each function imports what it needs when it runs.
#include "helperkit.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace corvane::bind;
using namespace corvane::helpers;

namespace {

// The nearest directory, at or above the one holding this module's file, that
// contains an entry named `matker`. The file-system root is never tested.
nb::object find_project_path(nb::handle matker) {
    check_arg(matker, &PyUnicode_Type, "matker");
    nb::object Path = from_import("pathlib", "Path");

    PyObject* file = nullptr;
    if (PyObject* g = CallImports::module_dict())
        if (PyDict_GetItemStringRef(g, "__file__", &file) < 0) raise_pending();
    nb::object cur;
    if (file) {
        // The module file itself holds no entries: start with its directory.
        cur = Path(nb::steal(file)).attr("resolve")().attr("parent");
    } else {
        cur = Path().attr("resolve")();
    }

    for (;;) {
        PyObject* candidate = PyNumber_TrueDivide(cur.ptr(), matker.ptr());
        if (!candidate) raise_pending();
        nb::object exists = nb::steal(candidate).attr("exists")();
        int found = PyObject_IsTrue(exists.ptr());
        if (found < 0) raise_pending();
        if (found) break;
        cur = cur.attr("parent");
        if (compare(cur, cur.attr("parent"), Py_EQ))
            raise(PyExc_ValueError, "Reached the root of the file system without finding the marker.");
    }
    return nb::str(cur);
}

bool is_OPCRelayKit_installed() {
    nb::object util = nb::module_::import_("importlib.util");
    nb::object OPCRelayKit_spec = util.attr("find_spec")("OPCRelayKit");
    return !OPCRelayKit_spec.is_none();
}

}  // namespace

NB_MODULE(utilities, m) {
    m.doc() =
        "Helpers for applications: project-root search, optional-package probe and the shared helpers.\n"
        "Importing this module loads neither numpy nor scipy; the helpers that need them import them.";

    def_helpers<CallImports>(m);

    m.def("find_project_path", &find_project_path, "matker"_a.none() = ".git",
          nb::sig("def find_project_path(matker: str = '.git') -> str"),
          "Absolute path of the nearest directory, at or above this module's directory, holding an entry\n"
          "named `matker`. Raises ValueError when the search reaches the file-system root.");
    m.def("is_OPCRelayKit_installed", &is_OPCRelayKit_installed,
          "Whether the optional package OPCRelayKit can be imported (it is not imported).");
}

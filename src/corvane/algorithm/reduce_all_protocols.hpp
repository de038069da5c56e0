// __reduce__ for classes with def_pickle: protocols 0 and 1 (and copy) then
// rebuild the object as protocol 2 does, through copyreg.__newobj__ and
// __setstate__, instead of refusing a native type.
#pragma once

#include "bindkit.hpp"

namespace corvane::bind {

template <class Cls>
void def_reduce(Cls& cls) {
    cls.def("__reduce__", [](nb::handle self) {
        nb::object newobj = nb::module_::import_("copyreg").attr("__newobj__");
        nb::handle tp((PyObject*) Py_TYPE(self.ptr()));
        return nb::make_tuple(newobj, nb::make_tuple(tp), self.attr("__getstate__")());
    }, nb::sig("def __reduce__(self) -> tuple"));
}

}  // namespace corvane::bind

#include "glue/struct_module.hpp"

#include "glue/conversions.hpp"
#include "glue/module_record.hpp"
#include "glue/names.hpp"

namespace py {

Ref structPack(const Ref& formatAndValues) {
    Ref structModule = formatAndValues ? module_record::global("struct") : Ref{};
    Ref pack = structModule ? Ref::steal(PyObject_GetAttr(structModule.get(), py::name("pack")))
                            : Ref{};
    return pack ? Ref::steal(PyObject_Call(pack.get(), formatAndValues.get(), nullptr)) : Ref{};
}

bool structUnpack(const char* format, PyObject* data, Ref* values, Py_ssize_t count) {
    Ref formatObject = Ref::steal(PyUnicode_FromString(format));
    Ref unpacked =
        formatObject ? module_record::callGlobal("struct", "unpack", formatObject.get(), data)
                     : Ref{};
    return unpacked && unpack(unpacked.get(), values, count);
}

}  // namespace py

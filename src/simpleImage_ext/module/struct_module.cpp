#include "module/struct_module.hpp"

#include <cstdarg>

#include "capi/conversions.hpp"
#include "module/module_state.hpp"

namespace py {
namespace {

// (format, *values)
Ref packArguments(const char* format, const char* valuesFormat, va_list values) {
    Ref built = Ref::steal(Py_VaBuildValue(valuesFormat, values));
    if (!built) {
        return {};
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(built.get());
    Ref arguments = Ref::steal(PyTuple_New(count + 1));
    if (!arguments) {
        return {};
    }
    PyObject* formatObject = PyUnicode_FromString(format);
    if (formatObject == nullptr) {
        return {};
    }
    PyTuple_SET_ITEM(arguments.get(), 0, formatObject);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(arguments.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(built.get(), i)));
    }
    return arguments;
}

}  // namespace

Ref structPack(const char* format, const char* valuesFormat, ...) {
    va_list values;
    va_start(values, valuesFormat);
    Ref arguments = packArguments(format, valuesFormat, values);
    va_end(values);
    if (!arguments) {
        return {};
    }
    Ref pack = module_state::globalAttribute("struct", "pack");
    if (!pack) {
        return {};
    }
    return Ref::steal(PyObject_Call(pack.get(), arguments.get(), nullptr));
}

bool structUnpack(const char* format, PyObject* data, Ref* values, Py_ssize_t count) {
    Ref formatObject = Ref::steal(PyUnicode_FromString(format));
    if (!formatObject) {
        return false;
    }
    Ref unpacked = module_state::callGlobal("struct", "unpack", formatObject.get(), data);
    return unpacked && unpack(unpacked.get(), values, count);
}

}  // namespace py

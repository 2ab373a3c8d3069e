// Binary headers are packed with the module's `struct`, as currently bound.
#pragma once

#include <Python.h>

#include "glue/module_record.hpp"
#include "glue/ref.hpp"

namespace py {

// struct.pack(*formatAndValues), the tuple starting with the format; its error
// (struct.error for a value out of range) propagates unchanged.
inline Ref structPack(const Ref& formatAndValues) {
    Ref structModule = formatAndValues ? module_record::global("struct") : Ref{};
    Ref pack = structModule ? Ref::steal(PyObject_GetAttrString(structModule.get(), "pack"))
                            : Ref{};
    return pack ? Ref::steal(PyObject_Call(pack.get(), formatAndValues.get(), nullptr)) : Ref{};
}

}  // namespace py

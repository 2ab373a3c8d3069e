// Binary headers are packed and unpacked with the module's `struct`, as
// currently bound; its errors (struct.error for a value out of range or a buffer
// of the wrong size) propagate unchanged.
#pragma once

#include <Python.h>

#include "capi/ref.hpp"

namespace py {

// struct.pack(format, *values), with `values` a tuple built as by
// Py_BuildValue(valuesFormat, ...), for example structPack(">I", "(O)", value).
Ref structPack(const char* format, const char* valuesFormat, ...);

// `values[0], ..., values[count - 1] = struct.unpack(format, data)`.
bool structUnpack(const char* format, PyObject* data, Ref* values, Py_ssize_t count);

}  // namespace py

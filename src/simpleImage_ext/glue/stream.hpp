// Calls on the binary streams that the decoders read: any object with `read`
// (and, for BMP, `seek`), looked up by name at every call as Python code would.
#pragma once

#include <Python.h>

#include <cstdint>

#include "glue/ref.hpp"

namespace py {

// stream.read(size)
Ref read(PyObject* stream, PyObject* size);
Ref read(PyObject* stream, std::int64_t size);

// stream.seek(position); the result is dropped.
bool seek(PyObject* stream, PyObject* position);

// BytesIO(data), with the module's `BytesIO` as bound now.
Ref bytesStream(PyObject* data);

}  // namespace py

// Calls on the binary streams that the decoders read: any object with `read`
// (and, for BMP, `seek`), looked up by name at every call as Python code would.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "glue/ref.hpp"

namespace py {

// stream.read(size)
Ref read(PyObject* stream, PyObject* size);
Ref read(PyObject* stream, std::int64_t size);

// stream.seek(position); the result is dropped.
bool seek(PyObject* stream, PyObject* position);

// BytesIO(data), with the module's `BytesIO` as bound now.
Ref bytesStream(PyObject* data);

// How many bytes `stream` holds from its start, when that can be learnt without
// running Python code: the buffer of a plain io.BytesIO, or the regular file
// behind a file from the built-in `open`. Nothing for any other stream, and
// nothing (with no error set) when the question itself fails.
std::optional<std::int64_t> knownLength(PyObject* stream);

}  // namespace py

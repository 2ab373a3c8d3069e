// The BMP decoder: an uncompressed 24-bit BMP with a 40-byte information header
// into the decoded-image tuple (width, height, pixels, 3, None, None,
// bmp_meta, None), where bmp_meta keeps the resolution and colour counts that
// the BMP writer puts back.
#pragma once

#include <Python.h>

#include "glue/ref.hpp"

namespace bmp {

// Reads a BMP from `stream` (anything with `read(n)` and `seek(position)`),
// whose current position must be its first byte and position 0. Internal: not
// published in the module namespace.
py::Ref _loadBmp(PyObject* stream);

}  // namespace bmp

// The BMP decoder: an uncompressed 24-bit BMP with a 40-byte information header
// into the decoded image, with the header record that keeps the resolution and
// colour counts that the BMP writer puts back.
#pragma once

#include <Python.h>

#include <optional>

#include "glue/decoded_image.hpp"

namespace bmp {

// Reads a BMP from `stream` (anything with `read(n)` and `seek(position)`),
// whose current position must be its first byte and position 0. Internal: not
// published in the module namespace.
std::optional<py::DecodedImage> _loadBmp(PyObject* stream);

}  // namespace bmp

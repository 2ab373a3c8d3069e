// The BMP decoder: an uncompressed 24-bit BMP with a 40-byte information header
// into the decoded image, with the header record that keeps the resolution and
// colour counts that the BMP writer puts back.
#pragma once

#include <Python.h>

#include <optional>

#include "module/decoded_image.hpp"

namespace bmp {

// Reads a BMP from `stream` (anything with `read(n)` and `seek(position)`),
// whose current position must be its first byte and position 0. Internal: not
// published in the module namespace.
//
// The route is decided once, here: an exact io.BytesIO, while `struct.unpack`
// is the module's own, is read from its buffer by the codec (the byte route)
// and left where the reads would have left it; any other stream, or a rebound
// `struct`, takes the literal route: the reads, seeks and unpacking calls in
// their order.
std::optional<py::DecodedImage> _loadBmp(PyObject* stream);

}  // namespace bmp

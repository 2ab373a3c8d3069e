// The PNG decoder: an 8-bit RGB or RGBA, non-interlaced PNG into the decoded
// image, keeping the file's chunk list and the filter type of every row so
// that the image can be written back in the same layout.
#pragma once

#include <Python.h>

#include <optional>

#include "glue/decoded_image.hpp"

namespace png {

// Reads a PNG from `stream` (anything with `read(n)`), positioned at its first
// byte. Internal: not published in the module namespace.
std::optional<py::DecodedImage> _loadPng(PyObject* stream);

// The same for the whole content of a file held in `bytes` (exact bytes), as
// `_loadPng` would read it from an io.BytesIO over them, without the stream.
std::optional<py::DecodedImage> loadPngFromBytes(PyObject* bytes);

}  // namespace png

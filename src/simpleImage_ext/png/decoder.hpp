// The PNG decoder: an 8-bit RGB or RGBA, non-interlaced PNG into the
// decoded-image tuple (width, height, pixels, channels, alpha, chunks, None,
// png_filters), keeping the file's chunk list and the filter type of every row
// so that the image can be written back in the same layout.
#pragma once

#include <Python.h>

#include "glue/ref.hpp"

namespace png {

// Reads a PNG from `stream` (anything with `read(n)`), positioned at its first
// byte. Internal: not published in the module namespace.
py::Ref _loadPng(PyObject* stream);

}  // namespace png

// Single-pixel access: `SimpleImage._getPixel(coords)` and
// `SimpleImage._putPixel(coords, value)`, which read and write the three bytes
// of pixel (x, y) in the RGB buffer, as Python indexing would.
#pragma once

#include <Python.h>

namespace image {

PyMethodDef getPixelMethod();
PyMethodDef putPixelMethod();

}  // namespace image

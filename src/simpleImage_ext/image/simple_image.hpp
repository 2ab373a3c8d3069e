// The `SimpleImage` class: an 8-bit RGB raster in one flat byte buffer, an
// optional alpha plane, and the side data that records how the image was stored
// in the file it came from.
#pragma once

#include <Python.h>

#include <cstdint>

#include "glue/arguments.hpp"
#include "glue/ref.hpp"

namespace image {

struct SimpleImageObject {
    PyObject_HEAD
    std::int32_t width;
    std::int32_t height;
    PyObject* pixels;      // bytearray of width * height * 3 bytes, or None
    PyObject* alpha;       // None or the alpha plane
    PyObject* pngChunks;   // None or the PNG chunk list
    PyObject* pngFilters;  // None or one filter-type byte per row
    PyObject* bmpHeader;   // None or the BMP header record
};

inline SimpleImageObject* asImage(PyObject* object) {
    return reinterpret_cast<SimpleImageObject*>(object);
}

// cls(width, height, pixels, alpha, png_chunks, bmp_header, png_filters), for
// arguments that the caller has just made. When `cls` is the class itself and
// its construction has not been replaced, a bytearray that only the caller holds
// becomes the image's buffer instead of being copied: no one could tell the
// difference, and a decoded image is not copied once more.
py::Ref constructFromNewObjects(PyObject* cls, const py::Arguments<7>& args);

// Creates the class, records it and binds it as `SimpleImage` in the module.
bool addSimpleImageType(PyObject* module);

}  // namespace image

// The `SimpleImage` class: an 8-bit RGB raster in one flat byte buffer, an
// optional alpha plane, and the side data that records how the image was stored
// in the file it came from.
#pragma once

#include <Python.h>

#include <cstdint>

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

// Creates the class, records it and binds it as `SimpleImage` in the module.
bool addSimpleImageType(PyObject* module);

}  // namespace image

// The `SimpleImage` class: an 8-bit RGB raster in one flat byte buffer, an
// optional alpha plane, and the side data that records how the image was stored
// in the file it came from.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "capi/arguments.hpp"
#include "capi/ref.hpp"

namespace image {

// The fields that hold objects, in declaration order. Each holds a reference;
// None stands for an absent value.
enum ObjectField : std::size_t {
    kPixels,           // bytearray of width * height * 3 bytes, or None
    kAlpha,            // the alpha plane
    kPngChunks,        // the PNG chunk list
    kPngFilters,       // one filter-type byte per row
    kBmpHeaderRecord,  // the BMP header record
    kObjectFieldCount,
};

// The side data: every object field after the pixel buffer. These take any
// object and can be part of reference cycles.
inline constexpr std::size_t kFirstSideData = kAlpha;

struct SimpleImageObject {
    PyObject_HEAD
    std::int32_t width;
    std::int32_t height;
    std::array<PyObject*, kObjectFieldCount> objects;
};

inline SimpleImageObject* asImage(PyObject* object) {
    return reinterpret_cast<SimpleImageObject*>(object);
}

// The object fields, each held by a new reference: a writer or a conversion
// called with them may replace the image's fields meanwhile.
std::array<py::Ref, kObjectFieldCount> heldObjects(const SimpleImageObject* image);

// cls(width, height, pixels, alpha, png_chunks, bmp_header, png_filters), for
// arguments that the caller has just made. When `cls` is the class itself and
// its construction has not been replaced, a bytearray that only the caller holds
// becomes the image's buffer instead of being copied: no one could tell the
// difference, and a decoded image is not copied once more.
py::Ref constructFromNewObjects(PyObject* cls, const py::Arguments<7>& args);

// Creates the class, records it and binds it as `SimpleImage` in the module.
bool addSimpleImageType(PyObject* module);

}  // namespace image

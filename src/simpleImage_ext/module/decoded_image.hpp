// The decoded-image record: what a decoder makes of a file, handed from the
// decoders through `SimpleImage._streamToImage` to `SimpleImage.open`. Python
// sees it as a tuple of eight items in a fixed order; this is the one place
// that knows the order.
#pragma once

#include <Python.h>

#include <optional>

#include "capi/ref.hpp"

namespace py {

struct DecodedImage {
    Ref width;
    Ref height;
    Ref pixels;      // RGB bytearray, width * height * 3 bytes
    Ref channels;    // 3 or 4, only reported
    Ref alpha = Ref::none();       // PNG: the alpha plane or None
    Ref pngChunks = Ref::none();   // PNG: the chunk list
    Ref bmpHeaderRecord = Ref::none();   // BMP: the header record
    Ref pngFilters = Ref::none();  // PNG: one filter type per row

    // (width, height, pixels, channels, alpha, chunks, bmp_meta, png_filters)
    Ref toTuple() const;

    // Unpacks `decoded`, any iterable of exactly eight items in the order above;
    // otherwise the interpreter's unpacking error.
    static std::optional<DecodedImage> fromTuple(PyObject* decoded);
};

}  // namespace py

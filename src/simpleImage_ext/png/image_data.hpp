// The image data of a PNG: the IDAT data inflated and its rows rebuilt into
// the image's planes, by the route that the module's `zlib.decompress` calls for.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "glue/ref.hpp"
#include "png/idat_parts.hpp"

namespace png {

struct Geometry {
    std::int32_t width;
    std::int32_t height;
    int channels;
    // Bytes of one rebuilt row. Negative only for a negative width, which a
    // rebound `struct` can produce; such a geometry never has a row to rebuild,
    // since no data length matches it with a positive height.
    std::int64_t stride;

    // height * (stride + 1): the length that the inflated data must have;
    // nothing when it does not fit in 64 bits.
    std::optional<std::int64_t> streamSize() const noexcept;
};

// What the decoder hands on: the RGB pixels, the alpha plane (None for RGB)
// and one filter type per row.
struct Planes {
    py::Ref pixels;
    py::Ref alpha;
    py::Ref filters;
};

// ValueError "Malformed PNG image data": the data does not match the header.
void raiseMalformed();

// Whether `compressed` bytes of deflate data can inflate to `expected` bytes.
bool canInflateTo(std::size_t compressed, std::optional<std::int64_t> expected) noexcept;

// Inflates `parts` and rebuilds the rows. When the module's zlib.decompress,
// looked up now, is the interpreter's own, the data is inflated here: whole,
// straight into the pixel plane, when its size is plausible and this build has
// an inflater, else (and whenever that inflater does not report a clean
// result) in bounded pieces through the interpreter's zlib, which gives zlib's
// own errors. Any other zlib.decompress is called once with the joined data.
bool decodeImageData(IdatParts& parts, const Geometry& geometry, Planes& planes);

}  // namespace png

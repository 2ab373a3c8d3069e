// What the routes of PNG image data share: the geometry the header gives,
// the planes they hand on, and the size rules of the inflated data.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "capi/ref.hpp"

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

// Whether the buffers of `geometry` can be created, once the data length has
// matched it. Only a negative width or height, which a rebound `struct` can
// give, says no: the pixel plane, the alpha plane, the filter list and the row
// above the first row are then created in this order, as bytearrays of the
// sizes the header gives, and the first that cannot be raises (ValueError
// "negative count", or MemoryError). False with that error set.
bool canCreatePlanes(const Geometry& geometry);

// Whether `compressed` bytes of deflate data can inflate to `expected` bytes.
bool canInflateTo(std::size_t compressed, std::optional<std::int64_t> expected) noexcept;

}  // namespace png

// Row copies between the image's planar layout (an RGB buffer and an optional
// alpha plane) and the interleaved layouts of the file formats. Pure functions
// over byte buffers, with no Python objects, so they can be tested and
// benchmarked alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernels {

// `count` RGBA pixels into `count` RGB pixels and `count` alpha bytes.
void splitRgba(const std::uint8_t* rgba, std::size_t count, std::uint8_t* rgb,
               std::uint8_t* alpha) noexcept;

// `count` RGB pixels and alpha bytes into `count` RGBA pixels.
void mergeRgba(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t count,
               std::uint8_t* rgba) noexcept;

// Reverses the three bytes of `count` pixels (BGR <-> RGB). `in` and `out` must
// not overlap.
void swapRedBlue(const std::uint8_t* in, std::size_t count, std::uint8_t* out) noexcept;

// Reverses the order of `rows` rows of `rowBytes` bytes each, in place.
void reverseRows(std::uint8_t* data, std::size_t rowBytes, std::size_t rows) noexcept;

}  // namespace kernels

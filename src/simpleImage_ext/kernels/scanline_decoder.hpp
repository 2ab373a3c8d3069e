// The rows of a filtered scanline stream rebuilt into the image's planes: the
// inverse of the scanline encoder. A pure kernel over byte buffers, with no
// Python objects, so it can be tested and benchmarked alone, and run without
// the interpreter's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kernels {

struct ScanlineLayout {
    std::size_t width;
    std::size_t height;
    int channels;  // 3 (RGB) or 4 (RGBA)

    std::size_t stride() const noexcept { return width * static_cast<std::size_t>(channels); }
    std::size_t streamSize() const noexcept { return height * (stride() + 1); }
};

// Rebuilds the `layout.height` records of `stream` (a filter-type byte, then
// the filtered row) top to bottom. `rgb` receives width * height * 3 bytes of
// pixels; it may be `stream` itself, which is then rebuilt in place, each row
// moving down to its place in the plane. For 4 channels `alpha` receives the
// alpha plane (width * height bytes) and `scratch` holds two RGBA rows
// (2 * width * 4 bytes); for 3 channels both may be empty. `filters` receives
// each row's filter type (height bytes).
//
// Returns the first row whose filter type is above 4; rows from there on are
// not rebuilt.
std::optional<std::size_t> decodeScanlines(const ScanlineLayout& layout,
                                           std::span<const std::uint8_t> stream,
                                           std::span<std::uint8_t> rgb,
                                           std::span<std::uint8_t> alpha,
                                           std::span<std::uint8_t> filters,
                                           std::span<std::uint8_t> scratch) noexcept;

}  // namespace kernels

// The filtered scanline stream of an image: per row one filter-type byte and the
// row filtered with that type. A pure kernel over byte buffers, with no Python
// objects, so it can be tested and benchmarked alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kernels {

// Index of the first filter type above 4, if any.
std::optional<std::size_t> firstUnsupportedFilter(std::span<const std::uint8_t> filters) noexcept;

// Fills `stream` with `height` records of 1 + width * bpp bytes. A raw row is the
// row's RGB pixels from `rgb` (width * height * 3 bytes), interleaved with its
// bytes of `alpha` (width * height bytes) when bpp is 4. `filters` is empty (every
// row type 0) or holds height types, each 0 to 4. The neighbours of the filters
// are the unfiltered bytes of the row and of the row above it. For RGBA it
// allocates two rows of working memory, and throws std::bad_alloc when it cannot.
void encodeScanlines(std::size_t width, std::size_t height, int bpp,
                     std::span<const std::uint8_t> rgb, std::span<const std::uint8_t> alpha,
                     std::span<const std::uint8_t> filters, std::span<std::uint8_t> stream);

}  // namespace kernels

#include "kernels/pixel_rows.hpp"

#include <algorithm>

#include "kernels/levels.hpp"

namespace kernels {

void splitRgba(const std::uint8_t* rgba, std::size_t count, std::uint8_t* rgb,
               std::uint8_t* alpha) noexcept {
    activeKernels().splitRgba(rgba, count, rgb, alpha);
}

void mergeRgba(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t count,
               std::uint8_t* rgba) noexcept {
    activeKernels().mergeRgba(rgb, alpha, count, rgba);
}

void swapRedBlue(const std::uint8_t* in, std::size_t count, std::uint8_t* out) noexcept {
    activeKernels().swapRedBlue(in, count, out);
}

void reverseRows(std::uint8_t* data, std::size_t rowBytes, std::size_t rows) noexcept {
    for (std::size_t top = 0, bottom = rows; top + 1 < bottom; ++top) {
        --bottom;
        std::swap_ranges(data + top * rowBytes, data + (top + 1) * rowBytes,
                         data + bottom * rowBytes);
    }
}

}  // namespace kernels

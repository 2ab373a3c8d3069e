#include "image/pixel_rows.hpp"

#include "kernels/levels.hpp"

namespace pixel_rows {

void splitRgba(const std::uint8_t* rgba, std::size_t count, std::uint8_t* rgb,
               std::uint8_t* alpha) noexcept {
    kernels::activeKernels().splitRgba(rgba, count, rgb, alpha);
}

void mergeRgba(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t count,
               std::uint8_t* rgba) noexcept {
    kernels::activeKernels().mergeRgba(rgb, alpha, count, rgba);
}

void swapRedBlue(const std::uint8_t* in, std::size_t count, std::uint8_t* out) noexcept {
    kernels::activeKernels().swapRedBlue(in, count, out);
}

}  // namespace pixel_rows

#include "kernels/pixel_rows.hpp"

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

}  // namespace kernels

#include "image/pixel_rows.hpp"

namespace pixel_rows {

void splitRgba(const std::uint8_t* rgba, std::size_t count, std::uint8_t* rgb,
               std::uint8_t* alpha) noexcept {
    for (std::size_t i = 0; i < count; ++i, rgba += 4, rgb += 3) {
        rgb[0] = rgba[0];
        rgb[1] = rgba[1];
        rgb[2] = rgba[2];
        alpha[i] = rgba[3];
    }
}

void mergeRgba(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t count,
               std::uint8_t* rgba) noexcept {
    for (std::size_t i = 0; i < count; ++i, rgb += 3, rgba += 4) {
        rgba[0] = rgb[0];
        rgba[1] = rgb[1];
        rgba[2] = rgb[2];
        rgba[3] = alpha[i];
    }
}

void swapRedBlue(const std::uint8_t* in, std::size_t count, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < count; ++i, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

}  // namespace pixel_rows

#include "kernels/scanline_decoder.hpp"

#include <cstring>

#include "kernels/filters.hpp"
#include "kernels/pixel_rows.hpp"

namespace kernels {
namespace {

using Row = std::span<const std::uint8_t>;

// Row y of an RGB image, straight into the plane. In place, the filtered bytes
// first move down to the row's place (the row above has already left room for
// them), and are then rebuilt where they lie.
void decodeRgbRow(std::uint8_t filterType, const std::uint8_t* filtered, std::uint8_t* row,
                  Row above, std::size_t stride) noexcept {
    if (filtered != row && filtered < row + stride && row < filtered + stride) {
        std::memmove(row, filtered, stride);
        filtered = row;
    }
    _applyPngFilter(filterType, {filtered, stride}, above, 3, {row, stride});
}

}  // namespace

std::optional<std::size_t> decodeScanlines(const ScanlineLayout& layout,
                                           std::span<const std::uint8_t> stream,
                                           std::span<std::uint8_t> rgb,
                                           std::span<std::uint8_t> alpha,
                                           std::span<std::uint8_t> filters,
                                           std::span<std::uint8_t> scratch) noexcept {
    const std::size_t stride = layout.stride();
    const std::size_t width = layout.width;
    for (std::size_t y = 0; y < layout.height; ++y) {
        const std::uint8_t* record = stream.data() + y * (stride + 1);
        const std::uint8_t filterType = record[0];
        filters[y] = filterType;
        if (filterType >= kFilterTypeCount) {
            return y;
        }
        if (layout.channels == 3) {
            std::uint8_t* row = rgb.data() + y * stride;
            const Row above = y == 0 ? Row{} : Row(row - stride, stride);
            decodeRgbRow(filterType, record + 1, row, above, stride);
            continue;
        }
        // RGBA rows are rebuilt in two alternating scratch rows, so that the
        // row above keeps its alpha, then split into the planes.
        std::uint8_t* row = scratch.data() + (y % 2) * stride;
        const Row above =
            y == 0 ? Row{} : Row(scratch.data() + ((y + 1) % 2) * stride, stride);
        _applyPngFilter(filterType, {record + 1, stride}, above, 4, {row, stride});
        splitRgba(row, width, rgb.data() + y * width * 3, alpha.data() + y * width);
    }
    return std::nullopt;
}

}  // namespace kernels

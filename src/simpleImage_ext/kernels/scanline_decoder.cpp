#include "kernels/scanline_decoder.hpp"

#include <cstring>

#include "kernels/filters.hpp"
#include "kernels/pixel_rows.hpp"

namespace kernels {
namespace {

using Row = std::span<const std::uint8_t>;

// How far below its filtered bytes a row may be rebuilt directly. The kernels
// work from left to right: a store never reaches past the bytes loaded for it,
// and a later load starts at most 4 bytes before the end of the earlier ones.
// So a row that lands at least this far below its input never overwrites input
// still to be read, and no load waits for a store that overlaps it, as loads
// do in place.
constexpr std::size_t kDirectShift = 16;

// Row y of an RGB image, straight into the plane. Rebuilt in place, the
// stream's rows move down by y + 1 bytes: from the 16th row on they are rebuilt
// directly into their place; before, the filtered bytes first move there.
void decodeRgbRow(std::uint8_t filterType, const std::uint8_t* filtered, std::uint8_t* row,
                  Row above, std::size_t stride) noexcept {
    const bool overlaps = filtered < row + stride && row < filtered + stride;
    if (overlaps && !(row < filtered && static_cast<std::size_t>(filtered - row) >= kDirectShift)) {
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

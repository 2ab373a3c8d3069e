#include "kernels/scanline_encoder.hpp"

#include "kernels/pixel_rows.hpp"
#include "kernels/filters.hpp"

#include <algorithm>
#include <vector>

namespace kernels {

std::optional<std::size_t> firstUnsupportedFilter(std::span<const std::uint8_t> filters) noexcept {
    const auto found = std::ranges::find_if(
        filters, [](std::uint8_t type) { return type >= kFilterTypeCount; });
    if (found == filters.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - filters.begin());
}

void encodeScanlines(std::size_t width, std::size_t height, int bpp,
                     std::span<const std::uint8_t> rgb, std::span<const std::uint8_t> alpha,
                     std::span<const std::uint8_t> filters, std::span<std::uint8_t> stream) {
    const std::size_t rowLength = width * static_cast<std::size_t>(bpp);
    const bool withAlpha = bpp == 4;
    // RGBA rows are assembled alternately in the two halves, so that the raw row
    // above stays intact while the current one is filtered. Nothing is allocated
    // for an image without rows, whose width alone may be two billion.
    std::vector<std::uint8_t> merged(withAlpha && height > 0 ? 2 * rowLength : 0);
    // An empty previous row stands for the row of zeros above the first row.
    std::span<const std::uint8_t> previous;
    for (std::size_t y = 0; y < height; ++y) {
        std::span<const std::uint8_t> raw;
        if (withAlpha) {
            std::uint8_t* target = merged.data() + (y % 2) * rowLength;
            mergeRgba(rgb.data() + y * width * 3, alpha.data() + y * width, width,
                                  target);
            raw = {target, rowLength};
        } else {
            raw = rgb.subspan(y * rowLength, rowLength);
        }
        const auto type = filters.empty() ? kFilterNone : static_cast<FilterType>(filters[y]);
        std::span<std::uint8_t> record = stream.subspan(y * (rowLength + 1), rowLength + 1);
        record[0] = type;
        if (type == kFilterNone) {
            std::ranges::copy(raw, record.begin() + 1);
        } else {
            filterRow(type, raw, previous, bpp, record.subspan(1));
        }
        previous = raw;
    }
}

}  // namespace kernels

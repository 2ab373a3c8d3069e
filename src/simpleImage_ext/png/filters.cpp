#include "png/filters.hpp"

#include <algorithm>
#include <array>

namespace png {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Predictor of byte i from its left, above and upper-left neighbours.
template <FilterType type>
constexpr int predict(int left, int above, int upperLeft) noexcept {
    if constexpr (type == kFilterSub) {
        return left;
    } else if constexpr (type == kFilterUp) {
        return above;
    } else if constexpr (type == kFilterAverage) {
        return (left + above) >> 1;  // the sum is formed in full before halving
    } else if constexpr (type == kFilterPaeth) {
        return _paethPredictor(left, above, upperLeft);
    } else {
        return 0;
    }
}

// One pass over the row. For reconstruction the left neighbours come from the
// output written so far; for filtering they come from the raw input.
template <FilterType type, bool reconstruct>
void runFilter(Bytes input, Bytes previous, std::size_t bpp, std::uint8_t* output) noexcept {
    const std::size_t n = input.size();
    const std::uint8_t* left = reconstruct ? output : input.data();
    const bool hasPrevious = !previous.empty();
    for (std::size_t i = 0; i < n; ++i) {
        const int a = i >= bpp ? left[i - bpp] : 0;
        const int b = hasPrevious ? previous[i] : 0;
        const int c = hasPrevious && i >= bpp ? previous[i - bpp] : 0;
        const int p = predict<type>(a, b, c);
        output[i] = static_cast<std::uint8_t>(reconstruct ? input[i] + p : input[i] - p);
    }
}

template <bool reconstruct>
using FilterKernel = void (*)(Bytes, Bytes, std::size_t, std::uint8_t*) noexcept;

template <bool reconstruct>
constexpr std::array<FilterKernel<reconstruct>, kFilterTypeCount> kernels = {
    runFilter<kFilterNone, reconstruct>, runFilter<kFilterSub, reconstruct>,
    runFilter<kFilterUp, reconstruct>, runFilter<kFilterAverage, reconstruct>,
    runFilter<kFilterPaeth, reconstruct>,
};

}  // namespace

int _applyPngFilter(int filterType, Bytes filtered, Bytes previous, int bpp,
                    std::span<std::uint8_t> output) noexcept {
    if (filterType < 0 || filterType >= kFilterTypeCount) {
        return -1;
    }
    kernels<true>[filterType](filtered, previous, static_cast<std::size_t>(bpp), output.data());
    return 0;
}

void filterRow(FilterType filterType, Bytes raw, Bytes previousRaw, int bpp,
               std::span<std::uint8_t> output) noexcept {
    kernels<false>[filterType](raw, previousRaw, static_cast<std::size_t>(bpp), output.data());
}

}  // namespace png

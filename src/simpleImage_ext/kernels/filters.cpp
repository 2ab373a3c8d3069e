#include "kernels/filters.hpp"

#include "kernels/levels.hpp"
#include "kernels/reference.hpp"

namespace kernels {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Runs one row through the kernels of the processor's best level, or through
// the reference code for pixel sizes other than 3 and 4.
template <bool reconstruct>
void runRow(int filterType, Bytes in, Bytes previous, int bpp, std::uint8_t* out) noexcept {
    const std::uint8_t* above = previous.empty() ? nullptr : previous.data();
    if (above == nullptr) {
        // Without a row above, Up copies the row and Paeth is Sub: the predictor
        // of (left, 0, 0) is left. Only Average still needs the reference.
        if (filterType == kFilterUp) {
            filterType = kFilterNone;
        } else if (filterType == kFilterPaeth) {
            filterType = kFilterSub;
        }
    }
    const bool specialised = (bpp == 3 || bpp == 4) &&
                             (above != nullptr || filterType != kFilterAverage);
    if (specialised) {
        const KernelSet& set = activeKernels();
        const RowTable& table = reconstruct ? set.reconstruct : set.filter;
        table.byBpp[bpp - kFirstKernelBpp][filterType](in.data(), above, out, in.size());
    } else if constexpr (reconstruct) {
        reference::reconstructRange(filterType, in.data(), above,
                                             static_cast<std::size_t>(bpp), out, 0, in.size());
    } else {
        reference::filterRange(filterType, in.data(), above,
                                        static_cast<std::size_t>(bpp), out, 0, in.size());
    }
}

}  // namespace

// Reconstructs a row (undoes its filter), the decoder's direction; filterRow below
// applies a filter for writing.
int _applyPngFilter(int filterType, Bytes filtered, Bytes previous, int bpp,
                    std::span<std::uint8_t> output) noexcept {
    if (filterType < 0 || filterType >= kFilterTypeCount) {
        return -1;
    }
    runRow<true>(filterType, filtered, previous, bpp, output.data());
    return 0;
}

void filterRow(FilterType filterType, Bytes raw, Bytes previousRaw, int bpp,
               std::span<std::uint8_t> output) noexcept {
    runRow<false>(filterType, raw, previousRaw, bpp, output.data());
}

}  // namespace kernels

// Kernels in plain C++ for processors without a hand-written vector level. The
// pixel size is a constant and the first pixel, the only one without left
// neighbours, is left to the reference code, so the loops carry no per-byte
// tests: the forward filters and Up vectorise, the others unroll per pixel.
#include <algorithm>

#include "kernels/kernel_set.hpp"
#include "kernels/predictors.hpp"
#include "kernels/reference.hpp"

namespace kernels::portable {
namespace {

using std::size_t;
using std::uint8_t;

template <bool reconstruct>
struct Direction {
    template <FilterType type, size_t bpp>
    static void run(const uint8_t* in, const uint8_t* previous, uint8_t* out,
                    size_t n) noexcept {
        if constexpr (type == kFilterNone) {
            reference::copyRow(in, previous, out, n);
            return;
        }
        const size_t head = std::min(bpp, n);
        if constexpr (reconstruct) {
            reference::reconstructRange(type, in, previous, bpp, out, 0, head);
        } else {
            reference::filterRange(type, in, previous, bpp, out, 0, head);
        }
        const uint8_t* left = reconstruct ? out : in;
        for (size_t i = bpp; i < n; ++i) {
            int above = 0;
            int upperLeft = 0;
            if constexpr (type != kFilterSub) {
                above = previous[i];
                upperLeft = previous[i - bpp];
            }
            const int p = predict<type>(left[i - bpp], above, upperLeft);
            out[i] = static_cast<uint8_t>(reconstruct ? in[i] + p : in[i] - p);
        }
    }
};

}  // namespace

const KernelSet& kernelSet() noexcept {
    static constexpr KernelSet set = {
        .reconstruct = makeRowTable<Direction<true>>(),
        .filter = makeRowTable<Direction<false>>(),
        .splitRgba = reference::splitRgba,
        .mergeRgba = reference::mergeRgba,
        .swapRedBlue = reference::swapRedBlue,
        .adler32 = reference::adler32,
    };
    return set;
}

}  // namespace kernels::portable

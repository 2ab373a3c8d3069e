// The predictor of each filter type for one byte, shared by the reference and
// the portable kernels. Not for the x86 units: an inline function used there
// would also be emitted in their instruction sets (see x86_kernels.inl).
#pragma once

#include "png/filters.hpp"

namespace kernels {

template <png::FilterType type>
constexpr int predict(int left, int above, int upperLeft) noexcept {
    if constexpr (type == png::kFilterSub) {
        return left;
    } else if constexpr (type == png::kFilterUp) {
        return above;
    } else if constexpr (type == png::kFilterAverage) {
        return (left + above) >> 1;  // the sum is formed in full before halving
    } else if constexpr (type == png::kFilterPaeth) {
        return png::_paethPredictor(left, above, upperLeft);
    } else {
        return 0;
    }
}

}  // namespace kernels

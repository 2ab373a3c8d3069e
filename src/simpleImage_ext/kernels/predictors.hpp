// The predictor of each filter type for one byte, shared by the reference and
// the portable kernels. Not for the x86 units: an inline function used there
// would also be emitted in their instruction sets (see x86_kernels.inl).
#pragma once

#include "kernels/filters.hpp"

namespace kernels {

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

}  // namespace kernels

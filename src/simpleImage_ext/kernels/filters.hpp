// PNG scanline filters: the five filter types in both directions and the Paeth
// predictor. Pure functions over byte rows; they touch no Python object and
// allocate nothing, so they can be tested, fuzzed and benchmarked alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kernels {

enum FilterType : std::uint8_t {
    kFilterNone = 0,
    kFilterSub = 1,
    kFilterUp = 2,
    kFilterAverage = 3,
    kFilterPaeth = 4,
};

constexpr int kFilterTypeCount = 5;

// The Paeth predictor of the PNG format for a = left, b = above, c = upper-left.
// Ties go to a, then to b; c wins only when strictly closer than both.
constexpr int _paethPredictor(int a, int b, int c) noexcept {
    const int p = a + b - c;
    const int pa = p > a ? p - a : a - p;
    const int pb = p > b ? p - b : b - p;
    const int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc) {
        return a;
    }
    return pb <= pc ? b : c;
}

// Reconstructs one scanline: output[i] = filtered[i] + predictor, modulo 256.
// `previous` is the reconstructed row above, empty for "all zeros" or at least as
// long as `filtered`; `output` must not overlap `previous` and holds at least
// filtered.size() bytes. `filtered` may be `output` itself (in-place decoding).
// Returns 0, or -1 for a filter type outside 0..4, leaving `output` untouched.
int _applyPngFilter(int filterType, std::span<const std::uint8_t> filtered,
                    std::span<const std::uint8_t> previous, int bpp,
                    std::span<std::uint8_t> output) noexcept;

// Filters one scanline for writing: output[i] = raw[i] - predictor, modulo 256,
// with the neighbours taken from the unfiltered bytes of `raw` and `previousRaw`
// (the raw row above, all zeros for the first row). All three spans have the
// same length; `filterType` must be 0..4.
void filterRow(FilterType filterType, std::span<const std::uint8_t> raw,
               std::span<const std::uint8_t> previousRaw, int bpp,
               std::span<std::uint8_t> output) noexcept;

}  // namespace kernels

#include "kernels/reference.hpp"

#include <cstring>

#include "kernels/kernel_set.hpp"
#include "kernels/predictors.hpp"

namespace kernels::reference {
namespace {

using std::size_t;
using std::uint8_t;

// One pass over bytes [from, n). For reconstruction the left neighbours come
// from the output written so far; for filtering they come from the raw input.
template <FilterType type, bool reconstruct>
void runFilter(const uint8_t* input, const uint8_t* previous, size_t bpp, uint8_t* output,
               size_t from, size_t n) noexcept {
    const uint8_t* left = reconstruct ? output : input;
    for (size_t i = from; i < n; ++i) {
        const int a = i >= bpp ? left[i - bpp] : 0;
        const int b = previous != nullptr ? previous[i] : 0;
        const int c = previous != nullptr && i >= bpp ? previous[i - bpp] : 0;
        const int p = predict<type>(a, b, c);
        output[i] = static_cast<uint8_t>(reconstruct ? input[i] + p : input[i] - p);
    }
}

using RangeKernel = void (*)(const uint8_t*, const uint8_t*, size_t, uint8_t*, size_t,
                             size_t) noexcept;

template <bool reconstruct>
constexpr RangeKernel kRangeKernels[kFilterTypeCount] = {
    runFilter<kFilterNone, reconstruct>, runFilter<kFilterSub, reconstruct>,
    runFilter<kFilterUp, reconstruct>, runFilter<kFilterAverage, reconstruct>,
    runFilter<kFilterPaeth, reconstruct>,
};

template <bool reconstruct>
struct Direction {
    template <FilterType type, size_t bpp>
    static void run(const uint8_t* in, const uint8_t* previous, uint8_t* out,
                    size_t n) noexcept {
        runFilter<type, reconstruct>(in, previous, bpp, out, 0, n);
    }
};

}  // namespace

void reconstructRange(int filterType, const uint8_t* filtered, const uint8_t* previous,
                      size_t bpp, uint8_t* out, size_t from, size_t n) noexcept {
    kRangeKernels<true>[filterType](filtered, previous, bpp, out, from, n);
}

void filterRange(int filterType, const uint8_t* raw, const uint8_t* previous, size_t bpp,
                 uint8_t* out, size_t from, size_t n) noexcept {
    kRangeKernels<false>[filterType](raw, previous, bpp, out, from, n);
}

void copyRow(const uint8_t* in, const uint8_t*, uint8_t* out, size_t n) noexcept {
    if (n != 0 && in != out) {
        std::memmove(out, in, n);
    }
}

void splitRgba(const uint8_t* rgba, size_t count, uint8_t* rgb, uint8_t* alpha) noexcept {
    for (size_t i = 0; i < count; ++i, rgba += 4, rgb += 3) {
        rgb[0] = rgba[0];
        rgb[1] = rgba[1];
        rgb[2] = rgba[2];
        alpha[i] = rgba[3];
    }
}

void mergeRgba(const uint8_t* rgb, const uint8_t* alpha, size_t count, uint8_t* rgba) noexcept {
    for (size_t i = 0; i < count; ++i, rgb += 3, rgba += 4) {
        rgba[0] = rgb[0];
        rgba[1] = rgb[1];
        rgba[2] = rgb[2];
        rgba[3] = alpha[i];
    }
}

void swapRedBlue(const uint8_t* in, size_t count, uint8_t* out) noexcept {
    for (size_t i = 0; i < count; ++i, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

std::uint32_t adler32(std::uint32_t adler, const uint8_t* data, size_t size) noexcept {
    std::uint32_t low = adler & 0xFFFF;
    std::uint32_t high = adler >> 16;
    while (size != 0) {
        const size_t chunk = size < kAdlerChunk ? size : kAdlerChunk;
        for (size_t i = 0; i < chunk; ++i) {
            low += data[i];
            high += low;
        }
        low %= kAdlerModulus;
        high %= kAdlerModulus;
        data += chunk;
        size -= chunk;
    }
    return high << 16 | low;
}

const KernelSet& kernelSet() noexcept {
    static constexpr KernelSet set = {
        .reconstruct = makeRowTable<Direction<true>>(),
        .filter = makeRowTable<Direction<false>>(),
        .splitRgba = splitRgba,
        .mergeRgba = mergeRgba,
        .swapRedBlue = swapRedBlue,
        .adler32 = adler32,
    };
    return set;
}

}  // namespace kernels::reference

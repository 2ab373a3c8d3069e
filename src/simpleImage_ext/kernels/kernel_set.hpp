// The row kernels and the Adler-32 checksum of one instruction-set level,
// gathered in a table. The public entry points go through a table assembled
// once from these (levels.hpp) and then only index into it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/filters.hpp"

namespace kernels {

// One scanline of n bytes in either direction. `previous` is the row above, n
// bytes long; the None and Sub kernels never read it and accept nullptr.
// Reconstruction may run in place (in == out); filtering may not.
using RowKernel = void (*)(const std::uint8_t* in, const std::uint8_t* previous,
                           std::uint8_t* out, std::size_t n) noexcept;

using SplitRgbaKernel = void (*)(const std::uint8_t* rgba, std::size_t count, std::uint8_t* rgb,
                                 std::uint8_t* alpha) noexcept;
using MergeRgbaKernel = void (*)(const std::uint8_t* rgb, const std::uint8_t* alpha,
                                 std::size_t count, std::uint8_t* rgba) noexcept;
using SwapRedBlueKernel = void (*)(const std::uint8_t* in, std::size_t count,
                                   std::uint8_t* out) noexcept;
// The Adler-32 of `size` bytes, continued from `adler` (1 to start). Its two
// sums are taken modulo the largest prime below 2^16; from sums below the
// modulus, kAdlerChunk more bytes keep the larger sum within 32 bits.
inline constexpr std::uint32_t kAdlerModulus = 65521;
inline constexpr std::size_t kAdlerChunk = 5552;
using Adler32Kernel = std::uint32_t (*)(std::uint32_t adler, const std::uint8_t* data,
                                        std::size_t size) noexcept;

// The specialised filter kernels cover 3 and 4 bytes per pixel, the only pixel
// sizes of the image type; other sizes go to the reference code.
constexpr int kFirstKernelBpp = 3;
constexpr int kKernelBppCount = 2;

// One entry per specialised row kernel of a direction.
template <class Entry>
struct RowSlots {
    Entry byBpp[kKernelBppCount][kFilterTypeCount];  // [bpp - 3][filter type]
};

using RowTable = RowSlots<RowKernel>;

// The table of a class whose static member template run<type, bpp> is the
// kernel for one filter type and pixel size. Evaluated by the compiler only.
template <class Kernels>
consteval RowTable makeRowTable() {
    using enum FilterType;
    return {{{Kernels::template run<kFilterNone, 3>, Kernels::template run<kFilterSub, 3>,
              Kernels::template run<kFilterUp, 3>, Kernels::template run<kFilterAverage, 3>,
              Kernels::template run<kFilterPaeth, 3>},
             {Kernels::template run<kFilterNone, 4>, Kernels::template run<kFilterSub, 4>,
              Kernels::template run<kFilterUp, 4>, Kernels::template run<kFilterAverage, 4>,
              Kernels::template run<kFilterPaeth, 4>}}};
}

struct KernelSet {
    RowTable reconstruct;
    RowTable filter;
    SplitRgbaKernel splitRgba;
    MergeRgbaKernel mergeRgba;
    SwapRedBlueKernel swapRedBlue;
    Adler32Kernel adler32;
};

// One table per level, each defined in its own unit. The x86 tables may only be
// used on processors that have the level (see levels.hpp).
namespace reference { const KernelSet& kernelSet() noexcept; }
namespace portable { const KernelSet& kernelSet() noexcept; }
namespace sse2 { const KernelSet& kernelSet() noexcept; }
namespace ssse3 { const KernelSet& kernelSet() noexcept; }
namespace avx2 { const KernelSet& kernelSet() noexcept; }
namespace avx512 { const KernelSet& kernelSet() noexcept; }

}  // namespace kernels

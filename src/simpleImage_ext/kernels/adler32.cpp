#include "kernels/adler32.hpp"

#include "kernels/kernel_set.hpp"
#include "kernels/levels.hpp"

namespace kernels {

std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept {
    return activeKernels().adler32(adler, data, size);
}

std::uint32_t adler32Combine(std::uint32_t first, std::uint32_t second,
                             std::uint64_t secondLength) noexcept {
    const std::uint64_t length = secondLength % kAdlerModulus;
    const std::uint64_t a1 = first & 0xffff;
    const std::uint64_t b1 = first >> 16;
    const std::uint64_t a2 = second & 0xffff;
    const std::uint64_t b2 = second >> 16;
    // A's sum a1 is added once per byte of B to every b, and B's sums start
    // from 1 rather than from a1.
    const std::uint64_t a = (a1 + a2 + kAdlerModulus - 1) % kAdlerModulus;
    const std::uint64_t b = (b1 + b2 + length * a1 + kAdlerModulus - length) % kAdlerModulus;
    return static_cast<std::uint32_t>(b << 16 | a);
}

}  // namespace kernels

#include "kernels/deflate/adler32.hpp"

namespace kernels::deflate {
namespace {

constexpr std::uint32_t kModulus = 65521;
// The most bytes whose sums cannot overflow 32 bits before they are reduced.
constexpr std::size_t kMaxRun = 5552;

}  // namespace

std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept {
#if defined(SIMPLEIMAGE_X86_KERNELS)
    static const bool hasAvx2 = __builtin_cpu_supports("avx2");
    if (hasAvx2) {
        return x86::adler32Avx2(adler, data, size);
    }
#endif
    return adler32Scalar(adler, data, size);
}

std::uint32_t adler32Scalar(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept {
    std::uint32_t a = adler & 0xffff;
    std::uint32_t b = adler >> 16;
    while (size > 0) {
        const std::size_t run = size < kMaxRun ? size : kMaxRun;
        for (std::size_t i = 0; i < run; ++i) {
            a += data[i];
            b += a;
        }
        data += run;
        size -= run;
        a %= kModulus;
        b %= kModulus;
    }
    return b << 16 | a;
}

std::uint32_t adler32Combine(std::uint32_t first, std::uint32_t second,
                             std::uint64_t secondLength) noexcept {
    const std::uint64_t length = secondLength % kModulus;
    const std::uint64_t a1 = first & 0xffff;
    const std::uint64_t b1 = first >> 16;
    const std::uint64_t a2 = second & 0xffff;
    const std::uint64_t b2 = second >> 16;
    // A's sum a1 is added once per byte of B to every b, and B's sums start
    // from 1 rather than from a1.
    const std::uint64_t a = (a1 + a2 + kModulus - 1) % kModulus;
    const std::uint64_t b = (b1 + b2 + length * a1 + kModulus - length) % kModulus;
    return static_cast<std::uint32_t>(b << 16 | a);
}

}  // namespace kernels::deflate

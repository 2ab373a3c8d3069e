// CRC-32 folding with carry-less multiplication: four 128-bit lanes are folded
// 64 bytes at a time, then into one lane, then reduced to 32 bits with a
// Barrett reduction. The constants are powers of x modulo the reflected
// polynomial, bit-reflected: x^(4*128+32) and x^(4*128-32) for the four-lane
// fold, x^(128+32) and x^(128-32) for the one-lane fold, x^64 for the last 32
// bits, and the polynomial itself with its Barrett quotient.
#include "kernels/crc32.hpp"

#include <immintrin.h>

namespace kernels::x86 {
namespace {

__m128i load(const std::uint8_t* data) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
}

// Carries `lane` 128 bits (or 512) further along the message and adds `next`.
__m128i fold(__m128i lane, __m128i constants, __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

}  // namespace

std::uint32_t foldCrc32(std::uint32_t state, const std::uint8_t* data, std::size_t size) noexcept {
    const __m128i fourLanes = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i oneLane = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i last32 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x1 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(state)));
    __m128i x2 = load(data + 16);
    __m128i x3 = load(data + 32);
    __m128i x4 = load(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        x1 = fold(x1, fourLanes, load(data));
        x2 = fold(x2, fourLanes, load(data + 16));
        x3 = fold(x3, fourLanes, load(data + 32));
        x4 = fold(x4, fourLanes, load(data + 48));
    }
    x1 = fold(x1, oneLane, x2);
    x1 = fold(x1, oneLane, x3);
    x1 = fold(x1, oneLane, x4);
    for (; size >= 16; data += 16, size -= 16) {
        x1 = fold(x1, oneLane, load(data));
    }
    // 128 bits to 64, 64 to 32, then the remainder.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, oneLane, 0x10));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                       _mm_clmulepi64_si128(_mm_and_si128(x1, low32), last32, 0x00));
    __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    quotient = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, quotient), 1));
}

}  // namespace kernels::x86

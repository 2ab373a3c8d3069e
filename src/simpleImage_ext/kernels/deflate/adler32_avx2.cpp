// Adler-32 with 32-byte vectors (built with -mavx2; called only where the
// processor has AVX2). Per run of at most kMaxRun bytes, lanes gather the sum
// of the bytes (b) and the sum of each byte weighted by its distance from the
// end of its 32-byte chunk, and a third set of lanes the sum of the byte sums
// before each chunk, which counts 32 times for every later chunk; the lanes
// are folded and reduced at the end of the run.
#include <immintrin.h>

#include "kernels/deflate/adler32.hpp"

namespace kernels::deflate::x86 {
namespace {

constexpr std::uint32_t kModulus = 65521;
constexpr std::size_t kMaxRun = 5552 / 32 * 32;

std::uint32_t sumLanes(__m256i lanes) {
    __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum));
}

}  // namespace

std::uint32_t adler32Avx2(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept {
    std::uint32_t a = adler & 0xffff;
    std::uint32_t b = adler >> 16;
    const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                                             17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i zero = _mm256_setzero_si256();
    while (size >= 32) {
        const std::size_t run = (size < kMaxRun ? size : kMaxRun) & ~std::size_t{31};
        __m256i byteSums = zero;      // 64-bit lanes of byte sums
        __m256i weighted = zero;      // 32-bit lanes of weighted sums
        __m256i earlierSums = zero;   // 64-bit lanes: the byte sums before each chunk
        for (std::size_t i = 0; i < run; i += 32) {
            const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
            earlierSums = _mm256_add_epi64(earlierSums, byteSums);
            byteSums = _mm256_add_epi64(byteSums, _mm256_sad_epu8(chunk, zero));
            weighted = _mm256_add_epi32(weighted,
                                        _mm256_madd_epi16(_mm256_maddubs_epi16(chunk, weights), ones));
        }
        // b gains a for every byte of the run, the bytes' weights, and 32 times
        // the sums of the chunks before each chunk.
        const std::uint64_t gained = std::uint64_t{a} * run + sumLanes(weighted) +
                                     32 * std::uint64_t{sumLanes(earlierSums)};
        b = static_cast<std::uint32_t>((b + gained) % kModulus);
        a = (a + sumLanes(byteSums)) % kModulus;
        data += run;
        size -= run;
    }
    return adler32Scalar(b << 16 | a, data, size);
}

}  // namespace kernels::deflate::x86

// Vector kernels for x86-64, compiled once per instruction-set level: each
// including unit defines KERNEL_LEVEL (the level's namespace) and is built with
// that level's compiler flags, so this one source gives the SSE2, SSSE3, AVX2
// and AVX-512 kernels, and each level's code runs only where the processor has
// it. The AVX-512 level keeps the AVX2 vector widths and gains three-input
// logic, which makes each selection one instruction.
//
// Everything here has internal linkage, and nothing here calls an inline
// function with external linkage: such a function would be emitted in this
// unit's instruction set, and the linker could keep that copy for callers on
// processors without it. Row heads and tails go to the reference code, which
// is compiled for the baseline.
//
// In-place reconstruction (filtered == out) stays exact because every store
// covers only bytes that were loaded before it, and bytes of a store past the
// last whole pixel of its block get their filtered value back unchanged.

#include <immintrin.h>

#include <cstring>
#include <type_traits>
#include <utility>

#include "kernels/kernel_set.hpp"
#include "kernels/reference.hpp"

#if !defined(KERNEL_LEVEL)
#error "KERNEL_LEVEL must name the instruction-set level of the including unit"
#endif

namespace kernels::KERNEL_LEVEL {
namespace {

using std::size_t;
using std::uint8_t;
using Xmm = __m128i;

Xmm load16(const uint8_t* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const Xmm*>(p));
}

void store16(uint8_t* p, Xmm v) noexcept {
    _mm_storeu_si128(reinterpret_cast<Xmm*>(p), v);
}

Xmm allOnes() noexcept {
    return _mm_set1_epi8(-1);
}

// A mask of the low `count` bytes.
template <int count>
Xmm lowBytes() noexcept {
    return _mm_srli_si128(allOnes(), 16 - count);
}

// The bytes of `ifSet` where `mask` is set, else those of `ifClear`.
Xmm select(Xmm mask, Xmm ifSet, Xmm ifClear) noexcept {
#if defined(__AVX512VL__)
    return _mm_ternarylogic_epi32(mask, ifSet, ifClear, 0xCA);
#else
    return _mm_or_si128(_mm_and_si128(mask, ifSet), _mm_andnot_si128(mask, ifClear));
#endif
}

// (mask & x) ^ y.
Xmm xorWhere(Xmm mask, Xmm x, Xmm y) noexcept {
#if defined(__AVX512VL__)
    return _mm_ternarylogic_epi32(mask, x, y, 0x6A);
#else
    return _mm_xor_si128(_mm_and_si128(mask, x), y);
#endif
}

// Calls body(std::integral_constant<size_t, k>) for k = 0 .. count - 1, so that
// shift counts derived from k are constants.
template <size_t count, class Body>
void unroll(Body&& body) noexcept {
    [&]<size_t... k>(std::index_sequence<k...>) {
        (body(std::integral_constant<size_t, k>{}), ...);
    }(std::make_index_sequence<count>{});
}

// ---------------------------------------------------------------------------
// Reconstruction. Sub, Average and Paeth depend on the output pixel to the
// left, so they run one 16-byte block at a time with the chain of pixels kept
// in registers; Up has no such dependency.

// Sub is a running sum with stride bpp. Within a block the sum is built in
// logarithmic steps (adding the block to itself shifted by bpp, 2 bpp, 4 bpp
// bytes), then the left neighbours carried over from the block before are added.
template <size_t bpp>
Xmm prefixSum(Xmm x) noexcept {
    x = _mm_add_epi8(x, _mm_slli_si128(x, bpp));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 2 * bpp));
    if constexpr (4 * bpp < 16) {
        x = _mm_add_epi8(x, _mm_slli_si128(x, 4 * bpp));
    }
    return x;
}

// The block's running sum including the last bpp bytes of `previousBlock`.
template <size_t bpp>
Xmm subBlock(Xmm x, Xmm previousBlock) noexcept {
    if constexpr (bpp == 4) {
        return _mm_add_epi8(prefixSum<bpp>(x), _mm_shuffle_epi32(previousBlock, 0xFF));
    } else {
#if defined(__SSSE3__)
        const Xmm lastBytesRepeated =
            _mm_setr_epi8(13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13, 14, 15, 13);
        return _mm_add_epi8(prefixSum<bpp>(x), _mm_shuffle_epi8(previousBlock, lastBytesRepeated));
#else
        // Without a byte shuffle the carry enters the first pixel and the sum spreads it.
        return prefixSum<bpp>(_mm_add_epi8(x, _mm_srli_si128(previousBlock, 16 - bpp)));
#endif
    }
}

template <size_t bpp>
void reconstructSub(const uint8_t* filtered, uint8_t* out, size_t n) noexcept {
    Xmm block = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        block = subBlock<bpp>(load16(filtered + i), block);
        store16(out + i, block);
    }
    reference::reconstructRange(kFilterSub, filtered, nullptr, bpp, out, i, n);
}

// Average, one pixel after the other. In complements the floor average is the
// rounding-up one, floor((a + b) / 2) = ~avg(~a, ~b), so the complement of an
// output pixel is avg(~left, ~above) - filtered: two instructions per pixel on
// the dependency chain.
template <size_t bpp>
void reconstructAverage(const uint8_t* filtered, const uint8_t* previous, uint8_t* out,
                        size_t n) noexcept {
    constexpr size_t kPixels = 16 / bpp;
    constexpr size_t kBlock = kPixels * bpp;
    const Xmm pixel = lowBytes<bpp>();
    Xmm notLeft = allOnes();  // the first pixel's left neighbours are zero
    size_t i = 0;
    for (; i + 16 <= n; i += kBlock) {
        const Xmm f = load16(filtered + i);
        const Xmm notAbove = _mm_xor_si128(load16(previous + i), allOnes());
        Xmm result = _mm_andnot_si128(lowBytes<kBlock>(), f);
        unroll<kPixels>([&](auto k) {
            constexpr int shift = decltype(k)::value * bpp;
            notLeft = _mm_sub_epi8(_mm_avg_epu8(notLeft, _mm_srli_si128(notAbove, shift)),
                                   _mm_srli_si128(f, shift));
            result = _mm_or_si128(result, _mm_slli_si128(_mm_andnot_si128(notLeft, pixel), shift));
        });
        store16(out + i, result);
    }
    reference::reconstructRange(kFilterAverage, filtered, previous, bpp, out, i, n);
}

// Paeth, one pixel after the other. For a fixed above byte b and upper-left
// byte c the predictor depends on the left byte a as follows: outside the open
// interval between b and 3c - 2b it is a; inside it, it is max(b, c) when
// a > split and min(b, c) otherwise, where split = floor((3c - b - 1) / 2) for
// b >= c and floor((3c - b) / 2) for b < c. (This is the predictor's tie-break
// order solved for a; the tests compare it with the predictor on every input.)
// The bounds and filtered + each candidate depend only on the rows as given,
// so they are computed ahead of the chain, for two pixels at once in 16-bit
// lanes: the first pixel in lanes 0 .. bpp - 1, the second in lanes bpp .. 2 bpp - 1.
// Each pixel is worked out in its own lanes; only the chain value moves.
struct PaethTerms {
    Xmm filtered;
    Xmm low;
    Xmm high;
    Xmm split;
    Xmm plusMin;    // filtered + min(b, c), modulo 256
    Xmm minXorMax;  // plusMin ^ (filtered + max(b, c)), to select either with one AND
};

// The terms of the two pixels in the low 8 bytes of the arguments.
PaethTerms paethTerms(Xmm filtered, Xmm above, Xmm upperLeft) noexcept {
    const Xmm zero = _mm_setzero_si128();
    const Xmm f = _mm_unpacklo_epi8(filtered, zero);
    const Xmm b = _mm_unpacklo_epi8(above, zero);
    const Xmm c = _mm_unpacklo_epi8(upperLeft, zero);
    const Xmm cMinusB = _mm_sub_epi16(c, b);
    const Xmm otherBound = _mm_add_epi16(c, _mm_add_epi16(cMinusB, cMinusB));  // 3c - 2b
    const Xmm smaller = _mm_min_epi16(b, c);
    const Xmm larger = _mm_max_epi16(b, c);
    // -1 where b >= c, which turns 3c - b into 3c - b - 1 there.
    const Xmm bAtLeastC = _mm_cmpeq_epi16(larger, b);
    const Xmm split = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(otherBound, b), bAtLeastC), 1);
    // The bytes are zero-extended, so byte additions keep the high bytes zero.
    const Xmm plusMin = _mm_add_epi8(f, smaller);
    return {f,
            _mm_min_epi16(b, otherBound),
            _mm_max_epi16(b, otherBound),
            split,
            plusMin,
            _mm_xor_si128(plusMin, _mm_add_epi8(f, larger))};
}

// An output pixel from its left neighbour, in the lanes where `t` holds it.
Xmm paethPixel(Xmm left, const PaethTerms& t) noexcept {
    const Xmm inside = _mm_and_si128(_mm_cmpgt_epi16(left, t.low), _mm_cmpgt_epi16(t.high, left));
    const Xmm aboveOrUpperLeft = xorWhere(_mm_cmpgt_epi16(left, t.split), t.minXorMax, t.plusMin);
    return select(inside, aboveOrUpperLeft, _mm_add_epi8(t.filtered, left));
}

// Lanes 0 .. bpp - 1 of `first`, lanes bpp .. 2 bpp - 1 of `second`.
template <size_t bpp>
Xmm joinPixels(Xmm first, Xmm second) noexcept {
#if defined(__SSE4_1__)
    return _mm_blend_epi16(first, second, bpp == 4 ? 0xF0 : 0x38);
#else
    const Xmm firstLanes = lowBytes<2 * bpp>();
    return _mm_or_si128(_mm_and_si128(firstLanes, first), _mm_andnot_si128(firstLanes, second));
#endif
}

// Two pairs of pixels as consecutive bytes, followed by the bytes of
// `filtered` past them.
template <size_t bpp>
Xmm packPixels(Xmm pixels01, Xmm pixels23, Xmm filtered) noexcept {
    const Xmm packed = _mm_packus_epi16(pixels01, pixels23);
    if constexpr (bpp == 4) {
        return packed;
    } else {
        // Bytes 6, 7, 14 and 15 of `packed` lie past each pair.
        const Xmm rest = _mm_andnot_si128(lowBytes<12>(), filtered);
#if defined(__SSSE3__)
        const Xmm close = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
        return _mm_or_si128(_mm_shuffle_epi8(packed, close), rest);
#else
        const Xmm secondPair = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1, -1, 0, 0);
        return _mm_or_si128(_mm_or_si128(_mm_and_si128(packed, lowBytes<6>()),
                                         _mm_srli_si128(_mm_and_si128(packed, secondPair), 2)),
                            rest);
#endif
    }
}

template <size_t bpp>
void reconstructPaeth(const uint8_t* filtered, const uint8_t* previous, uint8_t* out,
                      size_t n) noexcept {
    constexpr int kPixel = 2 * bpp;  // bytes of one pixel in 16-bit lanes
    Xmm last = _mm_setzero_si128();  // the block's last pixel, in the second pixel's lanes
    size_t i = 0;
    for (; i + 16 <= n; i += 4 * bpp) {
        const Xmm f = load16(filtered + i);
        const Xmm b = load16(previous + i);
        const Xmm c = i == 0 ? _mm_slli_si128(b, bpp) : load16(previous + i - bpp);
        const PaethTerms pixels01 = paethTerms(f, b, c);
        const PaethTerms pixels23 = paethTerms(_mm_srli_si128(f, 2 * bpp),
                                               _mm_srli_si128(b, 2 * bpp),
                                               _mm_srli_si128(c, 2 * bpp));
        const Xmm p0 = paethPixel(_mm_srli_si128(last, kPixel), pixels01);
        const Xmm p1 = paethPixel(_mm_slli_si128(p0, kPixel), pixels01);
        const Xmm p2 = paethPixel(_mm_srli_si128(p1, kPixel), pixels23);
        last = paethPixel(_mm_slli_si128(p2, kPixel), pixels23);
        store16(out + i, packPixels<bpp>(joinPixels<bpp>(p0, p1), joinPixels<bpp>(p2, last), f));
    }
    reference::reconstructRange(kFilterPaeth, filtered, previous, bpp, out, i, n);
}

// ---------------------------------------------------------------------------
// Filtering for writing takes every neighbour from the unfiltered rows, so all
// bytes are independent and the widest vectors apply.

// The widest vectors of the level, with the operations the filters need.
// select(mask, x, y) takes the bytes of x where mask is set, else those of y.
#if defined(__AVX2__)
struct Wide {
    using V = __m256i;
    static constexpr size_t kBytes = 32;
    static V load(const uint8_t* p) noexcept {
        return _mm256_loadu_si256(reinterpret_cast<const V*>(p));
    }
    static void store(uint8_t* p, V v) noexcept {
        _mm256_storeu_si256(reinterpret_cast<V*>(p), v);
    }
    static V splat(char value) noexcept { return _mm256_set1_epi8(value); }
    static V add(V a, V b) noexcept { return _mm256_add_epi8(a, b); }
    static V sub(V a, V b) noexcept { return _mm256_sub_epi8(a, b); }
    static V addSaturated(V a, V b) noexcept { return _mm256_adds_epu8(a, b); }
    static V subSaturated(V a, V b) noexcept { return _mm256_subs_epu8(a, b); }
    static V min(V a, V b) noexcept { return _mm256_min_epu8(a, b); }
    static V max(V a, V b) noexcept { return _mm256_max_epu8(a, b); }
    static V averageUp(V a, V b) noexcept { return _mm256_avg_epu8(a, b); }
    static V equal(V a, V b) noexcept { return _mm256_cmpeq_epi8(a, b); }
    static V bitAnd(V a, V b) noexcept { return _mm256_and_si256(a, b); }
    static V bitOr(V a, V b) noexcept { return _mm256_or_si256(a, b); }
    static V bitXor(V a, V b) noexcept { return _mm256_xor_si256(a, b); }
    static V select(V mask, V ifSet, V ifClear) noexcept {
#if defined(__AVX512VL__)
        return _mm256_ternarylogic_epi32(mask, ifSet, ifClear, 0xCA);
#else
        return _mm256_blendv_epi8(ifClear, ifSet, mask);
#endif
    }
};
#else
struct Wide {
    using V = Xmm;
    static constexpr size_t kBytes = 16;
    static V load(const uint8_t* p) noexcept { return load16(p); }
    static void store(uint8_t* p, V v) noexcept { store16(p, v); }
    static V splat(char value) noexcept { return _mm_set1_epi8(value); }
    static V add(V a, V b) noexcept { return _mm_add_epi8(a, b); }
    static V sub(V a, V b) noexcept { return _mm_sub_epi8(a, b); }
    static V addSaturated(V a, V b) noexcept { return _mm_adds_epu8(a, b); }
    static V subSaturated(V a, V b) noexcept { return _mm_subs_epu8(a, b); }
    static V min(V a, V b) noexcept { return _mm_min_epu8(a, b); }
    static V max(V a, V b) noexcept { return _mm_max_epu8(a, b); }
    static V averageUp(V a, V b) noexcept { return _mm_avg_epu8(a, b); }
    static V equal(V a, V b) noexcept { return _mm_cmpeq_epi8(a, b); }
    static V bitAnd(V a, V b) noexcept { return _mm_and_si128(a, b); }
    static V bitOr(V a, V b) noexcept { return _mm_or_si128(a, b); }
    static V bitXor(V a, V b) noexcept { return _mm_xor_si128(a, b); }
    static V select(V mask, V ifSet, V ifClear) noexcept {
        return KERNEL_LEVEL::select(mask, ifSet, ifClear);
    }
};
#endif

using V = Wide::V;

// floor((a + b) / 2): the rounding-up average less the bit that rounding added.
V averageDown(V a, V b) noexcept {
    return Wide::sub(Wide::averageUp(a, b), Wide::bitAnd(Wide::bitXor(a, b), Wide::splat(1)));
}

// The Paeth predictor on bytes. pc = |a + b - 2c| is the sum of the distances
// of a and b from c when both lie on the same side of c, else their difference;
// the sum saturates at 255, which changes none of the comparisons with pa and
// pb, both at most 255. The smallest distance then picks a, b, c in that order.
V paeth(V a, V b, V c) noexcept {
    const V zero = Wide::splat(0);
    const V cMinusA = Wide::subSaturated(c, a);
    const V cMinusB = Wide::subSaturated(c, b);
    const V pa = Wide::bitOr(Wide::subSaturated(b, c), cMinusB);
    const V pb = Wide::bitOr(Wide::subSaturated(a, c), cMinusA);
    const V sameSide = Wide::equal(Wide::equal(cMinusA, zero), Wide::equal(cMinusB, zero));
    const V pc = Wide::select(sameSide, Wide::addSaturated(pa, pb),
                              Wide::sub(Wide::max(pa, pb), Wide::min(pa, pb)));
    const V smallest = Wide::min(pa, Wide::min(pb, pc));
    return Wide::select(Wide::equal(pa, smallest), a,
                        Wide::select(Wide::equal(pb, smallest), b, c));
}

template <FilterType type, size_t bpp>
void filterForward(const uint8_t* raw, const uint8_t* previous, uint8_t* out, size_t n) noexcept {
    reference::filterRange(type, raw, previous, bpp, out, 0, n < bpp ? n : bpp);
    size_t i = bpp;
    for (; i + Wide::kBytes <= n; i += Wide::kBytes) {
        V predictor;
        if constexpr (type == kFilterSub) {
            predictor = Wide::load(raw + i - bpp);
        } else if constexpr (type == kFilterUp) {
            predictor = Wide::load(previous + i);
        } else if constexpr (type == kFilterAverage) {
            predictor = averageDown(Wide::load(raw + i - bpp), Wide::load(previous + i));
        } else {
            predictor = paeth(Wide::load(raw + i - bpp), Wide::load(previous + i),
                              Wide::load(previous + i - bpp));
        }
        Wide::store(out + i, Wide::sub(Wide::load(raw + i), predictor));
    }
    reference::filterRange(type, raw, previous, bpp, out, i, n);
}

template <size_t bpp>
void reconstructUp(const uint8_t* filtered, const uint8_t* previous, uint8_t* out,
                   size_t n) noexcept {
    size_t i = 0;
    for (; i + Wide::kBytes <= n; i += Wide::kBytes) {
        Wide::store(out + i, Wide::add(Wide::load(filtered + i), Wide::load(previous + i)));
    }
    reference::reconstructRange(kFilterUp, filtered, previous, bpp, out, i, n);
}

template <bool reconstruct>
struct Direction {
    template <FilterType type, size_t bpp>
    static void run(const uint8_t* in, const uint8_t* previous, uint8_t* out,
                    size_t n) noexcept {
        if constexpr (type == kFilterNone) {
            reference::copyRow(in, previous, out, n);
        } else if constexpr (!reconstruct) {
            filterForward<type, bpp>(in, previous, out, n);
        } else if constexpr (type == kFilterSub) {
            reconstructSub<bpp>(in, out, n);
        } else if constexpr (type == kFilterUp) {
            reconstructUp<bpp>(in, previous, out, n);
        } else if constexpr (type == kFilterAverage) {
            reconstructAverage<bpp>(in, previous, out, n);
        } else {
            reconstructPaeth<bpp>(in, previous, out, n);
        }
    }
};

// ---------------------------------------------------------------------------
// Row copies: byte shuffles need SSSE3; the SSE2 level uses the reference.

#if defined(__SSSE3__)
// Four pixels per step: colours to the low 12 bytes, alphas to the high 4. The
// 16-byte store runs 4 bytes past the step's colours; the next step or the
// tail overwrites them, so the loop stops while 16 bytes still fit.
void splitRgba(const uint8_t* rgba, size_t count, uint8_t* rgb, uint8_t* alpha) noexcept {
    const Xmm order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
    size_t i = 0;
    for (; i + 6 <= count; i += 4) {
        const Xmm sorted = _mm_shuffle_epi8(load16(rgba + 4 * i), order);
        store16(rgb + 3 * i, sorted);
        const int alphas = _mm_cvtsi128_si32(_mm_srli_si128(sorted, 12));
        std::memcpy(alpha + i, &alphas, 4);
    }
    reference::splitRgba(rgba + 4 * i, count - i, rgb + 3 * i, alpha + i);
}

// Four pixels per step; the 16-byte load reads 4 bytes past the step's colours,
// so the loop stops while 16 bytes remain.
void mergeRgba(const uint8_t* rgb, const uint8_t* alpha, size_t count, uint8_t* rgba) noexcept {
    const Xmm spreadColours =
        _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const Xmm spreadAlphas =
        _mm_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3);
    size_t i = 0;
    for (; i + 6 <= count; i += 4) {
        int alphas;
        std::memcpy(&alphas, alpha + i, 4);
        const Xmm colours = _mm_shuffle_epi8(load16(rgb + 3 * i), spreadColours);
        store16(rgba + 4 * i, _mm_or_si128(colours, _mm_shuffle_epi8(_mm_cvtsi32_si128(alphas),
                                                                     spreadAlphas)));
    }
    reference::mergeRgba(rgb + 3 * i, alpha + i, count - i, rgba + 4 * i);
}

// Five pixels per step; the store's 16th byte is overwritten by the next step
// or the tail.
void swapRedBlue(const uint8_t* in, size_t count, uint8_t* out) noexcept {
    const Xmm reverse = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t i = 0;
    for (; i + 6 <= count; i += 5) {
        store16(out + 3 * i, _mm_shuffle_epi8(load16(in + 3 * i), reverse));
    }
    reference::swapRedBlue(in + 3 * i, count - i, out + 3 * i);
}
#else
constexpr SplitRgbaKernel splitRgba = reference::splitRgba;
constexpr MergeRgbaKernel mergeRgba = reference::mergeRgba;
constexpr SwapRedBlueKernel swapRedBlue = reference::swapRedBlue;
#endif

// ---------------------------------------------------------------------------
// Adler-32, one block of two vectors (n bytes) at a time. Over bytes x_0 ..
// x_{n-1} the byte sum grows by their sum (sums of absolute differences against
// zero), and the second sum by n times the byte sum before them plus the bytes
// weighted n .. 1 (multiply-adds). The byte sums before each block are added up
// in a vector of their own and multiplied by n once per chunk, where both sums
// are reduced. The weights fit the signed bytes of the multiply-add, whose
// sums of two products stay within 16 bits. The byte multiply-add needs SSSE3;
// the SSE2 level uses the reference.

#if defined(__SSSE3__)
// The sum of the four 32-bit lanes.
std::uint64_t laneTotal(Xmm v) noexcept {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
}

#if defined(__AVX2__)
struct AdlerVector {
    using V = __m256i;
    static constexpr size_t kBytes = 32;
    static V load(const uint8_t* p) noexcept {
        return _mm256_loadu_si256(reinterpret_cast<const V*>(p));
    }
    static V zero() noexcept { return _mm256_setzero_si256(); }
    static V add(V a, V b) noexcept { return _mm256_add_epi32(a, b); }
    static V byteSums(V x) noexcept { return _mm256_sad_epu8(x, zero()); }
    static V weightedSums(V x, V weights) noexcept {
        return _mm256_madd_epi16(_mm256_maddubs_epi16(x, weights), _mm256_set1_epi16(1));
    }
    static V firstWeights() noexcept {
        return _mm256_setr_epi8(64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48,
                                47, 46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33);
    }
    static V secondWeights() noexcept {
        return _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                                15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    }
    static std::uint64_t total(V v) noexcept {
        return laneTotal(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
    }
};
#else
struct AdlerVector {
    using V = Xmm;
    static constexpr size_t kBytes = 16;
    static V load(const uint8_t* p) noexcept { return load16(p); }
    static V zero() noexcept { return _mm_setzero_si128(); }
    static V add(V a, V b) noexcept { return _mm_add_epi32(a, b); }
    static V byteSums(V x) noexcept { return _mm_sad_epu8(x, zero()); }
    static V weightedSums(V x, V weights) noexcept {
        return _mm_madd_epi16(_mm_maddubs_epi16(x, weights), _mm_set1_epi16(1));
    }
    static V firstWeights() noexcept {
        return _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
    }
    static V secondWeights() noexcept {
        return _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    }
    static std::uint64_t total(V v) noexcept { return laneTotal(v); }
};
#endif

std::uint32_t adler32(std::uint32_t adler, const uint8_t* data, size_t size) noexcept {
    using V = AdlerVector::V;
    constexpr size_t kBlock = 2 * AdlerVector::kBytes;
    constexpr size_t kChunkBlocks = kAdlerChunk / kBlock;
    const V firstWeights = AdlerVector::firstWeights();
    const V secondWeights = AdlerVector::secondWeights();
    std::uint64_t low = adler & 0xFFFF;
    std::uint64_t high = adler >> 16;
    while (size >= kBlock) {
        const size_t blocks = size / kBlock < kChunkBlocks ? size / kBlock : kChunkBlocks;
        V lowSums = AdlerVector::zero();
        V lowSumsBefore = AdlerVector::zero();
        V highSums = AdlerVector::zero();
        for (size_t i = 0; i < blocks; ++i, data += kBlock) {
            const V first = AdlerVector::load(data);
            const V second = AdlerVector::load(data + AdlerVector::kBytes);
            lowSumsBefore = AdlerVector::add(lowSumsBefore, lowSums);
            lowSums = AdlerVector::add(lowSums, AdlerVector::add(AdlerVector::byteSums(first),
                                                                 AdlerVector::byteSums(second)));
            highSums = AdlerVector::add(
                highSums, AdlerVector::add(AdlerVector::weightedSums(first, firstWeights),
                                           AdlerVector::weightedSums(second, secondWeights)));
        }
        const size_t bytes = blocks * kBlock;
        high = (high + bytes * low + kBlock * AdlerVector::total(lowSumsBefore) +
                AdlerVector::total(highSums)) % kAdlerModulus;
        low = (low + AdlerVector::total(lowSums)) % kAdlerModulus;
        size -= bytes;
    }
    return reference::adler32(static_cast<std::uint32_t>(high << 16 | low), data, size);
}
#else
constexpr Adler32Kernel adler32 = reference::adler32;
#endif

}  // namespace

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

}  // namespace kernels::KERNEL_LEVEL

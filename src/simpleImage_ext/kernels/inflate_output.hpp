// Writing into the inflater's output: literals and matches, copied a word or
// a vector at a time. The copies may write past the end of what they copy
// (by kCopyOverrun bytes at most), where later output overwrites them, so
// the decoding loop keeps that much room at the end of the output or copies
// byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/inflate_bits.hpp"
#include "kernels/inflate_tables.hpp"

namespace kernels::inflate {

inline std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline void store8(std::uint8_t* p, std::uint64_t word) { std::memcpy(p, &word, sizeof word); }

inline void copy16(std::uint8_t* to, const std::uint8_t* from) { std::memcpy(to, from, 16); }

inline void store16(std::uint8_t* p, std::uint16_t value) { std::memcpy(p, &value, sizeof value); }

// Sixteen bytes of a pattern of eight.
inline void storeTwice(std::uint8_t* p, std::uint64_t pattern) {
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                     _mm_set1_epi64x(static_cast<long long>(pattern)));
#else
    store8(p, pattern);
    store8(p + 8, pattern);
#endif
}

// Eight bytes that repeat the `distance` (1..7) bytes before `out`.
inline std::uint64_t repeatingPattern(const std::uint8_t* out, std::size_t distance) {
    if (distance == 1) {
        return out[-1] * 0x0101010101010101u;  // runs of one byte are the most common
    }
    std::uint64_t pattern = load8(out - distance) & lowBits(8 * static_cast<unsigned>(distance));
    for (unsigned shift = 8 * static_cast<unsigned>(distance); shift < 64; shift *= 2) {
        pattern |= pattern << shift;
    }
    return pattern;
}

// How far the stores of a repeating pattern advance: the largest multiple of
// the distance that a word holds, so that each store continues the pattern.
constexpr std::uint8_t kPatternStep[8] = {0, 8, 8, 6, 8, 5, 6, 7};

// Matches are copied 32 bytes at a time, so that most take no loop at all;
// the copies write up to this many bytes past a match.
constexpr std::size_t kCopyOverrun = 31;

// Copies a match of `length` bytes from `distance` bytes back, in words: may
// write up to kCopyOverrun bytes past it, which later output overwrites.
inline void copyMatch(std::uint8_t* out, std::size_t distance, unsigned length) {
    std::uint8_t* const end = out + length;
    const std::uint8_t* from = out - distance;
    // Each load reads bytes at least as far behind its store as it is long,
    // all written by then.
    if (distance >= 16) {
        do {
            copy16(out, from);
            copy16(out + 16, from + 16);
            out += 32;
            from += 32;
        } while (out < end);
        return;
    }
    if (distance >= 8) {
        do {
            store8(out, load8(from));
            store8(out + 8, load8(from + 8));
            store8(out + 16, load8(from + 16));
            store8(out + 24, load8(from + 24));
            out += 32;
            from += 32;
        } while (out < end);
        return;
    }
    const std::uint64_t pattern = repeatingPattern(out, distance);
    const std::size_t step = kPatternStep[distance];
    if (step == 8) {  // distances 1, 2 and 4: the pattern repeats in 16 bytes too
        do {
            storeTwice(out, pattern);
            storeTwice(out + 16, pattern);
            out += 32;
        } while (out < end);
        return;
    }
    do {
        store8(out, pattern);
        store8(out + step, pattern);
        out += 2 * step;
    } while (out < end);
}

// Copies a match into output that ends at `end`: in words where they fit,
// else byte by byte. False when the match runs past the end.
inline bool copyMatchBefore(const std::uint8_t* end, std::uint8_t* out, std::size_t distance,
                            unsigned length) {
    const auto room = static_cast<std::size_t>(end - out);
    if (room >= length + kCopyOverrun) [[likely]] {
        copyMatch(out, distance, length);
        return true;
    }
    if (room < length) {
        return false;
    }
    const std::uint8_t* from = out - distance;
    for (unsigned i = 0; i < length; ++i) {
        out[i] = from[i];
    }
    return true;
}

// The literal (or two) of a literal entry; with pairs, two bytes are always
// stored.
template <bool kPairedLiterals>
inline void emitLiterals(std::uint8_t*& out, std::uint32_t e) {
    if constexpr (kPairedLiterals) {
        store16(out, static_cast<std::uint16_t>(entry::literals(e)));
        out += entry::literalCount(e);
    } else {
        *out++ = static_cast<std::uint8_t>(entry::literals(e));
    }
}

}  // namespace kernels::inflate

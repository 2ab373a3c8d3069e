// The settings of the compressor whose streams we reproduce byte for byte:
// zlib's level 6 with a 32 KiB window and 8 as memory level, as
// `zlib.compress(data)` runs it; and the lookups from lengths and distances to
// their codes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "kernels/deflate/alphabets.hpp"

namespace kernels::deflate {

// --- the matcher --------------------------------------------------------------

inline constexpr std::uint32_t kWindowSize = 32768;
// The matcher keeps this much input ahead of the position it parses, so that a
// match and the strings after it are always complete until the input ends.
inline constexpr std::uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;
// Farthest match distance: matches never reach into the last kMinLookahead
// bytes of the window's span.
inline constexpr std::uint32_t kMaxDistance = kWindowSize - kMinLookahead;
// A match of kMinMatch bytes farther than this costs more than its literals.
inline constexpr std::uint32_t kTooFar = 4096;

// Level 6: a shorter chain search after a good match, no search for a better
// match after a lazy-enough one, an early stop at a nice length, at most
// kMaxChain candidates per position.
inline constexpr std::uint32_t kGoodLength = 8;
inline constexpr std::uint32_t kMaxLazy = 16;
inline constexpr std::uint32_t kNiceLength = 128;
inline constexpr std::uint32_t kMaxChain = 128;

// Memory level 8: 2^15 hash chains over the next three bytes, each byte
// shifted in five bits further than the one after it.
inline constexpr std::uint32_t kHashBits = 15;
inline constexpr std::uint32_t kHashSize = 1u << kHashBits;
inline constexpr std::uint32_t kHashShift = (kHashBits + kMinMatch - 1) / kMinMatch;

// The window holds twice kWindowSize bytes; it moves down by kWindowSize when
// the parse comes within kMinLookahead of its end.
inline constexpr std::uint32_t kWindowSpan = 2 * kWindowSize;

// A block ends when its symbol buffer holds this many symbols: memory level 8
// gives a buffer of 2^14 symbols, one of which is never used.
inline constexpr std::uint32_t kBlockSymbols = (1u << 14) - 1;

// Length code (0-28) of each match length minus kMinMatch.
inline constexpr std::array<std::uint8_t, kMaxMatch - kMinMatch + 1> kLengthCode = [] {
    std::array<std::uint8_t, kMaxMatch - kMinMatch + 1> codes{};
    for (int code = 0; code < kLengthCodes - 1; ++code) {
        for (unsigned n = 0; n < (1u << kLengthExtraBits[code]); ++n) {
            codes[kLengthBase[code] + n] = static_cast<std::uint8_t>(code);
        }
    }
    // 258 could also be code 27 with all extra bits set; its own code is shorter.
    codes[kMaxMatch - kMinMatch] = kLengthCodes - 1;
    return codes;
}();

// Distance code (0-29) of a distance minus one: looked up directly below 256,
// by the distance divided by 128 above.
inline constexpr std::array<std::uint8_t, 512> kDistanceCodeTable = [] {
    std::array<std::uint8_t, 512> codes{};
    for (int code = 0; code < kDistanceCodes; ++code) {
        const std::uint32_t first = kDistanceBase[code];
        const std::uint32_t last = first + (1u << kDistanceExtraBits[code]) - 1;
        for (std::uint32_t d = first; d <= last; ++d) {
            if (d < 256) {
                codes[d] = static_cast<std::uint8_t>(code);
            } else {
                codes[256 + (d >> 7)] = static_cast<std::uint8_t>(code);
            }
        }
    }
    return codes;
}();

constexpr int distanceCode(std::uint32_t distanceMinusOne) {
    return distanceMinusOne < 256 ? kDistanceCodeTable[distanceMinusOne]
                                  : kDistanceCodeTable[256 + (distanceMinusOne >> 7)];
}

// Code lengths of the fixed literal/length code; its distance codes all have 5 bits.
constexpr int fixedLiteralLength(int symbol) {
    return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
}
inline constexpr int kFixedDistanceBits = 5;

// Block types, as the three header bits after the final-block flag send them.
enum class BlockType : std::uint8_t { stored = 0, fixed = 1, dynamic = 2 };

// --- symbols ------------------------------------------------------------------

// One parsed symbol: a literal byte (below 256), or a match as its distance
// shifted left by 8 over its length minus kMinMatch.
using Symbol = std::uint32_t;

constexpr Symbol literalSymbol(std::uint8_t byte) { return byte; }
constexpr Symbol matchSymbol(std::uint32_t distance, std::uint32_t length) {
    return distance << 8 | (length - kMinMatch);
}
constexpr bool isMatch(Symbol symbol) { return symbol >= 256; }
constexpr std::uint32_t matchDistance(Symbol symbol) { return symbol >> 8; }
// The match length minus kMinMatch, or the literal byte.
constexpr std::uint32_t lengthOrLiteral(Symbol symbol) { return symbol & 0xff; }
// How many input bytes the symbol stands for.
constexpr std::uint32_t coveredBytes(Symbol symbol) {
    return isMatch(symbol) ? lengthOrLiteral(symbol) + kMinMatch : 1;
}

// An allocator that leaves new elements uninitialised: a symbol buffer is
// written before it is read, and the pages a parse never reaches (most of a
// buffer sized for one symbol per byte, on compressible data) stay untouched.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    template <class U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Arguments>
    void construct(U* place, Arguments&&... arguments) {
        ::new (static_cast<void*>(place)) U(std::forward<Arguments>(arguments)...);
    }
};

using SymbolBuffer = std::vector<Symbol, UninitializedAllocator<Symbol>>;

}  // namespace kernels::deflate

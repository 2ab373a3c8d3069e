#include "kernels/inflate_tables.hpp"

#include <algorithm>
#include <array>

#include "kernels/deflate/alphabets.hpp"

namespace kernels::inflate {
namespace {

using std::uint16_t;
using std::uint32_t;
using std::uint8_t;

constexpr unsigned kMaxSymbols = 288;  // the fixed literal/length code's
constexpr uint32_t kBadCode = entry::kExceptional;

// The entry of each symbol before its code is known: the code's bits are
// added when the table is built.
using SymbolEntries = std::array<uint32_t, kMaxSymbols>;

// A length or distance symbol's entry: the first value it codes (the format's
// bases count lengths from 3 and distances from 1 as 0) and how many extra bits
// add to it.
constexpr uint32_t rangeEntry(uint32_t first, uint32_t extraBits) { return first << 16 | extraBits; }

constexpr SymbolEntries literalLengthEntries() {
    SymbolEntries entries{};
    entries.fill(kBadCode);
    for (uint32_t symbol = 0; symbol < kEndOfBlockSymbol; ++symbol) {
        entries[symbol] = entry::kLiteral | symbol << 16;
    }
    entries[kEndOfBlockSymbol] = entry::kExceptional | entry::kEndOfBlock;
    constexpr unsigned kFirstLengthSymbol = kEndOfBlockSymbol + 1;
    for (unsigned i = 0; kFirstLengthSymbol + i < kMaxLiteralLengthSymbols; ++i) {
        entries[kFirstLengthSymbol + i] = rangeEntry(deflate::kLengthBase[i] + deflate::kMinMatch,
                                                     deflate::kLengthExtraBits[i]);
    }
    return entries;
}

constexpr SymbolEntries distanceEntries() {
    SymbolEntries entries{};
    entries.fill(kBadCode);
    for (uint32_t symbol = 0; symbol < kMaxDistanceSymbols; ++symbol) {
        entries[symbol] =
            rangeEntry(deflate::kDistanceBase[symbol] + 1u, deflate::kDistanceExtraBits[symbol]);
    }
    return entries;
}

constexpr SymbolEntries codeLengthEntries() {
    SymbolEntries entries{};
    for (uint32_t symbol = 0; symbol < kMaxSymbols; ++symbol) {
        entries[symbol] = symbol << 16;
    }
    return entries;
}

constexpr SymbolEntries kLiteralLengthEntries = literalLengthEntries();
constexpr SymbolEntries kDistanceEntries = distanceEntries();
constexpr SymbolEntries kCodeLengthEntries = codeLengthEntries();

// A symbol's entry in a table where its code takes `bits` bits.
constexpr uint32_t withCode(uint32_t symbolEntry, unsigned bits) {
    return symbolEntry + bits + (entry::isLiteral(symbolEntry) ? 0 : bits << 8);
}

constexpr std::array<uint8_t, 256> byteReversals() {
    std::array<uint8_t, 256> reversed{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            reversed[byte] |= static_cast<uint8_t>(((byte >> bit) & 1) << (7 - bit));
        }
    }
    return reversed;
}

constexpr std::array<uint8_t, 256> kByteReversals = byteReversals();

// Codes are defined most significant bit first but arrive least significant
// bit first, so a code's table index is its `bits` bits reversed.
constexpr uint32_t reversed(uint32_t code, unsigned bits) {
    const uint32_t both = uint32_t{kByteReversals[code & 0xFF]} << 8 | kByteReversals[code >> 8];
    return both >> (16 - bits);
}

using LengthCounts = std::array<uint16_t, kMaxCodeBits + 1>;

// Whether zlib takes a code with these length counts (see the header).
constexpr bool acceptable(CodeKind kind, const LengthCounts& count, unsigned longest) {
    int unused = 1;  // code space left at the current length
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
        unused = 2 * unused - count[bits];
        if (unused < 0) {
            return false;
        }
    }
    return unused == 0 || (kind != CodeKind::kCodeLength && longest <= 1);
}

// The index bits of a subtable whose first code has `bits` bits: enough for
// the codes of the same main-table prefix still to come (zlib sizes them
// alike, and the capacities follow from it).
constexpr unsigned subtableBits(const LengthCounts& remaining, unsigned bits, unsigned rootBits,
                                unsigned longest) {
    unsigned indexBits = bits - rootBits;
    int room = 1 << indexBits;
    while (indexBits + rootBits < longest) {
        room -= remaining[indexBits + rootBits];
        if (room <= 0) {
            break;
        }
        ++indexBits;
        room <<= 1;
    }
    return indexBits;
}

constexpr bool build(CodeKind kind, std::span<const uint8_t> lengths,
                     std::span<uint32_t> storage, DecodeTable& table) {
    const SymbolEntries& symbolEntries = kind == CodeKind::kLiteralLength ? kLiteralLengthEntries
                                         : kind == CodeKind::kDistance    ? kDistanceEntries
                                                                          : kCodeLengthEntries;
    const unsigned rootBits = kind == CodeKind::kLiteralLength ? kLiteralLengthRootBits
                              : kind == CodeKind::kDistance    ? kDistanceRootBits
                                                               : kCodeLengthRootBits;
    LengthCounts count{};
    for (const uint8_t bits : lengths) {
        ++count[bits];
    }
    count[0] = 0;
    unsigned longest = kMaxCodeBits;
    while (longest > 0 && count[longest] == 0) {
        --longest;
    }
    if (!acceptable(kind, count, longest)) {
        return false;
    }

    // The symbols by code length, and by symbol within a length: canonical order.
    std::array<uint16_t, kMaxCodeBits + 2> start{};
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
        start[bits + 1] = static_cast<uint16_t>(start[bits] + count[bits]);
    }
    std::array<uint16_t, kMaxSymbols> sorted{};
    for (unsigned symbol = 0; symbol < lengths.size(); ++symbol) {
        if (lengths[symbol] != 0) {
            sorted[start[lengths[symbol]]++] = static_cast<uint16_t>(symbol);
        }
    }

    // The main table, one code length at a time: with the entries of the
    // codes up to `bits` bits in place, the table so far is doubled and the
    // codes of `bits + 1` bits go in. What no code covers (an incomplete or
    // empty code) keeps the bad-code entry.
    const unsigned tableBits =
        kind == CodeKind::kDistance ? rootBits : std::max(1u, std::min(rootBits, longest));
    uint32_t* entries = storage.data();
    entries[0] = entries[1] = kBadCode;
    unsigned next = 0;  // in `sorted`
    uint32_t code = 0;  // canonical, most significant bit first
    for (unsigned bits = 1; bits <= tableBits; ++bits, code <<= 1) {
        if (bits > 1) {
            const std::size_t half = std::size_t{1} << (bits - 1);
            std::copy_n(entries, half, entries + half);
        }
        for (; count[bits] > 0; --count[bits], ++code) {
            entries[reversed(code, bits)] = withCode(symbolEntries[sorted[next++]], bits);
        }
    }

    // Longer codes go to subtables, one per main-table prefix; the codes of a
    // prefix are consecutive in canonical order.
    const uint32_t prefixMask = (1u << tableBits) - 1;
    std::size_t used = std::size_t{1} << tableBits;
    uint32_t prefix = ~0u;
    uint32_t* subtable = nullptr;
    unsigned indexBits = 0;
    for (unsigned bits = tableBits + 1; bits <= longest; ++bits, code <<= 1) {
        for (; count[bits] > 0; --count[bits], ++code) {
            const uint32_t index = reversed(code, bits);
            if ((index & prefixMask) != prefix) {
                prefix = index & prefixMask;
                indexBits = subtableBits(count, bits, tableBits, longest);
                if (used + (std::size_t{1} << indexBits) > storage.size()) {
                    return false;  // never for an acceptable code: the capacities cover them all
                }
                entries[prefix] = entry::kExceptional | entry::kSubtable |
                                  static_cast<uint32_t>(used) << 16 | indexBits << 8 | tableBits;
                subtable = entries + used;
                used += std::size_t{1} << indexBits;
            }
            const uint32_t e = withCode(symbolEntries[sorted[next++]], bits - tableBits);
            const uint32_t stride = 1u << (bits - tableBits);
            for (uint32_t i = index >> tableBits; i < (1u << indexBits); i += stride) {
                subtable[i] = e;
            }
        }
    }
    table = {entries, prefixMask};
    return true;
}

// The fixed code (RFC 1951, 3.2.6): 288 literal/length codes of 7 to 9 bits,
// 32 distance codes of 5.
constexpr uint32_t kFixedLiteralLengthMask = (1u << 9) - 1;

constexpr BlockTables buildFixedTables() {
    std::array<uint8_t, kMaxSymbols> lengths{};
    for (unsigned symbol = 0; symbol < kMaxSymbols; ++symbol) {
        lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    }
    BlockTables tables{};
    DecodeTable unused;
    build(CodeKind::kLiteralLength, lengths, tables.literalLength, unused);
    std::array<uint8_t, 32> distanceLengths{};
    distanceLengths.fill(5);
    build(CodeKind::kDistance, distanceLengths, tables.distance, unused);
    return tables;
}

constexpr BlockTables kFixedTables = buildFixedTables();

}  // namespace

bool buildTable(CodeKind kind, std::span<const std::uint8_t> lengths,
                std::span<std::uint32_t> storage, DecodeTable& table) noexcept {
    return build(kind, lengths, storage, table);
}

// The share of lookups that would find two literals, in 1/2^16: a code of k
// bits is met with probability 2^-k.
unsigned pairShare(std::span<const std::uint8_t> lengths, unsigned tableBits) {
    std::array<uint32_t, kMaxCodeBits + 1> literals{};  // 2^16 * share of codes of k bits
    for (unsigned symbol = 0; symbol < kEndOfBlockSymbol && symbol < lengths.size(); ++symbol) {
        literals[lengths[symbol]] += (1u << 16) >> lengths[symbol];
    }
    literals[0] = 0;
    std::array<uint32_t, kMaxCodeBits + 1> upTo{};  // literals of at most k bits
    for (unsigned k = 1; k <= kMaxCodeBits; ++k) {
        upTo[k] = upTo[k - 1] + literals[k];
    }
    uint64_t share = 0;
    for (unsigned first = 1; first < tableBits; ++first) {
        share += uint64_t{literals[first]} * upTo[tableBits - first];
    }
    return static_cast<unsigned>(share >> 16);
}

bool pairLiterals(std::span<const std::uint8_t> lengths, std::uint32_t* entries,
                  std::uint32_t mask) noexcept {
    const auto tableBits = static_cast<unsigned>(__builtin_popcount(mask));
    constexpr unsigned kWorthwhileShare = (1u << 16) / 6;
    if (pairShare(lengths, tableBits) < kWorthwhileShare) {
        return false;
    }
    // Downwards, so that the entry of the rest, at a lower index, is still single.
    for (uint32_t i = mask + 1; i-- > 0;) {
        const uint32_t first = entries[i];
        const unsigned firstBits = entry::consumedBits(first);
        if (!entry::isLiteral(first) || firstBits >= tableBits) {
            continue;
        }
        const uint32_t second = entries[i >> firstBits];
        if (entry::isLiteral(second) && entry::consumedBits(second) <= tableBits - firstBits) {
            entries[i] = (first | entry::kPair | second << 8) + entry::consumedBits(second);
        }
    }
    return true;
}

const BlockCodes& fixedCodes() noexcept {
    static constexpr BlockCodes codes = {&kFixedTables, kFixedLiteralLengthMask};
    return codes;
}

}  // namespace kernels::inflate

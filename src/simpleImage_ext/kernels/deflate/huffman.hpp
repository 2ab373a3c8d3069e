// Huffman codes built exactly as zlib builds them: the same heap, the same
// tie-breaking by subtree depth, the same repair of codes that come out too
// long, and the same cost accounting that decides between stored, fixed and
// dynamic blocks. Two encoders that build different (equally good) trees write
// different bytes, so every step here follows zlib's order.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "kernels/deflate/format.hpp"

namespace kernels::deflate {

// Nodes of the largest tree: its leaves and the internal nodes above them.
inline constexpr int kHeapSize = 2 * kLiteralLengthCodes + 1;

using LengthCount = std::array<std::uint16_t, kMaxCodeBits + 1>;

// `value`'s low `bits` bits in reverse order: deflate sends Huffman codes
// starting from their most significant bit.
constexpr std::uint32_t reverseBits(std::uint32_t value, int bits) {
    std::uint32_t reversed = 0;
    for (int i = 0; i < bits; ++i) {
        reversed = reversed << 1 | (value & 1);
        value >>= 1;
    }
    return reversed;
}

// The canonical code of the given lengths (symbols without a length get no
// code), from the count of codes of each length.
constexpr void assignCodes(std::span<const std::uint16_t> lengths, std::span<std::uint16_t> codes,
                           const LengthCount& count) {
    std::array<std::uint32_t, kMaxCodeBits + 1> next{};
    std::uint32_t code = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    for (std::size_t n = 0; n < lengths.size(); ++n) {
        if (const int bits = lengths[n]; bits != 0) {
            codes[n] = static_cast<std::uint16_t>(reverseBits(next[bits]++, bits));
        }
    }
}

// A fixed code of `size` symbols, as zlib builds it.
template <std::size_t size>
struct FixedCode {
    std::array<std::uint16_t, size> length{};
    std::array<std::uint16_t, size> code{};
};

template <std::size_t size, class LengthOf>
constexpr FixedCode<size> makeFixedCode(LengthOf lengthOf) {
    FixedCode<size> fixed;
    LengthCount count{};
    for (std::size_t n = 0; n < size; ++n) {
        fixed.length[n] = static_cast<std::uint16_t>(lengthOf(static_cast<int>(n)));
        ++count[fixed.length[n]];
    }
    assignCodes(fixed.length, fixed.code, count);
    return fixed;
}

// The fixed literal/length code covers 288 symbols, two of which never occur:
// they complete the code.
inline constexpr FixedCode<288> kFixedLiteralLengthCode =
    makeFixedCode<288>([](int symbol) { return fixedLiteralLength(symbol); });
inline constexpr FixedCode<kDistanceCodes> kFixedDistanceCode =
    makeFixedCode<kDistanceCodes>([](int) { return kFixedDistanceBits; });

// What one tree's alphabet brings to the cost accounting: the extra bits that
// follow its codes (from symbol `extraBase` on), and the code lengths of its
// fixed code (null for the code-length alphabet, which has none).
struct Alphabet {
    int elements;
    int maxLength;
    const std::uint8_t* extraBits;
    int extraBase;
    const std::uint16_t* fixedLengths;
};

// One code over an alphabet of up to kLiteralLengthCodes symbols. Frequencies go
// in; lengths and bit-reversed codes come out, ready to be sent LSB first.
struct HuffmanTree {
    // Leaves first, then internal nodes; `frequency` is changed by the build
    // where zlib changes it (two symbols are forced into a code of one).
    std::array<std::uint32_t, kHeapSize> frequency{};
    std::array<std::uint16_t, kHeapSize> parent{};
    // One longer than the alphabet: the code-length scan puts a guard after the
    // last used symbol.
    std::array<std::uint16_t, kHeapSize> length{};
    std::array<std::uint16_t, kLiteralLengthCodes> code{};
    int maxCode = -1;  // the largest symbol with a nonzero frequency
};

// The bit costs of a block that zlib weighs against each other: `optimal` with
// the block's own trees (headers included once the code-length tree is built),
// `fixed` with the fixed code. Unsigned arithmetic modulo 2^64, as in zlib.
struct BlockCost {
    std::uint64_t optimal = 0;
    std::uint64_t fixed = 0;
};

// The heap and depth scratch that zlib shares between the three trees.
class TreeBuilder {
public:
    // Builds `tree` from its frequencies and adds the costs of its symbols.
    void build(HuffmanTree& tree, const Alphabet& alphabet, BlockCost& cost);

private:
    void siftDown(const HuffmanTree& tree, int node);
    bool lighter(const HuffmanTree& tree, int a, int b) const;
    void assignLengths(HuffmanTree& tree, const Alphabet& alphabet, BlockCost& cost);

    std::array<int, kHeapSize> heap_{};
    std::array<std::uint8_t, kHeapSize> depth_{};
    LengthCount lengthCount_{};
    int heapLength_ = 0;
    int heapMax_ = 0;
};

extern const Alphabet kLiteralLengthAlphabet;
extern const Alphabet kDistanceAlphabet;
extern const Alphabet kCodeLengthAlphabet;

// The run-length form in which a dynamic block header sends code lengths: each
// run of equal lengths as the lengths themselves or as repeat symbols, visited
// in order. `visit(symbol, extraValue, extraBits)`.
template <class Visit>
void forEachCodeLengthSymbol(std::span<const std::uint16_t> lengths, int maxCode, Visit&& visit);

}  // namespace kernels::deflate

#include "kernels/deflate/huffman.inl"

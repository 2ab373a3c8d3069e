// Decode tables for the Huffman codes of deflate blocks, indexed by the next
// bits of the stream (least significant bit first). A code is accepted on the
// same terms as the interpreter's zlib accepts it, so that the inflater
// refuses exactly the streams that zlib refuses:
//   - no code may be over-subscribed;
//   - the code-length code must be complete;
//   - a literal/length or distance code may be incomplete only when it is a
//     single code of one bit (the other bit pattern is then a bad code);
//   - a distance code may be empty (any distance is then a bad code).
// Codes that the stream may declare but not use (literal/length symbols 286
// and 287 and distance symbols 30 and 31 of the fixed code) decode to
// entries that fail the stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/deflate/alphabets.hpp"

namespace kernels::inflate {

// One table entry, 32 bits:
//   bits 0-5    bits the entry consumes: its code (or codes), plus the extra
//               bits of a length or distance; for a subtable link, the main
//               table's bits (six bits, so that shifts by it need no range check)
//   bit 6       a literal entry that holds two literals (see pairLiterals)
//   bit 7       a literal
//   bits 8-11   where the extra bits of a length or distance start (the code's
//               length); for a subtable link, the subtable's index bits
//   bit 13      end of block
//   bit 14      a link to a subtable
//   bit 15      not a literal, length or distance: end of block, subtable link,
//               or a code that fails the stream
//   bits 16-30  the length or distance base, the code-length symbol, or the
//               subtable's offset in the table; a literal entry's literal in
//               bits 16-23 and the second one of a pair in bits 24-31
// so that the hot paths test one bit and shift by the low bits, and a pair's
// literals are stored as they lie.
namespace entry {
constexpr std::uint32_t kPair = 1u << 6;
constexpr std::uint32_t kLiteral = 1u << 7;
constexpr std::uint32_t kEndOfBlock = 1u << 13;
constexpr std::uint32_t kSubtable = 1u << 14;
constexpr std::uint32_t kExceptional = 1u << 15;

constexpr bool isLiteral(std::uint32_t e) { return (e & kLiteral) != 0; }
constexpr bool isExceptional(std::uint32_t e) { return (e & kExceptional) != 0; }
constexpr unsigned consumedBits(std::uint32_t e) { return e & 0x3F; }
constexpr unsigned codeBits(std::uint32_t e) { return (e >> 8) & 0xF; }
constexpr unsigned value(std::uint32_t e) { return (e >> 16) & 0x7FFF; }
// A literal entry's bytes, the second one only in a pair.
constexpr unsigned literals(std::uint32_t e) { return e >> 16; }
constexpr unsigned literalCount(std::uint32_t e) { return 1 + ((e >> 6) & 1); }
}  // namespace entry

inline constexpr unsigned kMaxCodeBits = 15;
inline constexpr unsigned kLiteralLengthRootBits = 12;
inline constexpr unsigned kDistanceRootBits = 8;
inline constexpr unsigned kCodeLengthRootBits = 7;
// Distance tables always have the whole main table, so their mask is this.
inline constexpr std::uint32_t kDistanceMask = (1u << kDistanceRootBits) - 1;

// The largest tables that any code accepted here needs with these root
// sizes, main table and subtables together (counted over all complete codes
// of 286 and of 30 symbols with at most 15 bits).
inline constexpr std::size_t kLiteralLengthCapacity = 4380;
inline constexpr std::size_t kDistanceCapacity = 400;
inline constexpr std::size_t kCodeLengthCapacity = 1u << kCodeLengthRootBits;

inline constexpr unsigned kEndOfBlockSymbol = deflate::kEndOfBlock;
// As a dynamic block may declare them.
inline constexpr unsigned kMaxLiteralLengthSymbols = deflate::kLiteralLengthCodes;
inline constexpr unsigned kMaxDistanceSymbols = deflate::kDistanceCodes;
inline constexpr unsigned kCodeLengthSymbols = deflate::kCodeLengthCodes;

// A built table: the entry for the next bits b is entries[b & mask], or, for a
// subtable link, an entry of the subtable it points to.
struct DecodeTable {
    const std::uint32_t* entries = nullptr;
    std::uint32_t mask = 0;
};

enum class CodeKind { kCodeLength, kLiteralLength, kDistance };

// Builds the table of a code given by its code lengths (0 for an unused
// symbol, else 1..15; at most 288 symbols, 32 for distances, 19 for code
// lengths) into `storage`, which must hold the kind's capacity. False when
// zlib refuses the code.
bool buildTable(CodeKind kind, std::span<const std::uint8_t> lengths,
                std::span<std::uint32_t> storage, DecodeTable& table) noexcept;

// The tables of a block's two codes in one piece: the distance table lies at
// a fixed offset from the literal/length table, so that the decoder needs
// only one pointer for both.
struct BlockTables {
    std::array<std::uint32_t, kLiteralLengthCapacity> literalLength;
    std::array<std::uint32_t, kDistanceCapacity> distance;
};

struct BlockCodes {
    const BlockTables* tables = nullptr;
    std::uint32_t literalLengthMask = 0;
    bool pairedLiterals = false;  // see pairLiterals
};

// Makes each literal entry of a literal/length main table whose remaining bits
// hold a whole literal code a pair of both literals, when the code's lengths
// (those the table was built from) promise enough pairs to repay the pass;
// true when it did.
bool pairLiterals(std::span<const std::uint8_t> lengths, std::uint32_t* entries,
                  std::uint32_t mask) noexcept;

// The fixed code of block type 1, built by the compiler.
const BlockCodes& fixedCodes() noexcept;

}  // namespace kernels::inflate

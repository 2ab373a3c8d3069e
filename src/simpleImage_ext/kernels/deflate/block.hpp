// One deflate block: its symbols counted, its trees built, the choice among a
// stored, a fixed and a dynamic block made as zlib makes it, and the block
// written.
#pragma once

#include <cstdint>
#include <span>

#include "kernels/deflate/bit_writer.hpp"
#include "kernels/deflate/format.hpp"
#include "kernels/deflate/huffman.hpp"
#include "kernels/deflate/window.hpp"

namespace kernels::deflate {

// A block's symbols, which may lie in several consecutive pieces.
using SymbolPieces = std::span<const std::span<const Symbol>>;

// What decides how a block is written.
struct BlockWeight {
    bool storedIsShorter;    // a stored block would be no longer than the coded one
    std::uint64_t codedBits;  // the coded block's length, header included
};

// A block as zlib weighs it: coded with its own trees or with the fixed code,
// whichever is shorter in whole bytes (the fixed code on a tie), or stored
// when that is no longer and zlib can still store it (see storable()).
class Block {
public:
    // `inputLength` is how many input bytes the symbols stand for.
    Block(SymbolPieces symbols, std::uint64_t inputLength);

    BlockWeight weight() const;

    // Writes the coded block.
    void write(BitWriter& out, bool last) const;

private:
    void countSymbols();
    void writeTreeHeader(BitWriter& out) const;
    template <class Code>
    void writeSymbols(BitWriter& out, const Code& code) const;

    SymbolPieces symbols_;
    HuffmanTree literalLength_;
    HuffmanTree distance_;
    HuffmanTree codeLength_;
    int lastCodeLengthRank_ = 0;  // the last code-length code sent, in send order
    BlockCost cost_;
    BlockType codedType_ = BlockType::dynamic;
    bool storedIsShorter_ = false;
};

// How many input bytes the symbols stand for.
std::uint64_t inputLength(SymbolPieces symbols);

// Whether zlib could still store the block of input bytes [start, end) of an
// input of `total` bytes, whose last symbol is `final`: it can only while all
// of the block's bytes are in its window when it ends the block, which it does
// right after the symbol that filled the block, or after the input's end for
// the last block.
bool storable(std::uint64_t start, std::uint64_t end, Symbol final, bool last, std::uint64_t total);

// The longest block zlib stores; longer ones are never chosen.
inline constexpr std::size_t kMaxStoredBlock = 65535;

// The length of a stored block of `size` bytes in bits, from a byte boundary.
constexpr std::uint64_t storedBits(std::uint64_t size) { return 8 * (size + 5); }

// Writes the header of a stored block and its bytes.
void writeStoredBlock(BitWriter& out, std::span<const std::uint8_t> bytes, bool last);

}  // namespace kernels::deflate

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

class Block {
public:
    // `storedBytes` are the input bytes that the symbols stand for; a stored
    // block is an option only when `storedPossible` (zlib can copy a block only
    // while its bytes are still in the window).
    Block(SymbolPieces symbols, std::span<const std::uint8_t> storedBytes, bool storedPossible);

    BlockType type() const { return type_; }

    // The block's length in bits, header included; for a stored block, from a
    // byte boundary.
    std::uint64_t bits() const;

    void write(BitWriter& out, bool last) const;

private:
    void countSymbols();
    void chooseType(bool storedPossible);
    void writeTreeHeader(BitWriter& out) const;
    template <class Code>
    void writeSymbols(BitWriter& out, const Code& code) const;

    SymbolPieces symbols_;
    std::span<const std::uint8_t> storedBytes_;
    HuffmanTree literalLength_;
    HuffmanTree distance_;
    HuffmanTree codeLength_;
    int lastCodeLengthRank_ = 0;  // the last code-length code sent, in send order
    BlockCost cost_;
    BlockType type_ = BlockType::dynamic;
};

// The input bytes a block stands for, and whether zlib could still store it.
struct BlockExtent {
    std::uint64_t start;
    std::uint64_t end;
    bool storable;
};

// The extent of the block of `symbols` that starts at input position `start`,
// in an input of `total` bytes. zlib can store a block only while all of its
// bytes are in the window when it ends the block: after the symbol that filled
// the block, or after the input's end for the last block.
BlockExtent blockExtent(SymbolPieces symbols, std::uint64_t start, std::uint64_t total, bool last);

// Writes the header of a stored block and its bytes.
void writeStoredBlock(BitWriter& out, std::span<const std::uint8_t> bytes, bool last);

}  // namespace kernels::deflate

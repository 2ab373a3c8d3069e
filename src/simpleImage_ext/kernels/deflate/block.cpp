#include "kernels/deflate/block.hpp"

namespace kernels::deflate {
namespace {

constexpr unsigned kBlockHeaderBits = 3;

unsigned blockHeader(BlockType type, bool last) {
    return static_cast<unsigned>(type) << 1 | (last ? 1u : 0u);
}

// The code a block writes its symbols with: its own trees or the fixed code.
struct TreeCode {
    const HuffmanTree& literalLength;
    const HuffmanTree& distance;
    unsigned literalBits(int symbol) const { return literalLength.length[symbol]; }
    unsigned literalCode(int symbol) const { return literalLength.code[symbol]; }
    unsigned distanceBits(int symbol) const { return distance.length[symbol]; }
    unsigned distanceCode(int symbol) const { return distance.code[symbol]; }
};

struct FixedTreeCode {
    unsigned literalBits(int symbol) const { return kFixedLiteralLengthCode.length[symbol]; }
    unsigned literalCode(int symbol) const { return kFixedLiteralLengthCode.code[symbol]; }
    unsigned distanceBits(int symbol) const { return kFixedDistanceCode.length[symbol]; }
    unsigned distanceCode(int symbol) const { return kFixedDistanceCode.code[symbol]; }
};

}  // namespace

Block::Block(SymbolPieces symbols, std::span<const std::uint8_t> storedBytes, bool storedPossible)
    : symbols_(symbols), storedBytes_(storedBytes) {
    countSymbols();
    TreeBuilder builder;
    builder.build(literalLength_, kLiteralLengthAlphabet, cost_);
    builder.build(distance_, kDistanceAlphabet, cost_);
    // The code-length code: its frequencies are the run-length symbols of the
    // other two trees' lengths, and its cost covers the whole tree header.
    const auto countCodeLength = [this](int symbol, int, int) { ++codeLength_.frequency[symbol]; };
    forEachCodeLengthSymbol(literalLength_.length, literalLength_.maxCode, countCodeLength);
    forEachCodeLengthSymbol(distance_.length, distance_.maxCode, countCodeLength);
    builder.build(codeLength_, kCodeLengthAlphabet, cost_);
    // At least four code-length lengths are sent, the rest up to the last used one.
    for (lastCodeLengthRank_ = kCodeLengthCodes - 1; lastCodeLengthRank_ >= 3;
         --lastCodeLengthRank_) {
        if (codeLength_.length[kCodeLengthOrder[lastCodeLengthRank_]] != 0) {
            break;
        }
    }
    cost_.optimal += 3 * (static_cast<std::uint64_t>(lastCodeLengthRank_) + 1) + 5 + 5 + 4;
    chooseType(storedPossible);
}

void Block::countSymbols() {
    literalLength_.frequency[kEndOfBlock] = 1;
    for (const std::span<const Symbol> piece : symbols_) {
        for (const Symbol symbol : piece) {
            if (!isMatch(symbol)) {
                ++literalLength_.frequency[symbol];
                continue;
            }
            ++literalLength_.frequency[kLiterals + 1 + kLengthCode[lengthOrLiteral(symbol)]];
            ++distance_.frequency[distanceCode(matchDistance(symbol) - 1)];
        }
    }
}

// zlib compares whole bytes: the block with the fewest, fixed on a tie with
// dynamic, stored when it is no longer than the better of the two.
void Block::chooseType(bool storedPossible) {
    const std::uint64_t dynamicBytes = (cost_.optimal + kBlockHeaderBits + 7) >> 3;
    const std::uint64_t fixedBytes = (cost_.fixed + kBlockHeaderBits + 7) >> 3;
    const std::uint64_t bestBytes = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;
    if (storedPossible && storedBytes_.size() + 4 <= bestBytes) {
        type_ = BlockType::stored;
    } else if (fixedBytes == bestBytes) {
        type_ = BlockType::fixed;
    } else {
        type_ = BlockType::dynamic;
    }
}

std::uint64_t Block::bits() const {
    switch (type_) {
        case BlockType::stored:
            return 8 + 32 + 8 * static_cast<std::uint64_t>(storedBytes_.size());
        case BlockType::fixed:
            return kBlockHeaderBits + cost_.fixed;
        case BlockType::dynamic:
            return kBlockHeaderBits + cost_.optimal;
    }
    return 0;
}

void Block::write(BitWriter& out, bool last) const {
    switch (type_) {
        case BlockType::stored:
            writeStoredBlock(out, storedBytes_, last);
            return;
        case BlockType::fixed:
            out.put(blockHeader(type_, last), kBlockHeaderBits);
            writeSymbols(out, FixedTreeCode{});
            return;
        case BlockType::dynamic:
            out.put(blockHeader(type_, last), kBlockHeaderBits);
            writeTreeHeader(out);
            writeSymbols(out, TreeCode{literalLength_, distance_});
            return;
    }
}

void Block::writeTreeHeader(BitWriter& out) const {
    out.put(static_cast<unsigned>(literalLength_.maxCode + 1 - 257), 5);
    out.put(static_cast<unsigned>(distance_.maxCode + 1 - 1), 5);
    out.put(static_cast<unsigned>(lastCodeLengthRank_ + 1 - 4), 4);
    for (int rank = 0; rank <= lastCodeLengthRank_; ++rank) {
        out.put(codeLength_.length[kCodeLengthOrder[rank]], 3);
    }
    const auto send = [&](int symbol, int extra, int extraBits) {
        out.put(codeLength_.code[symbol], codeLength_.length[symbol]);
        if (extraBits != 0) {
            out.put(static_cast<unsigned>(extra), static_cast<unsigned>(extraBits));
        }
    };
    forEachCodeLengthSymbol(literalLength_.length, literalLength_.maxCode, send);
    forEachCodeLengthSymbol(distance_.length, distance_.maxCode, send);
}

template <class Code>
void Block::writeSymbols(BitWriter& out, const Code& code) const {
    for (const std::span<const Symbol> piece : symbols_) {
        for (const Symbol symbol : piece) {
            if (!isMatch(symbol)) {
                out.put(code.literalCode(static_cast<int>(symbol)),
                        code.literalBits(static_cast<int>(symbol)));
                continue;
            }
            const std::uint32_t length = lengthOrLiteral(symbol);
            const int lengthCode = kLengthCode[length];
            const int lengthSymbol = kLiterals + 1 + lengthCode;
            const unsigned lengthBits = code.literalBits(lengthSymbol);
            out.put(code.literalCode(lengthSymbol) |
                        (length - kLengthBase[lengthCode]) << lengthBits,
                    lengthBits + kLengthExtraBits[lengthCode]);
            const std::uint32_t distance = matchDistance(symbol) - 1;
            const int distanceSymbol = distanceCode(distance);
            const unsigned distanceBits = code.distanceBits(distanceSymbol);
            out.put(code.distanceCode(distanceSymbol) |
                        (distance - kDistanceBase[distanceSymbol]) << distanceBits,
                    distanceBits + kDistanceExtraBits[distanceSymbol]);
        }
    }
    out.put(code.literalCode(kEndOfBlock), code.literalBits(kEndOfBlock));
}

BlockExtent blockExtent(SymbolPieces symbols, std::uint64_t start, std::uint64_t total, bool last) {
    std::uint64_t end = start;
    Symbol final = 0;
    for (const std::span<const Symbol> piece : symbols) {
        for (const Symbol symbol : piece) {
            end += coveredBytes(symbol);
        }
        if (!piece.empty()) {
            final = piece.back();
        }
    }
    // A literal fills the block in the iteration after its byte; a match in the
    // iteration after its first byte, before the rest of it is skipped.
    const std::uint64_t endingIteration =
        last ? total : isMatch(final) ? end - coveredBytes(final) + 1 : end;
    return {start, end, start >= windowBase(total, endingIteration)};
}

void writeStoredBlock(BitWriter& out, std::span<const std::uint8_t> bytes, bool last) {
    out.put(blockHeader(BlockType::stored, last), kBlockHeaderBits);
    out.alignToByte();
    const auto size = static_cast<std::uint16_t>(bytes.size());
    out.put(size, 16);
    out.put(static_cast<std::uint16_t>(~size), 16);
    out.alignToByte();
    out.putBytes(bytes.data(), bytes.size());
}

}  // namespace kernels::deflate

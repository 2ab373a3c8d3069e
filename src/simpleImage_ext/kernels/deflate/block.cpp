#include "kernels/deflate/block.hpp"

#include <algorithm>

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

Block::Block(SymbolPieces symbols, std::uint64_t inputLength) : symbols_(symbols) {
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

    // zlib compares whole bytes, header bits included.
    const std::uint64_t dynamicBytes = (cost_.optimal + kBlockHeaderBits + 7) >> 3;
    const std::uint64_t fixedBytes = (cost_.fixed + kBlockHeaderBits + 7) >> 3;
    codedType_ = fixedBytes <= dynamicBytes ? BlockType::fixed : BlockType::dynamic;
    // A stored block adds its two 16-bit lengths.
    storedIsShorter_ = inputLength + 4 <= std::min(fixedBytes, dynamicBytes);
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

BlockWeight Block::weight() const {
    return {storedIsShorter_,
            kBlockHeaderBits + (codedType_ == BlockType::fixed ? cost_.fixed : cost_.optimal)};
}

void Block::write(BitWriter& out, bool last) const {
    out.put(blockHeader(codedType_, last), kBlockHeaderBits);
    if (codedType_ == BlockType::fixed) {
        writeSymbols(out, FixedTreeCode{});
    } else {
        writeTreeHeader(out);
        writeSymbols(out, TreeCode{literalLength_, distance_});
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

std::uint64_t inputLength(SymbolPieces symbols) {
    std::uint64_t bytes = 0;
    for (const std::span<const Symbol> piece : symbols) {
        for (const Symbol symbol : piece) {
            bytes += coveredBytes(symbol);
        }
    }
    return bytes;
}

bool storable(std::uint64_t start, std::uint64_t end, Symbol final, bool last, std::uint64_t total) {
    // zlib's loop handles a literal in the iteration after its byte, and a
    // match in the iteration after its first byte, before the rest is skipped.
    const std::uint64_t endingIteration =
        last ? total : isMatch(final) ? end - coveredBytes(final) + 1 : end;
    return start >= windowBase(total, endingIteration);
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

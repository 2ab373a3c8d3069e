// The zlib stream in the caller's buffer: header, blocks, Adler-32 trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/deflate/bit_writer.hpp"
#include "kernels/deflate/block.hpp"
#include "kernels/deflate/round_trip.hpp"

namespace kernels::deflate {

// Blocks are added only while they fit: only a fault of this kernel could make
// one exceed zlib's bound, and the stream is then refused rather than written
// past the buffer.
class StreamWriter {
public:
    // CMF 0x78 (deflate, 32 KiB window), FLG 0x9C (level 6, no dictionary, check bits).
    static constexpr std::uint8_t kHeader[] = {0x78, 0x9c};
    static constexpr std::size_t kTrailerSize = 4;

    // `blocks`, when given, receives where each block starts and where the
    // last one ends.
    explicit StreamWriter(std::span<std::uint8_t> out, std::vector<BlockStart>* blocks = nullptr)
        : out_(out),
          blockRoom_((out.size() - sizeof kHeader - kTrailerSize - BitWriter::kSlack) * 8),
          bits_(out.data() + sizeof kHeader),
          blocks_(blocks) {
        out[0] = kHeader[0];
        out[1] = kHeader[1];
    }

    // Appends the block of input bytes `bytes`, which start at input position
    // `start`: stored when that is no longer than the coded block and
    // `storable`, else the coded block, which `writeCoded(BitWriter&)` writes.
    // False when it does not fit.
    template <class WriteCoded>
    bool add(const BlockWeight& weight, bool storable, std::span<const std::uint8_t> bytes,
             std::uint64_t start, bool last, WriteCoded&& writeCoded) {
        const bool stored = weight.storedIsShorter && storable;
        if (stored ? bytes.size() > kMaxStoredBlock || !fits(storedBits(bytes.size()))
                   : !fits(weight.codedBits)) {
            return false;
        }
        record(start);
        if (stored) {
            writeStoredBlock(bits_, bytes, last);
        } else {
            writeCoded(bits_);
        }
        if (last) {
            record(start + bytes.size());
        }
        return true;
    }

    std::size_t finish(std::uint32_t adler) {
        std::size_t size = sizeof kHeader + bits_.finish();
        for (int shift = 24; shift >= 0; shift -= 8) {
            out_[size++] = static_cast<std::uint8_t>(adler >> shift);
        }
        return size;
    }

private:
    // Whether `blockBits` more bits (and a partial byte) still fit.
    bool fits(std::uint64_t blockBits) const { return bits_.bitCount() + blockBits + 8 <= blockRoom_; }

    void record(std::uint64_t input) {
        if (blocks_ != nullptr) {
            blocks_->push_back({bits_.bitCount(), input});
        }
    }

    std::span<std::uint8_t> out_;
    std::uint64_t blockRoom_;
    BitWriter bits_;
    std::vector<BlockStart>* blocks_;
};

}  // namespace kernels::deflate
